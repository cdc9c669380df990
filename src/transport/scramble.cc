// The generator, the block routines and the decoding reader.
#include "transport/scramble.h"

#include <algorithm>
#include <stdexcept>

namespace q2 {
namespace {

constexpr uint32_t kRandomMultiplier = 0x08088405;  // 134775813
constexpr size_t kMaxKeyBytes = 255;

// The block routines' generator seed; each pass sets it before use.
thread_local uint32_t tBlockSeed = 0;

// K[0] = L, K[1..L] = key bytes, zeros up to K[3], the tail folded into K[0..3].
struct tKeyBlock {
  uint8_t k[kMaxKeyBytes + 1] = {};
  uint32_t length = 0;  // L, before folding
  uint32_t word = 0;    // S0 = K[0..3] little-endian, after folding

  explicit tKeyBlock(const std::string& key) {
    length = static_cast<uint32_t>(std::min(key.size(), kMaxKeyBytes));
    k[0] = static_cast<uint8_t>(length);
    std::copy_n(reinterpret_cast<const uint8_t*>(key.data()), length, k + 1);
    for (uint32_t i = 4; i <= length; ++i) k[i % 4] ^= k[i];
    word = k[0] | (uint32_t{k[1]} << 8) | (uint32_t{k[2]} << 16) | (uint32_t{k[3]} << 24);
  }
  uint8_t At(size_t position) const { return k[position % (length + 1)]; }
};

}  // namespace

uint32_t NextRandom(uint32_t range, uint32_t& seed) {
  seed = seed * kRandomMultiplier + 1;
  return static_cast<uint32_t>((uint64_t{range} * seed) >> 32);
}

void ScrambleBlock(uint8_t* data, size_t length, const std::string& key, uint32_t seedBase) {
  if (key.empty() || length == 0) return;
  const tKeyBlock kb(key);
  const uint32_t n = static_cast<uint32_t>(length);
  tBlockSeed = kb.word ^ n ^ seedBase;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = static_cast<uint8_t>(data[i] ^ NextRandom(256, tBlockSeed) ^ kb.At(i));
    tBlockSeed ^= b;
    data[i] = b;
  }
  tBlockSeed = kb.word ^ seedBase;
  for (size_t i = length; i-- > 0;) {
    const uint8_t b = static_cast<uint8_t>(data[i] ^ NextRandom(256, tBlockSeed) ^ kb.At(i));
    tBlockSeed ^= b;
    data[i] = b;
  }
}

void DescrambleBlock(uint8_t* data, size_t length, const std::string& key, uint32_t seedBase) {
  if (key.empty() || length == 0) return;
  const tKeyBlock kb(key);
  const uint32_t n = static_cast<uint32_t>(length);
  tBlockSeed = kb.word ^ seedBase;
  for (size_t i = length; i-- > 0;) {
    const uint8_t c = data[i];
    data[i] = static_cast<uint8_t>(c ^ NextRandom(256, tBlockSeed) ^ kb.At(i));
    tBlockSeed ^= c;
  }
  tBlockSeed = kb.word ^ n ^ seedBase;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t c = data[i];
    data[i] = static_cast<uint8_t>(c ^ NextRandom(256, tBlockSeed) ^ kb.At(i));
    tBlockSeed ^= c;
  }
}

tDecodeStream::tDecodeStream(std::unique_ptr<ITransportStream> coded, const std::string& key,
                             uint32_t size)
    : codedStream_(std::move(coded)) {
  if (key.empty()) throw std::invalid_argument("tDecodeStream needs a key");
  codedStream_->Seek(0, tSeekOrigin::soBeginning);
  const size_t length = std::min(key.size(), kMaxKeyBytes);
  tmp_[0] = static_cast<uint8_t>(length);
  std::copy_n(reinterpret_cast<const uint8_t*>(key.data()), length, tmp_ + 1);
  // Short keys: zeros from the last key byte itself up to tmp_[3]; no folding.
  if (length <= 3) std::fill(tmp_ + length, tmp_ + 4, 0);
  randSeed_ =
      (tmp_[0] | (uint32_t{tmp_[1]} << 8) | (uint32_t{tmp_[2]} << 16) | (uint32_t{tmp_[3]} << 24)) +
      size;
}

size_t tDecodeStream::Read(void* buffer, size_t count) {
  const size_t n = codedStream_->Read(buffer, count);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  if (tmp_[0] != 0) {
    const uint32_t period = uint32_t{tmp_[0]} + 1;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t keyIndex =
          static_cast<uint32_t>((i + static_cast<uint32_t>(intPosition_)) % period);
      out[i] = static_cast<uint8_t>(out[i] ^ NextRandom(256, randSeed_) ^ tmp_[keyIndex]);
    }
  }
  intPosition_ += static_cast<int32_t>(n);
  return n;
}

size_t tDecodeStream::Write(const void*, size_t) { throw EStreamError("not implemented"); }

int64_t tDecodeStream::Seek(int64_t offset, tSeekOrigin origin) {
  if ((offset == 0 && origin == tSeekOrigin::soCurrent) ||
      (offset == intPosition_ && origin == tSeekOrigin::soBeginning)) {
    return intPosition_;
  }
  throw EStreamError("not implemented");
}

void tDecodeStream::SetSize(int64_t) { throw EStreamError("not implemented"); }

}  // namespace q2
