// A tiny HTTP/1.1 server on 127.0.0.1 (ephemeral port) for tests: it answers each request
// with a fixed status line and body and records the request (method, target, headers,
// body). One connection at a time, one request per connection; bounded waits.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/tcp_socket.h"
#include "transport/xml_tcp_server.h"

namespace q2::test {

struct tHttpRequest {
  std::string method, target;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
};

class tHttpTestServer final {
 public:
  tHttpTestServer(std::string statusLine, std::string body)
      : statusLine_(std::move(statusLine)), body_(std::move(body)), thread_([this] { Run(); }) {}
  ~tHttpTestServer() {
    stop_ = true;
    thread_.join();
  }
  tHttpTestServer(const tHttpTestServer&) = delete;
  tHttpTestServer& operator=(const tHttpTestServer&) = delete;

  uint16_t Port() const { return listener_.Port(); }
  std::vector<tHttpRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  static constexpr int kIoMs = 5000;

  void Run() {
    while (!stop_) {
      tSocket client = listener_.Accept(50);
      if (client) Serve(client);
    }
  }

  // Reads until the end of the headers, then Content-Length bytes of body.
  void Serve(tSocket& client) {
    std::string data;
    size_t headerEnd;
    while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
      char c;
      if (!RecvExact(client.Fd(), &c, 1, kIoMs)) return;
      data += c;
    }
    tHttpRequest request;
    size_t lineEnd = data.find("\r\n");
    const std::string requestLine = data.substr(0, lineEnd);
    const size_t sp1 = requestLine.find(' '), sp2 = requestLine.rfind(' ');
    request.method = requestLine.substr(0, sp1);
    request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t pos = lineEnd + 2;
    while (pos < headerEnd) {
      lineEnd = data.find("\r\n", pos);
      const std::string line = data.substr(pos, lineEnd - pos);
      const size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      request.headers[name] = line.substr(v);
      pos = lineEnd + 2;
    }
    const auto length = request.headers.find("content-length");
    if (length != request.headers.end()) {
      request.body.resize(std::stoul(length->second));
      if (!RecvExact(client.Fd(), request.body.data(), request.body.size(), kIoMs)) return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    const std::string reply = statusLine_ + "\r\nContent-Length: " + std::to_string(body_.size()) +
                              "\r\nConnection: close\r\n\r\n" + body_;
    SendAll(client.Fd(), reply.data(), reply.size(), kIoMs);
    GracefulClose(client, kIoMs);
  }

  std::string statusLine_, body_;
  tXmlTcpListener listener_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<tHttpRequest> requests_;
  std::thread thread_;
};

}  // namespace q2::test
