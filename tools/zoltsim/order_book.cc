// The cash server's commands over the in-memory state.
#include "zoltsim/order_book.h"

#include <charconv>
#include <cstdio>

#include "core/convert.h"

namespace q2::sim {
namespace {

using tOrderLine = tZoltSim::tOrderLine;
using tPrepayLine = tZoltSim::tPrepayLine;

[[noreturn]] void Refuse(int number, const std::string& text) { throw tZoltError{number, text}; }

[[noreturn]] void BadRequest(const std::string& text) { Refuse(kErrBadRequest, text); }

tXmlNode RequiredChild(const tXmlNode& parent, const std::string& name) {
  tXmlNode child = parent.Child(name);
  if (!child) BadRequest("element " + name + " missing in " + parent.Name());
  return child;
}

int32_t RequiredInt(const tXmlNode& node, const std::string& attr) {
  if (!node.HasAttr(attr)) BadRequest("attribute " + attr + " missing in " + node.Name());
  int32_t value = 0;
  if (!TryParseXmlInt(node.Attr(attr), &value)) {
    BadRequest(node.Name() + " " + attr + " \"" + node.Attr(attr) + "\" is not an integer");
  }
  return value;
}

int32_t OptionalInt(const tXmlNode& node, const std::string& attr, int32_t def) {
  return node.HasAttr(attr) ? RequiredInt(node, attr) : def;
}

int64_t RequiredInt64(const tXmlNode& node, const std::string& attr) {
  if (!node.HasAttr(attr)) BadRequest("attribute " + attr + " missing in " + node.Name());
  const std::string text = node.Attr(attr);
  int64_t value = 0;
  const char* begin = text.data() + (!text.empty() && text[0] == '+' ? 1 : 0);
  const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    BadRequest(node.Name() + " " + attr + " \"" + text + "\" is not an integer");
  }
  return value;
}

void AppendRow(tXmlNode parent, const std::string& name, const tRow& row) {
  tXmlNode node = parent.AppendChild(name);
  for (const auto& [key, value] : row.attrs) node.SetAttr(key, value);
}

void AppendRows(tXmlNode parent, const std::string& container, const std::vector<tRow>& rows) {
  tXmlNode node = parent.AppendChild(container);
  for (const tRow& row : rows) AppendRow(node, "rbrow", row);
}

int Standing(const tOrderLine& line) { return line.quantity - line.voidedQuantity; }

// A line stands (is listed) until voids have taken back all of it; a line saved with
// quantity 0 stands until it is voided.
bool Stands(const tOrderLine& line) { return Standing(line) > 0 || line.voids == 0; }

void Refresh(tZoltSim::tOrderState& order) {
  order.dishes.clear();
  order.combos.clear();
  order.prepays.clear();
  for (const tOrderLine& line : order.lines) {
    if (!Stands(line)) continue;
    (line.kind == "Dish" ? order.dishes : order.combos).emplace_back(line.uni, Standing(line));
  }
  for (const tPrepayLine& p : order.prepayLines) {
    if (!p.deleted) order.prepays.push_back(p.uni);
  }
}

void CheckDateTime(const tXmlNode& node, const std::string& attr) {
  double value = 0;
  if (node.HasAttr(attr) && !TryParseXmlDateTime(node.Attr(attr), &value)) {
    BadRequest(node.Name() + " " + attr + " \"" + node.Attr(attr) + "\" is not a date and time");
  }
}

}  // namespace

tOrderBook::tOrderBook(const tRestaurant& restaurant, bool checkMenu, int readAfterPolls)
    : restaurant_(restaurant),
      checkMenu_(checkMenu),
      readAfterPolls_(readAfterPolls),
      random_(std::random_device{}()) {}

void tOrderBook::Execute(const std::string& command, const tXmlNode& cmd, tXmlNode result) {
  using tHandler = void (tOrderBook::*)(const tXmlNode&, tXmlNode);
  static const std::pair<const char*, tHandler> kCommands[] = {
      {"GetSystemInfo", &tOrderBook::GetSystemInfo},
      {"GetRefData", &tOrderBook::GetRefData},
      {"KDSGetRefsData", &tOrderBook::KDSGetRefsData},
      {"GetWaiterList", &tOrderBook::GetWaiterList},
      {"ValidateOrder", &tOrderBook::ValidateOrder},
      {"CreateOrder", &tOrderBook::CreateOrder},
      {"GetOrder", &tOrderBook::GetOrder},
      {"SaveOrder", &tOrderBook::SaveOrder},
      {"DeliveryUpdateStatus", &tOrderBook::DeliveryUpdateStatus},
      {"PayOrder", &tOrderBook::PayOrder},
      {"CloseVisit", &tOrderBook::CloseVisit},
      {"WaiterMessage", &tOrderBook::WaiterMessage},
      {"GetWaiterMessages", &tOrderBook::GetWaiterMessages},
  };
  for (const auto& [name, handler] : kCommands) {
    if (command == name) {
      (this->*handler)(cmd, result);
      return;
    }
  }
  Refuse(kErrUnknownCommand, "unknown command \"" + command + "\"");
}

bool tOrderBook::SetOrderFinished(const std::string& guid, bool finished) {
  for (tOrderState& order : orders_) {
    if (SameTextAscii(order.guid, guid)) {
      order.finished = finished;
      return true;
    }
  }
  return false;
}

// ---- Reference data ----------------------------------------------------------------------

void tOrderBook::GetSystemInfo(const tXmlNode&, tXmlNode result) {
  AppendRow(result, "SystemInfo", restaurant_.systemInfo);
}

void tOrderBook::GetRefData(const tXmlNode& cmd, tXmlNode result) {
  const std::string name = cmd.Attr("RefName");
  const std::vector<tRow>* rows = nullptr;
  if (SameTextAscii(name, "CashGroups")) {
    rows = &restaurant_.cashGroups;
  } else if (SameTextAscii(name, "CLASSIFICATORGROUPS")) {
    rows = &restaurant_.classificatorGroups;
  } else {
    BadRequest("unknown reference \"" + name + "\"");
  }
  tXmlNode reference = result.AppendChild("ZoltReference");
  reference.SetAttr("RefName", name);
  tXmlNode items = reference.AppendChild("Items");
  for (const tRow& row : *rows) AppendRow(items, "Item", row);
}

void tOrderBook::KDSGetRefsData(const tXmlNode&, tXmlNode result) {
  AppendRows(result, "CubeMenuGroups", restaurant_.menuGroups);
  AppendRows(result, "CubeMenuItems", restaurant_.menuItems);
  AppendRows(result, "CubeEmployees", restaurant_.employees);
  AppendRows(result, "CubeModifiers", restaurant_.modifiers);
}

void tOrderBook::GetWaiterList(const tXmlNode& cmd, tXmlNode result) {
  const bool registeredOnly = cmd.Attr("RegisteredOnly") == "1";
  tXmlNode waiters = result.AppendChild("Waiters");
  for (const tWaiterRow& w : restaurant_.waiters) {
    if (registeredOnly && !w.registered) continue;
    tXmlNode waiter = waiters.AppendChild("waiter");
    for (const auto& [key, value] : w.row.attrs) waiter.SetAttr(key, value);
    for (const tRow& station : w.stations) AppendRow(waiter, "Station", station);
  }
}

// ---- Orders ------------------------------------------------------------------------------

void tOrderBook::CheckStaff(int32_t code, const std::string& what) const {
  if (restaurant_.staffCodes.count(code) == 0) {
    Refuse(kErrUnknownStaff, "unknown " + what + " code " + std::to_string(code));
  }
}

void tOrderBook::CheckMenuId(const std::set<int32_t>& ids, int32_t id,
                             const std::string& what) const {
  if (checkMenu_ && ids.count(id) == 0) {
    Refuse(kErrUnknownMenuItem, "unknown " + what + " " + std::to_string(id));
  }
}

void tOrderBook::ReadMenuElement(const tXmlNode& node, tOrderLine* line) const {
  const std::string name = node.Name();
  if (name == "Modi") {
    const int32_t id = RequiredInt(node, "id");
    CheckMenuId(restaurant_.modifierIds, id, "modifier");
    line->modifiers.push_back(id);
    return;
  }
  if (name == "Component") {
    const int32_t component = RequiredInt(node, "id");
    for (const tXmlNode& part : node.ChildNodes()) {
      if (!part.IsElement()) continue;
      if (part.Name() != "ComboModi")
        BadRequest("unexpected element " + part.Name() + " in Component");
      const int32_t id = RequiredInt(part, "id");
      CheckMenuId(restaurant_.menuItemIds, id, "menu item");
      line->components.emplace_back(component, id);
      for (const tXmlNode& child : part.ChildNodes()) {
        if (child.IsElement()) ReadMenuElement(child, line);
      }
    }
    return;
  }
  if (name != "Dish" && name != "Combo") BadRequest("unexpected element " + name);
  CheckMenuId(restaurant_.menuItemIds, RequiredInt(node, "id"), "menu item");
  if (RequiredInt(node, "quantity") < 0) BadRequest("negative quantity in " + name);
  for (const tXmlNode& child : node.ChildNodes()) {
    if (child.IsElement()) ReadMenuElement(child, line);
  }
}

tOrderBook::tOrderState& tOrderBook::OrderOf(const tXmlNode& cmd) {
  const tXmlNode order = RequiredChild(cmd, "Order");
  if (!order.HasAttr("guid")) BadRequest("attribute guid missing in Order");
  const std::string guid = order.Attr("guid");
  for (tOrderState& state : orders_) {
    if (SameTextAscii(state.guid, guid)) return state;
  }
  Refuse(kErrOrderNotFound, "order " + guid + " not found");
}

std::string tOrderBook::NewGuid() {
  const uint64_t a = random_(), b = random_();
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFFF),
                static_cast<unsigned>(b >> 48),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return text;
}

void tOrderBook::ValidateOrder(const tXmlNode& cmd, tXmlNode) {
  RequiredInt(RequiredChild(cmd, "Table"), "code");
  const tXmlNode session = RequiredChild(cmd, "Session");
  RequiredInt(RequiredChild(session, "Station"), "code");
  tOrderLine scratch;
  for (const tXmlNode& child : session.ChildNodes()) {
    if (child.IsElement() && child.Name() != "Station") ReadMenuElement(child, &scratch);
  }
}

void tOrderBook::CreateOrder(const tXmlNode& cmd, tXmlNode result) {
  const tXmlNode order = RequiredChild(cmd, "Order");
  tOrderState state;
  state.tableCode = RequiredInt(RequiredChild(order, "Table"), "code");
  state.stationCode = RequiredInt(RequiredChild(order, "Station"), "code");
  state.waiterCode = RequiredInt(RequiredChild(order, "Waiter"), "code");
  CheckStaff(state.waiterCode, "waiter");
  if (const tXmlNode type = order.Child("OrderType")) state.orderType = RequiredInt(type, "id");
  state.persistentComment = order.Attr("persistentComment");
  state.nonPersistentComment = order.Attr("nonPersistentComment");
  for (const tXmlNode& source : order.Children("ExtSource")) {
    state.extSources.emplace_back(source.Attr("source"), source.Attr("extID"));
  }
  state.guid = NewGuid();
  state.visit = nextVisit_++;
  state.seqNumber = nextSeqNumber_++;
  state.sessionId = nextSession_++;
  result.SetAttr("guid", state.guid);
  result.SetAttr("VisitID", std::to_string(state.visit));
  orders_.push_back(std::move(state));
}

void tOrderBook::GetOrder(const tXmlNode& cmd, tXmlNode result) {
  const tOrderState& state = OrderOf(cmd);
  tXmlNode order = result.AppendChild("Order");
  order.SetAttr("guid", state.guid);
  order.SetAttr("visit", std::to_string(state.visit));
  order.SetAttr("seqNumber", std::to_string(state.seqNumber));
  order.SetAttr("finished", state.finished ? "1" : "0");
  order.SetAttr("paid", state.paid ? "1" : "0");
  order.SetAttr("deferred", state.deferred ? "1" : "0");
  order.SetAttr("orderType", std::to_string(state.orderType));
  if (!state.persistentComment.empty()) {
    order.SetAttr("persistentComment", state.persistentComment);
  }
  tXmlNode session = order.AppendChild("Session");
  session.SetAttr("sessionID", std::to_string(state.sessionId));
  // Lines in the order they were saved, dishes and combos mixed.
  for (const tOrderLine& line : state.lines) {
    const auto& standing = line.kind == "Dish" ? state.dishes : state.combos;
    for (const auto& [uni, quantity] : standing) {
      if (uni != line.uni) continue;
      tXmlNode node = session.AppendChild(line.kind);
      node.SetAttr("uni", std::to_string(uni));
      node.SetAttr("id", std::to_string(line.id));
      node.SetAttr("quantity", std::to_string(quantity));
    }
  }
  for (const tPrepayLine& p : state.prepayLines) {
    if (p.deleted) continue;
    tXmlNode node = session.AppendChild("Prepay");
    node.SetAttr("uni", std::to_string(p.uni));
    node.SetAttr("id", std::to_string(p.id));
    node.SetAttr("amount", std::to_string(p.amount));
  }
}

void tOrderBook::SaveOrder(const tXmlNode& cmd, tXmlNode) {
  tOrderState& target = OrderOf(cmd);
  if (target.finished) Refuse(kErrOrderFinished, "order " + target.guid + " is finished");
  // Work on a copy so that a refused request changes nothing.
  tOrderState order = target;
  const std::string deferred = cmd.Attr("deferred");
  if (cmd.HasAttr("deferred") && deferred != "0" && deferred != "1") {
    BadRequest("deferred \"" + deferred + "\" is neither 0 nor 1");
  }
  if (const tXmlNode station = cmd.Child("Order").Child("Station")) {
    order.stationCode = RequiredInt(station, "code");
  }
  if (const tXmlNode session = cmd.Child("Session")) {
    for (const tXmlNode& child : session.ChildNodes()) {
      if (!child.IsElement()) continue;
      const std::string name = child.Name();
      if ((name == "Dish" || name == "Combo") && child.HasAttr("uni")) {
        const int32_t uni = RequiredInt(child, "uni");
        tOrderLine* line = nullptr;
        for (tOrderLine& l : order.lines) {
          if (l.uni == uni && l.kind == name && Stands(l)) line = &l;
        }
        if (line == nullptr) {
          Refuse(kErrLineNotFound, name + " uni " + std::to_string(uni) + " not in the order");
        }
        for (const tXmlNode& v : child.Children("Void")) {
          const int32_t code = RequiredInt(v, "code");
          const int32_t quantity = RequiredInt(v, "quantity");
          if (quantity < 0 || quantity > Standing(*line)) {
            Refuse(kErrVoidTooLarge, "void of " + std::to_string(quantity) + " from " + name +
                                         " uni " + std::to_string(uni) + " holding " +
                                         std::to_string(Standing(*line)));
          }
          line->voidedQuantity += quantity;
          line->voidReason = code;
          ++line->voids;
          order.voided = true;
        }
      } else if (name == "Dish" || name == "Combo") {
        tOrderLine line;
        line.kind = name;
        line.id = RequiredInt(child, "id");
        line.quantity = RequiredInt(child, "quantity");
        ReadMenuElement(child, &line);
        // uni stays 0 until the whole request is accepted.
        order.lines.push_back(std::move(line));
      } else if (name == "Prepay" && child.HasAttr("uni")) {
        const int32_t uni = RequiredInt(child, "uni");
        if (child.Attr("deleted") != "1") BadRequest("Prepay uni without deleted=\"1\"");
        tPrepayLine* prepay = nullptr;
        for (tPrepayLine& p : order.prepayLines) {
          if (p.uni == uni && !p.deleted) prepay = &p;
        }
        if (prepay == nullptr) {
          Refuse(kErrLineNotFound, "Prepay uni " + std::to_string(uni) + " not in the order");
        }
        prepay->deleted = true;
        order.voided = true;
      } else if (name == "Prepay") {
        tPrepayLine prepay;
        prepay.id = RequiredInt(child, "id");
        prepay.amount = RequiredInt64(child, "amount");
        prepay.extTransactionInfo = child.Attr("extTransactionInfo");
        prepay.reason = OptionalInt(child, "Reason", 0);
        order.prepayLines.push_back(std::move(prepay));
      } else if (name == "Component" || name == "Modi") {
        // A menu element outside any dish line: checked, not kept.
        tOrderLine scratch;
        ReadMenuElement(child, &scratch);
      } else {
        BadRequest("unexpected element " + name + " in Session");
      }
    }
  }
  // Accepted: number the new lines and prepayments in document order.
  for (tOrderLine& line : order.lines) {
    if (line.uni == 0) line.uni = nextUni_++;
  }
  for (tPrepayLine& p : order.prepayLines) {
    if (p.uni == 0) p.uni = nextUni_++;
  }
  if (cmd.HasAttr("deferred")) order.deferred = deferred == "1";
  Refresh(order);
  target = std::move(order);
}

void tOrderBook::DeliveryUpdateStatus(const tXmlNode& cmd, tXmlNode) {
  tOrderState& order = OrderOf(cmd);
  if (order.finished) Refuse(kErrOrderFinished, "order " + order.guid + " is finished");
  const tXmlNode block = RequiredChild(cmd, "DeliveryBlock");
  const int32_t state = OptionalInt(block, "deliveryState", 0);
  OptionalInt(block, "zoneID", 0);
  for (const char* attr :
       {"startTime", "travelTime", "deliveryTime", "forwarderSendTime", "forwarderReturnTime"}) {
    CheckDateTime(block, attr);
  }
  if (const tXmlNode source = cmd.Child("ExtSource")) OptionalInt(source, "source", 0);
  order.deliveryState = state;
  order.deliveryBlock = RowOf(block).attrs;
}

void tOrderBook::PayOrder(const tXmlNode& cmd, tXmlNode) {
  tOrderState& order = OrderOf(cmd);
  const int32_t cashier = RequiredInt(RequiredChild(cmd, "Cashier"), "code");
  CheckStaff(cashier, "cashier");
  RequiredInt(RequiredChild(cmd, "Station"), "code");
  const int32_t maket = RequiredInt(RequiredChild(cmd, "ReceiptMaket"), "id");
  if (order.finished) Refuse(kErrOrderFinished, "order " + order.guid + " is finished");
  if (order.paid) Refuse(kErrAlreadyPaid, "order " + order.guid + " is already paid");
  order.paid = true;
  order.cashierCode = cashier;
  order.receiptMaket = maket;
}

void tOrderBook::CloseVisit(const tXmlNode& cmd, tXmlNode) {
  const int32_t visit = RequiredInt(cmd, "VisitID");
  for (tOrderState& order : orders_) {
    if (order.visit != visit) continue;
    if (order.visitClosed) {
      Refuse(kErrVisitClosed, "visit " + std::to_string(visit) + " is already closed");
    }
    order.visitClosed = true;
    order.finished = true;
    return;
  }
  Refuse(kErrVisitNotFound, "visit " + std::to_string(visit) + " not found");
}

// ---- Waiter messages ---------------------------------------------------------------------

void tOrderBook::WaiterMessage(const tXmlNode& cmd, tXmlNode result) {
  tMessageState message;
  message.employeeCode = RequiredInt(cmd, "EmployeeCode");
  CheckStaff(message.employeeCode, "employee");
  message.text = cmd.Attr("MessageText");
  message.timeToLive = OptionalInt(cmd, "TimeToLive", 0);
  message.id = nextMessageId_++;
  result.AppendChild("Message").SetAttr("id", std::to_string(message.id));
  messages_.push_back(std::move(message));
}

void tOrderBook::GetWaiterMessages(const tXmlNode& cmd, tXmlNode result) {
  const int32_t code = RequiredInt(RequiredChild(cmd, "Waiter"), "code");
  CheckStaff(code, "waiter");
  for (tMessageState& message : messages_) {
    if (message.read || message.employeeCode != code) continue;
    if (readAfterPolls_ >= 0 && message.polls >= readAfterPolls_) {
      message.read = true;
      continue;
    }
    ++message.polls;
    tXmlNode node = result.AppendChild("Message");
    node.SetAttr("id", std::to_string(message.id));
    node.SetAttr("MessageText", message.text);
  }
}

}  // namespace q2::sim
