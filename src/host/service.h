// The service: its only work is to run the order worker between its start and its stop.
// `quillon2 /svc` hosts it in the foreground (the service manager starts it so); SIGTERM or
// SIGINT stops it.
#pragma once

#include <memory>
#include <string>

#include "worker/vdu_thread.h"

namespace q2 {

inline constexpr const char* kServiceName = "Quillon2Service";
inline constexpr const char* kServiceDisplayName = "Quillon 2";
inline constexpr const char* kServiceDescription = "Quillon TCP/IP v2";
inline constexpr int kServiceWaitHintMs = 5000;

// Makes the worker; the real program's factory builds the full order worker.
using tWorkerFactory = std::unique_ptr<TVDUThread> (*)();

class TQuillon2Service final {
 public:
  explicit TQuillon2Service(tWorkerFactory factory) : factory_(factory) {}
  ~TQuillon2Service();
  TQuillon2Service(const TQuillon2Service&) = delete;
  TQuillon2Service& operator=(const TQuillon2Service&) = delete;

  void ServiceCreate();
  // Creates, configures and signals the worker. On failure logs "srvc: start failed. " +
  // message, writes "ERROR CANT_START", ends the worker it had created, and returns false.
  bool ServiceStart(std::string* error = nullptr);
  // Asks the worker to end, waits for it and destroys it. Never fails.
  void ServiceStop();

  // The worker ended by itself because of a failure outside its guards.
  bool WorkerFailed() const;
  TVDUThread* VDUThread() const { return VDUThread_.get(); }

 private:
  tWorkerFactory factory_;
  std::unique_ptr<TVDUThread> VDUThread_;
};

// Runs the service in the foreground until SIGTERM or SIGINT, or until the worker fails,
// reporting start pending, running, stop pending and stopped to the service manager.
// Returns the process exit status: 0 after a normal stop, 1 when the start failed, 2 when
// the worker ended because of a failure (so that a supervisor restarts it).
int RunService(tWorkerFactory factory);

}  // namespace q2
