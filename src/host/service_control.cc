#include "host/service_control.h"

#include <cstdio>
#include <stdexcept>

#include "core/log.h"
#include "host/service.h"
#include "platform/program_folder.h"
#include "platform/sleep.h"

namespace q2 {

namespace {

constexpr int kRunAndWaitPollMs = 50;

std::string TrimBlanks(const std::string& text) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  return text.substr(b, text.find_last_not_of(' ') - b + 1);
}

std::string FailedMessage(const char* what, const std::string& message) {
  return std::string("Service \"") + kServiceDisplayName + "\" failed to " + what +
         " with error: \"" + message + "\"";
}

}  // namespace

void PrintMessage(const std::string& text, bool failure) {
  FILE* to = failure ? stderr : stdout;
  fprintf(to, "%s\n", text.c_str());
  fflush(to);
}

void ServiceAfterInstall(tServiceManager& manager) {
  if (manager.IsInstalled(kServiceName)) {
    std::string imagePath = manager.ReadValue(kServiceName, kServiceValueImagePath);
    manager.WriteValue(kServiceName, kServiceValueImagePath, TrimBlanks(imagePath + " /svc "));
    manager.WriteValue(kServiceName, kServiceValueDescription, kServiceDescription);
  }
  WriteLog(std::string("srvc: ") + kServiceDisplayName + " service installed successfully",
           kLogNote, 0);
}

void ServiceAfterUninstall() {
  WriteLog(std::string("srvc: ") + kServiceDisplayName + " service uninstalled successfully",
           kLogNote, 0);
}

int InstallService(tServiceManager& manager, bool silent, const tMessageSink& say) {
  try {
    tServiceRegistration registration;
    registration.serviceName = kServiceName;
    registration.displayName = kServiceDisplayName;
    // Quoted when the path holds blanks, so that the manager finds the program.
    registration.commandLine = QuoteCommandWord(ExecutablePath());
    registration.startType = tServiceStartType::kAutomatic;
    manager.Install(registration);
    try {
      ServiceAfterInstall(manager);
    } catch (const std::exception&) {
      try {
        manager.Uninstall(kServiceName);
      } catch (const std::exception&) {
      }
      throw;
    }
  } catch (const std::exception& e) {
    say(FailedMessage("install", e.what()), true);
    return 1;
  }
  if (!silent) say("Service installed successfully", false);
  return 0;
}

int UninstallService(tServiceManager& manager, bool silent, const tMessageSink& say) {
  try {
    manager.Uninstall(kServiceName);
    ServiceAfterUninstall();
  } catch (const std::exception& e) {
    say(FailedMessage("uninstall", e.what()), true);
    return 1;
  }
  if (!silent) say("Service uninstalled successfully", false);
  return 0;
}

bool ServiceInstalled(const std::string& name) {
  std::unique_ptr<tServiceManager> manager;
  try {
    manager = OpenServiceManager();
  } catch (const std::exception&) {
    throw std::runtime_error("Can't open SCManager");
  }
  return manager->IsInstalled(name);
}

tServiceStatus QueryServiceState(const std::string& name) {
  return OpenServiceManager()->QueryStatus(name);
}

void ControlTheService(const std::string& name, bool stop) {
  std::unique_ptr<tServiceManager> manager = OpenServiceManager();
  if (stop) {
    tServiceStatus status = manager->Stop(name);
    SleepMs(static_cast<int>(status.waitHintMs));
  } else {
    manager->Start(name);
  }
}

tProgramResult RunAndWait(const std::string& path, const std::string& parameters,
                          const std::function<void()>& pump) {
  std::vector<std::string> args{path};
  for (const std::string& word : SplitCommandLine(parameters)) args.push_back(word);
  return RunProgram(args, pump, kRunAndWaitPollMs);
}

}  // namespace q2
