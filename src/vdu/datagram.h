// The kitchen display feed's transport: scrambling of one display message (codebuf), its cut
// into chunks of at most 1024 bytes, and one UDP datagram per chunk, each behind a 9-byte
// header. Also the pieces a receiver needs to undo it (see vdu/decoder.h and
// docs/vdu-datagrams.md).
//
// Datagram layout (little-endian):
//   0  2  magic 0xDEF0 (bytes F0 DE)
//   2  1  display id (low 8 bits of VDUID)
//   3  2  message number (low 16 bits of the message counter, equal in every chunk)
//   5  2  always 1
//   7  1  chunk index (0, 1, ... low 8 bits)
//   8  1  last: 1 in the last chunk of the message, else 0
//   9  n  payload, 1 <= n <= 1024 bytes of the scrambled message
//
// The message counter and the sending are meant for one thread (the worker): messages go
// out strictly one at a time. Everything else here is reentrant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace q2 {

// Added to the restaurant code to seed the key generator; a display must use the same value.
inline constexpr uint32_t kVDUSeedOffset = 0x2F6A3C51;

inline constexpr uint16_t kVDUMagic = 0xDEF0;
inline constexpr size_t kVDUHeaderBytes = 9;
inline constexpr size_t kVDUChunkMaxBytes = 1024;
inline constexpr size_t kVDUDatagramMaxBytes = kVDUHeaderBytes + kVDUChunkMaxBytes;
inline constexpr uint16_t kVDUDefaultPort = 11900;
inline constexpr const char* kVDUDefaultAddress = "255.255.255.255:11900";

// Where display datagrams go. `Host` is an IPv4 address in host byte order.
struct tVDUAddress {
  uint32_t Host = 0xFFFFFFFFu;
  uint16_t Port = kVDUDefaultPort;
};

// Parses the VDUAddress setting: a dotted IPv4 address, optionally followed by ":" and a
// decimal port 1..65535 (11900 when absent). Surrounding blanks are ignored; an empty text
// gives the default 255.255.255.255:11900. Throws std::runtime_error
// ("VDUAddress is invalid: \"" + text + "\"") for anything else.
tVDUAddress ParseVDUAddress(const std::string& text);
// "a.b.c.d:port".
std::string FormatVDUAddress(const tVDUAddress& address);

// The generator behind codebuf: S := S * 134775813 + 1 (mod 2^32), result = high 32 bits of
// S * range. One instance per scrambling run, so its output depends only on its seed.
class tVDURandom final {
 public:
  explicit tVDURandom(uint32_t seed) : state_(seed) {}
  void Seed(uint32_t seed) { state_ = seed; }
  // 0 <= result < range; range >= 1. Advances the state exactly once.
  uint32_t Next(uint32_t range);

 private:
  uint32_t state_;
};

// Bit position P[i] receives input bit i.
using tBitPermutation = std::array<uint8_t, 8>;

// Eight distinct bit positions drawn from `random` with exactly eight draws: P[7] first
// from a pool of 8, ..., P[0] last from a pool of 1.
tBitPermutation MakeBitPermutation(tVDURandom& random);
// Moves bit i of `value` to bit P[i].
uint8_t PermuteBits(uint8_t value, const tBitPermutation& permutation);
// The inverse: moves bit P[i] of `value` to bit i.
uint8_t UnpermuteBits(uint8_t value, const tBitPermutation& permutation);

// The 8-byte message key derived from the restaurant code (seed restCode + kVDUSeedOffset,
// each byte = a permutation, then a draw of 256 permuted by it). Exposed for the receiver.
std::array<uint8_t, 8> MakeVDUKey(int32_t restCode);

// Scrambles `length` bytes at `data` in place: XOR with a stream seeded by key[0..3], then
// one bit permutation per byte from a generator seeded by key[4..7] + length.
// Throws std::runtime_error("codebuf: rest code is invalid") for restCode 0 before touching
// anything. With length 0 nothing changes.
void codebuf(uint8_t* data, size_t length, int32_t restCode);

// A UDP socket (IPv4), closed on destruction.
class tVDUSocket final {
 public:
  tVDUSocket() = default;
  explicit tVDUSocket(int fd) : fd_(fd) {}
  tVDUSocket(const tVDUSocket&) = delete;
  tVDUSocket& operator=(const tVDUSocket&) = delete;
  tVDUSocket(tVDUSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  tVDUSocket& operator=(tVDUSocket&& other) noexcept;
  ~tVDUSocket();

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close();

 private:
  int fd_ = -1;
};

// An open UDP socket bound to 0.0.0.0, ephemeral port. Throws
// "socket not created INVALID_SOCKET" or "socket bind error".
tVDUSocket CreateVDUSocket();

// Sends one datagram of `length` bytes to `to`, with SO_BROADCAST switched on just before
// and off again just after the send. Returns whether the stack took the whole datagram;
// SendVDUMessage ignores it, as a display datagram is fire-and-forget.
bool BroadcastDatagram(const tVDUSocket& socket, const uint8_t* bytes, size_t length,
                       const tVDUAddress& to);

// The process-wide message counter: 31999 at process start; advanced once per message to
// 32000, then 0, 1, ..., 32000, 0, ...
int32_t VDUMessageCounter();
// Advances the counter as one message does and returns the new value.
int32_t AdvanceVDUMessageCounter();
// For tests: sets the counter's current value.
void SetVDUMessageCounter(int32_t value);

// Sends one display message: advances the counter, scrambles `data` in place with codebuf
// (on return it holds the scrambled bytes), and sends it as ceil(length / 1024) datagrams
// to `to`, back to back. `socket` is an open socket to send on, or nullptr to open (and
// close again) one of its own. Nothing is logged. Throws the failures of CreateVDUSocket and
// codebuf; with restCode 0 nothing is sent, but the counter has advanced.
void SendVDUMessage(uint8_t* data, size_t length, int32_t restCode, uint8_t displayId,
                    const tVDUAddress& to, const tVDUSocket* socket = nullptr);

}  // namespace q2
