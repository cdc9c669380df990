// Display message building and the worker's display step.
#include "vdu/records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/datetime.h"
#include "platform/files.h"
#include "vdu/decoder.h"
#include "vdu/eq.h"
#include "vdu/vdu_test_util.h"

namespace q2 {
namespace {

using q2test::AddValue;
using q2test::Item;

// Reference lists: two classes (the link targets giving the stream), dishes and modifiers.
class VDURecords : public ::testing::Test {
 protected:
  VDURecords() {
    AddValue(dishes_, 101, 5001, "Борщ", &kitchen_);
    AddValue(dishes_, 102, -123456, "Combo box", nullptr);
    AddValue(dishes_, 103, 70000, "Chips", &bar_);
    AddValue(modifiers_, 201, 0, "No onion");
    AddValue(modifiers_, 202, 0, "Cola");
    AddValue(modifiers_, 203, 0, "Fanta");
  }

  tVDUMessageView Build(const tZoltOrder& order, uint8_t mode = 2, double now = kNow) {
    message_ = BuildVDUMessage(settings_, 0x00030007, 4321, order, mode, dishes_, modifiers_, now,
                               linesLeftOut_);
    EXPECT_EQ(message_.size(), kVDUMessageBytes);
    return ParseVDUMessageBytes(message_.data(), message_.size());
  }

  const uint8_t* AreaAt(size_t offset) const { return message_.data() + kVDUCaptionBytes + offset; }

  static constexpr double kNow = 45000.5;  // 2023-03-15 12:00
  q2test::ScopedCodePage codePage_{1251};
  q2test::ScopedLog log_{0};
  tValue kitchen_{1, 12, "Kitchen", nullptr};
  tValue bar_{2, 0x10005, "Bar", nullptr};
  tValueList dishes_, modifiers_;
  tVDUSettings settings_;
  std::vector<uint8_t> message_;
  int32_t linesLeftOut_ = -1;
};

TEST_F(VDURecords, DishWithModifierGivesThreeRecordsAt0And9And130) {
  settings_.Unit = 3;
  settings_.VDUUnit = 0x105;  // low 8 bits shown
  tZoltOrder order;
  order.Menu.push_back(Item(miDish, 101, 2.0));
  order.Menu[0]->Children.push_back(Item(miModifier, 201));
  const tVDUMessageView v = Build(order);

  EXPECT_EQ(v.Caption.CaptLen, 9071);
  EXPECT_EQ(v.Caption.VCCommand, 2);
  EXPECT_EQ(v.Caption.UnitNum, 5);
  EXPECT_EQ(v.Caption.StartSession, 0x00030007);
  EXPECT_EQ(v.Caption.ExtraOrderId, 4321);
  EXPECT_EQ(v.Caption.LCnt, 3);
  ASSERT_EQ(v.Records.size(), 3u);
  EXPECT_EQ(linesLeftOut_, 0);

  // Extra record: 08 07 02 00 and the file number, then one zero byte.
  EXPECT_EQ(std::memcmp(AreaAt(0), "\x08\x07\x02\x00\xE1\x10\x00\x00\x00", 9), 0);

  const tVDURecordView& dish = v.Records[1];
  EXPECT_EQ(dish.Offset, 9u);
  EXPECT_EQ(dish.Len, 120);
  EXPECT_EQ(dish.Class, 1);
  EXPECT_EQ(dish.SIFR, 5001);
  EXPECT_EQ(dish.Code, "5001");
  EXPECT_EQ(dish.Qnt, 2.0);
  EXPECT_EQ(dish.Stream, 12);
  EXPECT_EQ(dish.Name, "\xC1\xEE\xF0\xF9");  // Борщ in 1251
  const tVDURecordView& modifier = v.Records[2];
  EXPECT_EQ(modifier.Offset, 130u);
  EXPECT_EQ(modifier.Class, 0);
  EXPECT_EQ(modifier.SIFR, 0);  // modifier entries carry Code 0
  EXPECT_EQ(modifier.Code, "0");
  EXPECT_EQ(modifier.Qnt, 1.0);
  EXPECT_EQ(modifier.Stream, 0);
  EXPECT_EQ(modifier.Name, "No onion");
  EXPECT_EQ(*AreaAt(129), 0);
  // Nothing after the last record.
  for (size_t i = 130 + 120; i < kVDUAreaBytes; ++i) ASSERT_EQ(*AreaAt(i), 0) << i;
}

TEST_F(VDURecords, ComboQuantityReachesItsComponentsButNotADishsComponents) {
  tZoltOrder order;
  order.Menu.push_back(Item(miContainer, 102, 3.0));
  order.Menu[0]->Children.push_back(Item(miComponent, 202, 9.0));
  order.Menu[0]->Children.push_back(Item(miComponent, 203, 9.0));
  // A component's own children inherit the combo's level: a nested component carries 3 too.
  order.Menu[0]->Children[1]->Children.push_back(Item(miComponent, 201, 9.0));
  order.Menu.push_back(Item(miDish, 103, 4.0));
  order.Menu[1]->Children.push_back(Item(miComponent, 202, 9.0));
  const tVDUMessageView v = Build(order);

  ASSERT_EQ(v.Records.size(), 7u);
  struct Expect {
    uint8_t Class;
    double Qnt;
    uint16_t SIFR;
    const char* Code;
    int16_t Stream;
  };
  const Expect expected[] = {
      {3, 3.0, static_cast<uint16_t>(-123456), "-123", 0},  // no link: stream 0
      {4, 3.0, 0, "0", 0},
      {4, 3.0, 0, "0", 0},
      {4, 3.0, 0, "0", 0},
      {1, 4.0, 70000 & 0xFFFF, "7000", 5},  // stream: low 16 bits of the class code
      {4, 1.0, 0, "0", 0},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    const tVDURecordView& r = v.Records[i + 1];
    SCOPED_TRACE("record " + std::to_string(i + 1));
    EXPECT_EQ(r.Offset, 9 + 121 * i);
    EXPECT_EQ(r.Class, expected[i].Class);
    EXPECT_EQ(r.Qnt, expected[i].Qnt);
    EXPECT_EQ(r.SIFR, expected[i].SIFR);
    EXPECT_EQ(r.Code, expected[i].Code);
    EXPECT_EQ(r.Stream, expected[i].Stream);
  }
  EXPECT_EQ(v.Records[3].Name, "Fanta");
  EXPECT_EQ(v.Records[4].Name, "No onion");

  // A component takes the quantity its level was called with, not that of a combo line
  // before it in the same list.
  tZoltOrder loose;
  loose.Menu.push_back(Item(miContainer, 102, 3.0));
  loose.Menu.push_back(Item(miComponent, 202, 9.0));
  const tVDUMessageView l = Build(loose);
  ASSERT_EQ(l.Records.size(), 3u);
  EXPECT_EQ(l.Records[2].Qnt, 1.0);
}

TEST_F(VDURecords, ItemsMissingFromTheirListCarryTheirOwnId) {
  tZoltOrder order;
  order.Menu.push_back(Item(miDish, 123456, 1.0));
  order.Menu.push_back(Item(miDish, 201, 1.0));      // a modifier's Id is no dish
  order.Menu.push_back(Item(miModifier, 101, 1.0));  // and a dish's Id no modifier
  order.Menu.push_back(Item(miDish, -5, 1.0));
  const tVDUMessageView v = Build(order);
  ASSERT_EQ(v.Records.size(), 5u);
  EXPECT_EQ(v.Records[1].SIFR, 123456 & 0xFFFF);
  EXPECT_EQ(v.Records[1].Code, "1234");
  EXPECT_EQ(v.Records[1].Name, "123456");
  EXPECT_EQ(v.Records[1].Stream, 0);
  EXPECT_EQ(v.Records[2].Name, "201");
  EXPECT_EQ(v.Records[3].Name, "101");
  EXPECT_EQ(v.Records[4].SIFR, 65531);
  EXPECT_EQ(v.Records[4].Code, "-5");
  EXPECT_EQ(v.Records[4].Name, "-5");
}

TEST_F(VDURecords, WaiterChoiceAndLength) {
  struct Case {
    bool Delivery;
    const char* DelivWaiter;
    const char* VDUWaiter;
    std::string Expected;  // 8-bit, 1251
  };
  const std::string cyrillic60 = [] {
    std::string s;
    for (int i = 0; i < 60; ++i) s += "Ж";
    return s;
  }();
  const Case cases[] = {
      {true, "Courier", "Counter", "Courier"},
      {true, "", "Counter", "Counter"},
      {false, "Courier", "Counter", "Counter"},
      {false, "", "", ""},
      {false, "", "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01234567",
       "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX"},
      // 60 characters of 2 UTF-8 bytes each: converted first, then cut to 50 bytes.
      {false, "", cyrillic60.c_str(), std::string(50, '\xC6')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.VDUWaiter);
    settings_.DelivWaiter = c.DelivWaiter;
    settings_.VDUWaiter = c.VDUWaiter;
    tZoltOrder order;
    if (c.Delivery) order.delivery.emplace_back();
    const tVDUMessageView v = Build(order);
    EXPECT_EQ(v.Caption.Waiter, c.Expected);
    EXPECT_EQ(v.Caption.LCnt, 1);
  }
}

TEST_F(VDURecords, LongNamesAreCutTo100AfterConverting) {
  std::string name;
  for (int i = 0; i < 120; ++i) name += "Щ";
  AddValue(dishes_, 150, 1, name);
  tZoltOrder order;
  order.Menu.push_back(Item(miDish, 150, 1.0));
  order.Menu.push_back(Item(miDish, 103, 1.0));
  const tVDUMessageView v = Build(order);
  ASSERT_EQ(v.Records.size(), 3u);
  EXPECT_EQ(*AreaAt(9 + 19), 100);
  EXPECT_EQ(v.Records[1].Name, std::string(100, '\xD9'));
  EXPECT_EQ(v.Records[2].Offset, 130u);  // the next record is where it belongs
  EXPECT_EQ(v.Records[2].Name, "Chips");
}

TEST_F(VDURecords, TimeFields) {
  // SysDate rounds the day count since 2000-01-01, so it steps up at noon.
  tDateTimeFields at11{2024, 3, 10, 11, 0, 0, 0};
  tDateTimeFields at13{2024, 3, 10, 13, 0, 0, 0};
  tZoltOrder order;
  const tVDUMessageView morning = Build(order, 2, EncodeDateTime(at11));
  const tVDUMessageView afternoon = Build(order, 2, EncodeDateTime(at13));
  const int32_t wholeDays = static_cast<int32_t>(EncodeDateTime({2024, 3, 10}) - 36526);
  EXPECT_EQ(morning.Caption.SysDate, wholeDays);
  EXPECT_EQ(afternoon.Caption.SysDate, wholeDays + 1);
  EXPECT_EQ(morning.Caption.SystemTime, 11 * 360000);
  EXPECT_EQ(afternoon.Caption.SystemTime, 13 * 360000);
  const tVDUMessageView late = Build(order, 2, EncodeDateTime({2024, 3, 10, 23, 59, 59, 990}));
  EXPECT_EQ(late.Caption.SystemTime, 8639999);
}

TEST_F(VDURecords, LinesBeyondTheAreaAreLeftOutAndCounted) {
  struct Case {
    int Dishes;
    int ModifiersEach;
    int Written;
    int LeftOut;
  };
  const Case cases[] = {{74, 0, 74, 0}, {75, 0, 74, 1}, {80, 0, 74, 6}, {40, 1, 74, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Dishes) + " dishes");
    tZoltOrder order;
    for (int i = 0; i < c.Dishes; ++i) {
      order.Menu.push_back(Item(miDish, 101, 1.0));
      for (int k = 0; k < c.ModifiersEach; ++k) {
        order.Menu.back()->Children.push_back(Item(miModifier, 201));
      }
    }
    const tVDUMessageView v = Build(order);
    EXPECT_EQ(v.Caption.LCnt, c.Written + 1);
    EXPECT_EQ(linesLeftOut_, c.LeftOut);
    EXPECT_EQ(v.Records.back().Offset, 9u + 121u * static_cast<size_t>(c.Written - 1));
    EXPECT_EQ(v.Records.back().Offset, 8842u);
    for (size_t i = 8842 + 120; i < kVDUAreaBytes; ++i) ASSERT_EQ(*AreaAt(i), 0) << i;
  }
}

TEST_F(VDURecords, GenericFormHasNoExtraRecord) {
  settings_.VDUUnit = 9;
  tZoltOrder order;
  order.Menu.push_back(Item(miDish, 101, 1.0));
  const tVDUMessageView v = Build(order, 1);
  EXPECT_EQ(v.Caption.VCCommand, 5);
  EXPECT_EQ(v.Caption.UnitNum, 61);
  EXPECT_EQ(v.Caption.StartSession, 4321);
  EXPECT_EQ(v.Caption.LCnt, 1);
  ASSERT_EQ(v.Records.size(), 1u);
  EXPECT_EQ(v.Records[0].Offset, 0u);
  EXPECT_EQ(v.Records[0].Class, 1);
}

TEST(VDUSQ, CashGroupAboveSequence) {
  struct Case {
    int32_t CashGroup, Seq, Expected;
  };
  const Case cases[] = {
      {1, 5, 65541},
      {0x12345, 70000, 0x23451170},  // 70000 mod 65536 = 4464
      {0, 65536, 0},
      {7, -2, -2},  // a negative remainder's sign bits cover the cash group
      {-1, 1, static_cast<int32_t>(0xFFFF0001u)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeVDUSQ(c.CashGroup, c.Seq), c.Expected) << c.CashGroup << "/" << c.Seq;
  }
}

// The whole step, against a receiver on loopback.
class SendToVDUTest : public VDURecords {
 protected:
  SendToVDUTest() {
    settings_.Address = receiver_.AddressText();
    settings_.Unit = 4;
    settings_.EQType = 0x102;  // low 8 bits: Numeric
    settings_.VDUId = 3;
    settings_.VDUWaiter = "Anna";
    order_.Menu.push_back(Item(miDish, 101, 2.0));
  }
  q2test::LoopbackReceiver receiver_;
  tZoltOrder order_;
};

TEST_F(SendToVDUTest, FprintSendsTheMessageAndDumpsTheFirstRecordBytes) {
  q2test::ScopedLog log(2);
  std::string eq = "unset";
  SendToVDU(settings_, 305, 1, 1234, 77, order_, 2, dishes_, modifiers_, eq);
  EXPECT_EQ(eq, MakeEQNumber(MakeVDUSQ(1, 305), 4, 2));
  EXPECT_EQ(eq, "441");  // VDUSQ 65841: digits 41

  const auto datagrams = receiver_.Drain();
  ASSERT_EQ(datagrams.size(), 9u);
  tVDUReassembler reassembler;
  std::optional<tVDUAssembled> message;
  for (const auto& d : datagrams) {
    const auto parsed = ParseVDUDatagram(d.data(), d.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->DisplayId, 3);
    message = reassembler.Add(*parsed);
  }
  ASSERT_TRUE(message);
  UndoCodebuf(message->Bytes.data(), message->Bytes.size(), 77);
  const tVDUMessageView v = ParseVDUMessageBytes(message->Bytes.data(), message->Bytes.size());
  EXPECT_EQ(v.Caption.StartSession, 65841);
  EXPECT_EQ(v.Caption.UnitNum, 4);  // VDUUnit 0 shows Unit
  EXPECT_EQ(v.Caption.Waiter, "Anna");
  ASSERT_EQ(v.Records.size(), 2u);
  EXPECT_EQ(v.Records[1].Name, "\xC1\xEE\xF0\xF9");

  // The area up to its first zero byte: len 8, cl 7, the low byte of ExtraType.
  EXPECT_EQ(ReadFileBytes(log.Folder() + "vduline.txt"), "\x08\x07\x02");
  const std::string text = log.Text();
  for (const char* line :
       {"NOTE    thrd.vdu: VDUSQ=65841 EQ=441", "NOTE    thrd.vdu: doing VDU magic",
        "DEBUG2  thrd.vdu:  fprint vdu part", "DEBUG2  vdu: -- caption --",
        "DEBUG2  vdu: captlen=9071", "DEBUG2  vdu: LCnt=2", "DEBUG2  vdu: dr.FileNumber=1234",
        "DEBUG2  vdu: item was in dict", "DEBUG2  vdu: dr.Qnt=2", "DEBUG2  vdu: dr.Name=Борщ",
        "NOTE    thrd.vdu: sending message to VDU"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
}

TEST_F(SendToVDUTest, OtherModesGiveTheQueueNumberButNoMessage) {
  q2test::ScopedLog log(2);
  for (uint8_t mode : {0, 3}) {
    std::string eq;
    SendToVDU(settings_, 7, 0, 1234, 77, order_, mode, dishes_, modifiers_, eq);
    EXPECT_EQ(eq, "407");
  }
  EXPECT_TRUE(receiver_.Drain().empty());
  EXPECT_FALSE(FileExists(log.Folder() + "vduline.txt"));
  const std::string text = log.Text();
  EXPECT_NE(text.find("thrd.vdu: VDUSQ=7 EQ=407"), std::string::npos);
  EXPECT_EQ(text.find("doing VDU magic"), std::string::npos);
}

TEST_F(SendToVDUTest, FullMessageWarnsAndLowLogLevelWritesNoDump) {
  q2test::ScopedLog log(1);
  for (int i = 0; i < 79; ++i) order_.Menu.push_back(Item(miDish, 103, 1.0));
  std::string eq;
  SendToVDU(settings_, 1, 1, 1234, 77, order_, 2, dishes_, modifiers_, eq);
  EXPECT_EQ(receiver_.Drain().size(), 9u);
  EXPECT_FALSE(FileExists(log.Folder() + "vduline.txt"));
  EXPECT_NE(log.Text().find("WARNING thrd.vdu: the display message is full, 6 lines left out"),
            std::string::npos)
      << log.Text();
}

TEST_F(SendToVDUTest, FailuresReachTheCallerAfterTheQueueNumber) {
  std::string eq;
  try {
    SendToVDU(settings_, 305, 1, 1234, 0, order_, 2, dishes_, modifiers_, eq);
    FAIL() << "no failure raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "codebuf: rest code is invalid");
  }
  EXPECT_EQ(eq, "441");
  settings_.Address = "kitchen:11900";
  EXPECT_THROW(SendToVDU(settings_, 305, 1, 1234, 77, order_, 2, dishes_, modifiers_, eq),
               std::runtime_error);
  EXPECT_TRUE(receiver_.Drain().empty());
}

}  // namespace
}  // namespace q2
