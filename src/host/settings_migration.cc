#include "host/settings_migration.h"

#include <utility>
#include <vector>

#include "core/convert.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/program_folder.h"

namespace q2 {

namespace {

constexpr const char* kSection = "Settings";

std::string UrlFrom(const std::string& host, const std::string& port, const std::string& route) {
  if (host.empty()) return std::string();
  return port.empty() ? "HTTP://" + host + route : "HTTP://" + host + ":" + port + route;
}

}  // namespace

std::string ReadOldValue(const std::string& content, const std::string& key) {
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos && SameTextAscii(line.substr(0, eq), key)) {
      return line.substr(eq + 1);
    }
    start = end + 1;
  }
  return std::string();
}

void MigrateSettings() {
  const std::string folder = ProgramFolder();
  const std::string currentPath = SettingsFilePath();
  const bool existed = FileExists(currentPath);
  tIniFile current(currentPath);

  tIniFile receipts(FindFileNoCase(folder, "ZoltPrintCheck.ini"));
  const char* kReceiptKeys[] = {"TakeAwayReceiptMaketIdent", "DeliveryReceiptMaketIdent"};
  std::string values[2];
  for (int i = 0; i < 2; ++i) values[i] = receipts.ReadString("Zolt", kReceiptKeys[i], "0");
  if (!values[0].empty() || !values[1].empty()) {
    for (int i = 0; i < 2; ++i) {
      if (!current.ValueExists(kSection, kReceiptKeys[i])) {
        current.WriteString(kSection, kReceiptKeys[i], values[i]);
      }
    }
  }
  if (existed) return;

  std::string oldPath = FindFileNoCase(folder, "Quillon.INI");
  if (!FileExists(oldPath)) return;
  std::string old = ReadFileBytes(oldPath);
  auto v = [&old](const char* key) { return ReadOldValue(old, key); };

  std::string eqState = UpperCaseAscii(v("EQState"));
  std::string eqType = eqState == "ENGLISH" ? "0" : eqState == "RUSSIAN" ? "1" : "2";
  std::string cash = v("CashServer"), xmlInterface = v("XMLInterface");
  std::string cashUrl = cash.empty()           ? std::string()
                        : xmlInterface.empty() ? cash
                                               : cash + ":" + xmlInterface;

  const std::vector<std::pair<const char*, std::string>> rows = {
      {"LogDir", v("LogDir")},
      {"ResultDir", v("ResultDir")},
      {"CMDDir", v("CommandDir")},
      {"XMLDir", v("XMLDir")},
      {"EQDir", v("EQDir")},
      {"UnpDir", v("MobileFFDir")},
      {"VDUID", v("VDUID")},
      {"Unit", v("UnitNum")},
      {"VDUUnit", v("UnitNumVDU")},
      {"VDUWaiter", v("VDUWaiterName")},
      {"DelivWaiter", v("DeliveryWaiterName")},
      {"OfflineWaiter", v("OfflineWaiterName")},
      {"EQType", eqType},
      {"SPort", v("SendingPort")},
      {"TableCode", v("TableCode")},
      {"DelRCode", v("ReasonCode")},
      {"MsgTTL", v("MessageTTL")},
      {"ViewWait", v("ViewWait")},
      {"XMLInterface", cashUrl},
      {"OrdersURL", UrlFrom(v("HTTPOrdersHost"), v("HTTPOrdersPort"), v("HTTPOrdersRoute"))},
      {"ChecksURL", UrlFrom(v("HTTPChecksHost"), v("HTTPChecksPort"), v("HTTPChecksRoute"))},
      {"CancelsURL", UrlFrom(v("HTTPCancelsHost"), v("HTTPCancelsPort"), v("HTTPCancelsRoute"))},
  };
  for (const auto& [key, value] : rows) current.WriteString(kSection, key, value);
}

}  // namespace q2
