#include "notify/outbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <stdexcept>
#include <utility>

#include "core/log.h"
#include "platform/files.h"

namespace q2 {

namespace {

constexpr char kMagicLine[] = "Q2POST 1\n";
constexpr char kPostTemplate[] = "*.post";
constexpr char kPostSuffix[] = ".post";
constexpr char kTempTemplate[] = ".*.tmp";
constexpr size_t kStampChars = 19;  // YYYYMMDD-HHMMSS-mmm
constexpr size_t kSeqDigits = 6;
constexpr size_t kNameChars = kStampChars + 1 + kSeqDigits + 5;  // "-" SEQ ".post"
constexpr size_t kMaxPostFileBytes = 1 << 20;  // a kept post is some hundred bytes
constexpr int kMaxNameAttempts = 100;

// A log line that must not turn a post into a failure of its caller.
void Log(const std::string& text) {
  try {
    WriteLog("thrd.sndn: " + text, kLogNote, 0);
  } catch (...) {
  }
}

// "1 post", "3 posts".
std::string Count(size_t n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// UTC now as YYYYMMDD-HHMMSS-mmm.
std::string NowStamp() {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02u-%02d%02d%02d-%03d", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Splits a name this outbox made into its stamp and sequence number; false for other names.
bool SplitName(const std::string& name, std::string* stamp, int* seq) {
  if (name.size() != kNameChars || name[kStampChars] != '-' ||
      name.compare(kStampChars + 1 + kSeqDigits, std::string::npos, kPostSuffix) != 0) {
    return false;
  }
  const std::string digits = name.substr(kStampChars + 1, kSeqDigits);
  if (!AllDigits(digits)) return false;
  *stamp = name.substr(0, kStampChars);
  *seq = std::stoi(digits);
  return true;
}

// Makes the folder's entries (new, renamed or removed names) durable. Best effort: a file
// system that cannot sync a folder still has the entries, only less surely after a crash.
void SyncFolder(const std::string& folder) {
  tFileHandle handle;
  if (!handle.Open(folder, tFileHandle::tOpen::ReadOnly) || !handle.Sync()) {
    Log("cannot sync the folder \"" + folder + "\". " + LastErrorText());
  }
}

// Writes `bytes` as folder + name so that a crash leaves either the whole file or none (or,
// when replacing, the whole old one): a hidden temporary file, synced, then renamed. Without
// `replace` an existing file of that name is never touched (the error is "file exists").
void WriteDurably(const std::string& folder, const std::string& name, const std::string& bytes,
                  bool replace) {
  const std::string temp = folder + "." + name + ".tmp";
  const std::string path = folder + name;
  {
    tFileHandle file;
    if (!file.Open(temp, tFileHandle::tOpen::CreateTruncate)) {
      throw std::runtime_error("Cannot create file \"" + temp + "\". " + LastErrorText());
    }
    if (!file.Write(bytes.data(), bytes.size()) || !file.Sync()) {
      const std::string error = LastErrorText();
      file.Close();
      DeleteFile(temp);
      throw std::runtime_error("Cannot write file \"" + temp + "\". " + error);
    }
  }
  const bool renamed =
      replace ? std::rename(temp.c_str(), path.c_str()) == 0 : RenameNoReplace(temp, path);
  if (!renamed) {
    const int error = LastErrorCode();
    DeleteFile(temp);
    SetLastErrorCode(error);
    throw std::runtime_error("Cannot rename \"" + temp + "\" to \"" + path + "\". " +
                             SysErrorMessage(error));
  }
  SyncFolder(folder);
}

// Reads "NAME LEN VALUE\n" at `pos`.
std::string ReadField(const std::string& bytes, size_t* pos, const std::string& name) {
  const std::string head = name + " ";
  if (bytes.compare(*pos, head.size(), head) != 0) {
    throw std::runtime_error("field \"" + name + "\" expected");
  }
  *pos += head.size();
  const size_t blank = bytes.find(' ', *pos);
  if (blank == std::string::npos || !AllDigits(bytes.substr(*pos, blank - *pos)) ||
      blank - *pos > 9) {
    throw std::runtime_error("bad length of field \"" + name + "\"");
  }
  const size_t length = std::stoul(bytes.substr(*pos, blank - *pos));
  *pos = blank + 1;
  if (length > bytes.size() - *pos || length + *pos == bytes.size() ||
      bytes[*pos + length] != '\n') {
    throw std::runtime_error("field \"" + name + "\" is cut short");
  }
  std::string value = bytes.substr(*pos, length);
  *pos += length + 1;
  return value;
}

void AppendField(std::string& out, const std::string& name, const std::string& value) {
  out += name + " " + std::to_string(value.size()) + " " + value + "\n";
}

}  // namespace

tOutboxFolders OutboxFoldersBeside(const std::string& logFolder) {
  std::string parent = StripTrailingSlashes(logFolder);
  const size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? std::string() : parent.substr(0, slash + 1);
  return {parent + "outbox/", parent + "outbox_dead/"};
}

std::string FormatKeptPost(const tKeptPost& post) {
  std::string out = kMagicLine;
  out += "tries " + std::to_string(post.Tries) + "\n";
  AppendField(out, "protocol", post.Protocol);
  AppendField(out, "url", post.URL);
  AppendField(out, "body", post.Body);
  return out;
}

tKeptPost ParseKeptPost(const std::string& bytes) {
  const std::string magic = kMagicLine;
  if (bytes.compare(0, magic.size(), magic) != 0) throw std::runtime_error("not a kept post");
  size_t pos = magic.size();
  const std::string triesHead = "tries ";
  const size_t end = bytes.find('\n', pos);
  if (bytes.compare(pos, triesHead.size(), triesHead) != 0 || end == std::string::npos ||
      end - pos - triesHead.size() > 9 ||
      !AllDigits(bytes.substr(pos + triesHead.size(), end - pos - triesHead.size()))) {
    throw std::runtime_error("bad try count");
  }
  tKeptPost post;
  post.Tries = std::stoi(bytes.substr(pos + triesHead.size(), end - pos - triesHead.size()));
  pos = end + 1;
  post.Protocol = ReadField(bytes, &pos, "protocol");
  post.URL = ReadField(bytes, &pos, "url");
  post.Body = ReadField(bytes, &pos, "body");
  if (pos != bytes.size()) throw std::runtime_error("trailing bytes");
  if (post.URL.empty()) throw std::runtime_error("empty URL");
  return post;
}

tPostOutbox::tPostOutbox(std::string outboxFolder, std::string deadFolder, int retries,
                         tHttpOptions options)
    : outbox_(IncludeTrailingDelimiter(outboxFolder)),
      dead_(IncludeTrailingDelimiter(deadFolder)),
      retries_(std::max(retries, 0)),
      options_(std::move(options)) {
  if (retries_ == 0) return;
  try {
    LoadKept();
  } catch (const std::exception& e) {
    Log(std::string("cannot read the outbox. ") + e.what());
  }
}

void tPostOutbox::LoadKept() {
  ForceFolders(outbox_);
  ForceFolders(dead_);
  // A temporary file is a write that a crash interrupted before its rename: the new post it
  // was to hold never became kept, or the file's older version is still in place.
  for (const std::string& name : ListDirectory(outbox_, kTempTemplate)) {
    if (DeleteFile(outbox_ + name)) Log("removed an interrupted write from the outbox: " + name);
  }
  std::vector<std::string> names = ListDirectory(outbox_, kPostTemplate);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string stamp;
    int seq = 0;
    if (SplitName(name, &stamp, &seq) &&
        std::make_pair(stamp, seq) > std::make_pair(lastStamp_, lastSeq_)) {
      lastStamp_ = stamp;
      lastSeq_ = seq;
    }
    const std::string path = outbox_ + name;
    if (!FileExists(path)) continue;  // a folder with such a name is not ours either
    try {
      const std::string bytes = ReadFileBytes(path);
      if (bytes.size() > kMaxPostFileBytes) throw std::runtime_error("file too large");
      tKeptPost post = ParseKeptPost(bytes);
      post.Name = name;
      posts_.push_back(std::move(post));
    } catch (const std::exception& e) {
      const std::string target = dead_ + name;
      if (MoveFile(path, target)) {
        SyncFolder(dead_);
        SyncFolder(outbox_);
        Log("not a kept post (" + std::string(e.what()) +
            "), moved to the dead-letter folder: " + target);
      } else {
        Log("not a kept post (" + std::string(e.what()) + ") and cannot be moved to \"" + target +
            "\". " + LastErrorText());
      }
    }
  }
  if (!posts_.empty()) {
    Log(Count(posts_.size(), "post waits", "posts wait") + " in the outbox \"" + outbox_ + "\"");
  }
}

std::string tPostOutbox::NextName() {
  const std::string stamp = NowStamp();
  if (stamp > lastStamp_) {
    lastStamp_ = stamp;
    lastSeq_ = 0;
  } else {
    ++lastSeq_;  // same millisecond, or the clock went back: stay behind the newest name
  }
  char seq[16];
  std::snprintf(seq, sizeof seq, "%06d", lastSeq_);
  return lastStamp_ + "-" + seq + kPostSuffix;
}

size_t tPostOutbox::WaitingFor(const std::string& url) const {
  return static_cast<size_t>(std::count_if(posts_.begin(), posts_.end(),
                                           [&](const tKeptPost& p) { return p.URL == url; }));
}

bool tPostOutbox::Keep(tKeptPost& post) {
  try {
    for (int attempt = 1;; ++attempt) {
      post.Name = NextName();
      try {
        WriteDurably(outbox_, post.Name, FormatKeptPost(post), false);
        break;
      } catch (const std::runtime_error&) {
        // A name taken by a file this run did not make: take the next one.
        if (!FileExists(outbox_ + post.Name) || attempt == kMaxNameAttempts) throw;
      }
    }
  } catch (const std::exception& e) {
    Log(std::string("cannot keep the post in the outbox, it is dropped. ") + e.what());
    return false;
  }
  const auto at =
      std::upper_bound(posts_.begin(), posts_.end(), post.Name,
                       [](const std::string& name, const tKeptPost& p) { return name < p.Name; });
  posts_.insert(at, post);
  return true;
}

void tPostOutbox::Rewrite(const tKeptPost& post) {
  try {
    WriteDurably(outbox_, post.Name, FormatKeptPost(post), true);
  } catch (const std::exception& e) {
    Log("cannot update the try count of " + post.Name + " in the outbox. " + e.what());
  }
}

void tPostOutbox::GiveUp(const tKeptPost& post) {
  // The try count goes into the file first: should the move not happen, a restart sees a
  // post past its limit and gives it up without sending it again.
  Rewrite(post);
  const std::string dot = kPostSuffix;
  const std::string stem =
      post.Name.size() > dot.size() &&
              post.Name.compare(post.Name.size() - dot.size(), dot.size(), dot) == 0
          ? post.Name.substr(0, post.Name.size() - dot.size())
          : post.Name;
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    // Names in the dead-letter folder are never replaced: one given up earlier under the same
    // name (after the outbox had been emptied by hand) keeps its file.
    const std::string target =
        dead_ + (attempt == 0 ? post.Name : stem + "~" + std::to_string(attempt) + dot);
    if (MoveFile(outbox_ + post.Name, target)) {
      SyncFolder(dead_);
      SyncFolder(outbox_);
      Log("given up after " + Count(static_cast<size_t>(retries_), "retry", "retries") +
          ", moved to the dead-letter folder: " + target);
      return;
    }
    if (LastErrorCode() != EEXIST) break;
  }
  Log("given up after " + Count(static_cast<size_t>(retries_), "retry", "retries") +
      ", but cannot move " + post.Name + " to the dead-letter folder \"" + dead_ + "\". " +
      LastErrorText());
}

void tPostOutbox::Send(const std::string& body, const tConSettings& endpoint) {
  if (endpoint.Host.empty()) return;
  if (retries_ == 0) {
    HttpSend(body, endpoint, options_);
    return;
  }
  try {
    tKeptPost post;
    post.Protocol = endpoint.Protocol;
    post.URL = ComposeURL(endpoint, false, false);
    post.Body = body;
    const size_t waiting = WaitingFor(post.URL);
    if (waiting > 0) {
      post.Tries = 0;
      if (Keep(post)) {
        Log("kept in the outbox behind " + Count(waiting, "waiting post", "waiting posts") +
            " for the same endpoint, not tried yet: " + post.Name);
      }
      return;
    }
    if (HttpSendURL(body, post.URL, options_, nullptr)) return;
    post.Tries = 1;
    if (Keep(post)) {
      Log("kept in the outbox for up to " +
          Count(static_cast<size_t>(retries_), "retry", "retries") + ": " + post.Name);
    }
  } catch (const std::exception& e) {
    Log(std::string("cannot keep the post in the outbox, it is dropped. ") + e.what());
  }
}

void tPostOutbox::SendStatus(const std::string& eq, const std::string& orderId,
                             const tConSettings& endpoint, const std::string& status) {
  Send(StatusBody(eq, orderId, status), endpoint);
}

void tPostOutbox::RetryPending() {
  if (retries_ == 0 || posts_.empty()) return;
  std::vector<tKeptPost> round;
  round.swap(posts_);
  std::vector<std::string> failedURLs;                         // in the order they failed
  std::map<std::string, std::pair<size_t, std::string>> held;  // URL: count, oldest name
  for (tKeptPost& post : round) {
    try {
      if (std::find(failedURLs.begin(), failedURLs.end(), post.URL) != failedURLs.end()) {
        auto& [count, oldest] = held[post.URL];
        if (count++ == 0) oldest = post.Name;
        posts_.push_back(std::move(post));
        continue;
      }
      if (post.Tries > retries_) {  // PostRetry was lowered since it was kept, or a move failed
        GiveUp(post);
        continue;
      }
      Log(post.Tries == 0 ? "first try from the outbox: " + post.Name
                          : "retry " + std::to_string(post.Tries) + " of " +
                                std::to_string(retries_) + ": " + post.Name);
      if (HttpSendURL(post.Body, post.URL, options_, nullptr)) {
        if (DeleteFile(outbox_ + post.Name)) {
          SyncFolder(outbox_);
          Log("delivered from the outbox: " + post.Name);
        } else {
          Log("delivered from the outbox, but cannot remove " + post.Name + ". " + LastErrorText());
        }
        continue;
      }
      failedURLs.push_back(post.URL);
      ++post.Tries;
      if (post.Tries > retries_) {
        GiveUp(post);
        continue;
      }
      Rewrite(post);
      Log("still kept in the outbox, " +
          Count(static_cast<size_t>(retries_ + 1 - post.Tries), "retry", "retries") +
          " left: " + post.Name);
      posts_.push_back(std::move(post));
    } catch (const std::exception& e) {
      // Only an exhausted heap gets here; the post stays for the next round.
      Log(std::string("retry failed. ") + e.what());
      posts_.push_back(std::move(post));
    }
  }
  for (const std::string& url : failedURLs) {
    const auto it = held.find(url);
    if (it == held.end()) continue;
    Log(Count(it->second.first, "later post", "later posts") +
        " for the same endpoint held back until the next round, oldest: " + it->second.second);
  }
}

}  // namespace q2
