// Request documents of the cash server's XML interface. Elements are appended in writing
// order and attributes set in writing order; the serialiser keeps both.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "cashserver/order_parser.h"
#include "cashserver/zolt_xml.h"

namespace q2 {
namespace {

// A delivery without a source of its own (no delivery at all) is reported as this one.
constexpr int32_t kDefaultDeliverySource = 31;
constexpr double kThousandthsPerUnit = 1000.0;
// Amount counts ten-thousandths; the server takes hundredths.
constexpr int64_t kTenThousandthsPerHundredth = 100;

std::string Int(int64_t v) { return std::to_string(v); }

// Quantity in thousandths, nearest integer, ties to even (the default rounding mode).
int64_t QuantityThousandths(double quantity) {
  double v = std::nearbyint(quantity * kThousandthsPerUnit);
  if (!(v > -9.2e18 && v < 9.2e18)) return 0;  // not a quantity an order can hold
  return static_cast<int64_t>(v);
}

// Ten-thousandths to hundredths, nearest, ties to even, in integers so that 0.005 -> 0 and
// 0.015 -> 2 hold exactly.
int64_t MoneyHundredths(int64_t amount) {
  int64_t q = amount / kTenThousandthsPerHundredth;  // truncates toward zero
  int64_t r = amount % kTenThousandthsPerHundredth;  // same sign as amount
  const int64_t half = kTenThousandthsPerHundredth / 2;
  if (r > half || (r == half && (q % 2) != 0)) return q + 1;
  if (r < -half || (r == -half && (q % 2) != 0)) return q - 1;
  return q;
}

// Serialised document plus one zero byte, replacing what the stream held.
std::string& Finish(std::string& stream, const tXmlDocument& document) {
  std::string text = document.SaveToString();
  stream.clear();
  stream.append(text);
  stream.push_back('\0');
  return stream;
}

void AddGuidOrder(tXmlNode cmd, const std::string& orderGuid) {
  cmd.AppendChild("Order").SetAttr("guid", orderGuid);
}

// ZoltCMD with its CMD and a list of (name, value) attributes, no children.
std::string& BuildFlat(std::string& stream, const std::string& command,
                       std::initializer_list<std::pair<const char*, std::string>> attrs) {
  tXmlDocument doc;
  tXmlNode cmd = tZoltXML::CreateCMDHeader(doc, command);
  for (const auto& [name, value] : attrs) cmd.SetAttr(name, value);
  return Finish(stream, doc);
}

}  // namespace

tXmlNode tZoltXML::CreateCMDHeader(tXmlDocument& document, const std::string& command) {
  tXmlNode query = document.CreateNew("ZoltQuery");
  tXmlNode cmd = query.AppendChild("ZoltCMD");
  cmd.SetAttr("CMD", command);
  return cmd;
}

void tZoltXML::ExtractDishes(tXmlNode parent, const tZoltMenuItems& items) {
  for (const auto& item : items) {
    tXmlNode element;
    switch (item->miType) {
      case miDish:
      case miContainer:
        element = parent.AppendChild(item->miType == miDish ? "Dish" : "Combo");
        element.SetAttr("id", Int(item->Id));
        element.SetAttr("quantity", Int(QuantityThousandths(item->Quaintity)));
        break;
      case miComponent: {
        tXmlNode component = parent.AppendChild("Component");
        component.SetAttr("id", Int(item->Component));
        element = component.AppendChild("ComboModi");
        element.SetAttr("id", Int(item->Id));
        break;
      }
      case miModifier:
        element = parent.AppendChild("Modi");
        element.SetAttr("id", Int(item->Id));
        element.SetAttr("count", "1");
        break;
    }
    if (element) ExtractDishes(element, item->Children);
  }
}

std::string& tZoltXML::BuildValidateOrder(std::string& stream, const tZoltOrder& order,
                                          int32_t tableCode, int32_t stationCode) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "ValidateOrder");
  cmd.AppendChild("Table").SetAttr("code", Int(tableCode));
  tXmlNode session = cmd.AppendChild("Session");
  session.AppendChild("Station").SetAttr("code", Int(stationCode));
  ExtractDishes(session, order.Menu);
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildCreateOrder(std::string& stream, const tZoltOrder& order,
                                        int32_t tableCode, int32_t stationCode,
                                        int32_t waiterCode) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "CreateOrder");
  tXmlNode o = cmd.AppendChild("Order");
  if (!order.persistentComment.empty()) o.SetAttr("persistentComment", order.persistentComment);
  int32_t number = FindExtSource(order, kOrderNumberSource);
  o.SetAttr("nonPersistentComment",
            number >= 0 ? order.ExtSources[static_cast<size_t>(number)].extID : std::string());
  o.AppendChild("Table").SetAttr("code", Int(tableCode));
  o.AppendChild("Station").SetAttr("code", Int(stationCode));
  o.AppendChild("Waiter").SetAttr("code", Int(waiterCode));
  o.AppendChild("OrderType").SetAttr("id", Int(order.OrderType));
  for (const tZoltExtSource& source : order.ExtSources) {
    tXmlNode e = o.AppendChild("ExtSource");
    e.SetAttr("source", source.Source);
    e.SetAttr("extID", source.extID);
  }
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildGetOrder(std::string& stream, const std::string& orderGuid) {
  tXmlDocument doc;
  AddGuidOrder(CreateCMDHeader(doc, "GetOrder"), orderGuid);
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildSaveOrderDeferred(std::string& stream, const tZoltOrder& order,
                                              int32_t stationCode, const std::string& orderGuid,
                                              int32_t depositReason) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "SaveOrder");
  cmd.SetAttr("deferred", "1");
  tXmlNode o = cmd.AppendChild("Order");
  o.SetAttr("guid", orderGuid);
  o.AppendChild("Station").SetAttr("code", Int(stationCode));
  tXmlNode session = cmd.AppendChild("Session");
  ExtractDishes(session, order.Menu);
  for (const tZoltPayment& payment : order.payments) {
    tXmlNode p = session.AppendChild("Prepay");
    p.SetAttr("id", Int(payment.Id));
    p.SetAttr("amount", Int(MoneyHundredths(payment.Amount)));
    if (!payment.extTransaction.empty()) p.SetAttr("extTransactionInfo", payment.extTransaction);
    p.SetAttr("Reason", Int(depositReason));
  }
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildDeliveryUpdateStatus(std::string& stream, const tZoltOrder& order,
                                                 const std::string& orderGuid) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "DeliveryUpdateStatus");
  AddGuidOrder(cmd, orderGuid);
  tXmlNode block = cmd.AppendChild("DeliveryBlock");
  int32_t source = kDefaultDeliverySource;
  if (!order.delivery.empty()) {
    const tZoltDelivery& d = order.delivery[0];
    block.SetAttr("deliveryState", Int(d.deliveryState));
    block.SetAttr("startTime", FormatXmlDateTime(d.startTime));
    block.SetAttr("travelTime", FormatXmlDateTime(d.travelTime));
    block.SetAttr("deliveryTime", FormatXmlDateTime(d.deliveryTime));
    block.SetAttr("forwarderSendTime", FormatXmlDateTime(d.forwarderSendTime));
    block.SetAttr("forwarderReturnTime", FormatXmlDateTime(d.forwarderReturnTime));
    block.SetAttr("zoneID", Int(d.zoneID));
    block.SetAttr("zoneName", d.zoneName);
    block.SetAttr("orderPrefix", d.orderPrefix);
    source = d.Source;
  }
  cmd.AppendChild("ExtSource").SetAttr("source", Int(source));
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildSaveNotDeferredOrder(std::string& stream,
                                                 const std::string& orderGuid) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "SaveOrder");
  cmd.SetAttr("deferred", "0");
  AddGuidOrder(cmd, orderGuid);
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildPayOrder(std::string& stream, const std::string& orderGuid,
                                     int32_t cashierCode, bool delivery,
                                     int32_t takeAwayReceiptMaket, int32_t deliveryReceiptMaket,
                                     int32_t stationCode) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "PayOrder");
  cmd.AppendChild("Cashier").SetAttr("code", Int(cashierCode));
  cmd.AppendChild("Station").SetAttr("code", Int(stationCode));
  cmd.AppendChild("ReceiptMaket")
      .SetAttr("id", Int(delivery ? deliveryReceiptMaket : takeAwayReceiptMaket));
  AddGuidOrder(cmd, orderGuid);
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildSaveOrderVoids(std::string& stream, const tZoltVoidData& voidData,
                                           const std::string& orderGuid, int32_t voidReason) {
  tXmlDocument doc;
  tXmlNode cmd = CreateCMDHeader(doc, "SaveOrder");
  AddGuidOrder(cmd, orderGuid);
  tXmlNode session = cmd.AppendChild("Session");
  for (const tZoltMenuItem& item : voidData.Items) {
    if (item.miType != miDish && item.miType != miContainer) continue;
    tXmlNode line = session.AppendChild(item.miType == miDish ? "Dish" : "Combo");
    line.SetAttr("uni", Int(item.Id));
    tXmlNode v = line.AppendChild("Void");
    v.SetAttr("code", Int(voidReason));
    v.SetAttr("quantity", Int(QuantityThousandths(item.Quaintity)));
  }
  if (voidData.PrepayID != 0) {
    tXmlNode p = session.AppendChild("Prepay");
    p.SetAttr("uni", Int(voidData.PrepayID));
    p.SetAttr("deleted", "1");
  }
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildCloseVisit(std::string& stream, int32_t visit) {
  return BuildFlat(stream, "CloseVisit", {{"VisitID", Int(visit)}});
}

std::string& tZoltXML::BuildWaiterMessage(std::string& stream, const std::string& messageText,
                                          int32_t employeeCode, int32_t timeToLive) {
  return BuildFlat(stream, "WaiterMessage",
                   {{"EmployeeCode", Int(employeeCode)},
                    {"MessageText", messageText},
                    {"TimeToLive", Int(timeToLive)}});
}

std::string& tZoltXML::BuildGetWaiterMessages(std::string& stream, int32_t waiterCode) {
  tXmlDocument doc;
  CreateCMDHeader(doc, "GetWaiterMessages").AppendChild("Waiter").SetAttr("code", Int(waiterCode));
  return Finish(stream, doc);
}

std::string& tZoltXML::BuildGetRefData(std::string& stream, const std::string& refName) {
  return BuildFlat(stream, "GetRefData",
                   {{"RefName", refName}, {"ReqSysVer", "2"}, {"BuildMode", "Memory"}});
}

std::string& tZoltXML::BuildKDSGetRefsData(std::string& stream) {
  return BuildFlat(stream, "KDSGetRefsData", {{"ReqSysVer", "1"}, {"BuildMode", "Memory"}});
}

std::string& tZoltXML::BuildGetSystemInfo(std::string& stream) {
  return BuildFlat(stream, "GetSystemInfo", {{"ReqSysVer", "2"}, {"BuildMode", "Memory"}});
}

std::string& tZoltXML::BuildGetWaiterList(std::string& stream) {
  return BuildFlat(stream, "GetWaiterList", {{"RegisteredOnly", "1"}});
}

}  // namespace q2
