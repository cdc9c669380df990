#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace q2 {

namespace {
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

void BlockStopSignals() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WaitForStopSignal(int timeoutMs) {
  sigset_t set = StopSignals();
  timespec wait{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000};
  return sigtimedwait(&set, nullptr, &wait) > 0;
}

}  // namespace q2
