// The cash-server call over HTTP or XML over TCP, and the reply's status check.
#include "transport/cash_server_call.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <stdexcept>

#include "core/convert.h"
#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "transport/stream.h"
#include "transport/tcp_client.h"

namespace q2 {
namespace {

// Replies up to this size are logged in full, longer ones by their length only.
constexpr int64_t kMaxLoggedReplyBytes = 5120;
// libcurl gives up on a reply that moves less than 1 byte per second for this long.
constexpr long kHttpStallSeconds = kIoTimeoutMs / 1000;

struct tCurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct tSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct tHttpReply {
  std::string body;
  std::string statusLine;  // of the last response (after any 100 Continue)
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  static_cast<tHttpReply*>(user)->body.append(data, size * count);
  return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
  const std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) static_cast<tHttpReply*>(user)->statusLine = Trim(line);
  return size * count;
}

void LoadReply(const std::string& bytes, tXmlDocument& response) {
  // An empty reply leaves the document empty: the status check reports it.
  if (!bytes.empty()) response.LoadFromString(bytes);
}

}  // namespace

void tCashServerCall::CallCashServer(const std::string& request, tXmlDocument& response) {
  fDisconnected = false;
  try {
    if (fZoltRequest) {
      CallCashServerHTTP(request, response);
    } else {
      CallCashServerTCP(request, response);
    }
  } catch (...) {
    fDisconnected = true;
    throw;
  }
  const tXmlNode result = response.TopElement("ZoltQueryResult");
  if (!result) {
    fDisconnected = true;
    throw std::runtime_error("invalid or empty Zolt XML response");
  }
  if (!SameTextAscii(result.Attr("Status", ""), "Ok")) {
    throw std::runtime_error("Zolt XML error \"" + result.Attr("ErrorText", "") + "\"");
  }
}

void tCashServerCall::CallCashServerHTTP(const std::string& request, tXmlDocument& response) {
  InitCurlOnce();
  std::unique_ptr<CURL, tCurlDeleter> curl(curl_easy_init());
  if (!curl) throw std::runtime_error("HTTP client cannot be created");
  // Credentials go by option, not in the URL, so that a password holding "@", ":" or "/"
  // cannot change what the URL names.
  const std::string url = ComposeURL(fcZolt, false, true);
  tHttpReply reply;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // No Content-Type of ours (curl would send a form type), no "Expect: 100-continue".
  std::unique_ptr<curl_slist, tSlistDeleter> headers(curl_slist_append(nullptr, "Content-Type:"));
  headers.reset(curl_slist_append(headers.release(), "Expect:"));
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (!fcZolt.Login.empty()) {
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(c, CURLOPT_USERNAME, fcZolt.Login.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, fcZolt.Password.c_str());
  }
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kIoTimeoutMs));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kHttpStallSeconds);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, CollectHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &reply);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
  const CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    throw std::runtime_error(errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(rc));
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status >= 300) {
    throw std::runtime_error(reply.statusLine.empty() ? "HTTP/1.1 " + std::to_string(status)
                                                      : reply.statusLine);
  }
  LoadReply(reply.body, response);
}

void tCashServerCall::CallCashServerTCP(const std::string& request, tXmlDocument& response) {
  SetCallKey("");
  WriteLog("thrd.call: to " + fcZolt.Host + ":" + std::to_string(fcZolt.Port), kLogDebug, 1);
  // The document text: the buffer up to its first zero byte.
  const std::string text(request.c_str());
  WriteLog("thrd.call: raw req  = " + text, kLogDebug, 1);
  if (LogLevel() > 1) WriteTextFile(text, true, LogFolder() + "zoltquery_request.xml");

  tHeapMemStream reply;
  const std::string address = Utf8ToAnsi(fcZolt.Host) + ":" + std::to_string(fcZolt.Port);
  int32_t requestNumber = 0;
  std::string errorText;
  CallXmlTcp(address, "", text.data(), text.size(), requestNumber, reply, errorText);
  WriteLog("thrd.call: done", kLogDebug, 1);
  if (!errorText.empty()) throw std::runtime_error("ZoltCALL error \"" + errorText + "\"");

  const std::string bytes = reply.Bytes();
  if (LogLevel() > 1) WriteFileBytes(LogFolder() + "zoltquery_response.xml", bytes);
  if (LogLevel() > 0) {
    if (reply.SizeBytes() <= kMaxLoggedReplyBytes) {
      WriteLog("thrd.call: raw resp = " + std::string(bytes.c_str()), kLogDebug, 1);
    } else {
      WriteLog("thrd.call: raw resp = <" + std::to_string(reply.SizeBytes()) + " bytes>", kLogDebug,
               1);
    }
  }
  LoadReply(bytes, response);
}

void GetXmlEncoding(const tXmlDocument& doc, std::string& encoding) {
  encoding = doc.DeclaredEncoding();
}

}  // namespace q2
