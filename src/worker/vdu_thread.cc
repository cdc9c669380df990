#include "worker/vdu_thread.h"

#include <stdexcept>

#include "core/log.h"
#include "platform/files.h"

namespace q2 {

bool tStringLister::PopulateFileList(const std::string& folder, const std::string& nameTemplate) {
  SetLastErrorCode(0);
  names_ = ListDirectory(folder, nameTemplate);
  frec = 0;
  return !(names_.empty() && LastErrorCode() != 0);
}

void TVDUThread::ListFolder(tStringLister& list, const std::string& folder, tIterationState& it) {
  if (!list.PopulateFileList(folder, "*.xml")) {
    TryWriteLog("thrd: can't list the folder \"" + folder + "\": " + LastErrorText(), kLogError, 0);
    it.error = true;
  }
}

TVDUThread::TVDUThread() : fhQueue(std::make_unique<tTimerQueue>()) {}

TVDUThread::~TVDUThread() {
  Stop();
  if (fhTimer) fhQueue->DeleteTimer(fhTimer);
  fhQueue.reset();
}

void TVDUThread::Signal() {
  {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (!thread_.joinable() && !fFinished.load() && !Terminated()) {
      thread_ = std::thread([this] { Execute(); });
    }
  }
  fhWait.Set();
}

void TVDUThread::WaitFor() {
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (thread_.joinable()) thread_.join();
}

void TVDUThread::Stop() {
  RequestTerminate();
  Signal();
  WaitFor();
}

std::string TVDUThread::FatalError() const {
  std::lock_guard<std::mutex> lock(fatalMutex_);
  return fatal_;
}

void TVDUThread::Execute() {
  try {
    WriteLog("thrd: launched", kLogNote, 0);
    struct tResources {
      TVDUThread* self;
      ~tResources() { self->CloseResources(); }
    };
    OpenResources();
    tResources resources{this};
    if (fWatchFolders) {
      try {
        watcher_ = tFolderWatcher::Create({fOrderDir, fCMDDir}, &fhWait);
      } catch (const std::exception& e) {
        WriteLog(std::string("thrd: ") + e.what() + "; the folders are polled only", kLogWarning,
                 0);
      }
    }
    fhWait.Wait();
    Iterate();
    watcher_.reset();
  } catch (const std::exception& e) {
    // Outside both guards (for example the order map held by another process): the worker
    // cannot go on, and it must not sit idle either. Say so and let the host decide.
    {
      std::lock_guard<std::mutex> lock(fatalMutex_);
      fatal_ = e.what();
    }
    try {
      WriteLog(std::string("thrd: ") + e.what(), kLogError, 0);
    } catch (const std::exception&) {
    }
    fFinished.store(true);
    if (fOnFatal) fOnFatal(e.what());
    return;
  }
  try {
    WriteLog("thrd: terminated", kLogNote, 0);
  } catch (const std::exception&) {
  }
  fFinished.store(true);
}

void TVDUThread::ReportIterationFailure(const std::string& message, tIterationState& it) {
  TryWriteLog("thrd: " + message, kLogError, 0);
  try {
    WriteResult(false, "THREAD_ERROR");
  } catch (const std::exception& e) {
    TryWriteLog(std::string("thrd: ") + e.what(), kLogError, 0);
  }
  try {
    PostIterationFailure();
  } catch (const std::exception& e) {
    TryWriteLog(std::string("thrd: ") + e.what(), kLogError, 0);
  }
  it.error = true;
}

void TVDUThread::Iterate() {
  for (;;) {
    tIterationState it;
    try {
      BeginIteration();
      fhWait.Wait();
      WriteLog("thrd: -- new iteration --", kLogDebug, 2);
      if (Terminated()) break;
      // With the folders watched, a file that arrives while this iteration runs must wake
      // the next one: take the wake-up now rather than at the end of the iteration.
      if (watcher_) fhWait.Reset();
      PollRemoteFolders();
      ListFolder(orderFiles_, fOrderDir, it);
      ListFolder(commandFiles_, fCMDDir, it);
      orderFiles_.First();
      commandFiles_.First();
      for (;;) {
        bool goOn = true;
        // A file that cannot be taken (it does not load, or its command is refused) stays
        // where it is and fails the iteration, but the files listed after it are still
        // handled: one bad file must not hold up every order behind it.
        try {
          if (!orderFiles_.AtEnd()) {
            std::string name = orderFiles_.Current();
            orderFiles_.Next();
            goOn = HandleOrderFile(name, it);
          } else if (!commandFiles_.AtEnd()) {
            std::string name = commandFiles_.Current();
            commandFiles_.Next();
            goOn = HandleCommandFile(name, it);
          } else {
            break;
          }
        } catch (const std::exception& e) {
          ReportIterationFailure(e.what(), it);
        }
        if (!goOn) break;
      }
    } catch (const std::exception& e) {
      ReportIterationFailure(e.what(), it);
    }
    if (Terminated()) break;
    if (it.connected) TryWriteLog("thrd: done", kLogNote, 0);
    int seconds = it.error ? fErrInterval : fInterval;
    fhTimer = fhQueue->CreateTimer(seconds * 1000, &fhWait);
    if (!watcher_) fhWait.Reset();
    // A stop requested between the check above and the reset has lost its signal: the
    // host sets the request before it signals, so looking once more is enough.
    if (Terminated()) break;
  }
}

void TVDUThread::MoveToOldOrders(const std::string& name) {
  if (FileExists(fOldOrderDir + name)) {
    WriteLog("order \"" + name + "\" already existed for whatever reason", kLogWarning, 0);
    if (!DeleteFile(fOldOrderDir + name)) {
      WriteLog("can't delete an existing order file! " + LastErrorText(), kLogWarning, 0);
    }
  }
  if (!MoveFile(fOrderDir + name, fOldOrderDir + name)) {
    throw std::runtime_error("can't move a new order: " + LastErrorText());
  }
}

bool TVDUThread::HandleOrderFile(const std::string& name, tIterationState&) {
  // The plain file road: without an order handler the file is only filed away.
  WriteLog("thrd: -- found a new order file \"" + name + "\" --", kLogNote, 0);
  MoveToOldOrders(name);
  WriteResult(true);
  return true;
}

bool TVDUThread::HandleCommandFile(const std::string& name, tIterationState&) {
  if (!DeleteFile(fCMDDir + name)) {
    throw std::runtime_error("can't delete a command file: " + LastErrorText());
  }
  WriteResult(true);
  return true;
}

}  // namespace q2
