// Reading the few values that order placement needs from the cash server's answers.
#include <stdexcept>

#include "cashserver/zolt_xml.h"

namespace q2 {
namespace {

constexpr double kThousandthsPerUnit = 1000.0;

tXmlNode ResultNode(const tXmlDocument& document) {
  tXmlNode result = document.TopElement("ZoltQueryResult");
  if (!result) throw std::runtime_error("can't get ZoltQueryResult node");
  return result;
}

tXmlNode GetOrderNode(const tXmlDocument& document) {
  tXmlNode order = ResultNode(document).Child("Order");
  if (!order) throw std::runtime_error("can't get getOrder.Order node");
  return order;
}

void AppendLines(const tXmlNode& session, const char* name, tZoltMenuItemType type,
                 std::vector<tZoltMenuItem>& items) {
  for (const tXmlNode& line : session.Children(name)) {
    tZoltMenuItem item;
    item.miType = type;
    item.Component = 0;
    item.Id = line.IntAttr("uni", 0);
    item.Quaintity = line.IntAttr("quantity", 0) / kThousandthsPerUnit;
    items.push_back(std::move(item));
  }
}

}  // namespace

void tZoltXML::ParseOrderData(const tXmlDocument& document, std::string& guid, int32_t& visit) {
  tXmlNode result = ResultNode(document);
  guid = result.Attr("guid");
  visit = result.IntAttr("VisitID", 0);
}

void tZoltXML::ParseSeqData(const tXmlDocument& document, int32_t& seqNumber) {
  seqNumber = GetOrderNode(document).IntAttr("seqNumber", 0);
}

void tZoltXML::ParseVoidData(const tXmlDocument& document, tZoltVoidData& voidData) {
  tXmlNode order = GetOrderNode(document);
  voidData.Visit = order.IntAttr("visit", 0);
  voidData.Finished = order.IntAttr("finished", 0);
  tXmlNode session = order.Child("Session");
  if (!session) throw std::runtime_error("can't get getOrder.Order.Session node");
  voidData.SessionID = session.IntAttr("sessionID", 0);
  // Dishes first, then combos, whatever their order in the answer.
  AppendLines(session, "Dish", miDish, voidData.Items);
  AppendLines(session, "Combo", miContainer, voidData.Items);
  tXmlNode prepay = session.Child("Prepay");
  voidData.PrepayID = prepay ? prepay.IntAttr("uni", 0) : 0;
}

void tZoltXML::ParseMessageID(const tXmlDocument& document, int32_t& messageId) {
  tXmlNode message = ResultNode(document).Child("Message");
  if (!message) throw std::runtime_error("can't get WaiterMessage.Message node");
  messageId = message.IntAttr("id", 0);
}

void tZoltXML::ParseMessageRead(const tXmlDocument& document, int32_t messageId, bool& read) {
  tXmlNode result = ResultNode(document);
  read = true;
  for (const tXmlNode& message : result.Children("Message")) {
    if (message.IntAttr("id", 0) == messageId) {
      read = false;
      return;
    }
  }
}

void tZoltXML::ParseError(const tXmlDocument& document, int32_t& errorNumber,
                          std::string& errorText) {
  errorNumber = -1;
  errorText.clear();
  tXmlNode result = document.TopElement("ZoltQueryResult");
  if (!result) return;
  int32_t number = -1;
  if (TryParseXmlInt(result.Attr("ZoltErrorN", "-1"), &number)) errorNumber = number;
  errorText = result.Attr("ErrorText");
}

}  // namespace q2
