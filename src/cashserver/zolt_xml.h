// tZoltXML: the class operations (no instances) that turn an incoming order document into a
// tZoltOrder, build the request documents sent to the cash server, and read its answers.
// Implemented in order_parser.cc, requests.cc and answers.cc. Used by the worker, order
// placement and the reference-data loader; all of them run on the worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "cashserver/order.h"
#include "xml/xml.h"

namespace q2 {

struct tZoltXML final {
  tZoltXML() = delete;

  // ---- Incoming order document (order_parser.cc) --------------------------------------

  // Fills `order` from an order document. payments, delivery and ExtSources are replaced;
  // menu items are appended to Menu, so the caller empties the record first. Throws
  // "vdu.xml: node Order not found", "vdu.xml: node Sesssion not found" or the DOM's
  // conversion failure of an attribute; after a failure the record holds what was filled.
  static void ParseVDUOrder(tZoltOrder& order, const tXmlDocument& document);

  // ---- Requests (requests.cc) ---------------------------------------------------------
  //
  // Every builder empties `stream`, writes the request document as UTF-8 (declaration
  // first, no byte-order mark) followed by exactly one zero byte, and returns `stream`.
  // Quantities are written as thousandths and money as hundredths, both rounded half to
  // even. Order guids are passed as text in registry form and written as given.

  // A new request document: ZoltQuery holding one ZoltCMD whose first attribute is CMD.
  // Replaces the content of `document`; returns the ZoltCMD element.
  static tXmlNode CreateCMDHeader(tXmlDocument& document, const std::string& command);
  // Writes a menu tree below `parent`: Dish / Combo with id and quantity, a Component
  // wrapper (id = the item's Component) around a ComboModi with id, Modi with id and
  // count "1"; each item's Children go below the element written for it.
  static void ExtractDishes(tXmlNode parent, const tZoltMenuItems& items);

  static std::string& BuildValidateOrder(std::string& stream, const tZoltOrder& order,
                                         int32_t tableCode, int32_t stationCode);
  // nonPersistentComment is the extID of the order's source "120" (empty when the order
  // has none; the worker refuses such orders before this point).
  static std::string& BuildCreateOrder(std::string& stream, const tZoltOrder& order,
                                       int32_t tableCode, int32_t stationCode, int32_t waiterCode);
  static std::string& BuildGetOrder(std::string& stream, const std::string& orderGuid);
  static std::string& BuildSaveOrderDeferred(std::string& stream, const tZoltOrder& order,
                                             int32_t stationCode, const std::string& orderGuid,
                                             int32_t depositReason);
  static std::string& BuildDeliveryUpdateStatus(std::string& stream, const tZoltOrder& order,
                                                const std::string& orderGuid);
  static std::string& BuildSaveNotDeferredOrder(std::string& stream, const std::string& orderGuid);
  static std::string& BuildPayOrder(std::string& stream, const std::string& orderGuid,
                                    int32_t cashierCode, bool delivery,
                                    int32_t takeAwayReceiptMaket, int32_t deliveryReceiptMaket,
                                    int32_t stationCode);
  static std::string& BuildSaveOrderVoids(std::string& stream, const tZoltVoidData& voidData,
                                          const std::string& orderGuid, int32_t voidReason);
  static std::string& BuildCloseVisit(std::string& stream, int32_t visit);
  // Line breaks inside `messageText` are expected as CR LF; they are kept as given.
  static std::string& BuildWaiterMessage(std::string& stream, const std::string& messageText,
                                         int32_t employeeCode, int32_t timeToLive);
  static std::string& BuildGetWaiterMessages(std::string& stream, int32_t waiterCode);
  static std::string& BuildGetRefData(std::string& stream, const std::string& refName);
  static std::string& BuildKDSGetRefsData(std::string& stream);
  static std::string& BuildGetSystemInfo(std::string& stream);
  static std::string& BuildGetWaiterList(std::string& stream);

  // ---- Answers (answers.cc) -----------------------------------------------------------
  //
  // Paths are taken from the document element ZoltQueryResult. Every parser but
  // ParseError throws "can't get ZoltQueryResult node" when the document has none.

  // CreateOrder answer: guid (default empty, returned unchanged) and VisitID (default 0).
  static void ParseOrderData(const tXmlDocument& document, std::string& guid, int32_t& visit);
  // GetOrder answer: ZoltQueryResult\Order seqNumber (default 0); throws
  // "can't get getOrder.Order node" without that element.
  static void ParseSeqData(const tXmlDocument& document, int32_t& seqNumber);
  // GetOrder answer: visit, finished, sessionID, the Dish lines then the Combo lines of the
  // session (appended to voidData.Items), and the uni of the first Prepay. Throws
  // "can't get getOrder.Order node" / "can't get getOrder.Order.Session node".
  static void ParseVoidData(const tXmlDocument& document, tZoltVoidData& voidData);
  // WaiterMessage answer: ZoltQueryResult\Message id (default 0); throws
  // "can't get WaiterMessage.Message node" without that element.
  static void ParseMessageID(const tXmlDocument& document, int32_t& messageId);
  // GetWaiterMessages answer: read is false when some Message child lists `messageId`
  // (the cash server lists only pending messages), true otherwise.
  static void ParseMessageRead(const tXmlDocument& document, int32_t messageId, bool& read);
  // Any failed answer: ZoltErrorN (default -1) and ErrorText (default empty); -1 and empty
  // text when there is no ZoltQueryResult. Never throws: it runs inside failure handlers,
  // where a second failure would hide the first, so a ZoltErrorN that is not a decimal
  // integer also gives -1.
  static void ParseError(const tXmlDocument& document, int32_t& errorNumber,
                         std::string& errorText);
};

}  // namespace q2
