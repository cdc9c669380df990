// Just enough HTTP/1.1 for the simulator's second port: reading requests (request line,
// headers, a body by Content-Length or chunked, "Expect: 100-continue" answered) from a
// non-blocking socket, and composing responses. Persistent connections are kept unless
// the client asks to close. One reader per connection thread.
#pragma once

#include <atomic>
#include <string>
#include <utility>
#include <vector>

namespace q2::sim {

struct tHttpRequest {
  std::string method, target, version;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  bool keepAlive = true;
  // The first header of that (lower-case) name; empty when absent.
  std::string Header(const std::string& name) const;
  // The target without its query.
  std::string Path() const { return target.substr(0, target.find('?')); }
};

class tHttpReader final {
 public:
  enum class tResult { kOk, kClosed, kBad };

  // `stop` ends every wait; waits between requests are unbounded otherwise (idle
  // persistent connections), a request that has begun must be complete within
  // kRequestTimeoutMs.
  tHttpReader(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}
  tHttpReader(const tHttpReader&) = delete;
  tHttpReader& operator=(const tHttpReader&) = delete;

  // kClosed: the peer closed (or the server stops) before a request began; kBad: a broken
  // or cut request, `error` says why.
  tResult Read(tHttpRequest* request, std::string* error);

  static constexpr int kRequestTimeoutMs = 30000;
  static constexpr size_t kMaxHeaderBytes = 64 * 1024;
  static constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;

 private:
  // Appends what the socket has to buffer_; false on close, failure, stop or time out.
  bool Fill(bool requestBegun);
  // A CR LF terminated line from the buffer (without CR LF).
  bool ReadLine(std::string* line, std::string* error);
  bool ReadBytes(size_t count, std::string* out, std::string* error);

  int fd_;
  const std::atomic<bool>& stop_;
  std::string buffer_;
  long long deadline_ = 0;  // steady-clock milliseconds of the current request
};

// "HTTP/1.1 <status> <reason>", Content-Type (when given), Content-Length, and
// "Connection: close" when `close`.
std::string HttpResponseHead(int status, const std::string& reason, const std::string& contentType,
                             size_t contentLength, bool close);

// The "login:password" of an "Authorization: Basic ..." value; empty for anything else.
std::string BasicCredentials(const std::string& authorization);

}  // namespace q2::sim
