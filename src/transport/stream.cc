// Memory streams of the transport and the heap stream's capacity policy.
#include "transport/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/memory_status.h"

namespace q2 {
namespace {

// Default memory stream growth: whole 8 KB steps.
constexpr int64_t kMemoryDeltaBytes = 8192;
// tHeapMemStream capacities are 16,384·k − 4 bytes.
constexpr int64_t kHeapStepBytes = 16384;
constexpr int64_t kHeapStepSlackBytes = 4;

}  // namespace

int64_t ITransportStream::Size() {
  const int64_t position = Seek(0, tSeekOrigin::soCurrent);
  const int64_t size = Seek(0, tSeekOrigin::soEnd);
  Seek(position, tSeekOrigin::soBeginning);
  return size;
}

void ITransportStream::ReadBuffer(void* buffer, size_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void ITransportStream::WriteBuffer(const void* buffer, size_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

TToolMemoryStream::~TToolMemoryStream() { std::free(memory_); }

size_t TToolMemoryStream::Read(void* buffer, size_t count) {
  if (position_ < 0 || position_ >= size_ || count == 0) return 0;
  const size_t n =
      static_cast<size_t>(std::min<int64_t>(size_ - position_, static_cast<int64_t>(count)));
  std::memcpy(buffer, memory_ + position_, n);
  position_ += static_cast<int64_t>(n);
  return n;
}

size_t TToolMemoryStream::Write(const void* buffer, size_t count) {
  if (position_ < 0 || count == 0) return 0;
  if (count > static_cast<uint64_t>(INT64_MAX - position_))
    throw EStreamError("Stream write error");
  const int64_t end = position_ + static_cast<int64_t>(count);
  if (end > size_) {
    if (end > capacity_) SetCapacity(end);
    if (position_ > size_) std::memset(memory_ + size_, 0, static_cast<size_t>(position_ - size_));
    size_ = end;
  }
  std::memcpy(memory_ + position_, buffer, count);
  position_ = end;
  return count;
}

int64_t TToolMemoryStream::Seek(int64_t offset, tSeekOrigin origin) {
  switch (origin) {
    case tSeekOrigin::soBeginning:
      position_ = offset;
      break;
    case tSeekOrigin::soCurrent:
      position_ += offset;
      break;
    case tSeekOrigin::soEnd:
      position_ = size_ + offset;
      break;
  }
  if (position_ < 0) position_ = 0;
  return position_;
}

void TToolMemoryStream::SetSize(int64_t size) {
  if (size < 0) size = 0;
  SetCapacity(size);
  if (size > size_) std::memset(memory_ + size_, 0, static_cast<size_t>(size - size_));
  size_ = size;
  if (position_ > size_) position_ = size_;
}

void TToolMemoryStream::Clear() {
  SetCapacity(0);
  size_ = 0;
  position_ = 0;
}

std::string TToolMemoryStream::ReadString() {
  if (Eof()) return std::string();
  uint8_t length = 0;
  ReadBuffer(&length, 1);
  std::string text(length, '\0');
  ReadBuffer(text.data(), length);
  return text;
}

std::string TToolMemoryStream::Bytes() const {
  return std::string(reinterpret_cast<const char*>(memory_), static_cast<size_t>(size_));
}

int64_t TToolMemoryStream::CapacityFor(int64_t requested) {
  if (requested <= 0) return 0;
  return (requested + kMemoryDeltaBytes - 1) / kMemoryDeltaBytes * kMemoryDeltaBytes;
}

void TToolMemoryStream::Reallocate(int64_t newCapacity) {
  if (newCapacity <= 0) {
    std::free(memory_);
    memory_ = nullptr;
    capacity_ = 0;
    return;
  }
  void* grown = std::realloc(memory_, static_cast<size_t>(newCapacity));
  if (grown == nullptr) throw EStreamError("Out of memory while expanding memory stream");
  memory_ = static_cast<uint8_t*>(grown);
  capacity_ = newCapacity;
}

void TToolMemoryStream::SetCapacity(int64_t requested) {
  const int64_t newCapacity = CapacityFor(requested);
  if (newCapacity != capacity_) Reallocate(newCapacity);
}

int64_t tHeapMemStream::HeapCapacity(int64_t current, int64_t requested) {
  if (requested <= current) return requested <= 0 ? 0 : current;
  // Smallest 16,384·k − 4 at least `requested`.
  int64_t n =
      (requested + kHeapStepSlackBytes + kHeapStepBytes - 1) / kHeapStepBytes * kHeapStepBytes -
      kHeapStepSlackBytes;
  if (current > 0) {
    // Largest 16,384·k − 4 not above current + current div 4.
    const int64_t quarter =
        (current + current / 4 + kHeapStepSlackBytes) / kHeapStepBytes * kHeapStepBytes -
        kHeapStepSlackBytes;
    n = std::max(n, quarter);
  }
  return n;
}

int64_t tHeapMemStream::CapacityFor(int64_t requested) {
  return HeapCapacity(capacity_, requested);
}

void tHeapMemStream::Reallocate(int64_t newCapacity) {
  if (newCapacity <= 0) {
    TToolMemoryStream::Reallocate(0);
    return;
  }
  const bool hadMemory = memory_ != nullptr;
  void* grown = nullptr;
  errno = 0;
  // size_t cannot hold every int64_t on all targets; a request beyond it fails as ENOMEM.
  if (static_cast<uint64_t>(newCapacity) <= SIZE_MAX / 2) {
    grown = std::realloc(memory_, static_cast<size_t>(newCapacity));
  }
  if (grown == nullptr) {
    const int err = errno != 0 ? errno : ENOMEM;
    const tMemoryFigures f = ProcessMemoryFigures();
    char text[512];
    if (hadMemory) {
      std::snprintf(text, sizeof text,
                    " memory realloc (from %lld to %lld) Error=\"%s\", AvailVirtual=%lld, "
                    "VirtualOccupied=%lld, Heap Allocated=%lld, Heap AddrSpace=%lld",
                    static_cast<long long>(capacity_), static_cast<long long>(newCapacity),
                    std::strerror(err), static_cast<long long>(f.availVirtual),
                    static_cast<long long>(f.virtualOccupied),
                    static_cast<long long>(f.heapAllocated),
                    static_cast<long long>(f.heapAddrSpace));
    } else {
      std::snprintf(
          text, sizeof text,
          " memory alloc (%lld) Error=\"%s\", AvailVirtual=%lld, "
          "VirtualOccupied=%lld, Heap Allocated=%lld, Heap AddrSpace=%lld",
          static_cast<long long>(newCapacity), std::strerror(err),
          static_cast<long long>(f.availVirtual), static_cast<long long>(f.virtualOccupied),
          static_cast<long long>(f.heapAllocated), static_cast<long long>(f.heapAddrSpace));
    }
    throw EReallocException(ClassName() + text);
  }
  memory_ = static_cast<uint8_t*>(grown);
  capacity_ = newCapacity;
}

}  // namespace q2
