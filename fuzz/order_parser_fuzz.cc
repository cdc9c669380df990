// Fuzzes the order document parser: arbitrary bytes are loaded as a document and parsed into
// an order record. Loading and parsing may refuse the input with std::runtime_error; any
// other exception, a crash or a sanitizer report is a fault.
//
// Every order that parses is also written out as the requests built from it, and each request
// must load again and carry the order's content back: the menu tree (through the same tree
// reader), the external sources, the comment and the delivery times. A request that is not
// well-formed, or that loses or changes a value, aborts the run.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "cashserver/order_parser.h"
#include "cashserver/zolt_xml.h"
#include "xml/xml.h"

namespace {

using q2::tXmlDocument;
using q2::tXmlNode;
using q2::tZoltMenuItems;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "order_parser_fuzz: %s\n", what);
  std::abort();
}

// A request: one trailing zero byte, no other, and a document whose root is ZoltQuery.
void LoadRequest(const std::string& stream, tXmlDocument& doc) {
  if (stream.empty() || stream.back() != '\0') Fail("request without its zero byte");
  if (stream.find('\0') != stream.size() - 1) Fail("zero byte inside a request");
  try {
    doc.LoadFromMemory(stream.data(), stream.size() - 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "request:\n%s\n", stream.c_str());
    Fail(e.what());
  }
  if (!doc.TopElement("ZoltQuery")) Fail("request without ZoltQuery");
}

// The request tree loses what the cash server does not take: modifiers are written with
// count 1 and combo components without a quantity, so only dishes and combos keep theirs.
void CompareMenus(const tZoltMenuItems& sent, const tZoltMenuItems& back) {
  if (sent.size() != back.size()) Fail("menu item count changed");
  for (size_t i = 0; i < sent.size(); ++i) {
    const q2::tZoltMenuItem& a = *sent[i];
    const q2::tZoltMenuItem& b = *back[i];
    if (a.miType != b.miType) Fail("menu item type changed");
    if (a.Id != b.Id) Fail("menu item id changed");
    if (a.miType == q2::miComponent && a.Component != b.Component) Fail("component changed");
    if ((a.miType == q2::miDish || a.miType == q2::miContainer) && a.Quaintity != b.Quaintity) {
      Fail("quantity changed");
    }
    CompareMenus(a.Children, b.Children);
  }
}

// Day counts written to whole seconds and read back.
bool SameSecond(double a, double b) { return std::fabs(a - b) < 0.5 / 86400.0; }

void CheckValidateOrder(const q2::tZoltOrder& order) {
  std::string stream;
  q2::tZoltXML::BuildValidateOrder(stream, order, 5, 6);
  tXmlDocument doc;
  LoadRequest(stream, doc);
  tXmlNode session = doc.Root().Path("ZoltCMD\\Session");
  if (!session) Fail("ValidateOrder without Session");
  tZoltMenuItems back;
  q2::AddMenuItems(back, session.ChildNodes(), 0);
  CompareMenus(order.Menu, back);
}

void CheckCreateOrder(const q2::tZoltOrder& order) {
  std::string stream;
  q2::tZoltXML::BuildCreateOrder(stream, order, 5, 6, 7);
  tXmlDocument doc;
  LoadRequest(stream, doc);
  tXmlNode o = doc.Root().Path("ZoltCMD\\Order");
  if (!o) Fail("CreateOrder without Order");
  if (o.Attr("persistentComment") != order.persistentComment) Fail("comment changed");
  const int32_t number = q2::FindExtSource(order, q2::kOrderNumberSource);
  const std::string numberText =
      number >= 0 ? order.ExtSources[static_cast<size_t>(number)].extID : std::string();
  if (!o.HasAttr("nonPersistentComment") || o.Attr("nonPersistentComment") != numberText) {
    Fail("order number changed");
  }
  const std::vector<tXmlNode> sources = o.Children("ExtSource");
  if (sources.size() != order.ExtSources.size()) Fail("source count changed");
  for (size_t i = 0; i < sources.size(); ++i) {
    if (sources[i].Attr("source") != order.ExtSources[i].Source ||
        sources[i].Attr("extID") != order.ExtSources[i].extID) {
      Fail("source changed");
    }
  }
  if (o.Path("OrderType").IntAttr("id", -2) != order.OrderType) Fail("order type changed");
}

void CheckDeliveryUpdateStatus(const q2::tZoltOrder& order) {
  std::string stream;
  q2::tZoltXML::BuildDeliveryUpdateStatus(stream, order, "{00000000-0000-0000-0000-000000000001}");
  tXmlDocument doc;
  LoadRequest(stream, doc);
  if (order.delivery.empty()) return;
  const q2::tZoltDelivery& d = order.delivery[0];
  tXmlNode block = doc.Root().Path("ZoltCMD\\DeliveryBlock");
  if (!block) Fail("DeliveryUpdateStatus without DeliveryBlock");
  try {
    if (!SameSecond(block.DateTimeAttr("startTime", -1), d.startTime) ||
        !SameSecond(block.DateTimeAttr("travelTime", -1), d.travelTime) ||
        !SameSecond(block.DateTimeAttr("deliveryTime", -1), d.deliveryTime) ||
        !SameSecond(block.DateTimeAttr("forwarderSendTime", -1), d.forwarderSendTime) ||
        !SameSecond(block.DateTimeAttr("forwarderReturnTime", -1), d.forwarderReturnTime)) {
      Fail("delivery time changed");
    }
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "request:\n%s\n", stream.c_str());
    Fail(e.what());  // a time written by the builder that its own reader refuses
  }
  if (block.Attr("zoneName") != d.zoneName || block.Attr("orderPrefix") != d.orderPrefix) {
    Fail("delivery zone changed");
  }
}

void CheckSaveOrderDeferred(const q2::tZoltOrder& order) {
  std::string stream;
  q2::tZoltXML::BuildSaveOrderDeferred(stream, order, 6, "{00000000-0000-0000-0000-000000000001}",
                                       3);
  tXmlDocument doc;
  LoadRequest(stream, doc);
  tXmlNode session = doc.Root().Path("ZoltCMD\\Session");
  if (!session) Fail("SaveOrder without Session");
  const std::vector<tXmlNode> prepays = session.Children("Prepay");
  if (prepays.size() != order.payments.size()) Fail("payment count changed");
  for (size_t i = 0; i < prepays.size(); ++i) {
    // Document amounts are whole hundredths, so the conversion there and back is exact.
    if (prepays[i].IntAttr("amount", 0) * int64_t{100} != order.payments[i].Amount) {
      Fail("payment amount changed");
    }
    if (prepays[i].Attr("extTransactionInfo") != order.payments[i].extTransaction) {
      Fail("payment transaction changed");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Day counts are local time: a fixed zone without daylight saving keeps runs reproducible
  // and every written time readable again.
  setenv("TZ", "UTC", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tXmlDocument document;
  try {
    document.LoadFromMemory(data, size);
  } catch (const std::runtime_error&) {
    return 0;
  }
  q2::tZoltOrder order;
  try {
    q2::tZoltXML::ParseVDUOrder(order, document);
  } catch (const std::runtime_error&) {
    return 0;
  }
  CheckValidateOrder(order);
  CheckCreateOrder(order);
  CheckDeliveryUpdateStatus(order);
  CheckSaveOrderDeferred(order);
  return 0;
}
