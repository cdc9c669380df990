// Fuzzes the readers of the cash server's answers: arbitrary bytes are loaded as a document
// and handed to every answer parser. ParseError must never raise; the others may refuse the
// document only with their own messages or the DOM's integer conversion failure.
//
// What the parsers read is carried on as the placement does: the guid into the requests that
// name the order, the GetOrder state into the void request. Those requests must load again
// and hold the values read, and a message id read from an answer must be found pending in
// the same answer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "cashserver/zolt_xml.h"
#include "xml/xml.h"

namespace {

using q2::tXmlDocument;
using q2::tXmlNode;
using q2::tZoltXML;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "answers_fuzz: %s\n", what);
  std::abort();
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A refusal must be one of the parsers' texts or an attribute that is not an integer.
void CheckRefusal(const std::runtime_error& e) {
  const std::string what = e.what();
  if (what == "can't get ZoltQueryResult node" || what == "can't get getOrder.Order node" ||
      what == "can't get getOrder.Order.Session node" ||
      what == "can't get WaiterMessage.Message node" ||
      (what.rfind("''", 0) == 0 && EndsWith(what, "'' is not a valid integer value"))) {
    return;
  }
  std::fprintf(stderr, "refusal: %s\n", what.c_str());
  Fail("unexpected refusal text");
}

void LoadRequest(const std::string& stream, tXmlDocument& doc) {
  if (stream.empty() || stream.back() != '\0' || stream.find('\0') != stream.size() - 1) {
    Fail("request not ended by exactly one zero byte");
  }
  try {
    doc.LoadFromMemory(stream.data(), stream.size() - 1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "request:\n%s\n", stream.c_str());
    Fail(e.what());
  }
}

// The guid of a CreateOrder answer goes back to the server in the requests naming the order.
void CheckGuid(const std::string& guid) {
  std::string stream;
  tXmlDocument doc;
  tZoltXML::BuildGetOrder(stream, guid);
  LoadRequest(stream, doc);
  if (doc.Root().Path("ZoltCMD\\Order").Attr("guid", "\x01") != guid) Fail("guid changed");
  tZoltXML::BuildPayOrder(stream, guid, 1, true, 2, 3, 4);
  LoadRequest(stream, doc);
  if (doc.Root().Path("ZoltCMD\\Order").Attr("guid", "\x01") != guid) Fail("guid changed");
}

// The void request lists each dish line, then each combo line, of the GetOrder answer with
// the line's uni and quantity (whole thousandths both ways).
void CheckVoids(const tXmlDocument& answer, const q2::tZoltVoidData& voids) {
  std::string stream;
  tXmlDocument doc;
  tZoltXML::BuildSaveOrderVoids(stream, voids, "{00000000-0000-0000-0000-000000000001}", 9);
  LoadRequest(stream, doc);
  tXmlNode session = doc.Root().Path("ZoltCMD\\Session");
  if (!session) Fail("SaveOrder without Session");
  const tXmlNode answered = answer.TopElement("ZoltQueryResult").Path("Order\\Session");
  std::vector<tXmlNode> expected = answered.Children("Dish");
  for (const tXmlNode& combo : answered.Children("Combo")) expected.push_back(combo);
  std::vector<tXmlNode> lines;
  for (const tXmlNode& node : session.ChildNodes()) {
    if (node.Name() == "Dish" || node.Name() == "Combo") lines.push_back(node);
  }
  if (lines.size() != expected.size()) Fail("void line count changed");
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].Name() != expected[i].Name()) Fail("void line kind changed");
    if (lines[i].IntAttr("uni", 0) != expected[i].IntAttr("uni", 0)) Fail("void uni changed");
    if (lines[i].Path("Void").IntAttr("quantity", 0) != expected[i].IntAttr("quantity", 0)) {
      Fail("void quantity changed");
    }
  }
  if ((session.Child("Prepay") ? 1 : 0) != (voids.PrepayID != 0 ? 1 : 0)) Fail("prepay void");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tXmlDocument document;
  try {
    document.LoadFromMemory(data, size);
  } catch (const std::runtime_error&) {
    return 0;
  }

  // Runs inside failure handlers: an exception escaping it ends the run as a crash.
  int32_t errorNumber = 0;
  std::string errorText = "x";
  tZoltXML::ParseError(document, errorNumber, errorText);
  if (!document.TopElement("ZoltQueryResult") && (errorNumber != -1 || !errorText.empty())) {
    Fail("error read from an answer without ZoltQueryResult");
  }

  try {
    std::string guid;
    int32_t visit = 0;
    tZoltXML::ParseOrderData(document, guid, visit);
    CheckGuid(guid);
  } catch (const std::runtime_error& e) {
    CheckRefusal(e);
  }

  bool hasOrder = true;
  try {
    int32_t seq = 0;
    tZoltXML::ParseSeqData(document, seq);
  } catch (const std::runtime_error& e) {
    CheckRefusal(e);
    hasOrder = std::string(e.what()).find("not a valid integer") != std::string::npos;
  }

  try {
    q2::tZoltVoidData voids;
    tZoltXML::ParseVoidData(document, voids);
    if (!hasOrder) Fail("GetOrder state read where the sequence number found no order");
    CheckVoids(document, voids);
  } catch (const std::runtime_error& e) {
    CheckRefusal(e);
  }

  int32_t messageId = 0;
  bool haveId = false;
  try {
    tZoltXML::ParseMessageID(document, messageId);
    haveId = true;
  } catch (const std::runtime_error& e) {
    CheckRefusal(e);
  }
  try {
    bool read = false;
    tZoltXML::ParseMessageRead(document, messageId, read);
    // The message the answer names is one the same answer lists.
    if (haveId && read) Fail("message named by the answer reads as read");
  } catch (const std::runtime_error& e) {
    CheckRefusal(e);
  }
  return 0;
}
