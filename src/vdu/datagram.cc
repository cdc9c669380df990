// Display message scrambling and UDP sending.
#include "vdu/datagram.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace q2 {

namespace {

constexpr uint32_t kRandomMultiplier = 134775813u;  // 0x08088405
constexpr int32_t kCounterAtStart = 31999;
constexpr int32_t kCounterWrap = 32001;  // the value that turns into 0

// Not atomic: only the worker thread sends.
constinit int32_t gVDUMessageCounter = kCounterAtStart;

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

void PutUint16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

tVDUAddress ParseVDUAddress(const std::string& text) {
  const std::string trimmed = Trimmed(text);
  if (trimmed.empty()) return tVDUAddress{};
  const auto fail = [&text]() -> tVDUAddress {
    throw std::runtime_error("VDUAddress is invalid: \"" + text + "\"");
  };
  std::string host = trimmed;
  uint32_t port = kVDUDefaultPort;
  const auto colon = trimmed.find(':');
  if (colon != std::string::npos) {
    host = trimmed.substr(0, colon);
    const std::string portText = trimmed.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 ||
        !std::all_of(portText.begin(), portText.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
      return fail();
    }
    port = static_cast<uint32_t>(std::stoul(portText));
    if (port == 0 || port > 65535) return fail();
  }
  in_addr parsed{};
  // inet_pton accepts only the full dotted-quad form, no host names and no shorthands.
  if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) return fail();
  tVDUAddress address;
  address.Host = ntohl(parsed.s_addr);
  address.Port = static_cast<uint16_t>(port);
  return address;
}

std::string FormatVDUAddress(const tVDUAddress& address) {
  in_addr raw{};
  raw.s_addr = htonl(address.Host);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &raw, text, sizeof text);
  return std::string(text) + ":" + std::to_string(address.Port);
}

uint32_t tVDURandom::Next(uint32_t range) {
  state_ = state_ * kRandomMultiplier + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(state_) * range) >> 32);
}

tBitPermutation MakeBitPermutation(tVDURandom& random) {
  uint8_t pool[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  uint32_t poolSize = 8;
  tBitPermutation permutation{};
  for (int j = 7; j >= 0; --j) {
    const uint32_t r = random.Next(static_cast<uint32_t>(j) + 1);
    permutation[static_cast<size_t>(j)] = pool[r];
    std::memmove(pool + r, pool + r + 1, poolSize - r - 1);
    --poolSize;
  }
  return permutation;
}

uint8_t PermuteBits(uint8_t value, const tBitPermutation& permutation) {
  uint8_t out = 0;
  for (size_t i = 0; i < 8; ++i) {
    if (value & (1u << i)) out = static_cast<uint8_t>(out | (1u << permutation[i]));
  }
  return out;
}

uint8_t UnpermuteBits(uint8_t value, const tBitPermutation& permutation) {
  uint8_t out = 0;
  for (size_t i = 0; i < 8; ++i) {
    if (value & (1u << permutation[i])) out = static_cast<uint8_t>(out | (1u << i));
  }
  return out;
}

std::array<uint8_t, 8> MakeVDUKey(int32_t restCode) {
  tVDURandom random(static_cast<uint32_t>(restCode) + kVDUSeedOffset);
  std::array<uint8_t, 8> key{};
  for (auto& byte : key) {
    const tBitPermutation permutation = MakeBitPermutation(random);
    byte = PermuteBits(static_cast<uint8_t>(random.Next(256)), permutation);
  }
  return key;
}

void codebuf(uint8_t* data, size_t length, int32_t restCode) {
  if (restCode == 0) throw std::runtime_error("codebuf: rest code is invalid");
  const std::array<uint8_t, 8> key = MakeVDUKey(restCode);
  const uint32_t xorSeed = static_cast<uint32_t>(key[0]) | static_cast<uint32_t>(key[1]) << 8 |
                           static_cast<uint32_t>(key[2]) << 16 |
                           static_cast<uint32_t>(key[3]) << 24;
  // The length enters the seed modulo 2^32.
  const uint32_t permutationSeed =
      (static_cast<uint32_t>(key[4]) | static_cast<uint32_t>(key[5]) << 8 |
       static_cast<uint32_t>(key[6]) << 16 | static_cast<uint32_t>(key[7]) << 24) +
      static_cast<uint32_t>(length);
  tVDURandom random(xorSeed);
  for (size_t i = 0; i < length; ++i) data[i] ^= static_cast<uint8_t>(random.Next(256));
  random.Seed(permutationSeed);
  for (size_t i = 0; i < length; ++i) data[i] = PermuteBits(data[i], MakeBitPermutation(random));
}

tVDUSocket& tVDUSocket::operator=(tVDUSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

tVDUSocket::~tVDUSocket() { Close(); }

void tVDUSocket::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

tVDUSocket CreateVDUSocket() {
  tVDUSocket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!socket.IsOpen()) throw std::runtime_error("socket not created INVALID_SOCKET");
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(0);
  if (::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    throw std::runtime_error("socket bind error");
  }
  return socket;
}

bool BroadcastDatagram(const tVDUSocket& socket, const uint8_t* bytes, size_t length,
                       const tVDUAddress& to) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(to.Host);
  destination.sin_port = htons(to.Port);
  const int32_t on = -1;  // all bits set
  const int32_t off = 0;
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  const ssize_t sent =
      ::sendto(socket.Fd(), bytes, length, 0, reinterpret_cast<const sockaddr*>(&destination),
               sizeof destination);
  ::setsockopt(socket.Fd(), SOL_SOCKET, SO_BROADCAST, &off, sizeof off);
  return sent >= 0 && static_cast<size_t>(sent) == length;
}

int32_t VDUMessageCounter() { return gVDUMessageCounter; }

int32_t AdvanceVDUMessageCounter() {
  ++gVDUMessageCounter;
  if (gVDUMessageCounter == kCounterWrap) gVDUMessageCounter = 0;
  return gVDUMessageCounter;
}

void SetVDUMessageCounter(int32_t value) { gVDUMessageCounter = value; }

void SendVDUMessage(uint8_t* data, size_t length, int32_t restCode, uint8_t displayId,
                    const tVDUAddress& to, const tVDUSocket* socket) {
  // The socket library needs no start or clean-up on this platform, so there is no
  // "socket library error" here. An own socket is closed on every way out of this function.
  tVDUSocket own;
  if (socket == nullptr) {
    own = CreateVDUSocket();
    socket = &own;
  }
  const int32_t counter = AdvanceVDUMessageCounter();
  codebuf(data, length, restCode);

  // One datagram buffer per call rather than per process: nothing needs to outlive a send.
  std::array<uint8_t, kVDUDatagramMaxBytes> datagram{};
  PutUint16(&datagram[0], kVDUMagic);
  datagram[2] = displayId;
  PutUint16(&datagram[3], static_cast<uint16_t>(counter));
  PutUint16(&datagram[5], 1);
  size_t position = 0;
  uint32_t index = 0;
  while (position < length) {
    const size_t n = std::min(length - position, kVDUChunkMaxBytes);
    datagram[7] = static_cast<uint8_t>(index);
    datagram[8] = position + n == length ? 1 : 0;
    std::memcpy(&datagram[kVDUHeaderBytes], data + position, n);
    BroadcastDatagram(*socket, datagram.data(), n + kVDUHeaderBytes, to);
    position += n;
    ++index;
  }
}

}  // namespace q2
