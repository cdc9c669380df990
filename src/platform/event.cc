#include "platform/event.h"

#include <chrono>

namespace q2 {

void tEvent::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = true;
  cond_.notify_all();
}

void tEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool tEvent::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

void tEvent::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [this] { return set_; });
}

bool tEvent::WaitFor(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return set_; });
}

}  // namespace q2
