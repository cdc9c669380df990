#include "core/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/program_folder.h"

namespace q2 {

namespace {

// Waiting for the other process's line is brief: a line is written in microseconds.
constexpr int kLogFileLockWaitMs = 2000;

std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

struct tLogSettings {
  std::mutex mutex;
  bool initialised = false;
  std::string folder;
  uint8_t level = 0;
};

tLogSettings& Settings() {
  static tLogSettings s;
  return s;
}

void EnsureInitialised(tLogSettings& s) {
  if (!s.initialised) {
    s.folder = ProgramFolder() + "LOGS/";
    s.initialised = true;
  }
}

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

std::string KindWord(uint8_t kind, uint8_t level) {
  switch (kind) {
    case kLogNote:
      return "NOTE   ";
    case kLogWarning:
      return "WARNING";
    case kLogError:
      return "ERROR  ";
    case kLogDebug:
      return "DEBUG" + std::to_string(level % 10) + " ";
    default:
      return std::string();
  }
}

// Every CR LF pair becomes one space; a lone CR or LF stays.
std::string FoldLineBreaks(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::atomic<tLogFailureMode> gFailureMode{tLogFailureMode::kThrow};
std::atomic<bool> gFailing{false};

// Runs a write under the failure mode in effect.
template <typename F>
void Guarded(const char* what, F&& write) {
  if (gFailureMode.load() == tLogFailureMode::kThrow) {
    write();
    return;
  }
  try {
    write();
    if (gFailing.exchange(false)) fprintf(stderr, "quillon2: the %s is written again\n", what);
  } catch (const std::exception& e) {
    if (!gFailing.exchange(true))
      fprintf(stderr, "quillon2: cannot write the %s: %s\n", what, e.what());
  }
}

void WriteLogLine(const std::string& text, uint8_t kind, uint8_t level);
void WriteResultFile(const std::string& content);

}  // namespace

void SetLogFailureMode(tLogFailureMode mode) { gFailureMode.store(mode); }

std::string IncludeTrailingDelimiter(const std::string& path) {
  if (!path.empty() && path.back() == '/') return path;
  return path + "/";
}

uint8_t LogLevel() {
  tLogSettings& s = Settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.level;
}

std::string LogFolder() {
  tLogSettings& s = Settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  EnsureInitialised(s);
  return s.folder;
}

void SetLogSettings(const std::string& folder, uint8_t level) {
  tLogSettings& s = Settings();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.folder = IncludeTrailingDelimiter(folder);
  s.level = level;
  s.initialised = true;
}

void ReadLogSettings() {
  tIniFile ini(SettingsFilePath());
  std::string folder = IncludeTrailingDelimiter(ini.ReadString("Settings", "LogDir", LogFolder()));
  int32_t level = ini.ReadInteger("Settings", "LogLevel", 0);
  SetLogSettings(folder, static_cast<uint8_t>(level & 0xFF));
  // The ANSI code page is process-wide like the log settings and read at the same time.
  SetAnsiCodePage(ini.ReadInteger("Settings", "AnsiCodePage", 0));
}

std::string LogFileName() {
  tDateTimeFields now = NowFields();
  return LogFolder() + "QUILLON2_" + std::to_string(now.year) + "-" + TwoDigits(now.month) + "-" +
         TwoDigits(now.day) + ".LOG";
}

std::string ResultFileName() { return LogFolder() + "QUILLON2_RESULT.TXT"; }

bool ForceFolders(const std::string& path) {
  if (DirectoryExists(path)) return true;
  std::string p = path;
  while (!p.empty() && p.back() == '/') p.pop_back();
  if (p.empty()) return false;
  p += '/';
  for (size_t pos = p.find('/'); pos != std::string::npos; pos = p.find('/', pos + 1)) {
    std::string part = p.substr(0, pos);
    if (!part.empty() && !DirectoryExists(part)) CreateDirectory(part);  // failures ignored
  }
  return true;
}

void WriteLog(const std::string& text, uint8_t kind, uint8_t minLevel) {
  uint8_t level = LogLevel();
  if (level < minLevel) return;
  Guarded("log", [&] { WriteLogLine(text, kind, level); });
}

namespace {

void WriteLogLine(const std::string& text, uint8_t kind, uint8_t level) {
  std::string line;
  if (text.empty()) {
    line = "\r\n";
  } else {
    tDateTimeFields now = NowFields();
    line = TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" + TwoDigits(now.second) + " " +
           KindWord(kind, level) + " " + FoldLineBreaks(text) + "\r\n";
  }
  std::string bytes = Utf8ToUtf16LE(line);

  std::lock_guard<std::mutex> lock(LogLock());
  std::string folder = LogFolder();
  if (!DirectoryExists(folder)) ForceFolders(folder);
  std::string name = LogFileName();
  bool existed = FileExists(name);
  tFileHandle file;
  if (!file.Open(name, tFileHandle::tOpen::AppendCreate)) {
    throw std::runtime_error((existed ? "Cannot open file \"" : "Cannot create file \"") + name +
                             "\". " + LastErrorText());
  }
  // Another process of the system may be writing its line: wait for it briefly.
  if (!file.LockExclusive(kLogFileLockWaitMs)) {
    throw std::runtime_error("Cannot open file \"" + name + "\". " + LastErrorText());
  }
  int64_t size = 0;
  if (file.Size(&size) && size == 0) bytes = std::string("\xFF\xFE", 2) + bytes;
  if (!file.Write(bytes.data(), bytes.size())) {
    // Never leave half a line (or half a UTF-16 code unit) for the next line to follow.
    std::string why = LastErrorText();
    file.Truncate(size);
    throw std::runtime_error("Cannot write file \"" + name + "\". " + why);
  }
}

void WriteResultFile(const std::string& content) {
  std::lock_guard<std::mutex> lock(LogLock());
  std::string folder = LogFolder();
  if (!DirectoryExists(folder)) ForceFolders(folder);
  std::string name = ResultFileName();
  tFileHandle file;
  if (!file.Open(name, tFileHandle::tOpen::CreateTruncate)) {
    throw std::runtime_error("Cannot create file \"" + name + "\". " + LastErrorText());
  }
  std::string bytes = Utf8ToAnsi(content);
  if (!file.Write(bytes.data(), bytes.size())) {
    throw std::runtime_error("Cannot write file \"" + name + "\". " + LastErrorText());
  }
}

}  // namespace

bool TryWriteLog(const std::string& text, uint8_t kind, uint8_t minLevel) {
  try {
    WriteLog(text, kind, minLevel);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void WriteResult(bool ok, const std::string& reason) {
  std::string content = ok ? std::string("OK") : reason.empty() ? "ERROR" : "ERROR " + reason;
  Guarded("result file", [&] { WriteResultFile(content); });
}

void WriteTextFile(const std::string& data, bool utf8, const std::string& path) {
  tFileHandle file;
  if (!file.Open(path, tFileHandle::tOpen::CreateTruncate)) {
    throw std::runtime_error("Cannot create file \"" + path + "\". " + LastErrorText());
  }
  std::string bytes = utf8 ? "\xEF\xBB\xBF" + data : data;
  if (!file.Write(bytes.data(), bytes.size())) {
    throw std::runtime_error("Cannot write file \"" + path + "\". " + LastErrorText());
  }
}

}  // namespace q2
