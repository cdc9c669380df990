// The byte layout of a display message, shared by the builder (vdu/records.h) and the
// receiver (vdu/decoder.h).
//
// Message layout (little-endian, texts 8-bit in the ANSI code page, a short text is a
// length byte followed by that many bytes):
//   caption  0  2 captlen (9071)        2 1 VCCommand (2 FPRINT, 5 generic)
//            3  1 UnitNum               4 4 StartSession (VDUSQ, or file number if generic)
//            8  2 ExtraOrderId          10 51 waiter, short text of at most 50
//            61 4 SystemTime (1/100 s since local midnight)
//            65 4 SysDate (days since 2000-01-01 local, rounded half to even)
//            69 2 LCnt (records in the area)
//   area at 71, records back to back, each followed by one zero byte:
//   extra    0 1 len 8   1 1 cl 7   2 2 ExtraType 2   4 4 FileNumber
//   item     0 1 len 120 1 1 cl (1 dish, 3 combo, 4 combo component, 0 modifier)
//            2 2 SIFR    4 5 Code, short text of at most 4   9 8 Qnt (double)
//            17 2 Stream 19 101 Name, short text of at most 100
// Bytes no field fills are zero. A record that would end past the area is not written: at
// most 74 item records fit after the extra record (the 74th at area bytes 8842..8961).
#pragma once

#include <cstddef>
#include <cstdint>

namespace q2 {

inline constexpr size_t kVDUMessageBytes = 9071;
inline constexpr size_t kVDUCaptionBytes = 71;
inline constexpr size_t kVDUAreaBytes = kVDUMessageBytes - kVDUCaptionBytes;
inline constexpr size_t kVDUExtraRecordBytes = 8;
inline constexpr size_t kVDUItemRecordBytes = 120;
inline constexpr size_t kVDUWaiterMaxBytes = 50;
inline constexpr size_t kVDUNameMaxBytes = 100;
inline constexpr size_t kVDUCodeMaxChars = 4;

// Caption field offsets within the message.
inline constexpr size_t kVDUCaptLenAt = 0, kVDUCommandAt = 2, kVDUUnitNumAt = 3,
                        kVDUStartSessionAt = 4, kVDUExtraOrderIdAt = 8, kVDUWaiterAt = 10,
                        kVDUSystemTimeAt = 61, kVDUSysDateAt = 65, kVDULCntAt = 69;

// Line classes of the item records, and the class of the extra record.
enum : uint8_t {
  kVDUClassModifier = 0,
  kVDUClassDish = 1,
  kVDUClassCombo = 3,
  kVDUClassComponent = 4,
  kVDUClassExtra = 7
};

}  // namespace q2
