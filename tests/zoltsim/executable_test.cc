// The zoltsim executable: its first line, its options, its exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cashserver/zolt_xml.h"
#include "test_util.h"
#include "transport/tcp_client.h"
#include "zoltsim/sim_test_util.h"

namespace q2::sim::test {
namespace {

// zoltsim as a child process with its standard output on a pipe; killed by its pid when
// the test ends early.
class tSimProcess final {
 public:
  explicit tSimProcess(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    out_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<std::string> all = {ZOLTSIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, ZOLTSIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
  }
  ~tSimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  tSimProcess(const tSimProcess&) = delete;
  tSimProcess& operator=(const tSimProcess&) = delete;

  // The next line of standard output, or empty after timeoutMs or at its end.
  std::string ReadLine(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      pollfd p{out_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return {};
      char chunk[512];
      const ssize_t got = read(out_, chunk, sizeof chunk);
      if (got <= 0) return {};
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  void Signal(int sig) { kill(pid_, sig); }

  // The exit status, or -1 when the process has not ended within timeoutMs.
  int Wait(int timeoutMs) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

TEST(ExecutableTest, ServesBothPortsAndStopsOnSignal) {
  q2test::TempDir dir;
  const std::string journal = dir.path() + "journal.txt";
  for (const int sig : {SIGTERM, SIGINT}) {
    tSimProcess sim({"--tcp-port", "0", "--http-port", "0", "--compress", "--journal", journal,
                     "--fault", "error=GetOrder:4321:сбой:1", "--read-after", "0"});
    const std::string first = sim.ReadLine(10000);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        first, m, std::regex(R"(zoltsim: tcp 127\.0\.0\.1:(\d+) http 127\.0\.0\.1:(\d+))")))
        << first;
    const std::string tcp = "127.0.0.1:" + m[1].str();
    const uint16_t httpPort = static_cast<uint16_t>(std::stoi(m[2].str()));

    std::string req;
    tZoltXML::BuildGetOrder(req, "{00000000-0000-0000-0000-000000000000}");
    TToolMemoryStream out;
    int32_t number = 0;
    std::string error;
    ASSERT_TRUE(CallXmlTcp(tcp, "", req.data(), req.size() - 1, number, out, error)) << error;
    EXPECT_NE(out.Bytes().find("ZoltErrorN=\"4321\""), std::string::npos) << out.Bytes();
    const tHttpReply reply = HttpPost(httpPort, "/", req);
    EXPECT_NE(reply.body.find("ZoltErrorN=\"1004\""), std::string::npos) << reply.body;
    EXPECT_EQ(sim.ReadLine(5000), "zoltsim: fault error=GetOrder:4321:сбой:1");
    EXPECT_NE(sim.ReadLine(5000).find("#1 tcp GetOrder -> Error 4321"), std::string::npos);
    EXPECT_NE(sim.ReadLine(5000).find("#2 http GetOrder -> Error 1004"), std::string::npos);
    FreeConnectionPool();

    sim.Signal(sig);
    EXPECT_EQ(sim.Wait(10000), 0);
  }
  std::ifstream in(journal);
  int lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  EXPECT_EQ(lines, 4);
}

TEST(ExecutableTest, ExitStatuses) {
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--tcp-port", "70000"}, 2},
      {{"--tcp-port"}, 2},
      {{"--bind", "0.0.0.0"}, 2},
      {{"--fault", "busy=1", "--tcp-port", "0", "--http-port", "0"}, 2},
      {{"--restaurant", "/nonexistent/r.xml", "--tcp-port", "0", "--http-port", "0"}, 1},
      {{"--help"}, 0},
  };
  for (const auto& c : cases) {
    tSimProcess sim(c.args);
    EXPECT_EQ(sim.Wait(10000), c.status) << c.args[0];
  }
}

}  // namespace
}  // namespace q2::sim::test
