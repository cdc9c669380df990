// The systemd back end: the registration is the unit file <unit folder>/<name>.service,
// written from the registration's values; everything else is systemctl. "imagepath" is the
// unit's ExecStart= and "Description" its Description=.
#include <cctype>
#include <cerrno>
#include <filesystem>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/system_error.h"

namespace q2 {

namespace {

// Unit files expand "%" specifiers in every value and "$" variables in ExecStart=: both
// are doubled so that the text stands as written.
std::string EscapeUnitValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      out += ' ';
      continue;
    }
    if (c == '%' || c == '$') out += c;
    out += c;
  }
  return out;
}

std::string UnescapeUnitValue(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if ((text[i] == '%' || text[i] == '$') && i + 1 < text.size() && text[i + 1] == text[i]) ++i;
  }
  return out;
}

// The command line with every word quoted as systemd and SplitCommandLine both read it
// (double quotes, \" and \\ inside them).
std::string ExecStartText(const std::string& commandLine) {
  std::string exec;
  for (const std::string& word : SplitCommandLine(commandLine)) {
    if (!exec.empty()) exec += ' ';
    exec += QuoteCommandWord(word);
  }
  return EscapeUnitValue(exec);
}

std::string Trim(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The value of the first "key=" line of a unit text, unescaped; empty when absent.
std::string UnitValue(const std::string& unit, const std::string& key) {
  size_t start = 0;
  while (start < unit.size()) {
    size_t end = unit.find('\n', start);
    if (end == std::string::npos) end = unit.size();
    std::string line = unit.substr(start, end - start);
    if (line.compare(0, key.size() + 1, key + "=") == 0) {
      return UnescapeUnitValue(line.substr(key.size() + 1));
    }
    start = end + 1;
  }
  return std::string();
}

class tSystemdServiceManager final : public tServiceManager {
 public:
  tSystemdServiceManager(std::string folder, tCommandRunner runner)
      : folder_(std::move(folder)), runner_(std::move(runner)) {
    if (folder_.empty() || folder_.back() != '/') folder_ += '/';
  }

  std::string Kind() const override { return "systemd"; }

  void Install(const tServiceRegistration& r) override {
    CheckName(r.serviceName);
    if (IsInstalled(r.serviceName)) throw ServiceError(kErrServiceExists);
    WriteUnit(r.serviceName, SystemdUnitText(r, ServiceNotifyBuiltIn()), false);
    try {
      Systemctl({"daemon-reload"});
      if (r.startType == tServiceStartType::kAutomatic) Systemctl({"enable", Unit(r.serviceName)});
    } catch (const std::exception&) {
      // No half registration: a unit that systemd refused is taken away again.
      DeleteFile(UnitPath(r.serviceName));
      try {
        Systemctl({"daemon-reload"});
      } catch (const std::exception&) {
      }
      throw;
    }
  }

  void Uninstall(const std::string& name) override {
    RequireInstalled(name);
    Systemctl({"disable", Unit(name)});  // without --now: a running service goes on running
    if (!DeleteFile(UnitPath(name))) throw SystemErrorFromErrno(errno);
    Systemctl({"daemon-reload"});
  }

  bool IsInstalled(const std::string& name) override {
    return IsValidServiceName(name) && FileExists(UnitPath(name));
  }

  tServiceStatus QueryStatus(const std::string& name) override {
    RequireInstalled(name);
    tProgramResult r =
        Systemctl({"show", Unit(name), "--property=ActiveState", "--property=MainPID"});
    tServiceStatus status;
    status.waitHintMs = kServiceManagerWaitHintMs;
    std::string text = r.out + "\n";
    status.currentState = ServiceStateFromSystemd(Trim(UnitValue(text, "ActiveState")));
    try {
      status.processId = std::stoll(Trim(UnitValue(text, "MainPID")));
    } catch (const std::exception&) {
      status.processId = 0;
    }
    return status;
  }

  void Start(const std::string& name) override {
    RequireInstalled(name);
    if (QueryStatus(name).currentState != kServiceStopped) {
      throw ServiceError(kErrServiceAlreadyRunning);
    }
    Systemctl({"start", "--no-block", Unit(name)});
  }

  tServiceStatus Stop(const std::string& name) override {
    tServiceStatus status = QueryStatus(name);
    if (status.currentState == kServiceStopped) throw ServiceError(kErrServiceNotActive);
    Systemctl({"stop", "--no-block", Unit(name)});
    status.currentState = kServiceStopPending;
    return status;
  }

  std::string ReadValue(const std::string& name, const std::string& valueName) override {
    tServiceRegistration r = ReadRegistration(name);
    if (SameNoCase(valueName, kServiceValueImagePath)) return r.commandLine;
    if (SameNoCase(valueName, kServiceValueDescription)) return r.description;
    throw tSystemError(kErrFileNotFound, SysErrorMessage(ENOENT));
  }

  void WriteValue(const std::string& name, const std::string& valueName,
                  const std::string& value) override {
    tServiceRegistration r = ReadRegistration(name);
    if (SameNoCase(valueName, kServiceValueImagePath)) {
      r.commandLine = value;
    } else if (SameNoCase(valueName, kServiceValueDescription)) {
      r.description = value;
    } else {
      throw tSystemError(kErrFileNotFound, SysErrorMessage(ENOENT));
    }
    WriteUnit(name, SystemdUnitText(r, ServiceNotifyBuiltIn()), true);
    Systemctl({"daemon-reload"});
  }

 private:
  static void CheckName(const std::string& name) {
    if (!IsValidServiceName(name)) throw ServiceError(kErrInvalidServiceName);
  }
  void RequireInstalled(const std::string& name) {
    CheckName(name);
    if (!FileExists(UnitPath(name))) throw ServiceError(kErrServiceDoesNotExist);
  }
  std::string Unit(const std::string& name) const { return name + ".service"; }
  std::string UnitPath(const std::string& name) const { return folder_ + Unit(name); }

  tServiceRegistration ReadRegistration(const std::string& name) {
    RequireInstalled(name);
    std::string unit;
    try {
      unit = ReadFileBytes(UnitPath(name));
    } catch (const std::exception&) {
      throw SystemErrorFromErrno(errno);
    }
    tServiceRegistration r;
    r.serviceName = name;
    r.description = UnitValue(unit, "Description");
    // ExecStart= is read back into the command line form.
    std::string exec = UnitValue(unit, "ExecStart");
    for (const std::string& word : SplitCommandLine(exec)) {
      if (!r.commandLine.empty()) r.commandLine += ' ';
      r.commandLine += QuoteCommandWord(word);
    }
    return r;
  }

  // Writes beside the unit and renames it into place (replacing only when asked).
  void WriteUnit(const std::string& name, const std::string& text, bool replace) {
    std::string path = UnitPath(name);
    std::string temp = path + ".new";
    tFileHandle file;
    if (!file.Open(temp, tFileHandle::tOpen::CreateTruncate) ||
        !file.Write(text.data(), text.size())) {
      int err = errno;
      file.Close();
      DeleteFile(temp);
      throw SystemErrorFromErrno(err);
    }
    file.Close();
    std::error_code ec;
    if (replace) {
      std::filesystem::rename(temp, path, ec);
    } else if (!RenameNoReplace(temp, path)) {
      ec = std::error_code(errno, std::generic_category());
    }
    if (ec) {
      DeleteFile(temp);
      if (ec.value() == EEXIST) throw ServiceError(kErrServiceExists);
      throw SystemErrorFromErrno(ec.value());
    }
  }

  tProgramResult Systemctl(std::vector<std::string> args) {
    args.insert(args.begin(), "systemctl");
    tProgramResult r;
    try {
      r = runner_(args);
    } catch (const tSystemError&) {
      throw;
    } catch (const std::exception& e) {
      throw tSystemError(kErrFileNotFound, e.what());
    }
    if (r.exitStatus == 0) return r;
    std::string message = Trim(r.err);
    if (message.find("Access denied") != std::string::npos ||
        message.find("authentication required") != std::string::npos ||
        message.find("Permission denied") != std::string::npos) {
      throw SystemErrorFromErrno(EACCES);
    }
    if (message.empty()) {
      message = "systemctl " + args[1] + " ended with status " + std::to_string(r.exitStatus);
    }
    throw tSystemError(r.exitStatus, message);
  }

  std::string folder_;
  tCommandRunner runner_;
};

}  // namespace

std::string SystemdUnitText(const tServiceRegistration& r, bool notify) {
  std::string description = r.description.empty() ? r.displayName : r.description;
  std::string unit = "[Unit]\n";
  unit += "Description=" + EscapeUnitValue(description) + "\n";
  unit += "After=network.target\n";
  unit += "\n[Service]\n";
  unit += std::string("Type=") + (notify ? "notify" : "simple") + "\n";
  unit += "ExecStart=" + ExecStartText(r.commandLine) + "\n";
  unit += "Restart=on-failure\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}

uint32_t ServiceStateFromSystemd(const std::string& activeState) {
  if (activeState == "active" || activeState == "reloading") return kServiceRunning;
  if (activeState == "activating") return kServiceStartPending;
  if (activeState == "deactivating") return kServiceStopPending;
  return kServiceStopped;
}

std::unique_ptr<tServiceManager> MakeSystemdServiceManager(const std::string& unitFolder,
                                                           tCommandRunner runner) {
  return std::make_unique<tSystemdServiceManager>(unitFolder, std::move(runner));
}

}  // namespace q2
