// Wire constants of the XML-over-TCP protocol, shared by the client and the server piece.
//
// One connection:  handshake once, then exchanges; all integers 32-bit little-endian.
//   client -> server  extended: D2 B8 85 3F, offered flags      plain: D2 A8 85 3F
//   server -> client  AC 03 72 43, flags, seed base   or   AC 03 70 43 (first generation:
//                     flags 0xC0, seed base 0)
// One exchange:
//   client -> server  N, body[N]; body = [T, tag[T], 0x01, request number] (extended only)
//                     + payload (LZW-compressed with flag 0x40), scrambled as a whole
//   server -> client  [request number] (extended only), M, body[M]
//   client -> server  'O' (extended only)
#pragma once

#include <cstdint>

namespace q2 {

// Flags word: protocol level (non-zero: extended exchange), compression, symmetric routine.
inline constexpr uint32_t kXmlFlagsLevelMask = 0x3F;
inline constexpr uint32_t kXmlFlagCompressed = 0x40;
inline constexpr uint32_t kXmlFlagSymmetric = 0x80;
// Flags a first-generation server implies.
inline constexpr uint32_t kXmlFirstGenerationFlags = 0xC0;

inline constexpr uint32_t kXmlHandshakeExtended = 0x3F85B8D2;     // D2 B8 85 3F
inline constexpr uint32_t kXmlHandshakePlain = 0x3F85A8D2;        // D2 A8 85 3F
inline constexpr uint32_t kXmlReplyFirstGeneration = 0x437003AC;  // AC 03 70 43
inline constexpr uint32_t kXmlReplyExtended = 0x437203AC;         // AC 03 72 43

inline constexpr uint8_t kXmlRequestNumberFollows = 0x01;
inline constexpr uint8_t kXmlAcknowledge = 0x4F;  // 'O'
inline constexpr uint32_t kXmlMaxClientTagBytes = 255;

inline constexpr int kXmlDefaultPort = 2233;
// Requests go out in pieces of at most 2048 bytes; responses come in (and, in the extended
// exchange with a key, are scrambled) in blocks of 65,536 bytes.
inline constexpr uint32_t kXmlRequestPieceBytes = 2048;
inline constexpr uint32_t kXmlResponsePieceBytes = 65536;
// Responses of this size or more are buffered in a temporary file; in the plain exchange
// with a key they are coded by the stream reader's pass instead of the block routine.
inline constexpr uint32_t kLargeResponseThresholdBytes = 1000000;

inline void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetLE32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace q2
