// The worker the program runs.
#pragma once

#include <memory>

#include "worker/vdu_thread.h"

namespace q2 {
std::unique_ptr<TVDUThread> MakeOrderWorker();
}  // namespace q2
