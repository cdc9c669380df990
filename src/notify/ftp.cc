#include "notify/ftp.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log.h"
#include "notify/curl_easy.h"
#include "notify/ftp_listing.h"
#include "platform/files.h"

namespace q2 {

namespace {

constexpr long kDefaultFTPPort = 21;
constexpr int kPartFileAttempts = 16;

// A download in progress: a hidden file beside its target, named so that no file template
// of the worker ("*.xml") matches it. Removed on destruction unless kept.
class tPartFile final {
 public:
  explicit tPartFile(const std::string& folder) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < kPartFileAttempts; ++attempt) {
      char tag[17];
      std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(random()));
      path_ = folder + ".q2ftp-" + tag + ".part";
      file_ = std::fopen(path_.c_str(), "wbx");  // exclusive: never reuses someone's file
      if (file_ != nullptr) return;
      if (errno != EEXIST) break;
    }
    const int error = errno;
    throw std::runtime_error("Cannot create file \"" + path_ + "\". " + SysErrorMessage(error));
  }
  tPartFile(const tPartFile&) = delete;
  tPartFile& operator=(const tPartFile&) = delete;
  ~tPartFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (!kept_) DeleteFile(path_);
  }

  std::FILE* file() const { return file_; }
  const std::string& path() const { return path_; }

  // Flushes and closes; throws when the data did not reach the file.
  void Close() {
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) {
      const int error = errno;
      throw std::runtime_error("Cannot write file \"" + path_ + "\". " + SysErrorMessage(error));
    }
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  bool kept_ = false;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* user) {
  return std::fwrite(data, 1, size * count, static_cast<std::FILE*>(user));
}

size_t AppendListing(char* data, size_t size, size_t count, void* user) {
  auto* listing = static_cast<std::string*>(user);
  const size_t bytes = size * count;
  if (listing->size() + bytes > kFTPMaxListingBytes) return 0;  // aborts the transfer
  listing->append(data, bytes);
  return bytes;
}

// The name as it may appear in a log line: control characters shown as \xNN.
std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// One logged-in FTP connection to one remote folder. libcurl keeps the control connection
// open between the transfers of the session and sends QUIT when the session ends.
//
// URLs: the folder is one opaque path segment, "ftp://host:port/" + %-encoded Route + "/",
// fetched with one CWD ("single CWD" method), so the server gets Route exactly as configured,
// absolute or not. An empty Route gives "ftp://host:port/" and no CWD at all.
class tFTPSession final {
 public:
  explicit tFTPSession(const tConSettings& endpoint) : endpoint_(endpoint) {
    const long port = endpoint.Port == 0 ? kDefaultFTPPort : endpoint.Port;
    folderURL_ = "ftp://" + endpoint.Host + ":" + std::to_string(port) + "/";
    if (!endpoint.Route.empty()) folderURL_ += EncodeURLSegment(endpoint.Route) + "/";
  }
  tFTPSession(const tFTPSession&) = delete;
  tFTPSession& operator=(const tFTPSession&) = delete;

  // The entries of the folder: MLSD, or LIST when the server does not know MLSD.
  std::vector<tFTPEntry> List() {
    std::string listing;
    Prepare(folderURL_);
    easy_.Set(CURLOPT_CUSTOMREQUEST, "MLSD");
    easy_.Set(CURLOPT_WRITEFUNCTION, AppendListing);
    easy_.Set(CURLOPT_WRITEDATA, static_cast<void*>(&listing));
    CURLcode code = easy_.Perform();
    if (code == CURLE_OK) return ParseFTPListing(listing, true);
    const long reply = easy_.ResponseCode();
    if (reply != 500 && reply != 502) easy_.Check(code);  // 500/502: command unknown

    listing.clear();
    Prepare(folderURL_);
    easy_.Set(CURLOPT_WRITEFUNCTION, AppendListing);
    easy_.Set(CURLOPT_WRITEDATA, static_cast<void*>(&listing));
    easy_.Check(easy_.Perform());
    return ParseFTPListing(listing, false);
  }

  // Downloads `name` to `target` (in `folder`), never replacing an existing file.
  void Download(const std::string& name, const std::string& folder, const std::string& target) {
    if (FileExists(target) || DirectoryExists(target)) {
      throw std::runtime_error("Destination file already exists: " + target);
    }
    tPartFile part(folder);
    Prepare(folderURL_ + EncodeURLSegment(name));
    easy_.Set(CURLOPT_WRITEFUNCTION, WriteToFile);
    easy_.Set(CURLOPT_WRITEDATA, static_cast<void*>(part.file()));
    easy_.Check(easy_.Perform());
    part.Close();
    if (!RenameNoReplace(part.path(), target)) {
      throw std::runtime_error("Cannot rename \"" + part.path() + "\" to \"" + target + "\". " +
                               LastErrorText());
    }
    part.Keep();
  }

  // DELE after the (empty) request has changed into the folder, so that the command always
  // runs in the folder, also on a fresh connection.
  void Delete(const std::string& name) {
    tCurlList commands;
    commands.Append("DELE " + name);
    Prepare(folderURL_);
    easy_.Set(CURLOPT_NOBODY, 1L);
    easy_.Set(CURLOPT_POSTQUOTE, commands.get());
    easy_.Check(easy_.Perform());
  }

 private:
  void Prepare(const std::string& url) {
    easy_.Reset();
    easy_.Set(CURLOPT_URL, url.c_str());
    easy_.Set(CURLOPT_PROTOCOLS_STR, "ftp");
    easy_.Set(CURLOPT_PROXY, "");
    easy_.Set(CURLOPT_PATH_AS_IS, 1L);
    easy_.Set(CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD));
    if (!endpoint_.Login.empty()) {
      easy_.Set(CURLOPT_USERNAME, endpoint_.Login.c_str());
      easy_.Set(CURLOPT_PASSWORD, endpoint_.Password.c_str());
    }
    easy_.Set(CURLOPT_CONNECTTIMEOUT_MS, kFTPConnectTimeoutMs);
    easy_.Set(CURLOPT_SERVER_RESPONSE_TIMEOUT, kFTPStallTimeoutS);
    easy_.Set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    easy_.Set(CURLOPT_LOW_SPEED_TIME, kFTPStallTimeoutS);
  }

  const tConSettings& endpoint_;
  std::string folderURL_;
  tCurlEasy easy_;
};

}  // namespace

bool FetchFTPFolder(const tConSettings& endpoint, const std::string& localFolder) {
  WriteLog("thrd.ftp : listing " + ComposeURL(endpoint, false, true), kLogNote, 0);
  if (localFolder.empty()) throw std::runtime_error("FTP local folder unspecified");
  const std::string folder = IncludeTrailingDelimiter(localFolder);

  tFTPSession session(endpoint);
  bool fetched = false;
  for (const tFTPEntry& entry : session.List()) {
    if (entry.Kind != tFTPEntryKind::ekFile) continue;
    if (!IsSafeFTPName(entry.Name)) {
      WriteLog("thrd.ftp : skipped item with unsafe name \"" + Printable(entry.Name) + "\"",
               kLogWarning, 0);
      continue;
    }
    WriteLog("thrd.ftp : found item " + entry.Name, kLogNote, 0);
    session.Download(entry.Name, folder, folder + entry.Name);
    session.Delete(entry.Name);
    fetched = true;
  }
  return fetched;
}

bool PollFTP(const tConSettings& fcFTPO, const std::string& orderDir, const tConSettings& fcFTPC,
             const std::string& cmdDir) {
  bool fetched = false;
  if (!fcFTPO.Host.empty()) fetched = FetchFTPFolder(fcFTPO, orderDir);
  if (!fcFTPC.Host.empty() && !fetched) fetched = FetchFTPFolder(fcFTPC, cmdDir);
  return fetched;
}

}  // namespace q2
