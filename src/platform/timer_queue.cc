#include "platform/timer_queue.h"

#include <chrono>

namespace q2 {

namespace {
int64_t MonotonicNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

tTimerQueue::tTimerQueue() : thread_([this] { Run(); }) {}

tTimerQueue::~tTimerQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    timers_.clear();
  }
  cond_.notify_all();
  thread_.join();
}

tTimerQueue::tTimerHandle tTimerQueue::CreateTimer(int dueMs, tEvent* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  tTimerHandle handle = next_++;
  timers_[handle] =
      tTimer{MonotonicNs() + static_cast<int64_t>(dueMs < 0 ? 0 : dueMs) * 1000000, event};
  cond_.notify_all();
  return handle;
}

void tTimerQueue::DeleteTimer(tTimerHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  timers_.erase(handle);
}

size_t tTimerQueue::PendingTimers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.size();
}

void tTimerQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    if (timers_.empty()) {
      cond_.wait(lock);
      continue;
    }
    auto earliest = timers_.begin();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.dueNs < earliest->second.dueNs) earliest = it;
    }
    int64_t now = MonotonicNs();
    if (earliest->second.dueNs <= now) {
      tEvent* event = earliest->second.event;
      timers_.erase(earliest);
      // Setting an event takes only the event's own lock; safe under ours.
      if (event) event->Set();
      continue;
    }
    cond_.wait_for(lock, std::chrono::nanoseconds(earliest->second.dueNs - now));
  }
}

}  // namespace q2
