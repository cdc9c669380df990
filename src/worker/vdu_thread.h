// TVDUThread, the order worker: one background thread that sleeps on a manual-reset wake-up
// event, and on each wake-up lists the order and command folders and handles every file
// found, order files first. A one-shot timer on the worker's timer queue sets the event
// after the pause (a longer one after a failed iteration); the host sets it to start and to
// stop the worker. The worker never stops on a failure of a file or an iteration.
//
// Hosting (the service and the window's test run do the same): construct, LoadSettings,
// Signal; to stop: RequestTerminate, Signal, WaitFor; then destroy.
//
// The thread starts with the first Signal, not in the constructor: a derived worker's
// resources and handlers exist only once its own constructor has run, and the settings are
// loaded by then, so the thread never sees a half-built or half-configured object.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/folder_watcher.h"
#include "platform/timer_queue.h"
#include "worker/worker_settings.h"

namespace q2 {

// A list of file names with a cursor, filled from a directory listing (unsorted).
class tStringLister final {
 public:
  // False (and an empty list) when the folder cannot be read.
  bool PopulateFileList(const std::string& folder, const std::string& nameTemplate);
  void First() { frec = 0; }
  void Next() {
    if (frec < names_.size()) ++frec;
  }
  bool AtEnd() const { return frec >= names_.size(); }
  const std::string& Current() const { return names_[frec]; }
  size_t Count() const { return names_.size(); }

  size_t frec = 0;

 private:
  std::vector<std::string> names_;
};

class TVDUThread : public tWorkerSettings {
 public:
  // Creates the wake-up event and the timer queue.
  TVDUThread();
  // Requests termination and joins when the host has not done so; releases the timers.
  virtual ~TVDUThread();
  TVDUThread(const TVDUThread&) = delete;
  TVDUThread& operator=(const TVDUThread&) = delete;

  // Starts the thread at the first call (unless termination was requested before), then
  // sets the wake-up event.
  void Signal();
  void RequestTerminate() { fTerminated.store(true); }
  bool Terminated() const { return fTerminated.load(); }
  // Waits until the thread has ended.
  void WaitFor();
  // Requests termination, signals and waits.
  void Stop();
  bool Finished() const { return fFinished.load(); }

  // A failure that escaped the thread body (the worker has ended because of it); empty
  // otherwise. The callback, when set before the first signal, is called on the worker's
  // thread right after such a failure was logged.
  std::string FatalError() const;
  void SetOnFatal(std::function<void(const std::string&)> callback) {
    fOnFatal = std::move(callback);
  }

  tEvent fhWait;

 protected:
  // Per-iteration and per-file state of the loop.
  struct tIterationState {
    bool connected = false;
    bool error = false;
  };

  // Resources the thread holds from its start to its end (the order map and the lists).
  // A failure here ends the worker as a fatal error.
  virtual void OpenResources() {}
  virtual void CloseResources() {}
  // Start of every iteration, inside the iteration guard, before the listing.
  virtual void BeginIteration() {}
  // Fetches remote files before the listing.
  virtual void PollRemoteFolders() {}
  // Handles one file; returns false to end the file loop of this iteration (the cash
  // server could not be reached). Runs inside the iteration guard; per-file failures are the
  // implementation's own to catch.
  virtual bool HandleOrderFile(const std::string& name, tIterationState& it);
  virtual bool HandleCommandFile(const std::string& name, tIterationState& it);
  // Called by the iteration guard after it logged and wrote the result file.
  virtual void PostIterationFailure() {}

  // Moves an order file that was handled from the order folder into the old-orders folder,
  // replacing (with a warning) a file of that name there. Throws "can't move a new order: ".
  void MoveToOldOrders(const std::string& name);

  tTimerQueue* Queue() { return fhQueue.get(); }

 private:
  void Execute();
  void Iterate();
  // The iteration guard's report: the log, the result file, the failure post, the error
  // flag. Never throws.
  void ReportIterationFailure(const std::string& message, tIterationState& it);
  // Lists a folder; a folder that cannot be read is said in the log and fails the iteration,
  // but the other folder is still handled.
  void ListFolder(tStringLister& list, const std::string& folder, tIterationState& it);

  std::unique_ptr<tTimerQueue> fhQueue;
  std::unique_ptr<tFolderWatcher> watcher_;
  tTimerQueue::tTimerHandle fhTimer = 0;
  std::atomic<bool> fTerminated{false};
  std::atomic<bool> fFinished{false};
  std::function<void(const std::string&)> fOnFatal;
  mutable std::mutex fatalMutex_;
  std::string fatal_;
  tStringLister orderFiles_, commandFiles_;
  std::mutex threadMutex_;
  std::thread thread_;
};

}  // namespace q2
