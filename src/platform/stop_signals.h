// The stop requests a foreground service gets from its supervisor or terminal: SIGTERM and
// SIGINT, taken synchronously by one thread instead of by asynchronous handlers.
#pragma once

namespace q2 {

// Blocks the stop signals in the calling thread; threads created afterwards inherit the
// mask, so call it before any other thread starts.
void BlockStopSignals();
// Waits at most timeoutMs for a blocked stop signal; true when one arrived.
bool WaitForStopSignal(int timeoutMs);

}  // namespace q2
