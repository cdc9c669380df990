// The XML-over-TCP client and its connection pool.
#include "transport/tcp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/convert.h"
#include "platform/sleep.h"
#include "platform/socket_error.h"
#include "transport/cache_stream.h"
#include "transport/connection_pool.h"
#include "transport/lzw.h"
#include "transport/tcp_socket.h"

namespace q2 {
namespace {

// PoolLock guards the creation of the pool and every lookup, removal and insertion; it is
// never held during network input or output.
std::mutex gPoolLock;
std::unique_ptr<tConnects> gConnectionPool;

std::mutex gCallKeyLock;
std::string gCallKey;

std::atomic<int> gIoTimeoutMs{kIoTimeoutMs};
std::atomic<int> gHandshakeTimeoutMs{kHandshakeTimeoutMs};

// A connection owned by one exchange, with what its handshake negotiated.
struct tConnection {
  tSocket socket;
  uint32_t flags = 0;
  uint32_t seedBase = 0;
};

bool IsExtended(uint32_t flags) { return (flags & kXmlFlagsLevelMask) != 0; }

std::string StepFailure(const std::string& step) {
  const int code = LastSocketError();
  // Code 0 means the peer closed the connection (a receive returned nothing): say so, since
  // ". Error=0" alone tells an operator nothing.
  return step + SocketErrorText(code) + (code == 0 ? " (connection closed by the server)" : "");
}

// The host part as an IPv4 address: dotted, else resolved (its first address).
bool ResolveHost(const std::string& host, in_addr* address, std::string* step) {
  if (inet_aton(host.c_str(), address) != 0) return true;
  *step = "GetHostByName";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  errno = 0;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    SetLastSocketError(SocketErrorFromResolver(rc != 0 ? rc : EAI_NONAME, errno));
    return false;
  }
  *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// Non-blocking connect bounded by the I/O time limit; the socket stays non-blocking (every
// send and receive waits with poll()).
bool ConnectBounded(int fd, const sockaddr_in& to) {
  const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (rc == 0) return true;
  if (errno != EINPROGRESS) {
    SetLastSocketErrorFromErrno();
    return false;
  }
  pollfd p{fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&p, 1, gIoTimeoutMs.load());
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) {
    SetLastSocketError(kSockErrTimedOut);
    return false;
  }
  if (ready < 0) {
    SetLastSocketErrorFromErrno();
    return false;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err != 0) {
    SetLastSocketError(SocketErrorFromErrno(err));
    return false;
  }
  return true;
}

// Connects to `address` and runs the handshake offering `offeredFlags`. On success `conn`
// holds the socket and the server's flags and seed base.
bool OpenXmlConnection(const std::string& address, uint32_t offeredFlags, tConnection* conn,
                       std::string& errorText) {
  std::string step = "Create socket";
  tSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket) {
    SetLastSocketErrorFromErrno();
    errorText = StepFailure(step);
    return false;
  }
  step = "Decode address " + address;
  std::string host = address;
  int32_t port = kXmlDefaultPort;
  const size_t colon = address.find(':');
  if (colon != std::string::npos) {
    host = address.substr(0, colon);
    port = StrToInt(address.substr(colon + 1));  // raises for a port that is not a number
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (port < 0 || port > 0xFFFF) {
    SetLastSocketError(kSockErrInvalid);
    errorText = StepFailure(step);
    return false;
  }
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (!ResolveHost(host, &to.sin_addr, &step)) {
    errorText = StepFailure(step);
    return false;
  }
  // The length word and the body go out in separate sends: no delayed-ACK stall.
  const int noDelay = 1;
  setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

  step = "connect " + address;
  if (!ConnectBounded(socket.Fd(), to)) {
    errorText = StepFailure(step);
    return false;
  }

  step = "send handshake";
  uint8_t hello[8];
  size_t helloBytes = 4;
  if (IsExtended(offeredFlags)) {
    PutLE32(hello, kXmlHandshakeExtended);
    PutLE32(hello + 4, offeredFlags);
    helloBytes = 8;
  } else {
    PutLE32(hello, kXmlHandshakePlain);
  }
  if (!SendAll(socket.Fd(), hello, helloBytes, gIoTimeoutMs.load())) {
    errorText = StepFailure(step);
    return false;
  }

  step = "recv handshake timeout";
  if (WaitReadable(socket.Fd(), gHandshakeTimeoutMs.load()) <= 0) {
    errorText = StepFailure(step);
    return false;
  }

  step = "recv handshake";
  uint8_t reply[4];
  if (!RecvExact(socket.Fd(), reply, 4, gIoTimeoutMs.load())) {
    errorText = "Illegal handshake received";
    return false;
  }
  const uint32_t word = GetLE32(reply);
  if (word == kXmlReplyFirstGeneration) {
    conn->flags = kXmlFirstGenerationFlags;
    conn->seedBase = 0;
  } else if (word == kXmlReplyExtended) {
    uint8_t info[8];
    if (!RecvExact(socket.Fd(), info, 4, gIoTimeoutMs.load()) ||
        !RecvExact(socket.Fd(), info + 4, 4, gIoTimeoutMs.load())) {
      errorText = "Illegal handshake information received";
      return false;
    }
    conn->flags = GetLE32(info);
    conn->seedBase = GetLE32(info + 4);
  } else {
    errorText = "Illegal handshake received";
    return false;
  }
  conn->socket = std::move(socket);
  return true;
}

// Puts the connection back as the one idle connection of `address`; a displaced one is
// closed gracefully after the lock is released.
void ReleaseConnection(const std::string& address, tConnection& conn) {
  tSocket displaced;
  {
    std::lock_guard<std::mutex> lock(gPoolLock);
    if (!gConnectionPool) gConnectionPool = std::make_unique<tConnects>();
    const int index = gConnectionPool->Find(address);
    if (index >= 0) displaced = gConnectionPool->CloseConnect(index);
    gConnectionPool->AddConnect(
        address, std::make_unique<tConnectInfo>(std::move(conn.socket),
                                                static_cast<int32_t>(conn.flags), conn.seedBase));
  }
  GracefulClose(displaced, gIoTimeoutMs.load());
}

// Receives `count` bytes of a response piece; the failure text names the reason.
bool ReceiveExact(int fd, void* buffer, size_t count, std::string& errorText) {
  if (RecvExact(fd, buffer, count, gIoTimeoutMs.load())) return true;
  const int code = LastSocketError();
  errorText =
      "Disconnected receiving reply: " +
      (code == 0 ? std::string("connection closed by the server") : SocketErrorMessage(code));
  return false;
}

// Request header (extended only) and payload (compressed with flag 0x40), scrambled.
void BuildBody(const tConnection& conn, const std::string& clientTag, const void* request,
               size_t requestLength, int32_t requestNumber, const std::string& key,
               tScrambleProc scramble, tHeapMemStream& body) {
  body.SetSize(0);
  if (IsExtended(conn.flags)) {
    const std::string tag = clientTag.substr(0, kXmlMaxClientTagBytes);
    uint8_t header[6];
    header[0] = static_cast<uint8_t>(tag.size());
    body.WriteBuffer(header, 1);
    body.WriteBuffer(tag.data(), tag.size());
    header[0] = kXmlRequestNumberFollows;
    PutLE32(header + 1, static_cast<uint32_t>(requestNumber));
    body.WriteBuffer(header, 5);
  }
  if ((conn.flags & kXmlFlagCompressed) != 0) {
    tHeapMemStream plain;
    plain.WriteBuffer(request, requestLength);
    plain.Seek(0, tSeekOrigin::soBeginning);
    LzCompress(plain, body);
  } else {
    body.WriteBuffer(request, requestLength);
  }
  scramble(body.Memory(), static_cast<size_t>(body.SizeBytes()), key, conn.seedBase);
}

void CheckRoutines(const tConnection& conn, tScrambleProc scramble, tScrambleProc descramble) {
  if ((scramble == descramble) != ((conn.flags & kXmlFlagSymmetric) != 0)) {
    throw std::runtime_error("Assertion failure");
  }
}

// Copies all of `from` (from its start) onto `to`.
void CopyStream(ITransportStream& from, ITransportStream& to, std::vector<uint8_t>& piece) {
  from.Seek(0, tSeekOrigin::soBeginning);
  for (;;) {
    const size_t n = from.Read(piece.data(), piece.size());
    if (n == 0) break;
    to.WriteBuffer(piece.data(), n);
  }
}

}  // namespace

void SetCallKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(gCallKeyLock);
  gCallKey = key;
}

std::string GetCallKey() {
  std::lock_guard<std::mutex> lock(gCallKeyLock);
  return gCallKey;
}

void SetXmlTcpTimeouts(int ioTimeoutMs, int handshakeTimeoutMs) {
  gIoTimeoutMs = ioTimeoutMs > 0 ? ioTimeoutMs : kIoTimeoutMs;
  gHandshakeTimeoutMs = handshakeTimeoutMs > 0 ? handshakeTimeoutMs : kHandshakeTimeoutMs;
}

int IdleConnectionCount(const std::string& address) {
  std::lock_guard<std::mutex> lock(gPoolLock);
  return gConnectionPool ? gConnectionPool->CountOf(address) : 0;
}

void FreeConnectionPool() {
  std::unique_ptr<tConnects> pool;
  {
    std::lock_guard<std::mutex> lock(gPoolLock);
    pool = std::move(gConnectionPool);
  }
}

bool CallXmlTcp(const std::string& address, const std::string& clientTag, const void* request,
                size_t requestLength, int32_t& requestNumber, ITransportStream& output,
                std::string& errorText) {
  return XmlTcpExchange(kDefaultCallFlags & ~(kXmlFlagCompressed | kXmlFlagSymmetric), address,
                        clientTag, request, requestLength, requestNumber, output, errorText,
                        ScrambleBlock, DescrambleBlock);
}

bool XmlTcpExchange(uint32_t flags, const std::string& address, const std::string& clientTag,
                    const void* request, size_t requestLength, int32_t& requestNumber,
                    ITransportStream& output, std::string& errorText, tScrambleProc scramble,
                    tScrambleProc descramble) {
  errorText.clear();
  const int ioTimeoutMs = gIoTimeoutMs.load();
  tConnection conn;
  conn.flags = flags;
  bool fromPool = false;
  {
    tSocket mismatched;
    {
      std::lock_guard<std::mutex> lock(gPoolLock);
      if (!gConnectionPool) gConnectionPool = std::make_unique<tConnects>();
      const int index = gConnectionPool->Find(address);
      if (index >= 0) {
        const tConnectInfo& row = gConnectionPool->At(index);
        if (((static_cast<uint32_t>(row.Flags) ^ flags) & kXmlFlagSymmetric) != 0) {
          mismatched = gConnectionPool->CloseConnect(index);
        } else {
          conn.flags = static_cast<uint32_t>(row.Flags);
          conn.seedBase = row.BaseRandseed;
          conn.socket = gConnectionPool->CloseConnect(index);
          fromPool = true;
        }
      }
    }
    GracefulClose(mismatched, ioTimeoutMs);
  }
  // An idle connection the server has closed (or reset) meanwhile cannot carry the
  // exchange: replace it before anything is sent on it.
  if (fromPool && IsStaleConnection(conn.socket.Fd())) {
    conn.socket.Close();
    conn.flags = flags;
    conn.seedBase = 0;
    fromPool = false;
  }
  if (!conn.socket && !OpenXmlConnection(address, flags, &conn, errorText)) return false;
  CheckRoutines(conn, scramble, descramble);

  const std::string key = GetCallKey();
  const bool extended = IsExtended(conn.flags);
  std::string step;
  auto fail = [&]() {
    errorText = StepFailure(step);
    conn.socket.Close();
    return false;
  };

  tHeapMemStream body;
  BuildBody(conn, clientTag, request, requestLength, requestNumber, key, scramble, body);
  uint8_t word[4];

  step = "send request size";
  PutLE32(word, static_cast<uint32_t>(body.SizeBytes()));
  if (SendOnce(conn.socket.Fd(), word, 4, ioTimeoutMs) != 4) {
    if (!fromPool) return fail();
    // The pooled connection died while idle: one new connection.
    conn.socket.Close();
    const uint32_t oldFlags = conn.flags, oldSeedBase = conn.seedBase;
    if (!OpenXmlConnection(address, flags, &conn, errorText)) return false;
    CheckRoutines(conn, scramble, descramble);
    if (conn.flags != oldFlags || conn.seedBase != oldSeedBase) {
      BuildBody(conn, clientTag, request, requestLength, requestNumber, key, scramble, body);
      PutLE32(word, static_cast<uint32_t>(body.SizeBytes()));
    }
    if (SendOnce(conn.socket.Fd(), word, 4, ioTimeoutMs) != 4) return fail();
  }

  step = "send request body";
  const uint8_t* out = body.Memory();
  size_t left = static_cast<size_t>(body.SizeBytes());
  while (left > 0) {
    const size_t piece = std::min<size_t>(left, kXmlRequestPieceBytes);
    const long sent = SendOnce(conn.socket.Fd(), out, piece, ioTimeoutMs);
    if (sent <= 0) {
      if (sent == 0) SetLastSocketError(kSockErrShutdown);
      return fail();
    }
    out += sent;
    left -= static_cast<size_t>(sent);
  }
  body.SetSize(0);

  if (extended) {
    step = "recv Result Request Number";
    if (!RecvExact(conn.socket.Fd(), word, 4, ioTimeoutMs)) return fail();
    requestNumber = static_cast<int32_t>(GetLE32(word));
  }
  step = "recv Result XML length";
  if (!RecvExact(conn.socket.Fd(), word, 4, ioTimeoutMs)) return fail();
  uint32_t remaining = GetLE32(word);
  step = "recv Result XML body";

  const bool compressed = (conn.flags & kXmlFlagCompressed) != 0;
  // The plain exchange descrambles the response as a whole, so with a key it is gathered
  // first even when it is not compressed.
  const bool wholeDescramble = !extended && !key.empty();
  std::unique_ptr<ITransportStream> buffer;
  tHeapMemStream* memoryBuffer = nullptr;
  const uint32_t total = remaining;
  if (total >= kLargeResponseThresholdBytes) {
    buffer = std::make_unique<tTempFileCacheStream>("tmp");
  } else {
    auto memory = std::make_unique<tHeapMemStream>();
    memoryBuffer = memory.get();
    buffer = std::move(memory);
  }
  ITransportStream& target = (compressed || wholeDescramble) ? *buffer : output;

  std::vector<uint8_t> piece(kXmlResponsePieceBytes);
  while (remaining > 0) {
    const uint32_t count = std::min(remaining, kXmlResponsePieceBytes);
    if (!ReceiveExact(conn.socket.Fd(), piece.data(), count, errorText)) {
      conn.socket.Close();
      return false;
    }
    remaining -= count;
    if (extended && !key.empty()) descramble(piece.data(), count, key, conn.seedBase);
    try {
      target.WriteBuffer(piece.data(), count);
    } catch (const std::exception& e) {
      errorText = "Writing to " + target.ClassName() + ". " + e.what();
      conn.socket.Close();
      return false;
    }
  }

  if (extended) {
    const uint8_t ack = kXmlAcknowledge;
    SendOnce(conn.socket.Fd(), &ack, 1, ioTimeoutMs);  // its result does not matter
  }

  try {
    if (wholeDescramble) {
      if (memoryBuffer != nullptr) {
        descramble(memoryBuffer->Memory(), static_cast<size_t>(memoryBuffer->SizeBytes()), key,
                   conn.seedBase);
      } else {
        buffer = std::make_unique<tDecodeStream>(std::move(buffer), key, total);
      }
      if (!compressed) CopyStream(*buffer, output, piece);
    }
  } catch (const std::exception& e) {
    errorText = "Writing to " + output.ClassName() + ". " + e.what();
    conn.socket.Close();
    return false;
  }

  if (compressed) {
    const int64_t outputStart = output.Position();
    int status = kLzOk;
    try {
      buffer->Seek(0, tSeekOrigin::soBeginning);
      status = LzDecompress(*buffer, output);
    } catch (const std::exception&) {
      SleepMs(kDecompressRetryPauseMs);
      try {
        // A reader that cannot rewind any more fails here, and that ends the exchange.
        buffer->Seek(0, tSeekOrigin::soBeginning);
        output.Seek(outputStart, tSeekOrigin::soBeginning);
        status = LzDecompress(*buffer, output);
      } catch (const std::exception& e) {
        errorText = "Writing to " + output.ClassName() + ". " + e.what();
        conn.socket.Close();
        return false;
      }
    }
    if (status != kLzOk) {
      errorText = step + ": damaged compressed response (status " + std::to_string(status) + ")";
      conn.socket.Close();
      return false;
    }
  }
  buffer.reset();
  ReleaseConnection(address, conn);
  return true;
}

}  // namespace q2
