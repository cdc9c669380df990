#include "notify/curl_easy.h"

#include <mutex>
#include <new>
#include <stdexcept>

namespace q2 {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Never cleaned up: other threads may still hold handles while the process ends.
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      throw std::runtime_error("libcurl could not be initialised");
    }
  });
}

}  // namespace

tCurlEasy::tCurlEasy() {
  GlobalInit();
  handle_ = curl_easy_init();
  if (handle_ == nullptr) throw std::runtime_error("libcurl could not create a handle");
  Defaults();
}

void tCurlEasy::Reset() {
  curl_easy_reset(handle_);
  Defaults();
}

void tCurlEasy::Defaults() {
  Check(curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_));
  // Timeouts must not raise SIGALRM in a multi-threaded process.
  Check(curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L));
}

tCurlEasy::~tCurlEasy() { curl_easy_cleanup(handle_); }

CURLcode tCurlEasy::Perform() {
  error_[0] = '\0';
  return curl_easy_perform(handle_);
}

std::string tCurlEasy::ErrorText(CURLcode code) const {
  if (error_[0] != '\0') {
    std::string text(error_);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }
  return curl_easy_strerror(code);
}

void tCurlEasy::Check(CURLcode code) const {
  if (code != CURLE_OK) throw std::runtime_error(ErrorText(code));
}

long tCurlEasy::ResponseCode() const {
  long code = 0;
  if (curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return 0;
  return code;
}

tCurlList::~tCurlList() { curl_slist_free_all(list_); }

void tCurlList::Append(const std::string& line) {
  curl_slist* grown = curl_slist_append(list_, line.c_str());
  if (grown == nullptr) throw std::bad_alloc();
  list_ = grown;
}

std::string EncodeURLSegment(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace q2
