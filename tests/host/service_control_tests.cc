// Installing, starting, stopping and removing the service through the built-in service
// manager in a temporary state folder, with the real program; the systemd back end against
// a recorded systemctl.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log.h"
#include "host/service.h"
#include "host/service_control.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/process.h"
#include "platform/program_folder.h"
#include "platform/service_manager.h"
#include "platform/sleep.h"
#include "platform/system_error.h"
#include "test_util.h"

namespace q2 {
namespace {

const std::string kProgram = std::string(Q2_BINARY_DIR) + "/bin/quillon2";

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Log lines of a program folder without time and kind.
std::vector<std::string> LogLines(const std::string& home) {
  std::vector<std::string> lines;
  for (const std::string& name : ListDirectory(home + "LOGS/", "QUILLON2_*.LOG")) {
    std::string text = Utf16LEToUtf8(ReadFileBytes(home + "LOGS/" + name).substr(2));
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      std::string line = text.substr(start, end - start);
      lines.push_back(line.size() > 17 ? line.substr(17) : line);
    }
  }
  return lines;
}

bool Logged(const std::string& home, const std::string& text) {
  for (const std::string& l : LogLines(home)) {
    if (l == text) return true;
  }
  return false;
}

// A program folder and a state folder, named by the environment for this process and the
// programs it starts; a service process still running at the end is ended by its pid.
class BuiltinServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    stateFolder_ = state_.path() + "services/";  // created by the first install
    setenv("QUILLON2_HOME", home_.path().c_str(), 1);
    setenv(kServiceDirEnv, stateFolder_.c_str(), 1);
    tIniFile ini(home_.path() + "Quillon2.INI");
    ini.WriteString("Settings", "CMDDir", home_.path() + "cmd");
    ini.WriteString("Settings", "XMLDir", home_.path() + "orders");
    ini.WriteString("Settings", "UnpDir", home_.path() + "unpaid");
    ini.WriteString("Settings", "Interval", "1");
  }
  void TearDown() override {
    if (servicePid_ > 0 && ProcessStartTime(servicePid_)) {
      kill(static_cast<pid_t>(servicePid_), SIGKILL);
      WaitGone(servicePid_, 5000);
    }
    unsetenv("QUILLON2_HOME");
    unsetenv(kServiceDirEnv);
  }

  tProgramResult Run(const std::vector<std::string>& switches) {
    std::vector<std::string> args{kProgram};
    args.insert(args.end(), switches.begin(), switches.end());
    return RunProgram(args);
  }

  // Polls the state until it is `want`; the last state seen.
  uint32_t WaitState(uint32_t want, int timeoutMs) {
    Clock::time_point start = Clock::now();
    uint32_t state = 0;
    do {
      tServiceStatus status = QueryServiceState(kServiceName);
      state = status.currentState;
      if (status.processId > 0) servicePid_ = status.processId;
      if (state == want) break;
      SleepMs(100);
    } while (MsSince(start) < timeoutMs);
    return state;
  }

  static bool WaitGone(int64_t pid, int timeoutMs) {
    Clock::time_point start = Clock::now();
    while (ProcessStartTime(pid)) {
      if (MsSince(start) > timeoutMs) return false;
      SleepMs(50);
    }
    return true;
  }

  q2test::TempDir home_, state_;
  std::string stateFolder_;
  int64_t servicePid_ = 0;
};

TEST_F(BuiltinServiceTest, InstallStartStopUninstall) {
  tProgramResult install = Run({"/install"});
  EXPECT_EQ(install.exitStatus, 0) << install.err;
  EXPECT_EQ(install.out, "Service installed successfully\n");
  ASSERT_TRUE(ServiceInstalled(kServiceName));
  std::unique_ptr<tServiceManager> manager = MakeBuiltinServiceManager(stateFolder_);
  EXPECT_EQ(manager->ReadValue(kServiceName, "ImagePath"), kProgram + " /svc");
  EXPECT_EQ(manager->ReadValue(kServiceName, kServiceValueDescription), "Quillon TCP/IP v2");
  EXPECT_TRUE(Logged(home_.path(), "srvc: Quillon 2 service installed successfully"));
  EXPECT_EQ(QueryServiceState(kServiceName).currentState, kServiceStopped);

  Clock::time_point start = Clock::now();
  ControlTheService(kServiceName, false);
  EXPECT_LT(MsSince(start), 1000) << "a start does not wait for a state";
  ASSERT_EQ(WaitState(kServiceRunning, 20000), kServiceRunning);
  EXPECT_EQ(QueryServiceState(kServiceName).waitHintMs, 5000u);
  EXPECT_TRUE(Logged(home_.path(), "srvc: starting"));
  EXPECT_THROW(manager->Start(kServiceName), tSystemError);  // already running

  start = Clock::now();
  ControlTheService(kServiceName, true);
  EXPECT_GE(MsSince(start), 5000) << "a stop sleeps the reported wait hint";
  EXPECT_EQ(WaitState(kServiceStopped, 10000), kServiceStopped);
  EXPECT_TRUE(Logged(home_.path(), "srvc: stopped"));
  EXPECT_TRUE(Logged(home_.path(), "srvc: finished"));
  try {
    ControlTheService(kServiceName, true);
    ADD_FAILURE() << "a stop of a stopped service fails";
  } catch (const tSystemError& e) {
    EXPECT_EQ(e.Code(), kErrServiceNotActive);
  }

  tProgramResult uninstall = Run({"-UNINSTALL"});
  EXPECT_EQ(uninstall.exitStatus, 0) << uninstall.err;
  EXPECT_EQ(uninstall.out, "Service uninstalled successfully\n");
  EXPECT_FALSE(ServiceInstalled(kServiceName));
  EXPECT_TRUE(Logged(home_.path(), "srvc: Quillon 2 service uninstalled successfully"));
}

TEST_F(BuiltinServiceTest, UninstallLeavesARunningServiceRunning) {
  ASSERT_EQ(Run({"/install", "/silent"}).exitStatus, 0);
  ControlTheService(kServiceName, false);
  ASSERT_EQ(WaitState(kServiceRunning, 20000), kServiceRunning);
  ASSERT_GT(servicePid_, 0);

  tProgramResult uninstall = Run({"/uninstall"});
  EXPECT_EQ(uninstall.exitStatus, 0) << uninstall.err;
  EXPECT_FALSE(ServiceInstalled(kServiceName));
  SleepMs(300);
  EXPECT_TRUE(ProcessStartTime(servicePid_).has_value()) << "the service was stopped";
  EXPECT_FALSE(Logged(home_.path(), "srvc: stopping"));
  try {
    QueryServiceState(kServiceName);
    ADD_FAILURE() << "an unregistered service has no status";
  } catch (const tSystemError& e) {
    EXPECT_EQ(e.Code(), kErrServiceDoesNotExist);
  }

  ASSERT_EQ(kill(static_cast<pid_t>(servicePid_), SIGTERM), 0);
  EXPECT_TRUE(WaitGone(servicePid_, 10000));
  EXPECT_TRUE(Logged(home_.path(), "srvc: stopped"));
}

TEST_F(BuiltinServiceTest, SilentInstallPrintsNothingAndFailuresAreAlwaysSaid) {
  tProgramResult silent = Run({"/install", "-SILENT"});
  EXPECT_EQ(silent.exitStatus, 0);
  EXPECT_EQ(silent.out, "");
  EXPECT_EQ(silent.err, "");
  EXPECT_TRUE(Logged(home_.path(), "srvc: Quillon 2 service installed successfully"));
  EXPECT_TRUE(Logged(home_.path(), "srvc: finished"));

  tProgramResult again = Run({"/install", "/silent"});
  EXPECT_EQ(again.exitStatus, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err,
            "Service \"Quillon 2\" failed to install with error: \"System Error.  Code: 1073.\r\n"
            "The specified service already exists.\"\n");

  ASSERT_EQ(Run({"/uninstall", "/silent"}).exitStatus, 0);
  tProgramResult missing = Run({"/uninstall"});
  EXPECT_EQ(missing.exitStatus, 1);
  EXPECT_EQ(missing.err,
            "Service \"Quillon 2\" failed to uninstall with error: \"System Error.  Code: 1060.\r\n"
            "The specified service does not exist as an installed service.\"\n");
}

TEST_F(BuiltinServiceTest, UnknownNamesAreNotInstalled) {
  EXPECT_FALSE(ServiceInstalled("NoSuchService"));  // state folder missing
  ASSERT_EQ(Run({"/install", "/silent"}).exitStatus, 0);
  EXPECT_FALSE(ServiceInstalled("NoSuchService"));
  EXPECT_FALSE(ServiceInstalled("../services/Quillon2Service"));
  EXPECT_TRUE(ServiceInstalled(kServiceName));
}

TEST_F(BuiltinServiceTest, AServiceThatEndsAtOnceReadsAsStopped) {
  // No folders configured: the start fails and the process ends with status 1.
  DeleteFile(home_.path() + "Quillon2.INI");
  ASSERT_EQ(Run({"/install", "/silent"}).exitStatus, 0);
  ControlTheService(kServiceName, false);
  SleepMs(200);
  EXPECT_EQ(WaitState(kServiceStopped, 10000), kServiceStopped);
  EXPECT_TRUE(Logged(home_.path(), "srvc: start failed. command dir unspecified"));
}

// Without the right to write the state folder every change fails with code 5.
TEST(BuiltinServiceManager, WithoutRightsInstallIsAccessDenied) {
  q2test::TempDir state;
  std::string folder = state.path() + "services/";
  ASSERT_TRUE(CreateDirectory(folder));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    // root passes every permission check: take an unprivileged user; else a read-only folder.
    if (geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    } else {
      chmod(folder.c_str(), 0555);
    }
    std::string text;
    try {
      tServiceRegistration r{kServiceName, kServiceDisplayName, "/bin/true", "", {}};
      MakeBuiltinServiceManager(folder)->Install(r);
      text = "installed";
    } catch (const std::exception& e) {
      text = e.what();
    }
    ssize_t n = write(fds[1], text.data(), text.size());
    _exit(n == static_cast<ssize_t>(text.size()) ? 0 : 3);
  }
  close(fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(text, "System Error.  Code: 5.\r\n" + SysErrorMessage(EACCES));
  EXPECT_FALSE(FileExists(folder + "Quillon2Service.service"));
}

TEST(RunAndWait, WaitsPumpingAndCollectsTheOutput) {
  int pumps = 0;
  tProgramResult r = RunAndWait("/bin/sleep", "0.3", [&] { ++pumps; });
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_GE(pumps, 3);                                      // every 50 ms
  r = RunAndWait(kProgram, "/uninstall /silent", nullptr);  // nothing registered here
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("failed to uninstall"), std::string::npos) << r.err;
  try {
    RunAndWait("/nonexistent/quillon2", "/install", nullptr);
    ADD_FAILURE() << "a missing program is a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), SysErrorMessage(ENOENT));
  }
}

TEST(CommandLine, WordsSurviveQuoting) {
  const std::vector<std::string> words = {
      "/opt/my dir/quillon2", "/svc", "a\"b", "c\\d", "", "plain"};
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "" : " ") + QuoteCommandWord(w);
  EXPECT_EQ(line, "\"/opt/my dir/quillon2\" /svc \"a\\\"b\" \"c\\\\d\" \"\" plain");
  EXPECT_EQ(SplitCommandLine(line), words);
  EXPECT_EQ(SplitCommandLine("  /usr/bin/quillon2   /svc "),
            (std::vector<std::string>{"/usr/bin/quillon2", "/svc"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(SystemdUnit, Text) {
  tServiceRegistration r{kServiceName, kServiceDisplayName, "/opt/quillon2/quillon2 /svc",
                         kServiceDescription, tServiceStartType::kAutomatic};
  EXPECT_EQ(SystemdUnitText(r, true),
            "[Unit]\n"
            "Description=Quillon TCP/IP v2\n"
            "After=network.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=/opt/quillon2/quillon2 /svc\n"
            "Restart=on-failure\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  // Blanks are quoted; "%" and "$" would be expanded by systemd and are doubled.
  r.commandLine = "\"/opt/50% off/$q2\" /svc";
  r.description = "";
  std::string text = SystemdUnitText(r, false);
  EXPECT_NE(text.find("\nType=simple\n"), std::string::npos);
  EXPECT_NE(text.find("\nExecStart=\"/opt/50%% off/$$q2\" /svc\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nDescription=Quillon 2\n"), std::string::npos) << text;
}

TEST(SystemdUnit, ActiveStates) {
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"active", kServiceRunning},
      {"reloading", kServiceRunning},
      {"activating", kServiceStartPending},
      {"deactivating", kServiceStopPending},
      {"inactive", kServiceStopped},
      {"failed", kServiceStopped},
      {"", kServiceStopped}};
  for (const auto& [active, state] : cases) {
    EXPECT_EQ(ServiceStateFromSystemd(active), state) << active;
  }
}

// The systemd back end with systemctl recorded instead of run.
class SystemdManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<tServiceManager> Manager() {
    return MakeSystemdServiceManager(units_.path(), [this](const std::vector<std::string>& a) {
      calls_.push_back(a);
      tProgramResult r;
      if (a.size() > 1 && a[1] == "show") r.out = show_;
      if (!failWith_.empty() && !(a.size() > 1 && a[1] == "show")) {
        r.exitStatus = 1;
        r.err = failWith_;
      }
      return r;
    });
  }
  std::string UnitFile() const { return units_.path() + "Quillon2Service.service"; }

  q2test::TempDir units_, home_;
  std::vector<std::vector<std::string>> calls_;
  std::string show_ = "ActiveState=inactive\nMainPID=0\n";
  std::string failWith_;
};

TEST_F(SystemdManagerTest, InstallWritesTheUnitAndEnablesIt) {
  setenv("QUILLON2_HOME", home_.path().c_str(), 1);
  std::unique_ptr<tServiceManager> manager = Manager();
  std::vector<std::string> said;
  EXPECT_EQ(InstallService(*manager, false, [&](const std::string& t, bool) { said.push_back(t); }),
            0);
  EXPECT_EQ(said, std::vector<std::string>{"Service installed successfully"});
  tServiceRegistration expected{kServiceName, kServiceDisplayName,
                                QuoteCommandWord(ExecutablePath()) + " /svc", kServiceDescription,
                                tServiceStartType::kAutomatic};
  EXPECT_EQ(ReadFileBytes(UnitFile()), SystemdUnitText(expected, ServiceNotifyBuiltIn()));
  ASSERT_GE(calls_.size(), 2u);
  EXPECT_EQ(calls_[0], (std::vector<std::string>{"systemctl", "daemon-reload"}));
  EXPECT_EQ(calls_[1],
            (std::vector<std::string>{"systemctl", "enable", "Quillon2Service.service"}));
  EXPECT_EQ(calls_.back(), (std::vector<std::string>{"systemctl", "daemon-reload"}));
  unsetenv("QUILLON2_HOME");

  show_ = "ActiveState=active\nMainPID=4242\n";
  tServiceStatus status = manager->QueryStatus(kServiceName);
  EXPECT_EQ(status.currentState, kServiceRunning);
  EXPECT_EQ(status.processId, 4242);
  EXPECT_EQ(status.waitHintMs, 5000u);

  // Removing a running service disables it and takes the unit away, without a stop.
  calls_.clear();
  manager->Uninstall(kServiceName);
  EXPECT_FALSE(FileExists(UnitFile()));
  EXPECT_EQ(calls_, (std::vector<std::vector<std::string>>{
                        {"systemctl", "disable", "Quillon2Service.service"},
                        {"systemctl", "daemon-reload"}}));
}

TEST_F(SystemdManagerTest, RefusalsOfSystemctl) {
  setenv("QUILLON2_HOME", home_.path().c_str(), 1);
  std::unique_ptr<tServiceManager> manager = Manager();
  failWith_ = "Failed to reload daemon: Access denied";
  std::string said;
  EXPECT_EQ(InstallService(*manager, true, [&](const std::string& t, bool) { said = t; }), 1);
  unsetenv("QUILLON2_HOME");
  EXPECT_EQ(said,
            "Service \"Quillon 2\" failed to install with error: \"System Error.  Code: 5.\r\n" +
                SysErrorMessage(EACCES) + "\"");
  EXPECT_FALSE(FileExists(UnitFile())) << "a refused unit is taken away again";

  failWith_.clear();
  tServiceRegistration r{kServiceName, kServiceDisplayName, "/x/quillon2 /svc", "", {}};
  manager->Install(r);
  calls_.clear();
  failWith_ = "Job for Quillon2Service.service failed.";
  try {
    manager->Start(kServiceName);
    ADD_FAILURE();
  } catch (const tSystemError& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_NE(std::string(e.what()).find("Job for Quillon2Service.service failed."),
              std::string::npos);
  }
}

}  // namespace
}  // namespace q2
