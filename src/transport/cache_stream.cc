// The one-block file cache and its self-deleting temporary file.
#include "transport/cache_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"

namespace q2 {
namespace {

std::string CacheErrorText(const char* what) {
  return std::string(what) + " Win err=" + std::to_string(LastErrorCode());
}

[[noreturn]] void RaiseSystemError() { throw std::runtime_error(LastErrorText()); }

std::string TempSubfolder(const std::string& folder, const std::string& subfolder) {
  std::string dir = folder.empty() ? TempFolder() : IncludeTrailingDelimiter(folder);
  if (!subfolder.empty()) {
    dir = IncludeTrailingDelimiter(dir + subfolder);
    ForceFolders(dir);
  }
  return dir;
}

}  // namespace

TCacheStream::TCacheStream(int fd, int64_t size)
    : file_(tFileHandle::Borrow(fd)), block_(std::make_unique<uint8_t[]>(kBlockBytes)), size_(size) {}

TCacheStream::~TCacheStream() {
  try {
    commit();
  } catch (const std::exception&) {
    // Nothing may leave a destructor; callers that need the bytes commit first.
  }
}

void TCacheStream::DropBlock() {
  blockPosition_ = kNoBlock;
  blockModified_ = false;
}

void TCacheStream::SelectBlock(int64_t start) {
  commit();
  if (start < size_) {
    const int64_t count = std::min(size_ - start, kBlockBytes);
    size_t got = 0;
    if (!file_.ReadAt(start, block_.get(), static_cast<size_t>(count), &got) ||
        got != static_cast<size_t>(count)) {
      DropBlock();
      throw csError(CacheErrorText("Can not read cached file."));
    }
    // Bytes beyond the data read as zero, as the file's own would after a SetSize.
    std::memset(block_.get() + count, 0, static_cast<size_t>(kBlockBytes - count));
  } else {
    std::memset(block_.get(), 0, static_cast<size_t>(kBlockBytes));
  }
  blockPosition_ = start;
}

void TCacheStream::commit() {
  if (!blockModified_) return;
  const int64_t count = std::min(size_ - blockPosition_, kBlockBytes);
  if (count > 0 && !file_.WriteAt(blockPosition_, block_.get(), static_cast<size_t>(count))) {
    throw csError(CacheErrorText("Can not write cached file."));
  }
  blockModified_ = false;
}

size_t TCacheStream::Read(void* buffer, size_t count) {
  if (position_ >= size_) return 0;
  const int64_t wanted =
      std::min(static_cast<int64_t>(std::min<size_t>(count, INT64_MAX)), size_ - position_);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < wanted) {
    if (position_ < blockPosition_ || position_ >= blockPosition_ + kBlockBytes) {
      SelectBlock(position_ / kBlockBytes * kBlockBytes);
    }
    const int64_t n = std::min(wanted - done, blockPosition_ + kBlockBytes - position_);
    std::memcpy(out + done, block_.get() + (position_ - blockPosition_), static_cast<size_t>(n));
    position_ += n;
    done += n;
    if (position_ >= size_) break;
  }
  return static_cast<size_t>(done);
}

size_t TCacheStream::Write(const void* buffer, size_t count) {
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  const int64_t total = static_cast<int64_t>(std::min<size_t>(count, INT64_MAX - position_));
  int64_t done = 0;
  while (done < total) {
    if (position_ < blockPosition_ || position_ >= blockPosition_ + kBlockBytes) {
      SelectBlock(position_ / kBlockBytes * kBlockBytes);
    }
    const int64_t n = std::min(total - done, blockPosition_ + kBlockBytes - position_);
    std::memcpy(block_.get() + (position_ - blockPosition_), in + done, static_cast<size_t>(n));
    blockModified_ = true;
    position_ += n;
    done += n;
    if (position_ > size_) size_ = position_;
  }
  return static_cast<size_t>(done);
}

int64_t TCacheStream::Seek(int64_t offset, tSeekOrigin origin) {
  int64_t target = offset;
  if (origin == tSeekOrigin::soCurrent) target = position_ + offset;
  if (origin == tSeekOrigin::soEnd) target = size_ + offset;
  position_ = std::clamp<int64_t>(target, 0, size_);
  return position_;
}

void TCacheStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  if (!file_.Truncate(size)) RaiseSystemError();
  const int64_t oldSize = size_;
  size_ = size;
  if (blockPosition_ >= size_) {
    DropBlock();
  } else if (blockPosition_ != kNoBlock && size_ < oldSize) {
    // Bytes cut off must read as zero if the stream grows again.
    const int64_t keep = std::min(size_ - blockPosition_, kBlockBytes);
    std::memset(block_.get() + keep, 0, static_cast<size_t>(kBlockBytes - keep));
  }
  if (position_ > size_) position_ = size_;
}

void TCacheStream::FlushBuffers() {
  commit();
  if (!file_.Sync()) RaiseSystemError();
}

void TCacheStream::ResetStream(int64_t newSize) {
  DropBlock();
  SetSize(newSize);
  position_ = 0;
}

namespace internal {

tTempFileHolder::tTempFileHolder(const std::string& prefix) {
  if (!file.OpenTemporary(tTempFileCacheStream::Folder(), prefix)) RaiseSystemError();
}

}  // namespace internal

tTempFileCacheStream::tTempFileCacheStream(const std::string& prefix)
    : internal::tTempFileHolder(prefix), TCacheStream(file.Fd(), 0) {}

tTempFileCacheStream::~tTempFileCacheStream() = default;

std::string tTempFileCacheStream::Folder() { return TempSubfolder(std::string(), kSubfolder); }

std::string MakeTempFileName(const std::string& folder, const std::string& subfolder,
                             const std::string& prefix) {
  std::string name;
  if (!CreateUniqueFile(TempSubfolder(folder, subfolder), prefix, &name)) RaiseSystemError();
  return name;
}

}  // namespace q2
