#include "notify/status.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log.h"
#include "notify/curl_easy.h"
#include "platform/files.h"

namespace q2 {

namespace {

constexpr char kUserAgent[] = "QuillonV2_1";
constexpr char kFallbackCAPath[] = "/etc/ssl/certs";
constexpr char kResponseBodyFile[] = "http_response.html";
constexpr char kRequestHeaderFile[] = "http_request.txt";
constexpr char kResponseHeaderFile[] = "http_response.txt";

struct tFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using tFilePtr = std::unique_ptr<std::FILE, tFileCloser>;

// What one exchange leaves behind for the log and the dump files.
struct tExchange {
  std::FILE* bodyFile = nullptr;          // reply body goes here when dumping, else nowhere
  std::string requestHeaders;             // raw block as sent, request line first
  std::vector<std::string> replyHeaders;  // last reply's lines, status line first, no CR LF
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<tExchange*>(user);
  const size_t bytes = size * count;
  if (exchange->bodyFile == nullptr) return bytes;
  return std::fwrite(data, 1, bytes, exchange->bodyFile);  // short count aborts the transfer
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<tExchange*>(user);
  const size_t bytes = size * count;
  std::string line(data, bytes);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // Each reply (an interim 1xx one included) starts with its status line; keep the last.
  if (line.rfind("HTTP/", 0) == 0) exchange->replyHeaders.clear();
  if (!line.empty()) exchange->replyHeaders.push_back(line);
  return bytes;
}

int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user) {
  if (type == CURLINFO_HEADER_OUT) {
    static_cast<tExchange*>(user)->requestHeaders.assign(data, size);
  }
  return 0;
}

// The header lines of a raw request block without its request line, each ending in CR LF.
std::string RequestHeaderLines(const std::string& raw) {
  std::string out;
  size_t start = raw.find('\n');
  while (start != std::string::npos && start + 1 < raw.size()) {
    const size_t end = raw.find('\n', start + 1);
    std::string line = raw.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out += line + "\r\n";
    start = end;
  }
  return out;
}

std::string ReplyHeaderLines(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 1; i < lines.size(); ++i) out += lines[i] + "\r\n";
  return out;
}

std::string SystemCAPath() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (info != nullptr && info->capath != nullptr && info->capath[0] != '\0') return info->capath;
  return kFallbackCAPath;
}

// One POST; throws std::runtime_error on every failure. Returns the reply's status line.
// `answeredCode` gets the reply's status as soon as one came (0 until then), also when the
// exchange fails afterwards: a failure after an answer below 400 still means the endpoint
// has the post.
std::string Post(const std::string& url, const std::string& body, const tHttpOptions& options,
                 long* answeredCode) {
  const bool dump = LogLevel() >= 2;
  const std::string folder = LogFolder();

  tExchange exchange;
  tFilePtr bodyFile;
  if (dump) {
    const std::string path = folder + kResponseBodyFile;
    bodyFile.reset(std::fopen(path.c_str(), "wb"));
    if (!bodyFile) {
      throw std::runtime_error("Cannot create file \"" + path + "\". " + SysErrorMessage(errno));
    }
    exchange.bodyFile = bodyFile.get();
  }

  tCurlList headers;
  headers.Append("Accept: */*");
  headers.Append("Cache-Control: no-cache");
  headers.Append("Content-Type: application/x-www-form-urlencoded");
  headers.Append("Expect:");  // the body is small: no 100-continue round trip

  tCurlEasy easy;
  easy.Set(CURLOPT_URL, url.c_str());
  easy.Set(CURLOPT_PROTOCOLS_STR, "http,https");
  easy.Set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  easy.Set(CURLOPT_PROXY, "");  // posts go straight to the endpoint, whatever the environment
  easy.Set(CURLOPT_HTTPHEADER, headers.get());
  easy.Set(CURLOPT_USERAGENT, kUserAgent);
  easy.Set(CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
  easy.Set(CURLOPT_POST, 1L);
  easy.Set(CURLOPT_POSTFIELDS, body.data());
  easy.Set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  easy.Set(CURLOPT_CONNECTTIMEOUT_MS, options.ConnectTimeoutMs);
  easy.Set(CURLOPT_TIMEOUT_MS, options.TotalTimeoutMs);
  easy.Set(CURLOPT_SSL_VERIFYPEER, 1L);
  easy.Set(CURLOPT_SSL_VERIFYHOST, 2L);
  // An extra bundle replaces libcurl's default bundle file, so the system's store is then
  // taken from its hashed folder: both are consulted when a chain is verified.
  if (!options.CACertFile.empty()) {
    easy.Set(CURLOPT_CAINFO, options.CACertFile.c_str());
  }
  if (!options.CACertFile.empty() || !options.CAPath.empty()) {
    const std::string caPath = options.CAPath.empty() ? SystemCAPath() : options.CAPath;
    easy.Set(CURLOPT_CAPATH, caPath.c_str());
  }
  easy.Set(CURLOPT_WRITEFUNCTION, OnBody);
  easy.Set(CURLOPT_WRITEDATA, static_cast<void*>(&exchange));
  easy.Set(CURLOPT_HEADERFUNCTION, OnHeader);
  easy.Set(CURLOPT_HEADERDATA, static_cast<void*>(&exchange));
  if (dump) {
    // The raw request header block is only handed out through the debug callback.
    easy.Set(CURLOPT_DEBUGFUNCTION, OnDebug);
    easy.Set(CURLOPT_DEBUGDATA, static_cast<void*>(&exchange));
    easy.Set(CURLOPT_VERBOSE, 1L);
  }

  const CURLcode result = easy.Perform();
  *answeredCode = easy.ResponseCode();
  easy.Check(result);

  if (dump) {
    const std::string path = folder + kResponseBodyFile;
    exchange.bodyFile = nullptr;
    if (std::fclose(bodyFile.release()) != 0) {
      throw std::runtime_error("Cannot write file \"" + path + "\". " + SysErrorMessage(errno));
    }
    WriteTextFile(RequestHeaderLines(exchange.requestHeaders), true, folder + kRequestHeaderFile);
    WriteTextFile(ReplyHeaderLines(exchange.replyHeaders), true, folder + kResponseHeaderFile);
  }

  const std::string statusLine =
      exchange.replyHeaders.empty() ? std::string() : exchange.replyHeaders.front();
  const long code = *answeredCode;
  if (code >= 400) {
    throw std::runtime_error(statusLine.empty() ? "HTTP status " + std::to_string(code)
                                                : statusLine);
  }
  return statusLine;
}

}  // namespace

bool HttpSendURL(const std::string& body, const std::string& url, const tHttpOptions& options,
                 std::string* outcome) {
  long code = 0;
  std::string text;
  bool delivered = false;
  try {
    WriteLog("thrd.sndn: sending HTTP notification: " + url + " (" + body + ")", kLogNote, 0);
    text = Post(url, body, options, &code);
    delivered = true;
    WriteLog("thrd.sndn: Sent (" + text + ")", kLogNote, 0);
  } catch (const std::exception& e) {
    text = e.what();
    delivered = delivered || (code > 0 && code < 400);
    try {
      WriteLog(std::string("thrd.sndn: send failed. ") + e.what(), kLogNote, 0);
    } catch (...) {
      // The log itself is unwritable; a notification must still never fail its caller.
    }
  } catch (...) {
    text = "unknown error";
    delivered = delivered || (code > 0 && code < 400);
    try {
      WriteLog("thrd.sndn: send failed. unknown error", kLogNote, 0);
    } catch (...) {
    }
  }
  if (outcome != nullptr) *outcome = text;
  return delivered;
}

bool HttpSendChecked(const std::string& body, const tConSettings& endpoint,
                     const tHttpOptions& options, std::string* outcome) {
  if (outcome != nullptr) outcome->clear();
  if (endpoint.Host.empty()) return false;
  std::string url;
  try {
    url = ComposeURL(endpoint, false, false);
  } catch (const std::exception& e) {  // only an exhausted heap gets here
    if (outcome != nullptr) *outcome = e.what();
    try {
      WriteLog(std::string("thrd.sndn: send failed. ") + e.what(), kLogNote, 0);
    } catch (...) {
    }
    return false;
  }
  return HttpSendURL(body, url, options, outcome);
}

void HttpSend(const std::string& body, const tConSettings& endpoint, const tHttpOptions& options) {
  HttpSendChecked(body, endpoint, options, nullptr);
}

std::string StatusBody(const std::string& eq, const std::string& orderId,
                       const std::string& status) {
  std::string body;
  if (!eq.empty()) body = "eq=" + eq + "&";
  body += "order_id=" + orderId + "&status=" + status;
  return body;
}

void SendStatus(const std::string& eq, const std::string& orderId, const tConSettings& endpoint,
                const std::string& status, const tHttpOptions& options) {
  HttpSend(StatusBody(eq, orderId, status), endpoint, options);
}

}  // namespace q2
