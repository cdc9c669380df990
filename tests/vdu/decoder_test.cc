// The receiver side: datagram header parsing, reassembly, message parsing.
#include "vdu/decoder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "vdu/datagram.h"
#include "vdu/message_layout.h"

namespace q2 {
namespace {

tVDUDatagram Chunk(uint16_t number, uint8_t index, bool last, std::vector<uint8_t> payload,
                   uint8_t displayId = 0) {
  tVDUDatagram d;
  d.DisplayId = displayId;
  d.MessageNumber = number;
  d.Fixed = 1;
  d.ChunkIndex = index;
  d.Last = last;
  d.Payload = std::move(payload);
  return d;
}

TEST(VDUDatagramParse, ReadsTheHeaderAndRefusesForeignDatagrams) {
  const std::vector<uint8_t> good = {0xF0, 0xDE, 7, 0x39, 0x30, 1, 0, 3, 1, 0xAA, 0xBB};
  const auto d = ParseVDUDatagram(good.data(), good.size());
  ASSERT_TRUE(d);
  EXPECT_EQ(d->DisplayId, 7);
  EXPECT_EQ(d->MessageNumber, 12345);
  EXPECT_EQ(d->Fixed, 1);
  EXPECT_EQ(d->ChunkIndex, 3);
  EXPECT_TRUE(d->Last);
  EXPECT_EQ(d->Payload, (std::vector<uint8_t>{0xAA, 0xBB}));

  std::vector<uint8_t> badMagic = good;
  badMagic[0] = 0xDE;
  badMagic[1] = 0xF0;
  EXPECT_FALSE(ParseVDUDatagram(badMagic.data(), badMagic.size()));
  EXPECT_FALSE(ParseVDUDatagram(good.data(), 9));  // header without payload
  std::vector<uint8_t> tooLong(1034, 0);
  tooLong[0] = 0xF0;
  tooLong[1] = 0xDE;
  EXPECT_FALSE(ParseVDUDatagram(tooLong.data(), tooLong.size()));
  EXPECT_TRUE(ParseVDUDatagram(tooLong.data(), 1033));
}

TEST(VDUReassembly, JoinsInterleavedMessagesByNumber) {
  tVDUReassembler r;
  EXPECT_FALSE(r.Add(Chunk(5, 0, false, {1, 2})));
  EXPECT_FALSE(r.Add(Chunk(6, 0, false, {9})));
  EXPECT_FALSE(r.Add(Chunk(5, 1, false, {3})));
  const auto six = r.Add(Chunk(6, 1, true, {8}));
  ASSERT_TRUE(six);
  EXPECT_EQ(six->Bytes, (std::vector<uint8_t>{9, 8}));
  const auto five = r.Add(Chunk(5, 2, true, {4}));
  ASSERT_TRUE(five);
  EXPECT_EQ(five->MessageNumber, 5);
  EXPECT_EQ(five->Chunks, 3u);
  EXPECT_EQ(five->Bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(r.Pending(), 0u);
  EXPECT_EQ(r.Dropped(), 0u);
}

TEST(VDUReassembly, DropsMessagesWithGapsOrWithoutStart) {
  tVDUReassembler r;
  EXPECT_FALSE(r.Add(Chunk(1, 0, false, {1})));
  EXPECT_FALSE(r.Add(Chunk(1, 2, true, {3})));  // chunk 1 lost
  EXPECT_FALSE(r.Add(Chunk(2, 1, true, {3})));  // chunk 0 lost
  EXPECT_EQ(r.Dropped(), 2u);
  EXPECT_EQ(r.Pending(), 0u);
  // A new chunk 0 of the same number starts the message again.
  EXPECT_FALSE(r.Add(Chunk(3, 0, false, {1})));
  const auto again = r.Add(Chunk(3, 0, true, {7}));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Bytes, (std::vector<uint8_t>{7}));
  // The same number from another display is another message.
  EXPECT_FALSE(r.Add(Chunk(4, 0, false, {1}, 1)));
  EXPECT_FALSE(r.Add(Chunk(4, 0, false, {2}, 2)));
  EXPECT_EQ(r.Pending(), 2u);
}

TEST(VDUReassembly, FollowsChunkIndexesPast255AndBoundsPendingMessages) {
  tVDUReassembler r;
  for (int i = 0; i < 300; ++i) {
    const auto done = r.Add(Chunk(9, static_cast<uint8_t>(i), i == 299, {static_cast<uint8_t>(i)}));
    if (i < 299) {
      ASSERT_FALSE(done) << i;
    } else {
      ASSERT_TRUE(done);
      ASSERT_EQ(done->Bytes.size(), 300u);
      EXPECT_EQ(done->Bytes[299], static_cast<uint8_t>(299));
    }
  }
  for (uint16_t n = 0; n < tVDUReassembler::kMaxPending + 4; ++n) r.Add(Chunk(n, 0, false, {1}));
  EXPECT_EQ(r.Pending(), tVDUReassembler::kMaxPending);
  // The oldest ones went: message 0 can no longer be continued, the newest can.
  EXPECT_FALSE(r.Add(Chunk(0, 1, true, {2})));
  EXPECT_TRUE(r.Add(Chunk(tVDUReassembler::kMaxPending + 3, 1, true, {2})));
}

std::vector<uint8_t> MessageWithRecords(int16_t lcnt) {
  std::vector<uint8_t> m(kVDUMessageBytes, 0);
  m[kVDULCntAt] = static_cast<uint8_t>(lcnt);
  m[kVDULCntAt + 1] = static_cast<uint8_t>(static_cast<uint16_t>(lcnt) >> 8);
  return m;
}

TEST(VDUMessageParse, RefusesMalformedMessages) {
  std::vector<uint8_t> m = MessageWithRecords(0);
  EXPECT_THROW(ParseVDUMessageBytes(m.data(), 70), std::runtime_error);
  EXPECT_NO_THROW(ParseVDUMessageBytes(m.data(), 71));

  m = MessageWithRecords(1);  // LCnt 1 but the area is empty: a record of length 0
  EXPECT_THROW(ParseVDUMessageBytes(m.data(), m.size()), std::runtime_error);

  m = MessageWithRecords(1);
  m[kVDUCaptionBytes] = 120;
  m[kVDUCaptionBytes + 1] = 1;
  m[kVDUCaptionBytes + 4] = 5;  // code longer than its 4 characters
  EXPECT_THROW(ParseVDUMessageBytes(m.data(), m.size()), std::runtime_error);
  m[kVDUCaptionBytes + 4] = 4;
  m[kVDUCaptionBytes + 19] = 101;  // name longer than 100
  EXPECT_THROW(ParseVDUMessageBytes(m.data(), m.size()), std::runtime_error);
  m[kVDUCaptionBytes + 19] = 100;
  EXPECT_NO_THROW(ParseVDUMessageBytes(m.data(), m.size()));
  // The same record cut off by the end of the message.
  EXPECT_THROW(ParseVDUMessageBytes(m.data(), kVDUCaptionBytes + 100), std::runtime_error);

  m = MessageWithRecords(1);
  m[kVDUCaptionBytes] = 30;  // an item record cannot be shorter than 120
  m[kVDUCaptionBytes + 1] = 1;
  EXPECT_THROW(ParseVDUMessageBytes(m.data(), m.size()), std::runtime_error);
}

}  // namespace
}  // namespace q2
