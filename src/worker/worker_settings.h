// The worker's settings: folders, intervals, unit and waiter settings and every remote
// endpoint, read once from the settings file when a worker is created. Changes to the file
// take effect for the next worker.
#pragma once

#include <cstdint>
#include <string>

#include "core/con_settings.h"
#include "vdu/datagram.h"

namespace q2 {

struct tWorkerSettings {
  int32_t fInterval = 5;      // seconds between iterations
  int32_t fErrInterval = 60;  // seconds after a failed iteration
  bool fZoltRequest = false;  // true: cash server over HTTP; false: over the TCP protocol
  tConSettings fcZolt, fcO, fcC, fcCA, fcPing, fcFTPO, fcFTPC;
  // Folders, each ending in "/".
  std::string fOrderDir, fOldOrderDir, fCMDDir, fUnpaidDir, fEQDir, fResultDir;
  std::string fFailedOrderDir, fFailedCMDDir;
  std::string fVDUWtr, fDelivWtr, fOfflineWtr;
  int32_t fVDUId = 0, fUnit = 0, fVDUUnit = 0, fTable = 0, fDelReason = 0, fMsgTtl = 3;
  int32_t fViewTtl = 3, fEQType = 2, fDepReason = 0, fTAMaketID = -1, fDelivMaketID = -1;
  // Beyond the classic keys: the kitchen-display destination (host[:port]) and an extra CA
  // bundle for HTTPS endpoints with their own certificate authority.
  std::string fVDUAddress = kVDUDefaultAddress;
  std::string fCACertFile;
  // Instant pickup: also wake up when a file is closed after writing or moved into the
  // order or command folder (polling stays as the fallback).
  bool fWatchFolders = false;
  // Status posts that fail are kept and retried up to this many times (0: dropped).
  int32_t fPostRetry = 0;

  // Reads the settings file (SettingsFilePath()) in the documented order, creating the
  // folders. Throws "command dir unspecified", "orders dir unspecified" or "unpaid orders
  // dir unspecified" when a required folder is missing; fields set before a failure keep
  // their values.
  void LoadSettings();
};

// The sibling of a folder with a prefix on its last name: ("/data/orders/", "old_") gives
// "/data/old_orders/".
std::string DerivedFolder(const std::string& folder, const std::string& prefix);

}  // namespace q2
