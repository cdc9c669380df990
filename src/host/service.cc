#include "host/service.h"

#include <stdexcept>

#include "core/log.h"
#include "platform/service_manager.h"
#include "platform/stop_signals.h"

namespace q2 {

TQuillon2Service::~TQuillon2Service() {
  if (VDUThread_) ServiceStop();
}

void TQuillon2Service::ServiceCreate() { WriteLog("srvc: created", kLogNote, 0); }

bool TQuillon2Service::ServiceStart(std::string* error) {
  WriteLog("srvc: starting", kLogNote, 0);
  try {
    WriteLog("srvc: launching executive thread", kLogNote, 0);
    VDUThread_ = factory_();
    VDUThread_->LoadSettings();
    VDUThread_->Signal();
    return true;
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    WriteLog(std::string("srvc: start failed. ") + e.what(), kLogError, 0);
    WriteResult(false, "CANT_START");
    // The thread already runs and waits for its first signal: end it rather than leave it.
    if (VDUThread_) {
      VDUThread_->Stop();
      VDUThread_.reset();
    }
    return false;
  }
}

void TQuillon2Service::ServiceStop() {
  try {
    WriteLog("srvc: stopping", kLogNote, 0);
    if (VDUThread_) {
      WriteLog("srvc: terminating main thread", kLogNote, 0);
      VDUThread_->Stop();
      VDUThread_.reset();
    }
  } catch (const std::exception& e) {
    try {
      WriteLog(std::string("srvc.stop: ") + e.what(), kLogWarning, 0);
    } catch (const std::exception&) {
    }
  }
  WriteLog("srvc: stopped", kLogNote, 0);
}

bool TQuillon2Service::WorkerFailed() const {
  return VDUThread_ && VDUThread_->Finished() && !VDUThread_->FatalError().empty();
}

int RunService(tWorkerFactory factory) {
  // Block the stop signals in every thread (the worker and the timer queue inherit this
  // mask) and take them here, synchronously.
  BlockStopSignals();
  // Unattended: a log that cannot be written (a full disk) is said on the standard error and
  // never stops the order work.
  SetLogFailureMode(tLogFailureMode::kReport);

  // The manager that runs us (systemd, the built-in one, or none) follows these reports.
  ReportServiceState(kServiceStartPending);
  TQuillon2Service service(factory);
  service.ServiceCreate();
  if (!service.ServiceStart()) {
    ReportServiceState(kServiceStopped);
    return 1;
  }
  ReportServiceState(kServiceRunning);
  bool failed = false;
  for (;;) {
    if (WaitForStopSignal(200)) break;
    if (service.WorkerFailed()) {
      failed = true;
      break;
    }
  }
  ReportServiceState(kServiceStopPending);
  service.ServiceStop();
  ReportServiceState(kServiceStopped);
  return failed ? 2 : 0;
}

}  // namespace q2
