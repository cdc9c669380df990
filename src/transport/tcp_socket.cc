// Bounded socket input and output over poll().
#include "transport/tcp_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/socket_error.h"

namespace q2 {
namespace {

// poll() for `events`, retried on EINTR within the same deadline.
int PollFor(int fd, short events, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd, events, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    const int rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (rc > 0) return 1;
    if (rc == 0) {
      SetLastSocketError(kSockErrTimedOut);
      return 0;
    }
    if (errno != EINTR) {
      SetLastSocketErrorFromErrno();
      return -1;
    }
  }
}

}  // namespace

tSocket& tSocket::operator=(tSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void tSocket::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

int tSocket::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

long SendOnce(int fd, const void* data, size_t count, int timeoutMs) {
  for (;;) {
    const int ready = PollFor(fd, POLLOUT, timeoutMs);
    if (ready <= 0) return -1;
    const ssize_t sent = send(fd, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR || errno == EAGAIN) continue;
    SetLastSocketErrorFromErrno();
    return -1;
  }
}

bool SendAll(int fd, const void* data, size_t count, int timeoutMs) {
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    const long sent = SendOnce(fd, p, count, timeoutMs);
    if (sent <= 0) {
      if (sent == 0) SetLastSocketError(kSockErrShutdown);
      return false;
    }
    p += sent;
    count -= static_cast<size_t>(sent);
  }
  return true;
}

int WaitReadable(int fd, int timeoutMs) { return PollFor(fd, POLLIN, timeoutMs); }

bool RecvExact(int fd, void* buffer, size_t count, int timeoutMs) {
  char* p = static_cast<char*>(buffer);
  while (count > 0) {
    if (PollFor(fd, POLLIN, timeoutMs) <= 0) return false;
    const ssize_t got = recv(fd, p, count, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) {
      SetLastSocketErrorFromErrno();
      return false;
    }
    if (got == 0) {
      SetLastSocketError(0);
      return false;
    }
    p += got;
    count -= static_cast<size_t>(got);
  }
  return true;
}

bool IsStaleConnection(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
  const int rc = poll(&p, 1, 0);
  return rc != 0;
}

void GracefulClose(tSocket& socket, int timeoutMs) {
  if (!socket) return;
  shutdown(socket.Fd(), SHUT_WR);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char byte;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (PollFor(socket.Fd(), POLLIN, static_cast<int>(left)) <= 0) break;
    if (recv(socket.Fd(), &byte, 1, MSG_DONTWAIT) != 1) break;
  }
  socket.Close();
}

}  // namespace q2
