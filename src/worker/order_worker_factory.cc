#include "worker/order_worker_factory.h"

namespace q2 {
std::unique_ptr<TVDUThread> MakeOrderWorker() { return std::make_unique<TVDUThread>(); }
}  // namespace q2
