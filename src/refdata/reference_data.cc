// Loading the station identity, the reference lists and the waiters; CSV export.
#include "refdata/reference_data.h"

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "cashserver/zolt_xml.h"
#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "xml/xml.h"

namespace q2 {
namespace {

constexpr const char* kResultRoot = "ZoltQueryResult";

// Sends one request built into `request` and leaves the answer in `answer`.
void Send(tCashServerCall& call, const std::string& request, tXmlDocument& answer) {
  call.CallCashServer(request, answer);
}

// Every element named like the last step of `path` under the element the other steps
// reach (each of them the first child of that name), in document order. Empty when a step
// is missing.
std::vector<tXmlNode> SelectAll(const tXmlDocument& answer, const std::string& parentPath,
                                const std::string& name) {
  tXmlNode parent = answer.TopElement(kResultRoot);
  if (parent && !parentPath.empty()) parent = parent.Path(parentPath);
  if (!parent) return {};
  return parent.Children(name);
}

// A new entry appended to `list` by Id; nullptr (and the entry freed) when the list already
// holds that Id.
tValue* AppendNew(tValueList& list, int32_t id, const tValue* link) {
  auto entry = std::make_unique<tValue>();
  entry->Id = id;
  entry->Link = link;
  if (!list.Append(entry.get())) return nullptr;
  return entry.release();
}

void LoadClasses(tCashServerCall& call, tValueList& classes, tXmlDocument& answer) {
  std::string request;
  Send(call, tZoltXML::BuildGetRefData(request, "CLASSIFICATORGROUPS"), answer);
  WriteLog("thrd: requesting Classificators", kLogNote, 0);
  for (const tXmlNode& item : SelectAll(answer, "ZoltReference\\Items", "Item")) {
    tValue* entry = AppendNew(classes, item.IntAttr("ItemIdent", 0), nullptr);
    if (!entry) continue;
    entry->Code = item.IntAttr("Code", 0);
    entry->Name = item.Attr("Name");
  }
}

}  // namespace

void QuerySystemInfo(tCashServerCall& call, int32_t& restCode, int32_t& cashGroupIdent,
                     std::string& netName) {
  WriteLog("thrd.gsys: requesting SysData", kLogNote, 0);
  tXmlDocument answer;
  std::string request;
  Send(call, tZoltXML::BuildGetSystemInfo(request), answer);
  tXmlNode root = answer.TopElement(kResultRoot);
  tXmlNode info = root ? root.Child("SystemInfo") : tXmlNode();
  if (info) {
    restCode = info.IntAttr("RestCode", 0);
    netName = info.Attr("NetName");
  }

  Send(call, tZoltXML::BuildGetRefData(request, "CashGroups"), answer);
  cashGroupIdent = 0;
  for (const tXmlNode& item : SelectAll(answer, "ZoltReference\\Items", "Item")) {
    if (item.HasAttr("NetName") && item.Attr("NetName") == netName) {
      cashGroupIdent = item.IntAttr("ItemIdent", 0);
      break;
    }
  }
  if (cashGroupIdent == 0) {
    throw std::runtime_error("Couldn't find CashGroup identifier for " + netName);
  }
}

void LoadReferenceData(tCashServerCall& call, const std::string& offlineWaiterName,
                       tValueList& classes, tValueList& employees, tValueList& dishes,
                       tValueList& modifiers, const tValue*& offlineWaiter) {
  offlineWaiter = nullptr;
  // The placeholder class: menu groups and items of stream 0 link to it.
  AppendNew(classes, 0, nullptr);
  const tValue* placeholder = classes.FindById(0);

  tXmlDocument answer;
  LoadClasses(call, classes, answer);

  WriteLog("thrd: requesting KDSData", kLogNote, 0);
  std::string request;
  Send(call, tZoltXML::BuildKDSGetRefsData(request), answer);

  for (const tXmlNode& row : SelectAll(answer, "CubeMenuGroups", "rbrow")) {
    tValue* entry = AppendNew(dishes, row.IntAttr("Sifr", 0), placeholder);
    if (!entry) continue;
    entry->Code = row.IntAttr("Code", 0);
    entry->Name = row.Attr("Name");
  }
  for (const tXmlNode& row : SelectAll(answer, "CubeMenuItems", "rbrow")) {
    const tValue* link = classes.FindById(row.IntAttr("Stream", 0));
    tValue* entry = AppendNew(dishes, row.IntAttr("Sifr", 0), link);
    if (!entry) continue;
    entry->Code = row.IntAttr("Code", 0);
    entry->Name = row.Attr("Name");
  }
  for (const tXmlNode& row : SelectAll(answer, "CubeEmployees", "rbrow")) {
    tValue* entry = AppendNew(employees, row.IntAttr("Sifr", 0), nullptr);
    if (!entry) continue;
    entry->Code = row.IntAttr("Code", 0);
    entry->Name = row.Attr("Name");
    if (!offlineWaiterName.empty() && SameTextNoCase(offlineWaiterName, entry->Name)) {
      offlineWaiter = entry;
      WriteLog("found offline waiter CODE=" + std::to_string(entry->Code) + " NAME=" + entry->Name,
               kLogDebug, 1);
    }
  }
  for (const tXmlNode& row : SelectAll(answer, "CubeModifiers", "rbrow")) {
    tValue* entry = AppendNew(modifiers, row.IntAttr("Sifr", 0), nullptr);
    if (!entry) continue;
    entry->Code = 0;
    entry->Name = row.Attr("Name");
  }
}

const tValue* LoadWaiters(tCashServerCall& call, int32_t unit, tValueList& employees) {
  WriteLog("thrd.gwtr: requesting WaiterList", kLogNote, 0);
  tXmlDocument answer;
  std::string request;
  Send(call, tZoltXML::BuildGetWaiterList(request), answer);
  const std::vector<tXmlNode> waiters = SelectAll(answer, "Waiters", "waiter");
  WriteLog("thrd.gwtr: looking for Unit with Code = " + std::to_string(unit), kLogDebug, 1);
  for (const tXmlNode& waiter : waiters) {
    for (const tXmlNode& station : waiter.Children("Station")) {
      if (station.IntAttr("code", 0) != unit) continue;
      WriteLog("thrd.gwtr: found it!", kLogDebug, 1);
      const int32_t id = waiter.IntAttr("ID", 0);
      if (const tValue* known = employees.FindById(id)) {
        WriteLog("thrd.gwtr: and it's in dictionary", kLogDebug, 1);
        return known;
      }
      WriteLog("thrd.gwtr: and it's not in dictionary for whatever reason", kLogDebug, 1);
      tValue* added = AppendNew(employees, id, nullptr);
      added->Code = waiter.IntAttr("Code", 0);
      return added;
    }
  }
  WriteLog("thrd.gwtr: nothing found", kLogDebug, 1);
  return nullptr;
}

void DumpMetaList(const tValueList& list, const std::string& fileName) {
  // The link column identifies an entry by the low 32 bits of its address; should two
  // linked entries share them (or give 0), the later one takes the next free value, so
  // equal digits always mean one and the same entry within a file.
  std::map<const tValue*, uint32_t> linkIds;
  std::set<uint32_t> usedIds = {0};
  std::string text = "\xFF\xFE";
  for (int32_t i = 0; i < list.Count(); ++i) {
    const tValue* entry = list.At(i);
    uint32_t linkId = 0;
    if (entry->Link) {
      auto found = linkIds.find(entry->Link);
      if (found != linkIds.end()) {
        linkId = found->second;
      } else {
        linkId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(entry->Link));
        while (!usedIds.insert(linkId).second) ++linkId;
        linkIds.emplace(entry->Link, linkId);
      }
    }
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", linkId);
    text += Utf8ToUtf16LE(std::to_string(entry->Id) + ";" + std::to_string(entry->Code) + ";\"" +
                          entry->Name + "\";" + hex + "\r\n");
  }
  WriteFileBytes(fileName, text);
}

}  // namespace q2
