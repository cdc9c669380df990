// What the properties window needs from the service control of the host: an interface, so
// that the window does not depend on the host and tests can stand in for the service.
// All calls run on the window's thread and may block it.
#pragma once

#include <functional>
#include <string>

#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/sleep.h"

namespace q2 {

class tServiceOps {
 public:
  virtual ~tServiceOps() = default;
  // True when the service is registered; throws when the manager cannot be reached.
  virtual bool ServiceInstalled(const std::string& name) = 0;
  // The service's status; throws the manager's failure.
  virtual tServiceStatus QueryServiceState(const std::string& name) = 0;
  // Starts (returns at once) or stops (returns after the reported wait hint) the service.
  virtual void ControlTheService(const std::string& name, bool stop) = 0;
  // Runs the program with the parameters and waits for it, calling pump while it runs.
  virtual tProgramResult RunAndWait(const std::string& path, const std::string& parameters,
                                    const std::function<void()>& pump) = 0;
  // The pause between two status queries while waiting for a service state.
  virtual void Pause(int milliseconds) { SleepMs(milliseconds); }
};

}  // namespace q2
