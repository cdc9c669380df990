// Pauses of the calling thread.
#pragma once

namespace q2 {
void SleepMs(int milliseconds);
}  // namespace q2
