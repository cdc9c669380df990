// The display monitor program, run as a child process against messages sent on loopback.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "vdu/datagram.h"
#include "vdu/records.h"
#include "vdu/vdu_test_util.h"

extern char** environ;

namespace q2 {
namespace {

// A running vdumon with its standard output on a pipe; killed by its pid if still running.
class Monitor {
 public:
  explicit Monitor(std::vector<std::string> args) {
    args.insert(args.begin(), VDUMON_PATH);
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, VDUMON_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (rc != 0) throw std::runtime_error("posix_spawn vdumon");
  }
  ~Monitor() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // The next output line, or "" when none came within timeoutMs.
  std::string ReadLine(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
      const auto nl = buffered_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::string();
      pollfd entry{out_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left)) <= 0) return std::string();
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::string();
      buffered_.append(chunk, static_cast<size_t>(n));
    }
  }

  // The exit status, waiting at most timeoutMs; -1 when it did not end.
  int Wait(int timeoutMs = 10000) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      ::usleep(20000);
    }
    return -1;
  }

  // The port from the first line, "listening on 127.0.0.1:P".
  uint16_t ListeningPort() {
    const std::string line = ReadLine();
    const std::string prefix = "listening on 127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) throw std::runtime_error("unexpected first line: " + line);
    return static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
};

TEST(VDUMonitor, DecodesWhatSendVDUMessageSent) {
  q2test::ScopedCodePage codePage(1251);
  q2test::ScopedLog log(0);
  tValueList dishes, modifiers;
  tValue kitchen{1, 12, "Kitchen", nullptr};
  q2test::AddValue(dishes, 101, 5001, "Борщ", &kitchen);
  q2test::AddValue(modifiers, 201, 0, "Без лука");
  tZoltOrder order;
  order.Menu.push_back(q2test::Item(miDish, 101, 2.0));
  order.Menu[0]->Children.push_back(q2test::Item(miModifier, 201));
  order.Menu.push_back(q2test::Item(miDish, 99999, 0.5));
  tVDUSettings settings;
  settings.VDUUnit = 4;
  settings.VDUWaiter = "Анна";
  int32_t leftOut = 0;
  std::vector<uint8_t> message =
      BuildVDUMessage(settings, 65841, 1234, order, 2, dishes, modifiers, 45000.5, leftOut);

  Monitor monitor({"--port", "0", "--rest-code", "-77", "--count", "1", "--timeout", "10",
                   "--codepage", "1251"});
  const uint16_t port = monitor.ListeningPort();
  SetVDUMessageCounter(41);
  SendVDUMessage(message.data(), message.size(), -77, 9, tVDUAddress{0x7F000001u, port});

  EXPECT_EQ(monitor.ReadLine(), "message 42 display 9: 9 chunks, 9071 bytes");
  EXPECT_EQ(monitor.ReadLine(),
            "caption captlen=9071 VCCommand=2 UnitNum=4 StartSession=65841 ExtraOrderId=1234 "
            "waiter=\"Анна\" SystemTime=4320000 SysDate=8474 LCnt=4");
  EXPECT_EQ(monitor.ReadLine(), "record 0 offset=0 len=8 class=7 ExtraType=2 FileNumber=1234");
  EXPECT_EQ(monitor.ReadLine(),
            "record 1 offset=9 len=120 class=1 SIFR=5001 code=\"5001\" qnt=2 stream=12 "
            "name=\"Борщ\"");
  EXPECT_EQ(monitor.ReadLine(),
            "record 2 offset=130 len=120 class=0 SIFR=0 code=\"0\" qnt=1 stream=0 "
            "name=\"Без лука\"");
  EXPECT_EQ(monitor.ReadLine(),
            "record 3 offset=251 len=120 class=1 SIFR=34463 code=\"9999\" qnt=0.5 stream=0 "
            "name=\"99999\"");
  EXPECT_EQ(monitor.Wait(), 0);
}

TEST(VDUMonitor, IgnoresForeignDatagramsAndReportsATimeout) {
  Monitor monitor({"--port", "0", "--rest-code", "5", "--count", "1", "--timeout", "0.5"});
  const uint16_t port = monitor.ListeningPort();
  tVDUSocket socket = CreateVDUSocket();
  const uint8_t junk[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  BroadcastDatagram(socket, junk, sizeof junk, tVDUAddress{0x7F000001u, port});
  EXPECT_EQ(monitor.ReadLine(), "ignored a datagram of 11 bytes that is not a display chunk");
  EXPECT_EQ(monitor.ReadLine(), "timeout after 0 of 1 messages");
  EXPECT_EQ(monitor.Wait(), 1);
}

TEST(VDUMonitor, RefusesABadCommandLine) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--port", "0"},
        std::vector<std::string>{"--port", "0", "--rest-code", "0"},
        std::vector<std::string>{"--port", "70000", "--rest-code", "1"},
        std::vector<std::string>{"--rest-code", "1", "--port"}}) {
    Monitor monitor(args);
    EXPECT_EQ(monitor.Wait(), 2) << args[0] << " " << args[1];
  }
}

}  // namespace
}  // namespace q2
