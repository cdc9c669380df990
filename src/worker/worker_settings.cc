#include "worker/worker_settings.h"

#include <stdexcept>

#include "core/log.h"
#include "platform/ini.h"
#include "platform/program_folder.h"
#include "vdu/datagram.h"

namespace q2 {

namespace {
constexpr const char* kSection = "Settings";
}

std::string DerivedFolder(const std::string& folder, const std::string& prefix) {
  std::string f = folder;
  if (!f.empty() && f.back() == '/') f.pop_back();
  size_t slash = f.rfind('/');
  std::string parent = slash == std::string::npos ? std::string() : f.substr(0, slash + 1);
  std::string last = slash == std::string::npos ? f : f.substr(slash + 1);
  return parent + prefix + last + "/";
}

void tWorkerSettings::LoadSettings() {
  tIniFile ini(SettingsFilePath());
  auto folder = [&ini](const char* key) {
    return IncludeTrailingDelimiter(ini.ReadString(kSection, key, ""));
  };
  auto integer = [&ini](const char* key, int32_t def) {
    return ini.ReadInteger(kSection, key, def);
  };
  auto text = [&ini](const char* key) { return ini.ReadString(kSection, key, ""); };

  fCMDDir = folder("CMDDir");
  if (fCMDDir == "/") throw std::runtime_error("command dir unspecified");
  ForceFolders(fCMDDir);
  fFailedCMDDir = DerivedFolder(fCMDDir, "failed_");
  ForceFolders(fFailedCMDDir);

  fOrderDir = folder("XMLDir");
  if (fOrderDir == "/") throw std::runtime_error("orders dir unspecified");
  ForceFolders(fOrderDir);
  fOldOrderDir = DerivedFolder(fOrderDir, "old_");
  ForceFolders(fOldOrderDir);
  fFailedOrderDir = DerivedFolder(fOrderDir, "failed_");
  ForceFolders(fFailedOrderDir);

  fUnpaidDir = folder("UnpDir");
  if (fUnpaidDir == "/") throw std::runtime_error("unpaid orders dir unspecified");
  ForceFolders(fUnpaidDir);

  // An unconfigured EQ folder is "/" alone; the EQ step then writes nothing.
  fEQDir = folder("EQDir");
  if (fEQDir != "/") ForceFolders(fEQDir);
  fResultDir = folder("ResultDir");
  if (fResultDir != "/") ForceFolders(fResultDir);

  fVDUId = integer("VDUID", 0);
  fUnit = integer("Unit", 0);
  fVDUUnit = integer("VDUUnit", 0);
  fDepReason = integer("DepositReason", 0);
  if (fVDUUnit == 0) fVDUUnit = fUnit;

  fVDUWtr = text("VDUWaiter");
  fDelivWtr = text("DelivWaiter");
  fOfflineWtr = text("OfflineWaiter");

  SplitURL(text("XMLInterface"), fcZolt, "HTTP");
  switch (integer("XMLSource", 1)) {
    case 0:
      fZoltRequest = true;
      break;
    case 1:
      fZoltRequest = false;
      break;
    default:
      break;  // other values leave the transport as it was
  }

  SplitURL(text("OrdersURL"), fcO, "HTTP");
  SplitURL(text("ChecksURL"), fcC, "HTTP");
  SplitURL(text("CancelsURL"), fcCA, "HTTP");
  SplitURL(text("PingURL"), fcPing, "HTTP");
  SplitURL(text("XMLFTP"), fcFTPO, "FTP");
  SplitURL(text("CMDFTP"), fcFTPC, "FTP");

  fTable = integer("TableCode", 0);
  fDelReason = integer("DelRCode", 0);
  fMsgTtl = integer("MsgTTL", 3);
  fViewTtl = integer("ViewWait", 3);
  fEQType = integer("EQType", 2);
  fInterval = integer("Interval", 5);
  if (fInterval < 1) fInterval = 1;  // 0 (and a negative pause, which would spin) give 1
  fErrInterval = integer("ErrorInterval", 60);
  if (fErrInterval < 1) fErrInterval = fInterval;
  fTAMaketID = integer("TakeAwayReceiptMaketIdent", -1);
  fDelivMaketID = integer("DeliveryReceiptMaketIdent", -1);

  fVDUAddress = ini.ReadString(kSection, "VDUAddress", kVDUDefaultAddress);
  if (fVDUAddress.empty()) fVDUAddress = kVDUDefaultAddress;
  fCACertFile = text("CACertFile");
  fWatchFolders = integer("WatchFolders", 0) == 1;
  fPostRetry = integer("PostRetry", 0);
  if (fPostRetry < 0) fPostRetry = 0;
}

}  // namespace q2
