// The byte streams of the cash-server transport: a small stream interface, the memory
// stream the TCP client builds requests and gathers responses in, and its heap variant
// that grows in 16 KB steps and reports an exhausted address space in detail.
// Used by the transport only (TCP client, LZW, scrambling, cache streams); one thread per
// stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace q2 {

enum class tSeekOrigin { soBeginning, soCurrent, soEnd };

// Failures of the stream classes ("Stream read error", memory growth).
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A tHeapMemStream could not grow; the message names sizes and memory figures.
class EReallocException final : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

// Read, write, seek and size of a byte stream with 64-bit positions. Read and Write
// return the bytes moved; a failure of the medium raises. Not reference counted: streams
// have one owner.
class ITransportStream {
 public:
  virtual ~ITransportStream() = default;

  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Returns the new position. What lies outside 0..Size() is up to the stream.
  virtual int64_t Seek(int64_t offset, tSeekOrigin origin) = 0;
  virtual void SetSize(int64_t size) = 0;
  // The class name, as failure texts name the stream ("Writing to tHeapMemStream. ...").
  virtual std::string ClassName() const = 0;

  // Position and size by seeking, so a stream that cannot seek cannot tell its size either.
  int64_t Position() { return Seek(0, tSeekOrigin::soCurrent); }
  int64_t Size();

  // Reads or writes exactly `count` bytes, else raises EStreamError "Stream read error" /
  // "Stream write error".
  void ReadBuffer(void* buffer, size_t count);
  void WriteBuffer(const void* buffer, size_t count);
};

// A memory stream: one contiguous block, its size and a position. Seeking past the end is
// allowed; a write there fills the gap with zero bytes. The capacity policy is virtual so
// that tHeapMemStream can replace it.
class TToolMemoryStream : public ITransportStream {
 public:
  TToolMemoryStream() = default;
  ~TToolMemoryStream() override;
  TToolMemoryStream(const TToolMemoryStream&) = delete;
  TToolMemoryStream& operator=(const TToolMemoryStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, tSeekOrigin origin) override;
  // Growing keeps the bytes and zero-fills the new ones; the position is cut to the size.
  void SetSize(int64_t size) override;
  std::string ClassName() const override { return "TToolMemoryStream"; }

  // Empties the stream and releases its memory.
  void Clear();

  // A length-prefixed 8-bit string: empty at the end of the stream; otherwise one length
  // byte and that many bytes, raising "Stream read error" when the stream ends early.
  std::string ReadString();
  // The byte at the current position (only valid while the stream is not changed).
  uint8_t* GetPositionMemory() { return memory_ + position_; }
  bool Eof() const { return position_ >= size_; }
  int64_t Remaining() const { return position_ < size_ ? size_ - position_ : 0; }

  uint8_t* Memory() { return memory_; }
  const uint8_t* Memory() const { return memory_; }
  int64_t Capacity() const { return capacity_; }
  int64_t SizeBytes() const { return size_; }
  // The whole content as a string (for tests and logs).
  std::string Bytes() const;

 protected:
  // The capacity to reallocate to when `requested` bytes are needed (requested may be
  // below the current capacity when the stream shrinks). Default: 8 KB steps.
  virtual int64_t CapacityFor(int64_t requested);
  // Reallocates to exactly `newCapacity` bytes (0 frees); raises on failure.
  virtual void Reallocate(int64_t newCapacity);

  uint8_t* memory_ = nullptr;
  int64_t capacity_ = 0;

 private:
  void SetCapacity(int64_t requested);

  int64_t size_ = 0;
  int64_t position_ = 0;
};

// A memory stream for responses of any size: the capacity grows to 16,384·k − 4 bytes and
// by at least a quarter of itself once that quarter reaches a step, so that 64 KB pieces
// cause few reallocations. A failed growth raises EReallocException with the sizes and
// the process's memory figures.
class tHeapMemStream final : public TToolMemoryStream {
 public:
  std::string ClassName() const override { return "tHeapMemStream"; }

  // The capacity policy on its own: the new capacity for `requested` bytes at `current`.
  static int64_t HeapCapacity(int64_t current, int64_t requested);

 protected:
  int64_t CapacityFor(int64_t requested) override;
  void Reallocate(int64_t newCapacity) override;
};

}  // namespace q2
