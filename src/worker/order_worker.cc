#include "worker/order_worker.h"

#include <stdexcept>

#include "cashserver/order_parser.h"
#include "cashserver/placement.h"
#include "cashserver/zolt_xml.h"
#include "core/convert.h"
#include "core/log.h"
#include "notify/ftp.h"
#include "platform/files.h"
#include "platform/program_folder.h"
#include "refdata/reference_data.h"
#include "vdu/eq.h"
#include "vdu/records.h"
#include "worker/insert_stream.h"

namespace q2 {

namespace {

// The declaration put in front of an order file that declares no encoding: 40 bytes.
const std::string kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n";

std::string WithoutExtension(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string Extension(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

}  // namespace

tOrderWorker::~tOrderWorker() {
  // The thread uses the members below; it must end before they go.
  Stop();
}

tHttpOptions tOrderWorker::HttpOptions() const {
  tHttpOptions options;
  options.CACertFile = fCACertFile;
  return options;
}

void tOrderWorker::OpenResources() {
  // Runs before the first signal, possibly while the host still loads the settings: only
  // what does not depend on them.
  fMap = std::make_unique<tMapList>(MapFilePath());
  tOutboxFolders folders = OutboxFoldersBeside(LogFolder());
  outbox_ = std::make_unique<tPostOutbox>(folders.Outbox, folders.Dead, fPostRetry, HttpOptions());
}

void tOrderWorker::CloseResources() {
  outbox_.reset();
  fMap.reset();
  classes_.Clear();
  dishes_.Clear();
  employees_.Clear();
  modifiers_.Clear();
}

void tOrderWorker::BeginIteration() {
  kill_ = false;
  commandWord_.clear();
  offlineWaiter_ = nullptr;
  classes_.Clear();
  dishes_.Clear();
  employees_.Clear();
  modifiers_.Clear();
}

void tOrderWorker::PollRemoteFolders() {
  // Posts kept from earlier iterations go first, so that each endpoint gets them in order.
  outbox_->RetryPending();
  PollFTP(fcFTPO, fOrderDir, fcFTPC, fCMDDir);
}

void tOrderWorker::Post(const std::string& eq, const tConSettings& endpoint,
                        const std::string& status) {
  outbox_->SendStatus(eq, orderId_, endpoint, status);
}

void tOrderWorker::LoadOrderDocument(const std::string& path) {
  document_.LoadFromFile(path);
  std::string encoding;
  GetXmlEncoding(document_, encoding);
  if (!encoding.empty()) return;
  tFileHandle file;
  if (!file.Open(path, tFileHandle::tOpen::ReadWrite)) {
    throw std::runtime_error("Cannot open file \"" + path + "\". " + LastErrorText());
  }
  InsertIntoStream(kUtf8Declaration, file, 0);
  if (!file.Sync())
    throw std::runtime_error("Cannot write file \"" + path + "\". " + LastErrorText());
  file.Close();
  document_.LoadFromFile(path);
}

bool tOrderWorker::HandleOrderFile(const std::string& name, tIterationState& it) {
  // What the failure handlers report belongs to this file: its name until the order says
  // more, and no command word of an earlier file.
  orderId_ = WithoutExtension(name);
  commandWord_.clear();
  kill_ = false;
  WriteLog("thrd: -- found a new order file \"" + name + "\" --", kLogNote, 0);
  isOrderFile_ = true;
  LoadOrderDocument(fOrderDir + name);
  return HandleFile(name, it);
}

bool tOrderWorker::HandleCommandFile(const std::string& name, tIterationState& it) {
  orderId_ = WithoutExtension(name);
  commandWord_.clear();
  argument_.clear();
  kill_ = false;
  isOrderFile_ = false;
  document_.LoadFromFile(fCMDDir + name);
  tXmlNode cmd = document_.TopElement("CMD");
  std::string text = cmd ? Trim(cmd.Text()) : std::string();
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    commandWord_ = text.substr(0, colon);
    argument_ = text.substr(colon + 1);
  } else {
    commandWord_ = text;
  }

  if (SameTextAscii(commandWord_, "PING")) {
    if (fcPing.Host.empty()) {
      WriteLog("thrd: PING URL not setup", kLogNote, 0);
    } else {
      WriteLog("thrd: responding to PING", kLogNote, 0);
      HttpSend("restaurant_id=" + argument_, fcPing, HttpOptions());
    }
    if (!DeleteFile(fCMDDir + name)) throw std::runtime_error(LastErrorText());
    return true;
  }
  if (!SameTextAscii(commandWord_, "VDU") && !SameTextAscii(commandWord_, "FPRINT") &&
      !SameTextAscii(commandWord_, "DELIVERY") && !SameTextAscii(commandWord_, "KILL")) {
    throw std::runtime_error("unknown command \"" + commandWord_ + "\"");
  }
  if (FileExists(fFailedOrderDir + name)) {
    WriteLog("thrd: found failed order file \"" + name + "\". Command discarded", kLogWarning, 0);
    std::string newName = WithoutExtension(name) + "_" + commandWord_ + Extension(name);
    if (FileExists(fFailedCMDDir + newName)) DeleteFile(fFailedCMDDir + newName);
    if (!MoveFile(fCMDDir + name, fFailedCMDDir + newName)) DeleteFile(fCMDDir + name);
    return true;
  }
  if (!FileExists(fOldOrderDir + name)) {
    WriteLog("thrd: order file \"" + name + "\" doesn't exist (yet?). Command skipped", kLogDebug,
             2);
    return true;
  }
  document_.LoadFromFile(fOldOrderDir + name);
  WriteLog("thrd: -- found a new command file \"" + name + "\" --", kLogNote, 0);
  return HandleFile(name, it);
}

bool tOrderWorker::HandleFile(const std::string& name, tIterationState& it) {
  try {
    // A verdict on reaching the server belongs to the calls made for this file.
    fCall.fDisconnected = false;
    return HandleFileGuarded(name, it);
  } catch (const std::exception& e) {
    if (!fCall.fDisconnected) SetFileAside(name);
    TryWriteLog(std::string("thrd: ") + e.what(), kLogError, 0);
    PostFailure("2", "4");
    return true;
  }
}

bool tOrderWorker::HandleFileGuarded(const std::string& name, tIterationState& it) {
  fileNumber_ = StrToInt(WithoutExtension(name));
  ClearOrderMenu(order_);
  order_.payments.clear();
  order_.delivery.clear();
  order_.ExtSources.clear();
  tZoltXML::ParseVDUOrder(order_, document_);
  if (FindExtSource(order_, kOrderNumberSource) < 0) {
    throw std::runtime_error("thrd: extSource = 120 not found");
  }
  int32_t statusSource = FindExtSource(order_, kStatusIdSource);
  orderId_ = statusSource >= 0 ? order_.ExtSources[static_cast<size_t>(statusSource)].extID
                               : std::to_string(fileNumber_);
  hasPayments_ = !order_.payments.empty();
  hasDelivery_ = !order_.delivery.empty();
  kill_ = SameTextAscii(commandWord_, "KILL");
  if (isOrderFile_) commandWord_ = (hasPayments_ || hasDelivery_) ? "OCreate" : "OValidate";
  WriteLog("thrd: CMD = " + commandWord_, kLogNote, 0);

  if (kill_ && !hasPayments_) {
    UnpaidKill(name, it);
    return true;
  }

  if (!it.connected) {
    try {
      fCall.fZoltRequest = fZoltRequest;
      fCall.fcZolt = fcZolt;
      QuerySystemInfo(fCall, restCode_, cashGroupIdent_, netName_);
      WriteLog("thrd: connected to res = " + std::to_string(restCode_) +
                   " mid = " + std::to_string(cashGroupIdent_) + " (" + netName_ + ")",
               kLogNote, 0);
      LoadReferenceData(fCall, fOfflineWtr, classes_, employees_, dishes_, modifiers_,
                        offlineWaiter_);
      it.connected = true;
      if (LogLevel() > 1) {
        DumpMetaList(classes_, LogFolder() + "Classes.csv");
        DumpMetaList(dishes_, LogFolder() + "Dishes.csv");
        DumpMetaList(modifiers_, LogFolder() + "Modifiers.csv");
        DumpMetaList(employees_, LogFolder() + "Employees.csv");
        WriteLog("thrd: extracted MetaLists to the log dir", kLogDebug, 2);
      }
    } catch (const std::exception& e) {
      TryWriteLog(std::string("error connecting to cash server: ") + e.what(), kLogWarning, 0);
      it.error = true;
      return false;  // the file stays where it is for the next iteration
    }
  }

  const tValue* waiter = LoadWaiters(fCall, fUnit, employees_);
  if (!waiter) {
    if (!kill_ && (hasPayments_ || hasDelivery_ || fOfflineWtr.empty())) {
      WriteLog("can't get active waiter", kLogWarning, 0);
      it.error = true;
      return false;
    }
    if (!offlineWaiter_) {
      WriteLog("can't get neither active nor offline waiter", kLogWarning, 0);
      it.error = true;
      return false;
    }
    waiter = offlineWaiter_;
  }
  WriteLog("thrd: got the waiter (sifr=" + std::to_string(waiter->Code) + ")", kLogDebug, 1);

  int32_t sequence = 0;
  if (!SameTextAscii(commandWord_, "VDU")) {
    tPlacementSettings placement;
    placement.TableCode = fTable;
    placement.Unit = fUnit;
    placement.DepositReason = fDepReason;
    placement.DelReason = fDelReason;
    placement.MsgTtl = fMsgTtl;
    placement.ViewWait = fViewTtl;
    placement.TAMaketID = fTAMaketID;
    placement.DelivMaketID = fDelivMaketID;
    tOrderPlacement placer(fCall, *fMap, placement, [this] { return Terminated(); });
    sequence = placer.PlaceOrder(answer_, order_, commandWord_, dishes_, *waiter);
    WriteLog("thrd: ZoltSQ=" + std::to_string(sequence), kLogNote, 0);
  }

  std::string eqText;
  if (sequence != 0) {
    uint8_t mode = SameTextAscii(commandWord_, "FPRINT")    ? 2
                   : SameTextAscii(commandWord_, "OCREATE") ? 3
                                                            : 0;
    tVDUSettings vdu;
    vdu.Unit = fUnit;
    vdu.VDUUnit = fVDUUnit;
    vdu.EQType = fEQType;
    vdu.VDUId = static_cast<uint8_t>(fVDUId);
    vdu.VDUWaiter = fVDUWtr;
    vdu.DelivWaiter = fDelivWtr;
    vdu.Address = fVDUAddress;
    SendToVDU(vdu, sequence, cashGroupIdent_, fileNumber_, restCode_, order_, mode, dishes_,
              modifiers_, eqText);
    WriteEQFile(fEQDir, name, mode, eqText);
  }

  if (kill_) {
    Post("", fcCA, "1");
  } else if (SameTextAscii(commandWord_, "FPRINT")) {
    Post(eqText, fcC, "1");
  } else {
    Post("", fcO, "1");
  }

  // The copy of an unpaid order is made when the order file comes in; a command on it finds
  // the order in the old-orders folder and has nothing to copy.
  if (isOrderFile_ && !hasPayments_ && !hasDelivery_) {
    WriteLog("thrd: making copy of unpaid order \"" + name + "\"", kLogNote, 0);
    if (FileExists(fUnpaidDir + name)) {
      WriteLog("copy of unpaid order \"" + name +
                   "\" already existed for whatever reason and will be rewrited",
               kLogWarning, 0);
    }
    if (!CopyFile(fOrderDir + name, fUnpaidDir + name)) {
      throw std::runtime_error("can't make a copy of unpaid file: " + LastErrorText());
    }
  }

  if (isOrderFile_) {
    MoveToOldOrders(name);
  } else if (!DeleteFile(fCMDDir + name)) {
    throw std::runtime_error("can't delete a command file: " + LastErrorText());
  }
  WriteResult(true);
  return true;
}

void tOrderWorker::UnpaidKill(const std::string& name, const tIterationState& it) {
  WriteLog("thrd: executing KILL_NOT_PAID " + name, kLogNote, 0);
  if (!DeleteFile(fOldOrderDir + name)) WriteLog("thrd: " + LastErrorText(), kLogWarning, 0);
  if (!DeleteFile(fCMDDir + name)) throw std::runtime_error(LastErrorText());
  Post("", fcCA, "1");
  if (!it.connected) WriteLog("thrd: done", kLogNote, 0);
}

void tOrderWorker::SetFileAside(const std::string& name) {
  const std::string& from = isOrderFile_ ? fOrderDir : fCMDDir;
  const std::string& to = isOrderFile_ ? fFailedOrderDir : fFailedCMDDir;
  if (FileExists(to + name)) DeleteFile(to + name);
  if (MoveFile(from + name, to + name)) return;
  if (!isOrderFile_) {
    DeleteFile(from + name);
    return;
  }
  // An order must never be lost: rename it in place, out of the listing, and say where.
  std::string why = LastErrorText();
  if (RenameNoReplace(from + name, from + name + ".failed")) {
    TryWriteLog("thrd: can't move the failed order \"" + name + "\" to " + to + " (" + why +
                    "); it lies in " + from + name + ".failed",
                kLogError, 0);
  } else {
    TryWriteLog("thrd: can't set the failed order \"" + name + "\" aside (" + why + "; " +
                    LastErrorText() + "); it stays in " + from,
                kLogError, 0);
  }
}

void tOrderWorker::PostFailure(const std::string& status, const std::string& killStatus) {
  if (kill_ || SameTextAscii(commandWord_, "KILL")) {
    Post("", fcCA, killStatus);
  } else if (SameTextAscii(commandWord_, "FPRINT")) {
    Post("0", fcC, status);
  } else {
    Post("", fcO, status);
  }
}

void tOrderWorker::PostIterationFailure() { PostFailure("2", "4"); }

}  // namespace q2
