// Receiving side of the display feed.
#include "vdu/decoder.h"

#include <cstring>
#include <stdexcept>

#include "vdu/datagram.h"
#include "vdu/message_layout.h"

namespace q2 {

namespace {

uint16_t GetUint16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

int32_t GetInt32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                              static_cast<uint32_t>(at[2]) << 16 |
                              static_cast<uint32_t>(at[3]) << 24);
}

uint32_t KeyWord(const std::array<uint8_t, 8>& key, size_t first) {
  return static_cast<uint32_t>(key[first]) | static_cast<uint32_t>(key[first + 1]) << 8 |
         static_cast<uint32_t>(key[first + 2]) << 16 | static_cast<uint32_t>(key[first + 3]) << 24;
}

std::string ShortText(const uint8_t* at, size_t maxBytes, const std::string& what) {
  if (at[0] > maxBytes) {
    throw std::runtime_error(what + " length " + std::to_string(at[0]) + " exceeds its field of " +
                             std::to_string(maxBytes));
  }
  return std::string(reinterpret_cast<const char*>(at + 1), at[0]);
}

}  // namespace

void UndoCodebuf(uint8_t* data, size_t length, int32_t restCode) {
  if (restCode == 0) throw std::runtime_error("codebuf: rest code is invalid");
  const std::array<uint8_t, 8> key = MakeVDUKey(restCode);
  tVDURandom random(KeyWord(key, 4) + static_cast<uint32_t>(length));
  for (size_t i = 0; i < length; ++i) {
    data[i] = UnpermuteBits(data[i], MakeBitPermutation(random));
  }
  random.Seed(KeyWord(key, 0));
  for (size_t i = 0; i < length; ++i) data[i] ^= static_cast<uint8_t>(random.Next(256));
}

std::optional<tVDUDatagram> ParseVDUDatagram(const uint8_t* bytes, size_t length) {
  if (length <= kVDUHeaderBytes || length > kVDUDatagramMaxBytes) return std::nullopt;
  if (GetUint16(bytes) != kVDUMagic) return std::nullopt;
  tVDUDatagram datagram;
  datagram.DisplayId = bytes[2];
  datagram.MessageNumber = GetUint16(bytes + 3);
  datagram.Fixed = GetUint16(bytes + 5);
  datagram.ChunkIndex = bytes[7];
  datagram.Last = bytes[8] != 0;
  datagram.Payload.assign(bytes + kVDUHeaderBytes, bytes + length);
  return datagram;
}

std::optional<tVDUAssembled> tVDUReassembler::Add(const tVDUDatagram& datagram) {
  const uint32_t key = static_cast<uint32_t>(datagram.DisplayId) << 16 | datagram.MessageNumber;
  auto it = pending_.find(key);
  // Index 0 also follows index 255 within a message longer than 256 chunks.
  const bool continues = it != pending_.end() && it->second.NextIndex == datagram.ChunkIndex;
  if (datagram.ChunkIndex == 0 && !continues) {
    if (it != pending_.end()) {
      ++dropped_;
      pending_.erase(it);
    }
    if (pending_.size() >= kMaxPending) {
      auto oldest = pending_.begin();
      for (auto p = pending_.begin(); p != pending_.end(); ++p) {
        if (p->second.Arrival < oldest->second.Arrival) oldest = p;
      }
      pending_.erase(oldest);
      ++dropped_;
    }
    tPartial partial;
    partial.Message.DisplayId = datagram.DisplayId;
    partial.Message.MessageNumber = datagram.MessageNumber;
    it = pending_.emplace(key, std::move(partial)).first;
  } else if (it == pending_.end()) {
    // The start of this message was lost (or came before we listened).
    ++dropped_;
    return std::nullopt;
  } else if (!continues) {
    ++dropped_;
    pending_.erase(it);
    return std::nullopt;
  }

  tPartial& partial = it->second;
  if (partial.Message.Bytes.size() + datagram.Payload.size() > kMaxMessageBytes) {
    ++dropped_;
    pending_.erase(it);
    return std::nullopt;
  }
  partial.Message.Bytes.insert(partial.Message.Bytes.end(), datagram.Payload.begin(),
                               datagram.Payload.end());
  ++partial.Message.Chunks;
  partial.NextIndex = static_cast<uint8_t>(datagram.ChunkIndex + 1);
  partial.Arrival = ++arrivals_;
  if (!datagram.Last) return std::nullopt;
  tVDUAssembled done = std::move(partial.Message);
  pending_.erase(it);
  return done;
}

tVDUMessageView ParseVDUMessageBytes(const uint8_t* bytes, size_t length) {
  if (length < kVDUCaptionBytes) {
    throw std::runtime_error("message of " + std::to_string(length) +
                             " bytes is shorter than its caption");
  }
  tVDUMessageView view;
  tVDUCaptionView& c = view.Caption;
  c.CaptLen = static_cast<int16_t>(GetUint16(bytes + kVDUCaptLenAt));
  c.VCCommand = bytes[kVDUCommandAt];
  c.UnitNum = bytes[kVDUUnitNumAt];
  c.StartSession = GetInt32(bytes + kVDUStartSessionAt);
  c.ExtraOrderId = GetUint16(bytes + kVDUExtraOrderIdAt);
  c.Waiter = ShortText(bytes + kVDUWaiterAt, kVDUWaiterMaxBytes, "waiter");
  c.SystemTime = GetInt32(bytes + kVDUSystemTimeAt);
  c.SysDate = GetInt32(bytes + kVDUSysDateAt);
  c.LCnt = static_cast<int16_t>(GetUint16(bytes + kVDULCntAt));

  const uint8_t* area = bytes + kVDUCaptionBytes;
  const size_t areaBytes = length - kVDUCaptionBytes;
  size_t offset = 0;
  for (int32_t n = 0; n < c.LCnt; ++n) {
    const std::string where =
        "record " + std::to_string(n) + " at area offset " + std::to_string(offset);
    if (offset >= areaBytes) throw std::runtime_error(where + " lies past the message");
    const uint8_t* r = area + offset;
    tVDURecordView record;
    record.Offset = offset;
    record.Len = r[0];
    if (record.Len < 2) throw std::runtime_error(where + " has length " + std::to_string(r[0]));
    if (offset + record.Len > areaBytes) {
      throw std::runtime_error(where + " runs past the message");
    }
    record.Class = r[1];
    if (record.Class == kVDUClassExtra) {
      if (record.Len < kVDUExtraRecordBytes) {
        throw std::runtime_error(where + " is too short for an extra record");
      }
      record.ExtraType = static_cast<int16_t>(GetUint16(r + 2));
      record.FileNumber = GetInt32(r + 4);
    } else {
      if (record.Len < kVDUItemRecordBytes) {
        throw std::runtime_error(where + " is too short for an item record");
      }
      record.SIFR = GetUint16(r + 2);
      record.Code = ShortText(r + 4, kVDUCodeMaxChars, where + ": code");
      std::memcpy(&record.Qnt, r + 9, sizeof record.Qnt);
      record.Stream = static_cast<int16_t>(GetUint16(r + 17));
      record.Name = ShortText(r + 19, kVDUNameMaxBytes, where + ": name");
    }
    view.Records.push_back(std::move(record));
    offset += static_cast<size_t>(r[0]) + 1;
  }
  return view;
}

}  // namespace q2
