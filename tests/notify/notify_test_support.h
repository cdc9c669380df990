// Test helpers for the notification and FTP tests: child processes stopped by pid, the local
// HTTP(S) recorder and FTP server, unused ports, a test certificate authority made with
// openssl, a reader for the recorder's JSON lines and for the log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"

extern char** environ;

namespace q2test {

// The Debian interpreter first: it is the one that has pyftpdlib.
inline std::string Python3() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

inline std::string TestsDir() { return std::string(Q2_FIXTURES) + "/.."; }

// A child process, started with posix_spawnp and stopped (SIGTERM, then SIGKILL) by its pid.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Stop(); }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

// Waits (at most 15 s) for a server to write its port file; 0 when it does not.
inline int WaitForPort(const std::string& portFile, const ChildProcess& child) {
  for (int i = 0; i < 150; ++i) {
    if (q2::FileExists(portFile)) return std::stoi(q2::ReadFileBytes(portFile));
    if (!child.Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}

inline void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// A throw-away certificate authority in `dir`: ca.pem (the test CA), server.pem/server.key
// (for 127.0.0.1, signed by it), wrongname.pem/wrongname.key (signed by it, for another
// name), other_ca.pem (an unrelated CA) and capath/ (the test CA in a hashed folder).
inline void MakeCertificates(const std::string& dir) {
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  const std::string quiet = " >>" + dir + "openssl.out 2>&1";
  auto leaf = [&](const std::string& name, const std::string& cn, const std::string& san) {
    Run("openssl req" + ec + "-keyout " + dir + name + ".key -out " + dir + name +
        ".csr -subj /CN=" + cn + " -addext subjectAltName=" + san + quiet);
    Run("openssl x509 -req -in " + dir + name + ".csr -CA " + dir + "ca.pem -CAkey " + dir +
        "ca.key -CAcreateserial -days 2 -copy_extensions copy -out " + dir + name + ".pem" + quiet);
  };
  Run("openssl req -x509" + ec + "-days 2 -subj /CN=Q2TestCA -keyout " + dir + "ca.key -out " +
      dir + "ca.pem" + quiet);
  Run("openssl req -x509" + ec + "-days 2 -subj /CN=Q2OtherCA -keyout " + dir +
      "other_ca.key -out " + dir + "other_ca.pem" + quiet);
  leaf("server", "127.0.0.1", "IP:127.0.0.1");
  leaf("wrongname", "wrong.invalid", "DNS:wrong.invalid");
  Run("mkdir -p " + dir + "capath && cp " + dir + "ca.pem " + dir + "capath/ && openssl rehash " +
      dir + "capath" + quiet);
}

// A minimal JSON reader for the recorder's lines: objects, arrays, strings, numbers,
// true/false/null.
struct Json {
  std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>,
               std::map<std::string, Json>>
      value;
  const std::string& str() const { return std::get<std::string>(value); }
  const std::vector<Json>& arr() const { return std::get<std::vector<Json>>(value); }
  const Json& operator[](const std::string& key) const {
    return std::get<std::map<std::string, Json>>(value).at(key);
  }
  bool boolean() const { return std::get<bool>(value); }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : s_(text) {}
  Json Parse() {
    Json j = Value();
    Blank();
    if (i_ != s_.size()) throw std::runtime_error("json: trailing text");
    return j;
  }

 private:
  void Blank() {
    while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_]))) ++i_;
  }
  char Next() {
    if (i_ >= s_.size()) throw std::runtime_error("json: unexpected end");
    return s_[i_++];
  }
  void Expect(char c) {
    Blank();
    if (Next() != c) throw std::runtime_error(std::string("json: expected ") + c);
  }
  static void PutUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  unsigned Hex4() {
    const std::string hex = s_.substr(i_, 4);
    i_ += 4;
    return static_cast<unsigned>(std::stoul(hex, nullptr, 16));
  }
  std::string String() {
    Expect('"');
    std::string out;
    for (char c = Next(); c != '"'; c = Next()) {
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = Next();
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
            i_ += 2;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (Hex4() - 0xDC00);
          }
          PutUtf8(out, cp);
          break;
        }
        default:
          out += e;
          break;
      }
    }
    return out;
  }
  Json Value() {
    Blank();
    if (i_ >= s_.size()) throw std::runtime_error("json: unexpected end");
    const char c = s_[i_];
    if (c == '"') return Json{String()};
    if (c == '{') {
      ++i_;
      std::map<std::string, Json> object;
      Blank();
      if (s_[i_] == '}') return ++i_, Json{object};
      for (;;) {
        std::string key = String();
        Expect(':');
        object[key] = Value();
        Blank();
        if (Next() == '}') return Json{object};
      }
    }
    if (c == '[') {
      ++i_;
      std::vector<Json> array;
      Blank();
      if (s_[i_] == ']') return ++i_, Json{array};
      for (;;) {
        array.push_back(Value());
        Blank();
        if (Next() == ']') return Json{array};
      }
    }
    if (s_.compare(i_, 4, "true") == 0) return i_ += 4, Json{true};
    if (s_.compare(i_, 5, "false") == 0) return i_ += 5, Json{false};
    if (s_.compare(i_, 4, "null") == 0) return i_ += 4, Json{nullptr};
    size_t used = 0;
    const double number = std::stod(s_.substr(i_), &used);
    i_ += used;
    return Json{number};
  }
  const std::string& s_;
  size_t i_ = 0;
};

// One request as the recorder saw it.
struct RecordedRequest {
  std::string method, path, version, body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool tls = false;
  // The value of the first header of that name (ignoring case); "" when absent.
  std::string Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return "";
  }
};

// The local recorder (tests/support/http_recorder.py) on 127.0.0.1 and an ephemeral port.
class HttpRecorder {
 public:
  // TLS when `cert` is given. `dir` ends in "/" and holds the recorder's files.
  HttpRecorder(const std::string& dir, const std::string& cert = "", const std::string& key = "",
               const std::string& body = "ok")
      : log_(dir + "requests.jsonl") {
    std::vector<std::string> extra = {"--body", body};
    if (!cert.empty()) extra.insert(extra.end(), {"--cert", cert, "--key", key});
    Start(dir, extra);
  }
  // Plain HTTP on `port` (0: any free one), answering `status` to every path but /status/NNN.
  HttpRecorder(const std::string& dir, int port, int status) : log_(dir + "requests.jsonl") {
    Start(dir, {"--port", std::to_string(port), "--status", std::to_string(status)});
  }
  int port() const { return port_; }
  // Stops the recorder; its requests stay readable.
  void Stop() { child_->Stop(); }

  std::vector<RecordedRequest> Requests() const {
    std::vector<RecordedRequest> out;
    if (!q2::FileExists(log_)) return out;
    const std::string text = q2::ReadFileBytes(log_);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.empty()) continue;
      const Json j = JsonParser(line).Parse();
      RecordedRequest r;
      r.method = j["method"].str();
      r.path = j["path"].str();
      r.version = j["version"].str();
      r.body = j["body"].str();
      r.tls = j["tls"].boolean();
      for (const Json& h : j["headers"].arr())
        r.headers.emplace_back(h.arr()[0].str(), h.arr()[1].str());
      out.push_back(r);
    }
    return out;
  }

 private:
  void Start(const std::string& dir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {Python3(),     TestsDir() + "/support/http_recorder.py",
                                     "--port-file", dir + "port",
                                     "--log",       log_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_ = std::make_unique<ChildProcess>(argv, dir + "recorder.out");
    port_ = WaitForPort(dir + "port", *child_);
    if (port_ == 0) throw std::runtime_error("the HTTP recorder did not start");
  }

  std::string log_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
};

// A loopback port on which nothing listens: bound, then closed again. Inside the test's own
// network namespace nobody else takes it, so a recorder can be started on it later.
inline int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// One line of the log as written: its kind word and its text.
struct LogLine {
  std::string kind, text;
};

// The lines of today's log (time and kind split off); empty when there is no log file.
inline std::vector<LogLine> ReadLog() {
  std::vector<LogLine> lines;
  const std::string path = q2::LogFileName();
  if (!q2::FileExists(path)) return lines;
  const std::string bytes = q2::ReadFileBytes(path);
  const std::string text = q2::Utf16LEToUtf8(bytes.substr(2));
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    // "hh:mm:ss KINDWRD text"
    if (line.size() >= 17) lines.push_back({line.substr(9, 7), line.substr(17)});
  }
  return lines;
}

// The texts of the log lines that start with `prefix`.
inline std::vector<std::string> LogTextsStartingWith(const std::string& prefix) {
  std::vector<std::string> out;
  for (const LogLine& line : ReadLog()) {
    if (line.text.rfind(prefix, 0) == 0) out.push_back(line.text);
  }
  return out;
}

}  // namespace q2test
