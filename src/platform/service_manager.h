// The machine's service manager as the program sees it: register and remove the service,
// ask for its state, start and stop it, and read or amend the registration's values
// "imagepath" (the command line the manager runs) and "Description".
//
// Two back ends, chosen at run time by OpenServiceManager():
// - systemd, when the machine runs it (/run/systemd/system exists): the registration is the
//   unit file /etc/systemd/system/<name>.service; the rest goes through systemctl.
// - the built-in manager for machines without one (containers, CI): the registration is the
//   file <name>.service in a state folder, /var/lib/quillon2/services unless the
//   environment variable QUILLON2_SERVICE_DIR names another; setting that variable selects
//   the built-in manager on any machine. Start launches the registered command line as a
//   detached process and records its pid in <name>.pid; the service process reports its
//   states into <name>.state (ReportServiceState); stop sends SIGTERM.
//
// Every failure is a tSystemError ("System Error.  Code: %d." CR LF + the system's message):
// 5 without the right to write the registration or to signal the process, 1060 for a name
// that is not registered, 1073 when it is already, 1056 for a start of a running service,
// 1062 for a stop of a stopped one.
// Callable from any thread; each call stands alone (no handles are kept between calls).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"

namespace q2 {

// Service states as the manager reports them.
enum : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};

struct tServiceStatus {
  uint32_t currentState = kServiceStopped;
  uint32_t waitHintMs = 0;  // how long the caller should allow for the next state change
  int64_t processId = 0;    // 0 when no service process runs
};

enum class tServiceStartType { kAutomatic, kDemand };

struct tServiceRegistration {
  std::string serviceName;  // a file name: no "/", not empty, not "." or ".."
  std::string displayName;
  std::string commandLine;  // words as SplitCommandLine reads them
  std::string description;
  tServiceStartType startType = tServiceStartType::kAutomatic;
};

// Value names of the registration (compared without regard to case).
inline constexpr const char* kServiceValueImagePath = "imagepath";
inline constexpr const char* kServiceValueDescription = "Description";

// The wait hint both back ends report, in milliseconds.
inline constexpr uint32_t kServiceManagerWaitHintMs = 5000;

// Where the built-in manager passes the state file's path to the service process.
inline constexpr const char* kServiceStateFileEnv = "QUILLON2_SERVICE_STATE";
// Names the built-in manager's state folder (and selects the built-in manager).
inline constexpr const char* kServiceDirEnv = "QUILLON2_SERVICE_DIR";
inline constexpr const char* kDefaultServiceStateFolder = "/var/lib/quillon2/services";
inline constexpr const char* kSystemdUnitFolder = "/etc/systemd/system";

class tServiceManager {
 public:
  virtual ~tServiceManager() = default;
  // "systemd" or "built-in", for messages and logs.
  virtual std::string Kind() const = 0;

  // Creates the registration; with kAutomatic the service starts with the machine where
  // the back end can do so (systemd: the unit is enabled).
  virtual void Install(const tServiceRegistration& registration) = 0;
  // Deletes the registration. A running service is not stopped.
  virtual void Uninstall(const std::string& name) = 0;
  // Whether the registration exists. Never fails.
  virtual bool IsInstalled(const std::string& name) = 0;
  virtual tServiceStatus QueryStatus(const std::string& name) = 0;
  // Asks the manager to start the service and returns without waiting for a state.
  virtual void Start(const std::string& name) = 0;
  // Sends the stop request; returns the status right after it (stop pending, wait hint).
  virtual tServiceStatus Stop(const std::string& name) = 0;

  // "imagepath" or "Description" of the registration; other names fail with code 2.
  virtual std::string ReadValue(const std::string& name, const std::string& valueName) = 0;
  virtual void WriteValue(const std::string& name, const std::string& valueName,
                          const std::string& value) = 0;
};

// A name a registration file can carry: not empty, no "/", not "." or "..".
bool IsValidServiceName(const std::string& name);

// The back end of this machine (see the top of this file).
std::unique_ptr<tServiceManager> OpenServiceManager();

// The built-in manager's folder: QUILLON2_SERVICE_DIR when set, else the default.
std::string BuiltinServiceStateFolder();
std::unique_ptr<tServiceManager> MakeBuiltinServiceManager(const std::string& stateFolder);

// Runs a systemctl command line (args[0] is "systemctl"); the real one is RunProgram.
using tCommandRunner = std::function<tProgramResult(const std::vector<std::string>&)>;
std::unique_ptr<tServiceManager> MakeSystemdServiceManager(const std::string& unitFolder,
                                                           tCommandRunner runner);

// The unit file for a registration. With notify the service is Type=notify (it reports
// READY=1 itself), else Type=simple.
std::string SystemdUnitText(const tServiceRegistration& registration, bool notify);

// The service state systemd's ActiveState stands for: active and reloading 4, activating 2,
// deactivating 3, anything else (inactive, failed) 1.
uint32_t ServiceStateFromSystemd(const std::string& activeState);

// True when this build reports its states to systemd (built with libsystemd).
bool ServiceNotifyBuiltIn();

// For the service process: tells whichever manager runs it the state it is in
// (kServiceStartPending, kServiceRunning, kServiceStopPending, kServiceStopped). Under
// systemd (NOTIFY_SOCKET set) running sends READY=1 and stop pending STOPPING=1; under the
// built-in manager (QUILLON2_SERVICE_STATE set) the state file is rewritten. Without a
// manager it does nothing. False when a report could not be delivered.
bool ReportServiceState(uint32_t state);

}  // namespace q2
