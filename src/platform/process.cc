#include "platform/process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/files.h"
#include "platform/system_error.h"

extern char** environ;

namespace q2 {

namespace {

// A pipe whose two ends close with the object; both ends are close-on-exec.
class tPipe final {
 public:
  tPipe() {
    if (pipe2(fd_, O_CLOEXEC) != 0) throw SystemErrorFromErrno(errno);
  }
  ~tPipe() {
    CloseRead();
    CloseWrite();
  }
  tPipe(const tPipe&) = delete;
  tPipe& operator=(const tPipe&) = delete;
  int Read() const { return fd_[0]; }
  int Write() const { return fd_[1]; }
  void CloseRead() { Close(0); }
  void CloseWrite() { Close(1); }

 private:
  void Close(int i) {
    if (fd_[i] >= 0) close(fd_[i]);
    fd_[i] = -1;
  }
  int fd_[2] = {-1, -1};
};

// argv and envp arrays prepared before fork(): the child may only make async-signal-safe
// calls, so nothing is allocated after the fork.
class tExecArgs final {
 public:
  tExecArgs(const std::vector<std::string>& args, const tEnvironment& extraEnv) : args_(args) {
    for (std::string& a : args_) argv_.push_back(a.data());
    argv_.push_back(nullptr);
    for (char** e = environ; e && *e; ++e) {
      std::string entry = *e;
      bool replaced = false;
      for (const auto& [name, value] : extraEnv) {
        if (entry.compare(0, name.size() + 1, name + "=") == 0) replaced = true;
      }
      if (!replaced) env_.push_back(entry);
    }
    for (const auto& [name, value] : extraEnv) env_.push_back(name + "=" + value);
    for (std::string& e : env_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
  }
  char* const* Argv() { return argv_.data(); }
  char* const* Envp() { return envp_.data(); }

 private:
  std::vector<std::string> args_, env_;
  std::vector<char*> argv_, envp_;
};

// In the child: default dispositions and an empty mask, whatever the parent had (the
// service host blocks SIGTERM in all its threads, the window may ignore SIGPIPE).
void ResetSignalsInChild() {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);  // SIGKILL etc. fail: fine
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// In the child: the caller's descriptors must not leak into the program.
void CloseOtherDescriptorsOnExec() { close_range(3, ~0U, CLOSE_RANGE_CLOEXEC); }

[[noreturn]] void ReportExecFailure(int fd) {
  int err = errno;
  ssize_t ignored = write(fd, &err, sizeof err);
  (void)ignored;
  _exit(127);
}

// Reads the errno that a failing exec left in the pipe; 0 after a successful exec (EOF).
int ReadExecError(int fd) {
  int err = 0;
  ssize_t n;
  do {
    n = read(fd, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

int WaitChild(pid_t pid, int options, bool* done) {
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, options);
  } while (r < 0 && errno == EINTR);
  *done = r == pid || (r < 0 && errno == ECHILD);
  if (r != pid) return 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Appends what can be read now; closes the descriptor (sets it to -1) at its end.
void Drain(int* fd, std::string* into) {
  char buffer[4096];
  while (*fd >= 0) {
    ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        close(*fd);
        *fd = -1;
      }
      return;
    }
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      inWord = true;
      if (c == '"') {
        quoted = true;
      } else {
        word += c;
      }
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

std::string QuoteCommandWord(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"\\") == std::string::npos) return word;
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

int64_t LaunchDetached(const std::vector<std::string>& args, const tEnvironment& extraEnv) {
  if (args.empty()) throw ServiceError(kErrFileNotFound);
  tExecArgs exec(args, extraEnv);
  tPipe pidPipe, errPipe;
  pid_t middle = fork();
  if (middle < 0) throw SystemErrorFromErrno(errno);
  if (middle == 0) {
    // The intermediate child starts a session and leaves at once, so the program is
    // nobody's child here and is never left as our zombie.
    setsid();
    pid_t program = fork();
    if (program < 0) ReportExecFailure(errPipe.Write());
    if (program > 0) {
      int64_t id = program;
      ssize_t ignored = write(pidPipe.Write(), &id, sizeof id);
      (void)ignored;
      _exit(0);
    }
    ResetSignalsInChild();
    if (chdir("/") != 0) ReportExecFailure(errPipe.Write());
    int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0) ReportExecFailure(errPipe.Write());
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    if (devNull > 2) close(devNull);
    CloseOtherDescriptorsOnExec();
    execvpe(exec.Argv()[0], exec.Argv(), exec.Envp());
    ReportExecFailure(errPipe.Write());
  }
  pidPipe.CloseWrite();
  errPipe.CloseWrite();
  bool done = false;
  WaitChild(middle, 0, &done);
  int64_t id = 0;
  ssize_t n;
  do {
    n = read(pidPipe.Read(), &id, sizeof id);
  } while (n < 0 && errno == EINTR);
  int err = ReadExecError(errPipe.Read());
  if (err != 0) throw SystemErrorFromErrno(err);
  if (n != static_cast<ssize_t>(sizeof id) || id <= 0) throw SystemErrorFromErrno(ECHILD);
  return id;
}

std::optional<uint64_t> ProcessStartTime(int64_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!in || !std::getline(in, stat)) return std::nullopt;
  // "pid (comm) state ppid ..."; comm may hold blanks and parentheses: the last ")" ends it.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  std::vector<std::string> rest;
  while (fields >> field) rest.push_back(field);
  // rest[0] is field 3 (state), rest[19] field 22 (starttime).
  if (rest.size() < 20 || rest[0] == "Z" || rest[0] == "X" || rest[0] == "x") return std::nullopt;
  try {
    return std::stoull(rest[19]);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool TerminateProcess(int64_t pid) {
  return pid > 0 && kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}

tProgramResult RunProgram(const std::vector<std::string>& args, const std::function<void()>& pump,
                          int pollMs) {
  if (args.empty()) throw std::runtime_error(SysErrorMessage(ENOENT));
  tExecArgs exec(args, {});
  tPipe outPipe, errPipe, execPipe;
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(LastErrorText());
  if (pid == 0) {
    ResetSignalsInChild();
    int devNull = open("/dev/null", O_RDONLY);
    if (devNull < 0) ReportExecFailure(execPipe.Write());
    dup2(devNull, 0);
    dup2(outPipe.Write(), 1);
    dup2(errPipe.Write(), 2);
    if (devNull > 2) close(devNull);
    CloseOtherDescriptorsOnExec();
    execvpe(exec.Argv()[0], exec.Argv(), exec.Envp());
    ReportExecFailure(execPipe.Write());
  }
  outPipe.CloseWrite();
  errPipe.CloseWrite();
  execPipe.CloseWrite();
  bool done = false;
  int err = ReadExecError(execPipe.Read());
  if (err != 0) {
    WaitChild(pid, 0, &done);
    throw std::runtime_error(SysErrorMessage(err));
  }
  tProgramResult result;
  // Own copies of the read ends: Drain closes them at their end.
  int fds[2] = {dup(outPipe.Read()), dup(errPipe.Read())};
  outPipe.CloseRead();
  errPipe.CloseRead();
  std::string* into[2] = {&result.out, &result.err};
  for (int fd : fds) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  for (;;) {
    pollfd p[2];
    nfds_t count = 0;
    for (int fd : fds) {
      if (fd >= 0) p[count++] = pollfd{fd, POLLIN, 0};
    }
    if (count > 0) {
      poll(p, count, pollMs);
    } else {
      usleep(static_cast<useconds_t>(pollMs) * 1000);
    }
    for (int i = 0; i < 2; ++i) Drain(&fds[i], into[i]);
    int status = WaitChild(pid, WNOHANG, &done);
    if (done) {
      result.exitStatus = status;
      // What it wrote just before it ended; a descendant that keeps the pipe open is not
      // waited for.
      for (int i = 0; i < 2; ++i) {
        Drain(&fds[i], into[i]);
        if (fds[i] >= 0) close(fds[i]);
      }
      break;
    }
    if (pump) pump();
  }
  return result;
}

}  // namespace q2
