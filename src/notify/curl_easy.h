// Owning wrappers around libcurl handles for the status posts and the FTP folders.
// Internal to q2notify: nothing outside this library includes it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <vector>

namespace q2 {

// One curl easy handle with its error buffer. Performing several transfers on the same
// handle reuses its connection (one FTP log-in per folder).
class tCurlEasy final {
 public:
  // Initialises libcurl once per process. Throws std::runtime_error when no handle can be made.
  tCurlEasy();
  tCurlEasy(const tCurlEasy&) = delete;
  tCurlEasy& operator=(const tCurlEasy&) = delete;
  ~tCurlEasy();

  CURL* get() const { return handle_; }

  // Forgets every option set so far (the error buffer and NOSIGNAL are set again); live
  // connections stay in the handle for the next transfer.
  void Reset();

  // Sets an option; a refused option throws std::runtime_error with curl's text.
  template <typename T>
  void Set(CURLoption option, T value) {
    Check(curl_easy_setopt(handle_, option, value));
  }

  // Runs the transfer. Returns curl's result; the error buffer is cleared first.
  CURLcode Perform();

  // The most specific text for `code`: the error buffer when curl filled it, else the
  // generic text of the code.
  std::string ErrorText(CURLcode code) const;

  // Throws std::runtime_error(ErrorText(code)) unless code is CURLE_OK.
  void Check(CURLcode code) const;

  long ResponseCode() const;  // HTTP status or last FTP reply code; 0 when none

 private:
  void Defaults();

  CURL* handle_ = nullptr;
  char error_[CURL_ERROR_SIZE] = {};
};

// A curl string list (headers, FTP quote commands). Must outlive the transfers using it.
class tCurlList final {
 public:
  tCurlList() = default;
  tCurlList(const tCurlList&) = delete;
  tCurlList& operator=(const tCurlList&) = delete;
  ~tCurlList();

  // Appends a copy of `line`; throws std::bad_alloc when curl cannot.
  void Append(const std::string& line);
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// Percent-encodes every byte except ASCII letters, digits, "-", "_" and "~", so that the
// result is one opaque URL path segment ("/" and "." included are encoded).
std::string EncodeURLSegment(const std::string& text);

}  // namespace q2
