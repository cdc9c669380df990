#include "worker/order_worker_factory.h"

#include "worker/order_worker.h"

namespace q2 {
std::unique_ptr<TVDUThread> MakeOrderWorker() { return std::make_unique<tOrderWorker>(); }
}  // namespace q2
