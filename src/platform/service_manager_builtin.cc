// The built-in service manager: a state folder holding, per service,
//   <name>.service  the registration, an INI file with section [Service] and the keys Name,
//                   DisplayName, imagepath, Description, StartType (auto or demand);
//   <name>.pid      "<pid> <start time>\n", written by Start (the start time tells the
//                   process apart from a later one with the same id);
//   <name>.state    "<state> <pid>\n", written by the service process (ReportServiceState).
// A service counts as running only while the recorded process lives.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "platform/text.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/system_error.h"

namespace q2 {

namespace {

constexpr const char* kSection = "Service";


// The registration key a value name stands for.
std::string ValueKey(const std::string& valueName) {
  if (SameNoCaseAscii(valueName, kServiceValueImagePath)) return kServiceValueImagePath;
  if (SameNoCaseAscii(valueName, kServiceValueDescription)) return kServiceValueDescription;
  throw tSystemError(kErrFileNotFound, SysErrorMessage(ENOENT));
}

// Writes a small file beside its target and renames it over, so that readers see the old
// or the new content and never a part.
void ReplaceFile(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".tmp" + std::to_string(getpid());
  tFileHandle file;
  if (!file.Open(temp, tFileHandle::tOpen::CreateTruncate) ||
      !file.Write(bytes.data(), bytes.size())) {
    int err = errno;
    file.Close();
    DeleteFile(temp);
    throw SystemErrorFromErrno(err);
  }
  file.Close();
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    DeleteFile(temp);
    throw SystemErrorFromErrno(err);
  }
}

// Two numbers from the first line of a file; false when it is missing or malformed.
bool ReadTwoNumbers(const std::string& path, int64_t* a, uint64_t* b) {
  try {
    std::istringstream in(ReadFileBytes(path));
    return static_cast<bool>(in >> *a >> *b);
  } catch (const std::exception&) {
    return false;
  }
}

class tBuiltinServiceManager final : public tServiceManager {
 public:
  explicit tBuiltinServiceManager(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty() || folder_.back() != '/') folder_ += '/';
  }

  std::string Kind() const override { return "built-in"; }

  void Install(const tServiceRegistration& r) override {
    CheckName(r.serviceName);
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (ec) throw SystemErrorFromErrno(ec.value());
    if (access(folder_.c_str(), W_OK) != 0) throw SystemErrorFromErrno(errno);
    if (IsInstalled(r.serviceName)) throw ServiceError(kErrServiceExists);
    // Filled beside and moved into place without replacing: two installs cannot both win.
    std::string temp = Registration(r.serviceName) + ".new" + std::to_string(getpid());
    DeleteFile(temp);
    try {
      WriteFileBytes(temp, "");
      tIniFile ini(temp);
      ini.WriteString(kSection, "Name", r.serviceName);
      ini.WriteString(kSection, "DisplayName", r.displayName);
      ini.WriteString(kSection, kServiceValueImagePath, r.commandLine);
      ini.WriteString(kSection, kServiceValueDescription, r.description);
      ini.WriteString(kSection, "StartType",
                      r.startType == tServiceStartType::kAutomatic ? "auto" : "demand");
    } catch (const std::exception&) {
      int err = errno;
      DeleteFile(temp);
      throw SystemErrorFromErrno(err);
    }
    if (!RenameNoReplace(temp, Registration(r.serviceName))) {
      int err = errno;
      DeleteFile(temp);
      if (err == EEXIST) throw ServiceError(kErrServiceExists);
      throw SystemErrorFromErrno(err);
    }
  }

  void Uninstall(const std::string& name) override {
    RequireInstalled(name);
    if (!DeleteFile(Registration(name))) throw SystemErrorFromErrno(errno);
  }

  bool IsInstalled(const std::string& name) override {
    return IsValidServiceName(name) && FileExists(Registration(name));
  }

  tServiceStatus QueryStatus(const std::string& name) override {
    RequireInstalled(name);
    tServiceStatus status;
    status.waitHintMs = kServiceManagerWaitHintMs;
    int64_t pid = 0;
    uint64_t startTime = 0;
    if (!ReadTwoNumbers(PidFile(name), &pid, &startTime)) return status;
    std::optional<uint64_t> alive = ProcessStartTime(pid);
    if (!alive || *alive != startTime) return status;
    status.processId = pid;
    int64_t reported = 0;
    uint64_t reporter = 0;
    status.currentState = kServiceStartPending;  // until the process says otherwise
    if (ReadTwoNumbers(StateFile(name), &reported, &reporter) &&
        reporter == static_cast<uint64_t>(pid) && reported >= kServiceStopped &&
        reported <= kServiceRunning) {
      status.currentState = static_cast<uint32_t>(reported);
      // It said "stopped" but has not ended yet.
      if (status.currentState == kServiceStopped) status.currentState = kServiceStopPending;
    }
    return status;
  }

  void Start(const std::string& name) override {
    if (QueryStatus(name).currentState != kServiceStopped) {
      throw ServiceError(kErrServiceAlreadyRunning);
    }
    if (access(folder_.c_str(), W_OK) != 0) throw SystemErrorFromErrno(errno);
    std::vector<std::string> words = SplitCommandLine(ReadValue(name, kServiceValueImagePath));
    if (words.empty()) throw tSystemError(kErrFileNotFound, SysErrorMessage(ENOENT));
    DeleteFile(StateFile(name));
    int64_t pid = LaunchDetached(words, {{kServiceStateFileEnv, StateFile(name)}});
    // A process that has already ended is recorded with start time 0 and reads as stopped.
    uint64_t startTime = ProcessStartTime(pid).value_or(0);
    ReplaceFile(PidFile(name), std::to_string(pid) + " " + std::to_string(startTime) + "\n");
  }

  tServiceStatus Stop(const std::string& name) override {
    tServiceStatus status = QueryStatus(name);
    if (status.currentState == kServiceStopped) throw ServiceError(kErrServiceNotActive);
    if (!TerminateProcess(status.processId)) throw SystemErrorFromErrno(errno);
    status.currentState = kServiceStopPending;
    return status;
  }

  std::string ReadValue(const std::string& name, const std::string& valueName) override {
    RequireInstalled(name);
    return tIniFile(Registration(name)).ReadString(kSection, ValueKey(valueName), "");
  }

  void WriteValue(const std::string& name, const std::string& valueName,
                  const std::string& value) override {
    RequireInstalled(name);
    std::string key = ValueKey(valueName);
    if (access(Registration(name).c_str(), W_OK) != 0 || access(folder_.c_str(), W_OK) != 0) {
      throw SystemErrorFromErrno(errno);
    }
    try {
      tIniFile(Registration(name)).WriteString(kSection, key, value);
    } catch (const std::exception&) {
      throw SystemErrorFromErrno(errno);
    }
  }

 private:
  static void CheckName(const std::string& name) {
    if (!IsValidServiceName(name)) throw ServiceError(kErrInvalidServiceName);
  }
  void RequireInstalled(const std::string& name) {
    CheckName(name);
    if (!FileExists(Registration(name))) throw ServiceError(kErrServiceDoesNotExist);
  }
  std::string Registration(const std::string& name) const { return folder_ + name + ".service"; }
  std::string PidFile(const std::string& name) const { return folder_ + name + ".pid"; }
  std::string StateFile(const std::string& name) const { return folder_ + name + ".state"; }

  std::string folder_;
};

}  // namespace

std::unique_ptr<tServiceManager> MakeBuiltinServiceManager(const std::string& stateFolder) {
  return std::make_unique<tBuiltinServiceManager>(stateFolder);
}

}  // namespace q2
