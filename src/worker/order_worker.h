// The order worker: the worker loop's handling of order files and command files. An order
// file is parsed, placed at the cash server (validated, or created with its dishes and
// prepayments), shown on the kitchen display and the queue board, its state posted, and
// filed away; a command file acts on an order handled earlier (FPRINT, KILL, DELIVERY, VDU)
// or answers a liveness check (PING). Everything here runs on the worker's thread.
#pragma once

#include <memory>
#include <string>

#include "cashserver/map_list.h"
#include "cashserver/meta_list.h"
#include "cashserver/order.h"
#include "notify/outbox.h"
#include "notify/status.h"
#include "transport/cash_server_call.h"
#include "worker/vdu_thread.h"
#include "xml/xml.h"

namespace q2 {

class tOrderWorker final : public TVDUThread {
 public:
  tOrderWorker() = default;
  ~tOrderWorker() override;

  // Whether the last cash-server call failed to reach the server or got no answer document.
  bool fDisconnected() const { return fCall.fDisconnected; }

 protected:
  void OpenResources() override;
  void CloseResources() override;
  void BeginIteration() override;
  void PollRemoteFolders() override;
  bool HandleOrderFile(const std::string& name, tIterationState& it) override;
  bool HandleCommandFile(const std::string& name, tIterationState& it) override;
  void PostIterationFailure() override;

 private:
  // The common handling of a file whose document is loaded (inside the per-file guard).
  bool HandleFile(const std::string& name, tIterationState& it);
  bool HandleFileGuarded(const std::string& name, tIterationState& it);
  void SetFileAside(const std::string& name);
  void UnpaidKill(const std::string& name, const tIterationState& it);
  // Loads the order document, putting a UTF-8 declaration in front of a file that has none.
  void LoadOrderDocument(const std::string& path);
  void PostFailure(const std::string& status, const std::string& killStatus);
  void Post(const std::string& eq, const tConSettings& endpoint, const std::string& status);
  tHttpOptions HttpOptions() const;

  tCashServerCall fCall;
  std::unique_ptr<tPostOutbox> outbox_;
  std::unique_ptr<tMapList> fMap;
  tValueList classes_, dishes_, employees_, modifiers_;
  const tValue* offlineWaiter_ = nullptr;
  tXmlDocument document_, answer_;
  tZoltOrder order_;

  // The file in hand.
  bool isOrderFile_ = false;
  std::string commandWord_, argument_, orderId_;
  bool kill_ = false, hasPayments_ = false, hasDelivery_ = false;
  int32_t fileNumber_ = 0;
  // The station identity from the last system-information request.
  int32_t restCode_ = 0, cashGroupIdent_ = 0;
  std::string netName_;
};

}  // namespace q2
