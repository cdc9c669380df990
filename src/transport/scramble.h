// Block scrambling of the XML-over-TCP protocol and the reader that descrambles a stored
// response while it is read. All of them draw their bytes from one linear congruential
// generator. With an empty key nothing changes a byte.
// The block routines keep their generator seed per thread and may run on several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/stream.h"

namespace q2 {

// seed = seed · 134775813 + 1 (mod 2^32); returns (range · seed) >> 32 over 64 bits, so
// NextRandom(256, seed) is the new seed's top byte.
uint32_t NextRandom(uint32_t range, uint32_t& seed);

// The signature of a scrambling routine: rewrites `length` bytes at `data` in place with
// the key (8-bit text, first 255 bytes count) and the connection's seed base; does
// nothing for an empty key.
using tScrambleProc = void (*)(uint8_t* data, size_t length, const std::string& key,
                               uint32_t seedBase);

// Two passes with feedback (forward, then backward), so every output byte depends on the
// whole block. Used for the request direction.
void ScrambleBlock(uint8_t* data, size_t length, const std::string& key, uint32_t seedBase);
// Undoes ScrambleBlock for the same key, length and seed base (the response direction).
void DescrambleBlock(uint8_t* data, size_t length, const std::string& key, uint32_t seedBase);

// A read-only stream that descrambles `coded` (owned, rewound to 0) while it is read: one
// pass without feedback whose generator continues across reads, keyed by `key` and the
// size of the coded data. It can tell its position but cannot seek elsewhere: Seek other
// than (0, soCurrent) or (Position, soBeginning), Write and SetSize raise "not implemented".
// Requires a non-empty key.
class tDecodeStream final : public ITransportStream {
 public:
  tDecodeStream(std::unique_ptr<ITransportStream> coded, const std::string& key, uint32_t size);
  tDecodeStream(const tDecodeStream&) = delete;
  tDecodeStream& operator=(const tDecodeStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, tSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  std::string ClassName() const override { return "tDecodeStream"; }

 private:
  uint8_t tmp_[256] = {};  // tmp_[0] = key length, then the key bytes
  std::unique_ptr<ITransportStream> codedStream_;
  uint32_t randSeed_ = 0;
  int32_t intPosition_ = 0;
};

}  // namespace q2
