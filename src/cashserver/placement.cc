// Order placement: OVALIDATE, OCREATE, FPRINT and KILL at the cash server.
#include "cashserver/placement.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include "cashserver/zolt_xml.h"
#include "core/convert.h"
#include "core/log.h"
#include "platform/datetime.h"
#include "platform/sleep.h"

namespace q2 {
namespace {

constexpr const char* kRuler = "----------------------------------------------";  // 46
constexpr const char* kDishesEnd = "VVVVVVVVVVVVVVVVVVVVVVVVVVV";                 // 27
constexpr const char* kCrLf = "\r\n";

// The extID of the order's source "120" (empty when it has none).
std::string OrderNumberText(const tZoltOrder& order) {
  for (const tZoltExtSource& source : order.ExtSources) {
    if (source.Source == kOrderNumberSource) return source.extID;
  }
  return std::string();
}

int32_t OrderNumber(const tZoltOrder& order) {
  const std::string text = OrderNumberText(order);
  int32_t number = 0;
  if (!TryParseXmlInt(text, &number)) {
    throw std::runtime_error("''" + text + "'' is not a valid integer value");
  }
  return number;
}

bool HasDelivery(const tZoltOrder& order) { return !order.delivery.empty(); }

// Whole seconds since `start`, measured on the monotonic clock so that a change of the
// wall clock neither ends nor prolongs the wait.
int64_t SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

tOrderPlacement::tOrderPlacement(tCashServerCall& call, tMapList& map,
                                 const tPlacementSettings& settings,
                                 std::function<bool()> stopRequested)
    : call_(call), map_(map), settings_(settings), stopRequested_(std::move(stopRequested)) {}

void tOrderPlacement::Send(const std::string& request, tXmlDocument& answer) {
  call_.CallCashServer(request, answer);
}

int32_t tOrderPlacement::PlaceOrder(tXmlDocument& answer, const tZoltOrder& order,
                                    const std::string& command, const tValueList& dishes,
                                    const tValue& waiter) {
  step_.clear();
  request_.clear();
  try {
    orderNumber_ = OrderNumber(order);
    int32_t result = 0;
    if (SameTextAscii(command, "OVALIDATE")) {
      result = Validate(answer, order);
    } else if (SameTextAscii(command, "OCREATE")) {
      result = Create(answer, order, dishes, waiter.Code);
    } else if (SameTextAscii(command, "FPRINT")) {
      result = Print(answer, order, waiter.Code);
    } else if (SameTextAscii(command, "KILL")) {
      result = Kill(answer, waiter.Code);
    }
    request_.clear();
    request_.shrink_to_fit();
    return result;
  } catch (const std::exception& e) {
    request_.clear();
    request_.shrink_to_fit();
    throw std::runtime_error("Zolt " + step_ + " error: " + e.what());
  }
}

int32_t tOrderPlacement::Validate(tXmlDocument& answer, const tZoltOrder& order) {
  WriteLog("thrd.zolt:  validating an order " + std::to_string(orderNumber_), kLogNote, 0);
  step_ = "ValidateOrder";
  Send(tZoltXML::BuildValidateOrder(request_, order, settings_.TableCode, settings_.Unit), answer);
  return 1;
}

int32_t tOrderPlacement::Create(tXmlDocument& answer, const tZoltOrder& order,
                                const tValueList& dishes, int32_t waiterCode) {
  WriteLog("thrd.zolt:  creating an order " + std::to_string(orderNumber_), kLogNote, 0);
  int32_t visit = 0;
  std::string guid;
  int32_t seqNumber = 0;

  step_ = "CreateOrder";
  Send(tZoltXML::BuildCreateOrder(request_, order, settings_.TableCode, settings_.Unit, waiterCode),
       answer);
  tZoltXML::ParseOrderData(answer, guid, visit);
  Send(tZoltXML::BuildGetOrder(request_, guid), answer);
  tZoltXML::ParseSeqData(answer, seqNumber);

  WriteLog("thrd.zolt:  saving an order", kLogNote, 0);
  step_ = "SaveOrder";
  try {
    Send(tZoltXML::BuildSaveOrderDeferred(request_, order, settings_.Unit, guid,
                                          settings_.DepositReason),
         answer);
  } catch (const std::exception& e) {
    // The visit is closed whether or not the server is still reachable: a visit left open
    // blocks the table at the cash server.
    step_ = std::string("SaveOrder error: ") + e.what() + ", CloseOrder";
    Send(tZoltXML::BuildCloseVisit(request_, visit), answer);
    step_ = "SaveOrder";
    throw;
  }

  WriteLog("thrd.zolt:  updating delivery state", kLogNote, 0);
  step_ = "DeliveryUpdateStatus";
  try {
    Send(tZoltXML::BuildDeliveryUpdateStatus(request_, order, guid), answer);
  } catch (const std::exception& e) {
    if (!call_.fDisconnected) {
      step_ = std::string("DeliveryUpdateStatus error: ") + e.what() + ", VoidOrder";
      VoidOrder(answer, guid);
      step_ = "DeliveryUpdateStatus";
    }
    throw;
  }

  step_ = "SaveMap";
  if (!map_.Append(guid, orderNumber_)) {
    WriteLog("thrd.zolt: map record was replaced", kLogWarning, 0);
  }

  WriteLog("thrd.zolt:  showing an order to the cashier", kLogNote, 0);
  step_ = "ShowOrder";
  Send(tZoltXML::BuildWaiterMessage(request_, ShowOrderText(order, dishes), waiterCode,
                                    settings_.MsgTtl),
       answer);
  return seqNumber;
}

std::string tOrderPlacement::LoadMap() {
  step_ = "LoadMap";
  tMapValue value;
  map_.Find(orderNumber_, value);
  if (value.OrderId == 0) throw std::runtime_error("order not found");
  return GUIDToString(value.GUID);
}

int32_t tOrderPlacement::Print(tXmlDocument& answer, const tZoltOrder& order, int32_t waiterCode) {
  const std::string guid = LoadMap();
  if (order.payments.empty()) throw std::runtime_error("no payments");
  const std::string number = std::to_string(orderNumber_);
  WriteLog("thrd.zolt:  informing cashier about printing check for order " + number, kLogNote, 0);

  step_ = "WaiterMessage";
  const std::string text =
      std::string(HasDelivery(order) ? "Сейчас будет печататься заказ доставки №"
                                     : "Сейчас будет печататься заказ самовывоза №") +
      number + ". Для продолжения нажмите \"OK\"";
  Send(tZoltXML::BuildWaiterMessage(request_, text, waiterCode, settings_.MsgTtl), answer);
  int32_t messageId = 0;
  tZoltXML::ParseMessageID(answer, messageId);

  WriteLog("thrd.zolt:  and waiting", kLogNote, 0);
  step_ = "WaitingWaiterMessage";
  if (!WaitForMessageRead(answer, messageId, waiterCode)) {
    throw std::runtime_error("waiter didn't read their message, process got interrupted");
  }

  WriteLog("thrd.zolt:  saving not deferred order", kLogNote, 0);
  step_ = "SaveNotDeferredOrder";
  Send(tZoltXML::BuildSaveNotDeferredOrder(request_, guid), answer);

  WriteLog("thrd.zolt:  paying for order", kLogNote, 0);
  step_ = "PayOrder";
  std::string lastErrorText;
  try {
    Pay(answer, order, guid, waiterCode, lastErrorText);
  } catch (const std::exception& e) {
    if (!call_.fDisconnected) {
      step_ = std::string("PayOrder error: ") + e.what() + ", VoidOrder";
      // The map entry goes only once the void has gone through: while the order may still
      // be open at the cash server, the entry is what lets a later KILL find it.
      VoidOrder(answer, guid);
      map_.Remove(orderNumber_);
      Send(tZoltXML::BuildWaiterMessage(
               request_, "Заказ №" + number + " не смогли распечатать" + kCrLf + lastErrorText,
               waiterCode, settings_.MsgTtl),
           answer);
      step_ = "PayOrder";
    }
    throw;
  }

  Send(tZoltXML::BuildGetOrder(request_, guid), answer);
  int32_t seqNumber = 0;
  tZoltXML::ParseSeqData(answer, seqNumber);
  return seqNumber;
}

bool tOrderPlacement::WaitForMessageRead(tXmlDocument& answer, int32_t messageId,
                                         int32_t waiterCode) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    SleepMs(kMessagePollPauseMs);
    Send(tZoltXML::BuildGetWaiterMessages(request_, waiterCode), answer);
    bool read = false;
    tZoltXML::ParseMessageRead(answer, messageId, read);
    if (read) return true;
    if (SecondsSince(start) > settings_.ViewWait) return false;
    if (stopRequested_ && stopRequested_()) return false;
  }
}

void tOrderPlacement::Pay(tXmlDocument& answer, const tZoltOrder& order, const std::string& guid,
                          int32_t waiterCode, std::string& lastErrorText) {
  const bool delivery = HasDelivery(order);
  for (int attempt = 0; attempt < kPayBusySends; ++attempt) {
    try {
      Send(tZoltXML::BuildPayOrder(request_, guid, waiterCode, delivery, settings_.TAMaketID,
                                   settings_.DelivMaketID, settings_.Unit),
           answer);
      return;
    } catch (const std::exception& e) {
      int32_t errorNumber = -1;
      std::string errorText;
      // Without an answer the document still holds an earlier one, whose error must not
      // pass for this failure's.
      if (!call_.fDisconnected) tZoltXML::ParseError(answer, errorNumber, errorText);
      lastErrorText = errorText;
      if (errorNumber == kPayBusyError || errorNumber == kPayLockedError) {
        if (attempt == kPayBusySends - 1) throw;
        SleepMs(kPayRetryPauseMs);
        continue;
      }
      if (LogLevel() < 2) throw;
      // At the higher log levels the order's state is kept for diagnosis, then one more
      // send decides.
      Send(tZoltXML::BuildGetOrder(request_, guid), answer);
      WriteLog("thrd.zolt: payorder error: " + std::string(e.what()) +
                   " getting status of an order " + guid,
               kLogDebug, 0);
      answer.SaveToFile(LogFolder() + guid + "_order_response.xml");
      Send(tZoltXML::BuildPayOrder(request_, guid, waiterCode, delivery, settings_.TAMaketID,
                                   settings_.DelivMaketID, settings_.Unit),
           answer);
      return;
    }
  }
}

int32_t tOrderPlacement::Kill(tXmlDocument& answer, int32_t waiterCode) {
  const std::string guid = LoadMap();
  const std::string number = std::to_string(orderNumber_);
  WriteLog("thrd.zolt:  voiding an order " + number, kLogNote, 0);
  VoidOrder(answer, guid);
  Send(tZoltXML::BuildWaiterMessage(request_, "Онлайн заказ №" + number + " отменен!", waiterCode,
                                    settings_.MsgTtl),
       answer);
  // The map entry stays; the map drops it when it has grown old.
  return 0;
}

void tOrderPlacement::VoidOrder(tXmlDocument& answer, const std::string& guid) {
  tZoltVoidData voidData;
  Send(tZoltXML::BuildGetOrder(request_, guid), answer);
  tZoltXML::ParseVoidData(answer, voidData);
  if (voidData.Finished == 1) throw std::runtime_error("order already canceled!");
  Send(tZoltXML::BuildSaveOrderVoids(request_, voidData, guid, settings_.DelReason), answer);
  Send(tZoltXML::BuildCloseVisit(request_, voidData.Visit), answer);
}

std::string tOrderPlacement::ShowOrderText(const tZoltOrder& order, const tValueList& dishes) {
  const bool delivery = HasDelivery(order);
  int64_t total = 0;  // ten-thousandths
  for (const tZoltPayment& payment : order.payments) total += payment.Amount;

  std::string text =
      "Оформлен заказ " + OrderNumberText(order) + " на " + (delivery ? "доставку" : "самовывоз");
  text += kCrLf;
  text += "Общая сумма " +
          FormatNumber2(static_cast<double>(total) / 10000.0, LocaleThousandSeparator(),
                        LocaleDecimalSeparator()) +
          " р.";
  if (delivery) {
    const tZoltDelivery& d = order.delivery.front();
    const tDateTimeFields f = DecodeDateTime(d.deliveryTime - d.travelTime);
    char when[32];
    std::snprintf(when, sizeof when, "%.2d-%.2d %.2d:%.2d", f.day, f.month, f.hour, f.minute);
    text += kCrLf;
    text += std::string("Выдача КУРЬЕРУ ") + when;
  }
  int counter = delivery ? 4 : 3;
  text += kCrLf;
  text += kRuler + DishLines(order.Menu, dishes, counter);
  text += kCrLf;
  text += kDishesEnd;
  text += kCrLf;
  text += kRuler;
  text += kCrLf;
  text += "Сообщи менеджеру о заказе!";
  return text;
}

std::string tOrderPlacement::DishLines(const tZoltMenuItems& items, const tValueList& dishes,
                                       int& counter) {
  if (counter >= kDishLineCounterLimit) return std::string();
  ++counter;
  std::string lines;
  for (const auto& item : items) {
    if (item->miType == miComponent || item->miType == miModifier) continue;
    const tValue* dish = dishes.FindById(item->Id);
    const std::string name = dish ? dish->Name : std::to_string(item->Id);
    lines += kCrLf + FormatFloatGeneral(item->Quaintity, LocaleDecimalSeparator()) + " " + name;
    lines += DishLines(item->Children, dishes, counter);
  }
  return lines;
}

}  // namespace q2
