// A timer queue: one-shot timers that set an event when they fall due. The timers run on
// the queue's own thread, which only ever sets events. Destroying the queue cancels every
// timer that has not fired.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "platform/event.h"

namespace q2 {

class tTimerQueue final {
 public:
  using tTimerHandle = uint64_t;  // 0 is never a valid handle

  tTimerQueue();
  ~tTimerQueue();
  tTimerQueue(const tTimerQueue&) = delete;
  tTimerQueue& operator=(const tTimerQueue&) = delete;

  // Arms a one-shot timer that sets `event` after dueMs milliseconds.
  tTimerHandle CreateTimer(int dueMs, tEvent* event);
  // Cancels a timer that has not fired; harmless for fired or unknown handles.
  void DeleteTimer(tTimerHandle handle);
  size_t PendingTimers() const;

 private:
  struct tTimer {
    int64_t dueNs;
    tEvent* event;
  };
  void Run();

  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::map<tTimerHandle, tTimer> timers_;
  tTimerHandle next_ = 1;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace q2
