// LZW coder and decoder of the transport's compressed payloads.
#include "transport/lzw.h"

#include <cstdint>
#include <vector>

namespace q2 {
namespace {

constexpr uint32_t kCodeEnd = 256;
constexpr uint32_t kCodeWiden = 257;
constexpr uint32_t kCodeClear = 258;
constexpr uint32_t kFirstEntry = 259;
constexpr uint32_t kLastEntry = 4095;
constexpr int kMinWidthBits = 9;
constexpr int kMaxWidthBits = 12;
// Compressor hash table slots (a prime above the 3837 entries it ever holds) and the
// probe step on a collision; also the size of the decoder's string buffer.
constexpr int32_t kTableSlots = 5021;
constexpr int32_t kProbeStep = 2048;

struct tHashSlot {
  int32_t code = -1;  // -1: empty
  int32_t prefix = 0;
  uint8_t byte = 0;
};

// Packs codes least significant bit first and writes each completed byte.
class tBitWriter {
 public:
  explicit tBitWriter(ITransportStream& out) : out_(out) {}

  // False once the destination accepted fewer bytes than offered.
  bool Put(uint32_t code, int width) {
    acc_ |= code << pending_;
    pending_ += width;
    uint8_t bytes[3];
    size_t n = 0;
    while (pending_ >= 8) {
      bytes[n++] = static_cast<uint8_t>(acc_);
      acc_ >>= 8;
      pending_ -= 8;
    }
    return n == 0 || out_.Write(bytes, n) == n;
  }
  bool Flush() {
    if (pending_ == 0) return true;
    const uint8_t last = static_cast<uint8_t>(acc_);
    pending_ = 0;
    acc_ = 0;
    return out_.Write(&last, 1) == 1;
  }

 private:
  ITransportStream& out_;
  uint32_t acc_ = 0;
  int pending_ = 0;
};

// Reads codes of a given width; reads only the bytes the next code needs.
class tBitReader {
 public:
  explicit tBitReader(ITransportStream& in) : in_(in) {}

  bool Get(int width, uint32_t* code) {
    if (pending_ < width) {
      const int count = (width - pending_ + 7) / 8;
      uint8_t bytes[2];
      if (in_.Read(bytes, static_cast<size_t>(count)) != static_cast<size_t>(count)) return false;
      for (int i = 0; i < count; ++i) {
        acc_ |= uint32_t{bytes[i]} << pending_;
        pending_ += 8;
      }
    }
    *code = acc_ & ((uint32_t{1} << width) - 1);
    acc_ >>= width;
    pending_ -= width;
    return true;
  }

 private:
  ITransportStream& in_;
  uint32_t acc_ = 0;
  int pending_ = 0;
};

class tCompressor {
 public:
  explicit tCompressor(ITransportStream& out) : writer_(out), table_(kTableSlots) {}

  int Run(ITransportStream& in) {
    uint8_t c = 0;
    if (in.Read(&c, 1) != 1) return kLzOk;
    Reset();
    uint32_t prefix = c;
    while (in.Read(&c, 1) == 1) {
      const int32_t slot = Find(prefix, c);
      if (table_[slot].code != -1) {
        prefix = static_cast<uint32_t>(table_[slot].code);
        continue;
      }
      const bool full = next_ > kLastEntry;
      if (!full) table_[slot] = {static_cast<int32_t>(next_++), static_cast<int32_t>(prefix), c};
      if (!Emit(prefix)) return kLzShortWrite;
      prefix = c;
      if (full) {
        if (!writer_.Put(kCodeClear, width_)) return kLzShortWrite;
        Reset();
      }
    }
    if (!Emit(prefix) || !writer_.Put(kCodeEnd, width_) || !writer_.Flush()) {
      return kLzShortWrite;
    }
    return kLzOk;
  }

 private:
  void Reset() {
    width_ = kMinWidthBits;
    next_ = kFirstEntry;
    for (tHashSlot& s : table_) s.code = -1;
  }
  // The slot holding (prefix, byte), or the empty slot where it belongs.
  int32_t Find(uint32_t prefix, uint8_t byte) const {
    int32_t slot = static_cast<int32_t>((uint32_t{byte} << 4) ^ prefix) % kTableSlots;
    while (table_[slot].code != -1 &&
           (table_[slot].prefix != static_cast<int32_t>(prefix) || table_[slot].byte != byte)) {
      slot = (slot + kProbeStep) % kTableSlots;
    }
    return slot;
  }
  bool Emit(uint32_t code) {
    while (code >= (uint32_t{1} << width_) - 1 && width_ < kMaxWidthBits) {
      if (!writer_.Put(kCodeWiden, width_)) return false;
      ++width_;
    }
    return writer_.Put(code, width_);
  }

  tBitWriter writer_;
  std::vector<tHashSlot> table_;
  int width_ = kMinWidthBits;
  uint32_t next_ = kFirstEntry;
};

class tDecompressor {
 public:
  tDecompressor(ITransportStream& in, ITransportStream& out)
      : reader_(in), out_(out), prefix_(kTableSlots), byte_(kTableSlots), text_(kTableSlots) {}

  int Run() {
    int status = Restart();
    if (status != kLzOk) return status;
    for (;;) {
      uint32_t code = 0;
      if (!reader_.Get(width_, &code)) return kLzBadSource;
      if (code == kCodeEnd) return kLzOk;
      if (code == kCodeWiden) {
        // Only damaged data widens past 12 bits; codes wider than 12 are never read.
        if (width_ >= kMaxWidthBits) return kLzBadSource;
        ++width_;
        continue;
      }
      if (code == kCodeClear) {
        status = Restart();
        if (status != kLzOk) return status;
        continue;
      }
      size_t start = 0;
      if (code < next_) {
        if (!Collect(code, kTableSlots, &start)) return kLzBadSource;
      } else if (code == next_) {
        // The string of old followed by its own first byte.
        if (!Collect(old_, kTableSlots - 1, &start)) return kLzBadSource;
        text_[kTableSlots - 1] = text_[start];
      } else {
        return kLzBadSource;  // beyond the next free code: no encoder sends it
      }
      const size_t length = static_cast<size_t>(kTableSlots) - start;
      if (out_.Write(&text_[start], length) != length) return kLzShortWrite;
      if (next_ <= kLastEntry) {
        prefix_[next_] = static_cast<uint16_t>(old_);
        byte_[next_] = text_[start];
        ++next_;
      }
      old_ = code;
    }
  }

 private:
  // Back to 9 bits and an empty dictionary; the next code is a literal, written at once.
  int Restart() {
    width_ = kMinWidthBits;
    next_ = kFirstEntry;
    uint32_t code = 0;
    if (!reader_.Get(width_, &code) || code > 0xFF) return kLzBadSource;
    const uint8_t byte = static_cast<uint8_t>(code);
    if (out_.Write(&byte, 1) != 1) return kLzShortWrite;
    old_ = code;
    return kLzOk;
  }
  // Assembles the string of `code` back to front so that it ends just before text_[end];
  // `start` receives the index of its first byte. False for a chain through codes that are
  // not defined or a string longer than the buffer.
  bool Collect(uint32_t code, size_t end, size_t* start) {
    size_t pos = end;
    while (code > 0xFF) {
      if (code < kFirstEntry || code >= next_ || pos <= 1) return false;
      text_[--pos] = byte_[code];
      code = prefix_[code];
    }
    text_[--pos] = static_cast<uint8_t>(code);
    *start = pos;
    return true;
  }

  tBitReader reader_;
  ITransportStream& out_;
  std::vector<uint16_t> prefix_;
  std::vector<uint8_t> byte_;
  std::vector<uint8_t> text_;
  int width_ = kMinWidthBits;
  uint32_t next_ = kFirstEntry;
  uint32_t old_ = 0;
};

}  // namespace

int LzCompress(ITransportStream& source, ITransportStream& destination) {
  tCompressor compressor(destination);
  return compressor.Run(source);
}

int LzDecompress(ITransportStream& source, ITransportStream& destination) {
  const int64_t start = source.Position();
  tDecompressor decompressor(source, destination);
  int status = decompressor.Run();
  if (status == kLzBadSource && source.Position() == start) status = kLzOk;
  return status;
}

}  // namespace q2
