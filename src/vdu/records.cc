// Display message building and the worker's display step.
#include "vdu/records.h"

#include <cmath>
#include <cstring>

#include "core/convert.h"
#include "core/log.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "vdu/datagram.h"
#include "vdu/eq.h"

namespace q2 {

namespace {

constexpr uint8_t kCommandFprint = 2;
constexpr uint8_t kCommandGeneric = 5;
constexpr uint8_t kGenericUnitNum = 61;
constexpr int16_t kExtraTypeFprint = 2;
constexpr double kDay2000 = 36526.0;  // 2000-01-01 00:00 as a day count
constexpr double kHundredthsPerDay = 24.0 * 60 * 60 * 100;
constexpr size_t kItemSifrAt = 2, kItemCodeAt = 4, kItemQntAt = 9, kItemStreamAt = 17,
                 kItemNameAt = 19;
constexpr size_t kRecordGapBytes = 1;  // the zero byte after every record

void Debug(const std::string& text) { WriteLog(text, kLogDebug, 2); }

void PutUint16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutInt32(uint8_t* at, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

int16_t GetInt16(const uint8_t* at) {
  return static_cast<int16_t>(static_cast<uint16_t>(at[0] | at[1] << 8));
}

// A short text: length byte, then at most `maxBytes` bytes of `bytes` (already 8-bit).
void PutShortText(uint8_t* at, const std::string& bytes, size_t maxBytes) {
  const size_t n = std::min(bytes.size(), maxBytes);
  at[0] = static_cast<uint8_t>(n);
  std::memcpy(at + 1, bytes.data(), n);
}

void AddToLCnt(std::vector<uint8_t>& message) {
  uint8_t* at = &message[kVDULCntAt];
  PutUint16(at, static_cast<uint16_t>(GetInt16(at) + 1));
}

uint8_t* Area(std::vector<uint8_t>& message) { return message.data() + kVDUCaptionBytes; }

void LogCaption(const std::vector<uint8_t>& message) {
  const uint8_t* m = message.data();
  const auto int32At = [m](size_t at) {
    return static_cast<int32_t>(
        static_cast<uint32_t>(m[at]) | static_cast<uint32_t>(m[at + 1]) << 8 |
        static_cast<uint32_t>(m[at + 2]) << 16 | static_cast<uint32_t>(m[at + 3]) << 24);
  };
  Debug("vdu: -- caption --");
  Debug("vdu: captlen=" + std::to_string(GetInt16(m + kVDUCaptLenAt)));
  Debug("vdu: VCCommand=" + std::to_string(m[kVDUCommandAt]));
  Debug("vdu: UnitNum=" + std::to_string(m[kVDUUnitNumAt]));
  Debug("vdu: StartSession=" + std::to_string(int32At(kVDUStartSessionAt)));
  Debug("vdu: ExtraOrderId=" +
        std::to_string(static_cast<uint16_t>(GetInt16(m + kVDUExtraOrderIdAt))));
  Debug("vdu: SystemTime=" + std::to_string(int32At(kVDUSystemTimeAt)));
  Debug("vdu: SysDate=" + std::to_string(int32At(kVDUSysDateAt)));
  Debug("vdu: LCnt=" + std::to_string(GetInt16(m + kVDULCntAt)));
}

}  // namespace

int32_t MakeVDUSQ(int32_t cashGroupIdent, int32_t orderSeq) {
  const uint32_t upper = (static_cast<uint32_t>(cashGroupIdent) & 0xFFFFu) << 16;
  const auto lower = static_cast<uint32_t>(orderSeq % 65536);
  return static_cast<int32_t>(upper | lower);
}

void AddExtraVDU(std::vector<uint8_t>& message, int32_t fileNumber) {
  Debug("vdu: -- AddExtraVDU --");
  uint8_t record[kVDUExtraRecordBytes] = {};
  record[0] = kVDUExtraRecordBytes;
  record[1] = kVDUClassExtra;
  PutUint16(record + 2, static_cast<uint16_t>(kExtraTypeFprint));
  PutInt32(record + 4, fileNumber);
  Debug("vdu: dr.cl=" + std::to_string(record[1]));
  Debug("vdu: dr.len=" + std::to_string(record[0]));
  Debug("vdu: dr.ExtraType=" + std::to_string(kExtraTypeFprint));
  Debug("vdu: dr.FileNumber=" + std::to_string(fileNumber));
  std::memcpy(Area(message), record, sizeof record);
  message[kVDUCommandAt] = kCommandFprint;
  AddToLCnt(message);
}

int32_t doTheRestOfVDU(const tZoltMenuItems& items, std::vector<uint8_t>& message,
                       const tValueList& dishes, const tValueList& modifiers, int32_t offset,
                       double multiplier, int32_t& linesLeftOut) {
  Debug("vdu: -- doTheRestOfVDU node.count = " + std::to_string(items.size()));
  double running = multiplier;
  for (const auto& itemPtr : items) {
    const tZoltMenuItem& item = *itemPtr;
    Debug("vdu: part 1");
    uint8_t record[kVDUItemRecordBytes] = {};
    const tValueList* list = &modifiers;
    double quantity = 1.0;
    switch (item.miType) {
      case miDish:
        Debug("vdu: added a dish");
        record[1] = kVDUClassDish;
        list = &dishes;
        quantity = item.Quaintity;
        running = 1.0;
        break;
      case miContainer:
        Debug("vdu: added combo");
        record[1] = kVDUClassCombo;
        list = &dishes;
        quantity = item.Quaintity;
        running = item.Quaintity;
        break;
      case miComponent:
        Debug("vdu: added combo modi");
        record[1] = kVDUClassComponent;
        quantity = multiplier;
        break;
      case miModifier:
        Debug("vdu: added modi");
        record[1] = kVDUClassModifier;
        break;
    }
    Debug("vdu: part 2");
    const tValue* found = list->FindById(item.Id);
    int32_t code = item.Id;
    std::string nameUtf8 = std::to_string(item.Id);
    int16_t stream = 0;
    if (found != nullptr) {
      Debug("vdu: item was in dict");
      code = found->Code;
      nameUtf8 = found->Name;
      if (found->Link != nullptr) stream = static_cast<int16_t>(found->Link->Code & 0xFFFF);
    } else {
      Debug("vdu: item wasn't in dict for whatever reason");
    }
    const std::string codeText = std::to_string(code).substr(0, kVDUCodeMaxChars);
    // The name field is 8-bit: convert first, then cut to its 100 bytes.
    const std::string nameBytes = Utf8ToAnsi(nameUtf8).substr(0, kVDUNameMaxBytes);
    PutUint16(record + kItemSifrAt, static_cast<uint16_t>(code));
    PutShortText(record + kItemCodeAt, codeText, kVDUCodeMaxChars);
    std::memcpy(record + kItemQntAt, &quantity, sizeof quantity);
    PutUint16(record + kItemStreamAt, static_cast<uint16_t>(stream));
    PutShortText(record + kItemNameAt, nameBytes, kVDUNameMaxBytes);
    Debug("vdu: part 3");
    record[0] = kVDUItemRecordBytes;
    Debug("vdu: dr.len=" + std::to_string(record[0]));
    Debug("vdu: dr.cl=" + std::to_string(record[1]));
    Debug("vdu: dr.SIFR=" + std::to_string(static_cast<uint16_t>(code)));
    Debug("vdu: dr.Code=" + codeText);
    Debug("vdu: dr.Qnt=" + FormatFloatGeneral(quantity));
    Debug("vdu: dr.Stream=" + std::to_string(stream));
    Debug("vdu: dr.Name=" + AnsiToUtf8(nameBytes));
    // Past the area nothing is written; every later record would end there too, so the
    // offset stays and the line is only counted.
    if (offset >= 0 && static_cast<size_t>(offset) + kVDUItemRecordBytes <= kVDUAreaBytes) {
      std::memcpy(Area(message) + offset, record, sizeof record);
      AddToLCnt(message);
      offset += static_cast<int32_t>(kVDUItemRecordBytes + kRecordGapBytes);
    } else {
      ++linesLeftOut;
    }
    offset =
        doTheRestOfVDU(item.Children, message, dishes, modifiers, offset, running, linesLeftOut);
  }
  return offset;
}

std::vector<uint8_t> BuildVDUMessage(const tVDUSettings& settings, int32_t vdusq,
                                     int32_t fileNumber, const tZoltOrder& order, uint8_t mode,
                                     const tValueList& dishes, const tValueList& modifiers,
                                     double now, int32_t& linesLeftOut) {
  linesLeftOut = 0;
  // Zero-filled: LCnt 0, the area empty, the waiter field's unused bytes zero.
  std::vector<uint8_t> message(kVDUMessageBytes, 0);
  const int32_t vduUnit = settings.VDUUnit != 0 ? settings.VDUUnit : settings.Unit;
  if (mode == 1) {
    WriteLog("thrd.vdu:  generic vdu part", kLogDebug, 1);
    message[kVDUCommandAt] = kCommandGeneric;
    message[kVDUUnitNumAt] = kGenericUnitNum;
    PutInt32(&message[kVDUStartSessionAt], fileNumber);
  } else {
    WriteLog("thrd.vdu:  fprint vdu part", kLogDebug, 1);
    AddExtraVDU(message, fileNumber);
    message[kVDUUnitNumAt] = static_cast<uint8_t>(vduUnit);
    PutInt32(&message[kVDUStartSessionAt], vdusq);
  }

  WriteLog("thrd.vdu:  vdu part 2", kLogDebug, 1);
  const std::string& waiter = !order.delivery.empty() && !settings.DelivWaiter.empty()
                                  ? settings.DelivWaiter
                                  : settings.VDUWaiter;
  PutShortText(&message[kVDUWaiterAt], Utf8ToAnsi(waiter), kVDUWaiterMaxBytes);
  PutUint16(&message[kVDUExtraOrderIdAt], static_cast<uint16_t>(fileNumber));
  const double dayFraction = now - std::floor(now);
  PutInt32(&message[kVDUSystemTimeAt],
           static_cast<int32_t>(RoundHalfEven(dayFraction * kHundredthsPerDay)));
  PutInt32(&message[kVDUSysDateAt], static_cast<int32_t>(RoundHalfEven(std::fabs(now - kDay2000))));

  WriteLog("thrd.vdu:  vdu part 3", kLogDebug, 1);
  const int32_t start = GetInt16(&message[kVDULCntAt]) != 0
                            ? static_cast<int32_t>(kVDUExtraRecordBytes + kRecordGapBytes)
                            : 0;
  doTheRestOfVDU(order.Menu, message, dishes, modifiers, start, 1.0, linesLeftOut);
  PutUint16(&message[kVDUCaptLenAt], static_cast<uint16_t>(kVDUMessageBytes));
  return message;
}

void SendToVDU(const tVDUSettings& settings, int32_t orderSeq, int32_t cashGroupIdent,
               int32_t fileNumber, int32_t restCode, const tZoltOrder& order, uint8_t mode,
               const tValueList& dishes, const tValueList& modifiers, std::string& eqNumber) {
  const int32_t vdusq = MakeVDUSQ(cashGroupIdent, orderSeq);
  eqNumber = MakeEQNumber(vdusq, settings.Unit, static_cast<uint8_t>(settings.EQType));
  WriteLog("thrd.vdu: VDUSQ=" + std::to_string(vdusq) + " EQ=" + eqNumber, kLogNote, 0);
  if (mode != 2 && mode != 1) return;
  const tVDUAddress to = ParseVDUAddress(settings.Address);

  WriteLog("thrd.vdu: doing VDU magic", kLogNote, 0);
  int32_t linesLeftOut = 0;
  std::vector<uint8_t> message = BuildVDUMessage(settings, vdusq, fileNumber, order, mode, dishes,
                                                 modifiers, Now(), linesLeftOut);
  if (linesLeftOut > 0) {
    WriteLog("thrd.vdu: the display message is full, " + std::to_string(linesLeftOut) +
                 " lines left out",
             kLogWarning, 0);
  }
  LogCaption(message);
  WriteLog("thrd.vdu: sending message to VDU", kLogNote, 0);
  if (LogLevel() >= 2) {
    const uint8_t* area = message.data() + kVDUCaptionBytes;
    const auto end = static_cast<const uint8_t*>(std::memchr(area, 0, kVDUAreaBytes));
    const size_t n = end != nullptr ? static_cast<size_t>(end - area) : kVDUAreaBytes;
    WriteTextFile(std::string(reinterpret_cast<const char*>(area), n), false,
                  LogFolder() + "vduline.txt");
  }
  SendVDUMessage(message.data(), message.size(), restCode, settings.VDUId, to);
}

}  // namespace q2
