// TCP socket primitives of the XML-over-TCP client and server piece: an owning socket
// handle and sends and receives that never raise SIGPIPE and never wait longer than the
// time they are given. Failures leave a table number in LastSocketError()
// (platform/socket_error.h); an orderly close by the peer leaves 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace q2 {

// Owns one socket descriptor; closing is a plain close (no draining).
class tSocket final {
 public:
  tSocket() = default;
  explicit tSocket(int fd) : fd_(fd) {}
  ~tSocket() { Close(); }
  tSocket(const tSocket&) = delete;
  tSocket& operator=(const tSocket&) = delete;
  tSocket(tSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  tSocket& operator=(tSocket&& other) noexcept;

  int Fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Close();
  int Release();

 private:
  int fd_ = -1;
};

// One send() with MSG_NOSIGNAL, waiting at most timeoutMs for room; the bytes sent, or -1.
long SendOnce(int fd, const void* data, size_t count, int timeoutMs);
// Sends everything; false on the first failed or empty send.
bool SendAll(int fd, const void* data, size_t count, int timeoutMs);
// 1 readable (data or end of stream), 0 time out (last error 10060), -1 failure.
int WaitReadable(int fd, int timeoutMs);
// Receives exactly `count` bytes, each wait bounded by timeoutMs. False on close (last
// error 0), failure or time out (10060).
bool RecvExact(int fd, void* buffer, size_t count, int timeoutMs);
// True when an idle connection can no longer carry an exchange: the peer closed it, reset
// it, or sent something unasked.
bool IsStaleConnection(int fd);
// Shuts down the sending direction, reads and discards until the peer closes (at most
// timeoutMs in all), and closes.
void GracefulClose(tSocket& socket, int timeoutMs);

}  // namespace q2
