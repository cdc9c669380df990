// The receiving side of the display feed, for the display monitor and the tests: datagram
// header parsing, reassembly of the chunks of one message, undoing codebuf, and parsing a
// display message into its caption and records. Texts stay as the 8-bit bytes that were
// sent; the caller converts them from the code page it expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace q2 {

// Restores in place what codebuf(data, length, restCode) scrambled: the inverse bit
// permutations from the permutation seed, then the XOR stream again. Throws
// "codebuf: rest code is invalid" for restCode 0.
void UndoCodebuf(uint8_t* data, size_t length, int32_t restCode);

struct tVDUDatagram {
  uint8_t DisplayId = 0;
  uint16_t MessageNumber = 0;
  uint16_t Fixed = 0;  // 1 from a conforming sender
  uint8_t ChunkIndex = 0;
  bool Last = false;
  std::vector<uint8_t> Payload;
};

// Reads one datagram. Returns nothing when it is shorter than header + 1 byte, longer than
// 1033 bytes, or lacks the magic F0 DE.
std::optional<tVDUDatagram> ParseVDUDatagram(const uint8_t* bytes, size_t length);

// One reassembled (still scrambled) message.
struct tVDUAssembled {
  uint8_t DisplayId = 0;
  uint16_t MessageNumber = 0;
  size_t Chunks = 0;
  std::vector<uint8_t> Bytes;
};

// Collects the chunks of messages, keyed by display id and message number. Chunks must
// arrive in order (index 0, 1, ... modulo 256); a gap drops the partial message, and a
// chunk 0 that does not follow a chunk 255 starts its message afresh. At most kMaxPending
// partial messages are kept (the oldest is dropped); a message may grow to kMaxMessageBytes.
class tVDUReassembler final {
 public:
  static constexpr size_t kMaxPending = 16;
  static constexpr size_t kMaxMessageBytes = 1 << 20;

  // Returns the whole message when `datagram` completes one.
  std::optional<tVDUAssembled> Add(const tVDUDatagram& datagram);
  // Partial messages dropped so far (gaps, overflow, eviction).
  size_t Dropped() const { return dropped_; }
  size_t Pending() const { return pending_.size(); }

 private:
  struct tPartial {
    tVDUAssembled Message;
    uint8_t NextIndex = 0;
    uint64_t Arrival = 0;
  };
  std::map<uint32_t, tPartial> pending_;
  uint64_t arrivals_ = 0;
  size_t dropped_ = 0;
};

struct tVDUCaptionView {
  int16_t CaptLen = 0;
  uint8_t VCCommand = 0;
  uint8_t UnitNum = 0;
  int32_t StartSession = 0;
  uint16_t ExtraOrderId = 0;
  std::string Waiter;  // 8-bit
  int32_t SystemTime = 0;
  int32_t SysDate = 0;
  int16_t LCnt = 0;
};

struct tVDURecordView {
  size_t Offset = 0;  // within the record area
  uint8_t Len = 0;
  uint8_t Class = 0;
  // Extra record (class 7)
  int16_t ExtraType = 0;
  int32_t FileNumber = 0;
  // Item record
  uint16_t SIFR = 0;
  std::string Code;  // 8-bit
  double Qnt = 0;
  int16_t Stream = 0;
  std::string Name;  // 8-bit
};

struct tVDUMessageView {
  tVDUCaptionView Caption;
  std::vector<tVDURecordView> Records;
};

// Parses an unscrambled display message: the caption, then LCnt records from area offset 0,
// each len + 1 bytes after the previous one. A record of class 7 is read as the extra
// record, any other as an item record. Throws std::runtime_error naming the fault for a
// message shorter than its caption, a record of length 0 or too short for its kind, a short
// text longer than its field, or a record running past the message.
tVDUMessageView ParseVDUMessageBytes(const uint8_t* bytes, size_t length);

}  // namespace q2
