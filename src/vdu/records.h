// The display message of one order: a 71-byte caption and a 9000-byte record area holding
// an extra record and one item record per line of the order's menu tree (depth first),
// built from the order and the dish and modifier reference lists, then sent with
// SendVDUMessage. The layout is in vdu/message_layout.h. Worker thread only (logs, uses the
// message counter).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cashserver/meta_list.h"
#include "cashserver/order.h"
#include "vdu/message_layout.h"

namespace q2 {

// The worker's settings that the display feed reads.
struct tVDUSettings {
  int32_t Unit = 0;
  int32_t VDUUnit = 0;  // 0: Unit is shown
  int32_t EQType = 2;   // low 8 bits used
  uint8_t VDUId = 0;
  std::string VDUWaiter;
  std::string DelivWaiter;
  std::string Address = "255.255.255.255:11900";  // VDUAddress: host[:port]
};

// The display sequence value: the low 16 bits of cashGroupIdent in the upper half, OR-ed
// with orderSeq mod 65536 (a negative remainder's sign bits fill the upper half too).
int32_t MakeVDUSQ(int32_t cashGroupIdent, int32_t orderSeq);

// Writes the extra record at area offset 0, sets VCCommand to 2 and adds 1 to LCnt; logs
// its fields. `message` holds kVDUMessageBytes bytes.
void AddExtraVDU(std::vector<uint8_t>& message, int32_t fileNumber);

// Writes the records of `items` and, after each, those of its Children, from area offset
// `offset` on; adds one to LCnt per record and returns the area offset after the last one
// (+121 per record). `multiplier` is the quantity that combo components of this level
// carry. Lines whose record would end past the area are not written and are counted in
// `linesLeftOut`. Items missing from their list carry their own Id as code and name.
int32_t doTheRestOfVDU(const tZoltMenuItems& items, std::vector<uint8_t>& message,
                       const tValueList& dishes, const tValueList& modifiers, int32_t offset,
                       double multiplier, int32_t& linesLeftOut);

// Builds the complete display message (kVDUMessageBytes bytes) for mode 2 (FPRINT) or mode
// 1 (generic: VCCommand 5, UnitNum 61, StartSession = fileNumber, no extra record), with
// the time fields taken from `now` (a local day count). Logs as it goes; returns the number
// of lines that did not fit in `linesLeftOut`.
std::vector<uint8_t> BuildVDUMessage(const tVDUSettings& settings, int32_t vdusq,
                                     int32_t fileNumber, const tZoltOrder& order, uint8_t mode,
                                     const tValueList& dishes, const tValueList& modifiers,
                                     double now, int32_t& linesLeftOut);

// The worker's display step for one placed order: computes VDUSQ and the EQ number (given
// to eqNumber at once) and logs "thrd.vdu: VDUSQ=... EQ=...". For mode 2 (and the generic
// mode 1) it then builds the message, warns when lines did not fit, writes "vduline.txt"
// in the log folder at log level 2 or more, and sends it to settings.Address. Other modes
// stop after the log line. Throws the failures of ParseVDUAddress, the file writer and
// SendVDUMessage.
void SendToVDU(const tVDUSettings& settings, int32_t orderSeq, int32_t cashGroupIdent,
               int32_t fileNumber, int32_t restCode, const tZoltOrder& order, uint8_t mode,
               const tValueList& dishes, const tValueList& modifiers, std::string& eqNumber);

}  // namespace q2
