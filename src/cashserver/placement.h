// Carrying out one order command at the cash server: validating an unpaid take-away order,
// creating an order with its dishes, prepayments and delivery state (recorded in the order
// map and announced to the cashier), paying a created order after the cashier has
// acknowledged a message (FPRINT), and cancelling it (KILL). A failed step takes back what
// it can: a visit whose order could not be saved is closed, an order whose delivery state
// or payment failed is voided while the server is still reachable.
// Worker thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cashserver/map_list.h"
#include "cashserver/meta_list.h"
#include "cashserver/order.h"
#include "transport/cash_server_call.h"
#include "xml/xml.h"

namespace q2 {

// The worker's settings that placement reads.
struct tPlacementSettings {
  int32_t TableCode = 0, Unit = 0, DepositReason = 0, DelReason = 0, MsgTtl = 3, ViewWait = 3;
  int32_t TAMaketID = -1, DelivMaketID = -1;
};

// Cash-server error numbers meaning "busy, try again" for PayOrder.
inline constexpr int32_t kPayBusyError = 2107;
inline constexpr int32_t kPayLockedError = 2123;
// PayOrder sends in all while the server answers busy, and the pause between them.
inline constexpr int kPayBusySends = 4;
inline constexpr int kPayRetryPauseMs = 1000;
// Pause between two looks at the cashier's pending messages.
inline constexpr int kMessagePollPauseMs = 1000;
// The cashier message lists nested dish lists only while its line counter is below this.
inline constexpr int kDishLineCounterLimit = 16;

class tOrderPlacement final {
 public:
  // `call`, `map` and `stopRequested` must outlive the object. stopRequested is polled
  // while the cashier's acknowledgement is awaited.
  tOrderPlacement(tCashServerCall& call, tMapList& map, const tPlacementSettings& settings,
                  std::function<bool()> stopRequested);
  tOrderPlacement(const tOrderPlacement&) = delete;
  tOrderPlacement& operator=(const tOrderPlacement&) = delete;

  // Carries out `command` (letter case ignored) for `order`, whose external source "120"
  // holds the order number in decimal. Every answer lands in `answer`; the waiter's Code
  // is sent as waiter, cashier and employee code, `dishes` name the dishes for the cashier.
  // Returns 1 after OVALIDATE; the cash server's sequence number after OCREATE and FPRINT;
  // 0 after KILL and any other command (nothing sent). Failures are raised as
  // "Zolt " + step + " error: " + message, the step naming what was being done
  // ("CreateOrder", "SaveOrder", "LoadMap", "PayOrder", ...); a failure while taking back
  // a failed step keeps the compound step ("SaveOrder error: <message>, CloseOrder").
  int32_t PlaceOrder(tXmlDocument& answer, const tZoltOrder& order, const std::string& command,
                     const tValueList& dishes, const tValue& waiter);

  // Takes back every line of a placed order and closes its visit. Throws
  // "order already canceled!" when the order is finished, and the call's failures.
  void VoidOrder(tXmlDocument& answer, const std::string& guid);

  // The new-order message for the cashier, lines separated by CR LF: the order number and
  // kind, the payments' total with the locale's separators, the courier's hand-over time
  // (delivery orders), the dish lines between rulers, and the closing request.
  static std::string ShowOrderText(const tZoltOrder& order, const tValueList& dishes);
  // The dish lines of `items` (dishes and combos; components and modifiers are skipped
  // with their children), each CR LF + quantity in general format + " " + the name from
  // `dishes` (else the Id in decimal), followed by the lines of its children. Every list
  // expanded, empty ones too, advances `counter`; at kDishLineCounterLimit no further list
  // is expanded, while the lists already being written are finished.
  static std::string DishLines(const tZoltMenuItems& items, const tValueList& dishes, int& counter);

 private:
  void Send(const std::string& request, tXmlDocument& answer);
  int32_t Validate(tXmlDocument& answer, const tZoltOrder& order);
  int32_t Create(tXmlDocument& answer, const tZoltOrder& order, const tValueList& dishes,
                 int32_t waiterCode);
  int32_t Print(tXmlDocument& answer, const tZoltOrder& order, int32_t waiterCode);
  int32_t Kill(tXmlDocument& answer, int32_t waiterCode);
  // The map's guid for the current order number; "order not found" when absent.
  std::string LoadMap();
  bool WaitForMessageRead(tXmlDocument& answer, int32_t messageId, int32_t waiterCode);
  // Pays, retrying while the server is busy; leaves the last error text of an answer in
  // lastErrorText. Raises the payment's failure.
  void Pay(tXmlDocument& answer, const tZoltOrder& order, const std::string& guid,
           int32_t waiterCode, std::string& lastErrorText);

  tCashServerCall& call_;
  tMapList& map_;
  tPlacementSettings settings_;
  std::function<bool()> stopRequested_;

  // State of the call in progress.
  std::string request_;
  std::string step_;
  int32_t orderNumber_ = 0;
};

}  // namespace q2
