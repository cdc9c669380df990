// Registering the service and controlling it: the run modes "install" and "uninstall",
// the amendment of the registration after it was created, and the small control
// operations the properties window uses. Each operation opens the machine's service
// manager (platform/service_manager.h) for itself.
// Callable from the start-up thread or the window's thread; the control operations block.
#pragma once

#include <functional>
#include <string>

#include "platform/process.h"
#include "platform/service_manager.h"

namespace q2 {

// How a run mode reports to its user: the text and whether it tells of a failure.
using tMessageSink = std::function<void(const std::string& text, bool failure)>;

// The terminal: success on the standard output, failure on the standard error.
void PrintMessage(const std::string& text, bool failure);

// Right after the registration was created: "imagepath" := its text + " /svc" without
// surrounding blanks, "Description" := "Quillon TCP/IP v2" (both skipped when the
// registration cannot be found), then logs "srvc: Quillon 2 service installed successfully".
// Throws the manager's tSystemError when a value cannot be read or written.
void ServiceAfterInstall(tServiceManager& manager);
// Right after the registration was deleted: logs "srvc: Quillon 2 service uninstalled
// successfully".
void ServiceAfterUninstall();

// The run mode "install": registers the service (the executable's full path, start type
// automatic) and amends it; when the amendment fails the registration is deleted again.
// Says "Service installed successfully" unless silent; a failure always, as
// "Service \"Quillon 2\" failed to install with error: \"<message>\"". Returns the exit
// status: 0 on success, 1 on failure.
int InstallService(tServiceManager& manager, bool silent, const tMessageSink& say);
// The run mode "uninstall": deletes the registration without stopping the service.
// Says "Service uninstalled successfully" unless silent; a failure always, as
// "Service \"Quillon 2\" failed to uninstall with error: \"<message>\"".
int UninstallService(tServiceManager& manager, bool silent, const tMessageSink& say);

// Whether the service is registered. Throws "Can't open SCManager" when the machine's
// service manager cannot be reached; an unknown name is false, not a failure.
bool ServiceInstalled(const std::string& name);
// The service's status. Throws tSystemError.
tServiceStatus QueryServiceState(const std::string& name);
// With stop: sends the stop request, then sleeps the wait hint the service reported (ms).
// Otherwise starts the service and returns at once, without waiting for a state.
// Throws tSystemError.
void ControlTheService(const std::string& name, bool stop);

// Runs the program `path` with `parameters` (split into words as a command line) and waits
// for it to end, checking every 50 ms and calling `pump` between the checks (the window
// passes its event loop). Returns its exit status and what it printed. Throws
// std::runtime_error with the system's message when the program cannot be started.
tProgramResult RunAndWait(const std::string& path, const std::string& parameters,
                          const std::function<void()>& pump);

}  // namespace q2
