// A manual-reset event: once set it stays set, waking every waiter, until reset.
#pragma once

#include <condition_variable>
#include <mutex>

namespace q2 {

class tEvent final {
 public:
  tEvent() = default;
  tEvent(const tEvent&) = delete;
  tEvent& operator=(const tEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits without a time limit until the event is set.
  void Wait();
  // Waits at most timeoutMs; true when the event is set.
  bool WaitFor(int timeoutMs);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool set_ = false;
};

}  // namespace q2
