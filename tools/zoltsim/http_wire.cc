// Minimal HTTP/1.1 request reading and response heads.
#include "zoltsim/http_wire.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "core/convert.h"
#include "transport/tcp_socket.h"

namespace q2::sim {
namespace {

constexpr int kPollSliceMs = 200;
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool ParseSize(const std::string& text, int base, size_t* value) {
  if (text.empty()) return false;
  size_t v = 0;
  for (const char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0 || v > (tHttpReader::kMaxBodyBytes * 16)) return false;
    v = v * base + digit;
  }
  *value = v;
  return true;
}

}  // namespace

std::string tHttpRequest::Header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return value;
  }
  return std::string();
}

bool tHttpReader::Fill(bool requestBegun) {
  char chunk[16384];
  while (!stop_) {
    const int ready = WaitReadable(fd_, kPollSliceMs);
    if (ready < 0) return false;
    if (ready == 0) {
      if (requestBegun && NowMs() > deadline_) return false;
      continue;
    }
    const ssize_t got = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(got));
    return true;
  }
  return false;
}

bool tHttpReader::ReadLine(std::string* line, std::string* error) {
  for (;;) {
    const size_t end = buffer_.find("\r\n");
    if (end != std::string::npos) {
      *line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      return true;
    }
    if (buffer_.size() > kMaxHeaderBytes) {
      *error = "header line too long";
      return false;
    }
    if (!Fill(true)) {
      *error = "request cut off";
      return false;
    }
  }
}

bool tHttpReader::ReadBytes(size_t count, std::string* out, std::string* error) {
  while (buffer_.size() < count) {
    if (!Fill(true)) {
      *error = "request body cut off";
      return false;
    }
  }
  out->append(buffer_, 0, count);
  buffer_.erase(0, count);
  return true;
}

tHttpReader::tResult tHttpReader::Read(tHttpRequest* request, std::string* error) {
  *request = tHttpRequest();
  error->clear();
  // Blank lines between requests are allowed.
  while (buffer_.empty() || buffer_.rfind("\r\n", 0) == 0) {
    if (!buffer_.empty()) {
      buffer_.erase(0, 2);
      continue;
    }
    if (!Fill(false)) return tResult::kClosed;
  }
  deadline_ = NowMs() + kRequestTimeoutMs;
  std::string line;
  if (!ReadLine(&line, error)) return tResult::kBad;
  const size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
  if (sp1 == std::string::npos || sp2 == sp1) {
    *error = "bad request line";
    return tResult::kBad;
  }
  request->method = line.substr(0, sp1);
  request->target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  request->version = line.substr(sp2 + 1);
  if (request->version != "HTTP/1.1" && request->version != "HTTP/1.0") {
    *error = "unsupported version " + request->version;
    return tResult::kBad;
  }
  size_t headerBytes = 0;
  for (;;) {
    if (!ReadLine(&line, error)) return tResult::kBad;
    if (line.empty()) break;
    headerBytes += line.size();
    const size_t colon = line.find(':');
    if (colon == std::string::npos || headerBytes > kMaxHeaderBytes) {
      *error = "bad header";
      return tResult::kBad;
    }
    request->headers.emplace_back(Lower(line.substr(0, colon)), Trim(line.substr(colon + 1)));
  }
  const std::string connection = Lower(request->Header("connection"));
  request->keepAlive =
      request->version == "HTTP/1.1" ? connection != "close" : connection == "keep-alive";
  if (Lower(request->Header("expect")) == "100-continue") {
    SendAll(fd_, kContinue, sizeof kContinue - 1, kRequestTimeoutMs);
  }
  if (Lower(request->Header("transfer-encoding")) == "chunked") {
    for (;;) {
      if (!ReadLine(&line, error)) return tResult::kBad;
      size_t size = 0;
      if (!ParseSize(line.substr(0, line.find(';')), 16, &size) ||
          request->body.size() + size > kMaxBodyBytes) {
        *error = "bad chunk size";
        return tResult::kBad;
      }
      if (size == 0) break;
      std::string crlf;
      if (!ReadBytes(size, &request->body, error) || !ReadBytes(2, &crlf, error)) {
        return tResult::kBad;
      }
    }
    // Trailers up to the blank line.
    do {
      if (!ReadLine(&line, error)) return tResult::kBad;
    } while (!line.empty());
    return tResult::kOk;
  }
  const std::string length = request->Header("content-length");
  size_t size = 0;
  if (!length.empty() && (!ParseSize(length, 10, &size) || size > kMaxBodyBytes)) {
    *error = "bad Content-Length";
    return tResult::kBad;
  }
  if (!ReadBytes(size, &request->body, error)) return tResult::kBad;
  return tResult::kOk;
}

std::string HttpResponseHead(int status, const std::string& reason, const std::string& contentType,
                             size_t contentLength, bool close) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (!contentType.empty()) head += "Content-Type: " + contentType + "\r\n";
  head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  if (close) head += "Connection: close\r\n";
  return head + "\r\n";
}

std::string BasicCredentials(const std::string& authorization) {
  if (authorization.size() < 6 || Lower(authorization.substr(0, 6)) != "basic ") return {};
  const std::string coded = Trim(authorization.substr(6));
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : coded) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return {};
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

}  // namespace q2::sim
