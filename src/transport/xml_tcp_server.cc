// Server side of the XML-over-TCP protocol.
#include "transport/xml_tcp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "platform/socket_error.h"
#include "transport/lzw.h"
#include "transport/stream.h"

namespace q2 {
namespace {

// Sanity bound of a request body a server accepts (the client sends documents).
constexpr uint32_t kMaxRequestBytes = 256u << 20;

std::string FromStream(TToolMemoryStream& s) { return s.Bytes(); }

}  // namespace

tXmlTcpListener::tXmlTcpListener(const std::string& host, uint16_t port) {
  socket_ = tSocket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket_) {
    throw std::runtime_error("Create socket" + SocketErrorText(SetLastSocketErrorFromErrno()));
  }
  const int reuse = 1;
  setsockopt(socket_.Fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_aton(host.c_str(), &addr.sin_addr) == 0) {
    throw std::runtime_error("bind " + host + SocketErrorText(kSockErrInvalid));
  }
  if (bind(socket_.Fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(socket_.Fd(), 16) != 0) {
    throw std::runtime_error("bind " + host + SocketErrorText(SetLastSocketErrorFromErrno()));
  }
  socklen_t len = sizeof addr;
  getsockname(socket_.Fd(), reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
}

tSocket tXmlTcpListener::Accept(int timeoutMs) {
  if (!socket_ || WaitReadable(socket_.Fd(), timeoutMs) <= 0) return tSocket();
  tSocket client(accept4(socket_.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (client) {
    const int noDelay = 1;
    setsockopt(client.Fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  }
  return client;
}

tXmlTcpServerConnection::tXmlTcpServerConnection(tSocket socket, int ioTimeoutMs)
    : socket_(std::move(socket)), ioTimeoutMs_(ioTimeoutMs) {}

void tXmlTcpServerConnection::SetRoutines(tScrambleProc requestDescramble,
                                          tScrambleProc responseScramble) {
  requestDescramble_ = requestDescramble;
  responseScramble_ = responseScramble;
}

bool tXmlTcpServerConnection::ReadHandshake(bool* extended, uint32_t* offeredFlags, int timeoutMs) {
  uint8_t word[4];
  if (WaitReadable(socket_.Fd(), timeoutMs) <= 0 ||
      !RecvExact(socket_.Fd(), word, 4, ioTimeoutMs_)) {
    return false;
  }
  const uint32_t hello = GetLE32(word);
  if (hello == kXmlHandshakePlain) {
    *extended = false;
    *offeredFlags = 0;
    return true;
  }
  if (hello != kXmlHandshakeExtended || !RecvExact(socket_.Fd(), word, 4, ioTimeoutMs_)) {
    return false;
  }
  *extended = true;
  *offeredFlags = GetLE32(word);
  return true;
}

bool tXmlTcpServerConnection::SendHandshakeReply(uint32_t flags, uint32_t seedBase) {
  uint8_t reply[12];
  PutLE32(reply, kXmlReplyExtended);
  PutLE32(reply + 4, flags);
  PutLE32(reply + 8, seedBase);
  flags_ = flags;
  seedBase_ = seedBase;
  return SendRaw(reply, sizeof reply);
}

bool tXmlTcpServerConnection::SendFirstGenerationReply() {
  uint8_t reply[4];
  PutLE32(reply, kXmlReplyFirstGeneration);
  flags_ = kXmlFirstGenerationFlags;
  seedBase_ = 0;
  return SendRaw(reply, sizeof reply);
}

bool tXmlTcpServerConnection::SendRaw(const void* data, size_t count) {
  return SendAll(socket_.Fd(), data, count, ioTimeoutMs_);
}

bool tXmlTcpServerConnection::ReadRequest(tXmlTcpRequest* request, bool* closed, std::string* error,
                                          int timeoutMs) {
  *closed = false;
  error->clear();
  uint8_t word[4];
  const int ready = WaitReadable(socket_.Fd(), timeoutMs);
  if (ready <= 0) {
    *error = ready == 0 ? "no request" : "wait failed";
    return false;
  }
  if (!RecvExact(socket_.Fd(), word, 4, ioTimeoutMs_)) {
    *closed = LastSocketError() == 0 || LastSocketError() == kSockErrConnReset;
    *error = "request length" + SocketErrorText(LastSocketError());
    return false;
  }
  const uint32_t length = GetLE32(word);
  if (length > kMaxRequestBytes) {
    *error = "request too long";
    return false;
  }
  std::string body(length, '\0');
  if (!RecvExact(socket_.Fd(), body.data(), length, ioTimeoutMs_)) {
    *error = "request body" + SocketErrorText(LastSocketError());
    return false;
  }
  if (!key_.empty()) {
    requestDescramble_(reinterpret_cast<uint8_t*>(body.data()), length, key_, seedBase_);
  }
  size_t pos = 0;
  *request = tXmlTcpRequest();
  if (Extended()) {
    if (body.empty()) {
      *error = "request header missing";
      return false;
    }
    const size_t tagLength = static_cast<uint8_t>(body[0]);
    if (body.size() < 1 + tagLength + 1) {
      *error = "request header cut";
      return false;
    }
    request->clientTag = body.substr(1, tagLength);
    pos = 1 + tagLength;
    if (static_cast<uint8_t>(body[pos]) == kXmlRequestNumberFollows) {
      if (body.size() < pos + 5) {
        *error = "request number cut";
        return false;
      }
      request->hasRequestNumber = true;
      request->requestNumber =
          static_cast<int32_t>(GetLE32(reinterpret_cast<const uint8_t*>(body.data()) + pos + 1));
      pos += 5;
    } else {
      pos += 1;
    }
  }
  if ((flags_ & kXmlFlagCompressed) != 0) {
    TToolMemoryStream coded, plain;
    coded.WriteBuffer(body.data() + pos, body.size() - pos);
    coded.Seek(0, tSeekOrigin::soBeginning);
    const int status = LzDecompress(coded, plain);
    if (status != kLzOk) {
      *error = "damaged compressed request (status " + std::to_string(status) + ")";
      return false;
    }
    request->payload = FromStream(plain);
  } else {
    request->payload = body.substr(pos);
  }
  return true;
}

bool tXmlTcpServerConnection::WriteResponse(const std::string& response, int32_t requestNumber) {
  std::string body = response;
  if ((flags_ & kXmlFlagCompressed) != 0) {
    TToolMemoryStream plain, coded;
    plain.WriteBuffer(response.data(), response.size());
    plain.Seek(0, tSeekOrigin::soBeginning);
    LzCompress(plain, coded);
    body = FromStream(coded);
  }
  if (!key_.empty()) {
    if (Extended()) {
      // The client descrambles each 64 KB piece by itself.
      for (size_t at = 0; at < body.size(); at += kXmlResponsePieceBytes) {
        const size_t n = std::min<size_t>(kXmlResponsePieceBytes, body.size() - at);
        responseScramble_(reinterpret_cast<uint8_t*>(body.data()) + at, n, key_, seedBase_);
      }
    } else {
      body = ScramblePlainResponse(body, key_, seedBase_, responseScramble_);
    }
  }
  return WriteFrame(body, requestNumber);
}

bool tXmlTcpServerConnection::WriteRawResponse(const std::string& body, int32_t requestNumber) {
  return WriteFrame(body, requestNumber);
}

bool tXmlTcpServerConnection::WriteFrame(const std::string& body, int32_t requestNumber) {
  uint8_t header[8];
  size_t headerBytes = 0;
  if (Extended()) {
    PutLE32(header, static_cast<uint32_t>(requestNumber));
    headerBytes = 4;
  }
  PutLE32(header + headerBytes, static_cast<uint32_t>(body.size()));
  headerBytes += 4;
  return SendRaw(header, headerBytes) && SendRaw(body.data(), body.size());
}

bool tXmlTcpServerConnection::ReadAck() {
  uint8_t ack = 0;
  return RecvExact(socket_.Fd(), &ack, 1, ioTimeoutMs_) && ack == kXmlAcknowledge;
}

std::string ScramblePlainResponse(const std::string& plain, const std::string& key,
                                  uint32_t seedBase, tScrambleProc responseScramble) {
  std::string coded = plain;
  if (key.empty()) return coded;
  if (coded.size() < kLargeResponseThresholdBytes) {
    responseScramble(reinterpret_cast<uint8_t*>(coded.data()), coded.size(), key, seedBase);
    return coded;
  }
  // The reader's pass has no feedback: running it over the plain bytes codes them.
  auto source = std::make_unique<TToolMemoryStream>();
  source->WriteBuffer(plain.data(), plain.size());
  tDecodeStream coder(std::move(source), key, static_cast<uint32_t>(plain.size()));
  coder.ReadBuffer(coded.data(), coded.size());
  return coded;
}

}  // namespace q2
