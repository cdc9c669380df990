#include "platform/service_manager.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/files.h"

#ifdef Q2_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace q2 {

bool IsValidServiceName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string BuiltinServiceStateFolder() {
  const char* dir = getenv(kServiceDirEnv);
  std::string folder = dir && *dir ? dir : kDefaultServiceStateFolder;
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::unique_ptr<tServiceManager> OpenServiceManager() {
  const char* dir = getenv(kServiceDirEnv);
  if ((!dir || !*dir) && DirectoryExists("/run/systemd/system")) {
    return MakeSystemdServiceManager(
        kSystemdUnitFolder, [](const std::vector<std::string>& a) { return RunProgram(a); });
  }
  return MakeBuiltinServiceManager(BuiltinServiceStateFolder());
}

bool ServiceNotifyBuiltIn() {
#ifdef Q2_HAVE_LIBSYSTEMD
  return true;
#else
  return false;
#endif
}

bool ReportServiceState(uint32_t state) {
  bool ok = true;
#ifdef Q2_HAVE_LIBSYSTEMD
  const char* socket = getenv("NOTIFY_SOCKET");
  if (socket && *socket) {
    const char* message = nullptr;
    if (state == kServiceRunning) message = "READY=1\nSTATUS=running";
    if (state == kServiceStopPending) message = "STOPPING=1\nSTATUS=stopping";
    if (message && sd_notify(0, message) <= 0) ok = false;
  }
#endif
  const char* stateFile = getenv(kServiceStateFileEnv);
  if (stateFile && *stateFile) {
    // Written beside and renamed over, so that a reader never sees half a line.
    // Layout: "<state> <pid>\n".
    std::string path = stateFile;
    std::string temp = path + ".tmp" + std::to_string(getpid());
    try {
      WriteFileBytes(temp, std::to_string(state) + " " + std::to_string(getpid()) + "\n");
      if (std::rename(temp.c_str(), path.c_str()) != 0) {
        DeleteFile(temp);
        ok = false;
      }
    } catch (const std::exception&) {
      ok = false;
    }
  }
  return ok;
}

}  // namespace q2
