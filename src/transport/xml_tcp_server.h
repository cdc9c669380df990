// The server side of the XML-over-TCP protocol (xml_tcp_protocol.h), for cash-server
// simulators and test servers: a loopback listener, and one accepted connection that reads
// the handshake and framed requests (with the extended header, descrambling and
// decompression) and writes framed responses (compressed, scrambled per 64 KB block in the
// extended exchange, or as a whole in the plain one). Every wait is bounded.
// One thread per connection object.
#pragma once

#include <cstdint>
#include <string>

#include "transport/scramble.h"
#include "transport/tcp_socket.h"
#include "transport/xml_tcp_protocol.h"

namespace q2 {

// A listening IPv4 TCP socket.
class tXmlTcpListener final {
 public:
  // Binds `host` (a dotted IPv4 address) on `port` (0: an ephemeral one) and listens.
  // Raises std::runtime_error with the socket error text on failure.
  explicit tXmlTcpListener(const std::string& host = "127.0.0.1", uint16_t port = 0);
  tXmlTcpListener(const tXmlTcpListener&) = delete;
  tXmlTcpListener& operator=(const tXmlTcpListener&) = delete;

  uint16_t Port() const { return port_; }
  // The next client, or an empty socket when none came within timeoutMs.
  tSocket Accept(int timeoutMs);
  void Close() { socket_.Close(); }

 private:
  tSocket socket_;
  uint16_t port_ = 0;
};

// One request as the server reads it.
struct tXmlTcpRequest {
  std::string clientTag;          // extended exchange only
  bool hasRequestNumber = false;  // the 0x01 byte was present
  int32_t requestNumber = 0;
  std::string payload;  // descrambled and decompressed request bytes
};

class tXmlTcpServerConnection final {
 public:
  explicit tXmlTcpServerConnection(tSocket socket, int ioTimeoutMs = 30000);
  tXmlTcpServerConnection(const tXmlTcpServerConnection&) = delete;
  tXmlTcpServerConnection& operator=(const tXmlTcpServerConnection&) = delete;

  // The scrambling key of this connection (empty: none) and the routines: the one that
  // undoes the client's request scrambling and the one that the client's response routine
  // undoes. Defaults: DescrambleBlock and ScrambleBlock. With flag 0x80 pass one routine.
  void SetKey(const std::string& key) { key_ = key; }
  void SetRoutines(tScrambleProc requestDescramble, tScrambleProc responseScramble);

  // Reads the client's hello: true with `extended` and (extended only) the offered flags.
  // False on anything else or when nothing came within timeoutMs.
  bool ReadHandshake(bool* extended, uint32_t* offeredFlags, int timeoutMs);
  // The extended reply; `flags` and `seedBase` become this connection's.
  bool SendHandshakeReply(uint32_t flags, uint32_t seedBase);
  // The first-generation reply: the connection's flags become 0xC0, its seed base 0.
  bool SendFirstGenerationReply();
  bool SendRaw(const void* data, size_t count);

  // Waits up to timeoutMs for the next request and reads it. False with `closed` true when
  // the client closed the connection between requests; false with `closed` false on a
  // broken or damaged request (`error` says which) or a time out.
  bool ReadRequest(tXmlTcpRequest* request, bool* closed, std::string* error, int timeoutMs);
  // Frames `response`: request number (extended), length, body; compressed with flag 0x40
  // and scrambled with the key.
  bool WriteResponse(const std::string& response, int32_t requestNumber);
  // Frames `body` as it stands (no compression, no scrambling): for damaged responses.
  bool WriteRawResponse(const std::string& body, int32_t requestNumber);
  // Reads the client's acknowledgement byte (extended exchange).
  bool ReadAck();

  uint32_t Flags() const { return flags_; }
  uint32_t SeedBase() const { return seedBase_; }
  bool Extended() const { return (flags_ & kXmlFlagsLevelMask) != 0; }
  int Fd() const { return socket_.Fd(); }
  void Close() { socket_.Close(); }

 private:
  bool WriteFrame(const std::string& body, int32_t requestNumber);

  tSocket socket_;
  int ioTimeoutMs_;
  std::string key_;
  tScrambleProc requestDescramble_ = DescrambleBlock;
  tScrambleProc responseScramble_ = ScrambleBlock;
  uint32_t flags_ = 0;
  uint32_t seedBase_ = 0;
};

// The coded form of `plain` for the plain exchange with a key: block scrambling of the
// whole response below 1,000,000 bytes, the stream reader's pass (keyed by the length)
// from there on, matching how the client reads either.
std::string ScramblePlainResponse(const std::string& plain, const std::string& key,
                                  uint32_t seedBase, tScrambleProc responseScramble);

}  // namespace q2
