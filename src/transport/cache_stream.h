// A file stream with one 64 KB write-back block cache, and its variant over a temporary
// file that the system removes as soon as its handle closes (a crash included). The TCP
// client buffers responses of 1,000,000 bytes or more in such a file before decompressing
// them, reading them back one byte at a time at the cost of one file read per block.
// One thread per stream.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/files.h"
#include "transport/stream.h"

namespace q2 {

// Failures of the cache's file input and output.
class csError final : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stream over an open file descriptor that it does not own. One block of 65,536 bytes,
// aligned to a multiple of 65,536 in the file, is cached; a modified block is written back
// when another block is selected, on commit, FlushBuffers and destruction. The logical size
// and position are the stream's own: the file's position and length are not consulted.
class TCacheStream : public ITransportStream {
 public:
  static constexpr int64_t kBlockBytes = 65536;
  static constexpr int64_t kNoBlock = -kBlockBytes;

  // No block cached; FSize = size; FPosition = 0.
  TCacheStream(int fd, int64_t size);
  // Commits the cached block; a failure to write it back is swallowed (nothing can be
  // raised here): call commit() or FlushBuffers() first where the bytes matter.
  ~TCacheStream() override;
  TCacheStream(const TCacheStream&) = delete;
  TCacheStream& operator=(const TCacheStream&) = delete;

  // Reads up to `count` bytes at FPosition, never past FSize. Raises csError
  // "Can not read cached file. Win err=%d" when a block cannot be loaded completely.
  size_t Read(void* buffer, size_t count) override;
  // Writes all `count` bytes into the cache, growing FSize; raises csError on the write-back
  // of a left block ("Can not write cached file. Win err=%d").
  size_t Write(const void* buffer, size_t count) override;
  // From the beginning, the current position or the end; the result is cut to 0..FSize.
  int64_t Seek(int64_t offset, tSeekOrigin origin) override;
  // Sets the file's length; a cached block that starts at or beyond it is dropped unsaved.
  // Raises std::runtime_error with the system's message when the length cannot be set.
  void SetSize(int64_t size) override;
  std::string ClassName() const override { return "TCacheStream"; }

  // Writes the cached block back if it is modified.
  void commit();
  // commit(), then the file's data reaches the disk.
  void FlushBuffers();
  // Drops the cached block unsaved, SetSize(newSize), FPosition = 0.
  void ResetStream(int64_t newSize);

  int Handle() const { return file_.Fd(); }
  int64_t BlockPositionForTesting() const { return blockPosition_; }

 private:
  void SelectBlock(int64_t start);
  void DropBlock();

  tFileHandle file_;  // borrowed: the descriptor belongs to whoever made the stream
  bool blockModified_ = false;
  int64_t blockPosition_ = kNoBlock;
  std::unique_ptr<uint8_t[]> block_;
  int64_t size_;
  int64_t position_ = 0;
};

// A TCacheStream over a temporary file in TempFolder() + "zoltstreams" (the folder is
// created when missing). The file has no name from the moment it is open (O_TMPFILE, or
// created and unlinked at once where the file system lacks it), so it never outlives its
// handle. Raises std::runtime_error with the system's message when it cannot be made.
namespace internal {
// Holds the temporary file's handle; a base of tTempFileCacheStream placed before
// TCacheStream, so that the file is open before the cache is built and closes after it.
struct tTempFileHolder {
  explicit tTempFileHolder(const std::string& prefix);
  tFileHandle file;
};
}  // namespace internal

class tTempFileCacheStream final : private internal::tTempFileHolder, public TCacheStream {
 public:
  static constexpr const char* kSubfolder = "zoltstreams";

  explicit tTempFileCacheStream(const std::string& prefix);
  ~tTempFileCacheStream() override;
  std::string ClassName() const override { return "tTempFileCacheStream"; }

  // The folder the files are made in: TempFolder() + "zoltstreams" + "/".
  static std::string Folder();
};

// Names and creates a new empty file from `prefix` in `folder` (or TempFolder() when empty)
// + `subfolder` (created with its parents when given) and returns its full name. Raises
// std::runtime_error with the system's message on failure.
std::string MakeTempFileName(const std::string& folder, const std::string& subfolder,
                             const std::string& prefix);

}  // namespace q2
