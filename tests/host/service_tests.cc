// The program itself, started in a temporary program folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/sleep.h"
#include "test_util.h"

namespace q2 {
namespace {

const std::string kProgram = std::string(Q2_BINARY_DIR) + "/bin/quillon2";

pid_t Start(const std::string& home, const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("QUILLON2_HOME", home.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(kProgram.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> LogLines(const std::string& home) {
  std::vector<std::string> lines;
  for (const std::string& name : ListDirectory(home + "LOGS/", "QUILLON2_*.LOG")) {
    std::string text = Utf16LEToUtf8(ReadFileBytes(home + "LOGS/" + name).substr(2));
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      std::string line = text.substr(start, end - start);
      lines.push_back(line.size() > 17 ? line.substr(17) : line);  // without time and kind
    }
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& l : lines) {
    if (l == text) return true;
  }
  return false;
}

TEST(Service, RunsIteratesAndStopsOnSigterm) {
  q2test::TempDir home;
  tIniFile ini(home.path() + "Quillon2.INI");
  ini.WriteString("Settings", "CMDDir", home.path() + "cmd");
  ini.WriteString("Settings", "XMLDir", home.path() + "orders");
  ini.WriteString("Settings", "UnpDir", home.path() + "unpaid");
  ini.WriteString("Settings", "Interval", "1");
  ini.WriteString("Settings", "LogLevel", "2");
  pid_t pid = Start(home.path(), {"/svc"});
  ASSERT_GT(pid, 0);
  SleepMs(1500);
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  std::vector<std::string> lines = LogLines(home.path());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("srvc: QUILLON ", 0), 0u);
  EXPECT_NE(lines[0].find(" launched"), std::string::npos);
  std::vector<std::string> tail;
  for (const std::string& l : lines) {
    if (l.rfind("srvc: ", 0) == 0 || l == "thrd: terminated") tail.push_back(l);
  }
  ASSERT_GE(tail.size(), 5u);
  std::vector<std::string> last5(tail.end() - 5, tail.end());
  EXPECT_EQ(last5,
            (std::vector<std::string>{"srvc: stopping", "srvc: terminating main thread",
                                      "thrd: terminated", "srvc: stopped", "srvc: finished"}));
  EXPECT_TRUE(Contains(lines, "thrd: -- new iteration --"));
}

TEST(Service, StartWithoutCommandFolderFails) {
  q2test::TempDir home;
  tIniFile ini(home.path() + "Quillon2.INI");
  ini.WriteString("Settings", "XMLDir", home.path() + "orders");
  pid_t pid = Start(home.path(), {"-SVC"});
  EXPECT_NE(WaitExit(pid), 0);
  std::vector<std::string> lines = LogLines(home.path());
  EXPECT_TRUE(Contains(lines, "srvc: start failed. command dir unspecified"));
  EXPECT_TRUE(Contains(lines, "srvc: finished"));
  EXPECT_FALSE(Contains(lines, "srvc: stopped"));
  EXPECT_EQ(ReadFileBytes(home.path() + "LOGS/QUILLON2_RESULT.TXT"), "ERROR CANT_START");
}

TEST(Service, ACopyOfTheProgramKeepsItsFilesBesideIt) {
  q2test::TempDir home;
  ASSERT_TRUE(CopyFile(kProgram, home.path() + "quillon2"));
  chmod((home.path() + "quillon2").c_str(), 0755);
  pid_t pid = fork();
  if (pid == 0) {
    unsetenv("QUILLON2_HOME");
    std::string prog = home.path() + "quillon2";
    execl(prog.c_str(), prog.c_str(), "/svc", nullptr);
    _exit(127);
  }
  EXPECT_NE(WaitExit(pid), 0);  // no folders configured: the start fails
  EXPECT_TRUE(FileExists(home.path() + "Quillon2.INI"));
  EXPECT_TRUE(FileExists(home.path() + "LOGS/QUILLON2_RESULT.TXT"));
}

}  // namespace
}  // namespace q2
