// The order map file: records, compaction, index, lock and flushing.
#include "cashserver/map_list.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/files.h"

namespace q2 {
namespace {

const std::string kGuidA = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";
const std::string kGuidB = "{FFEEDDCC-BBAA-9988-7766-554433221100}";
constexpr double kNow = 45000.25;  // a fixed "now" for every test

class MapList : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/q2map_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/Quillon2.map";
    SetNowForTesting(kNow);
  }
  void TearDown() override {
    SetNowForTesting(0);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  std::string Bytes() const { return FileExists(path_) ? ReadFileBytes(path_) : ""; }

  // One 29-byte record: flag, Created, the GUID of kGuidA, order id.
  static std::string Record(uint8_t flag, double created, int32_t orderId,
                            const std::string& guid = kGuidA) {
    std::string r(29, '\0');
    r[0] = static_cast<char>(flag);
    uint64_t bits;
    std::memcpy(&bits, &created, 8);
    for (int i = 0; i < 8; ++i) r[1 + i] = static_cast<char>(bits >> (8 * i));
    tGUID g = StringToGUID(guid);
    for (int i = 0; i < 4; ++i) r[9 + i] = static_cast<char>(g.D1 >> (8 * i));
    for (int i = 0; i < 2; ++i) r[13 + i] = static_cast<char>(g.D2 >> (8 * i));
    for (int i = 0; i < 2; ++i) r[15 + i] = static_cast<char>(g.D3 >> (8 * i));
    std::memcpy(&r[17], g.D4, 8);
    for (int i = 0; i < 4; ++i)
      r[25 + i] = static_cast<char>(static_cast<uint32_t>(orderId) >> (8 * i));
    return r;
  }

  std::vector<int32_t> IndexIds(tMapList& map) {
    std::vector<int32_t> ids;
    for (int32_t i = 0; i < map.Count(); ++i) {
      tMapValue v;
      map.GetIdxValue(i, v);
      ids.push_back(v.OrderId);
    }
    return ids;
  }

  std::string dir_, path_;
};

TEST_F(MapList, NewFileIsCreatedEmptyAndFindAnswersZero) {
  tMapList map(path_);
  EXPECT_TRUE(FileExists(path_));
  EXPECT_EQ(Bytes(), "");
  tMapValue v;
  v.Created = 7;
  v.OrderId = 5;
  map.Find(5, v);
  EXPECT_EQ(v.OrderId, 0);
  EXPECT_EQ(v.Created, 7);  // the rest is left as it was
}

TEST_F(MapList, RecordBytesFollowTheLayout) {
  {
    tMapList map(path_);
    EXPECT_TRUE(map.Append(kGuidA, -2));
  }
  const unsigned char expected[29] = {
      0x00,                                            // flag
      0x00, 0x00, 0x00, 0x00, 0x08, 0xF9, 0xE5, 0x40,  // 45000.25 as an IEEE double, LE
      0x3D, 0x2C, 0x1B, 0x0A,                          // D1 0A1B2C3D
      0x5F, 0x4E,                                      // D2 4E5F
      0x71, 0x60,                                      // D3 6071
      0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9,  // D4 in order
      0xFE, 0xFF, 0xFF, 0xFF,                          // order id -2
  };
  EXPECT_EQ(Bytes(), std::string(reinterpret_cast<const char*>(expected), 29));
  EXPECT_EQ(Record(0, kNow, -2), Bytes());  // the helper agrees with the table
}

TEST_F(MapList, AppendFindRemoveAndReopen) {
  {
    tMapList map(path_);
    EXPECT_TRUE(map.Append(kGuidA, 5));
    EXPECT_TRUE(map.Append(kGuidB, 6));
    tMapValue v;
    map.Find(5, v);
    EXPECT_EQ(v.OrderId, 5);
    EXPECT_EQ(GUIDToString(v.GUID), kGuidA);
    EXPECT_EQ(v.Created, kNow);
    map.Remove(5);
    map.Remove(99);  // absent: nothing
    map.Find(5, v);
    EXPECT_EQ(v.OrderId, 0);
    EXPECT_EQ(map.Count(), 1);
    // The change is on the file already, before the map is closed.
    EXPECT_EQ(Bytes(), Record(1, kNow, 5) + Record(0, kNow, 6, kGuidB));
  }
  tMapList map(path_);  // compaction drops the deleted record
  EXPECT_EQ(Bytes(), Record(0, kNow, 6, kGuidB));
  EXPECT_EQ(IndexIds(map), std::vector<int32_t>{6});
}

TEST_F(MapList, AppendOfAKnownIdRewritesItsRecord) {
  tMapList map(path_);
  EXPECT_TRUE(map.Append(kGuidA, 5));
  SetNowForTesting(kNow + 0.5);
  EXPECT_FALSE(map.Append(kGuidB, 5));
  EXPECT_EQ(Bytes(), Record(0, kNow + 0.5, 5, kGuidB));
  EXPECT_EQ(map.Count(), 1);
}

TEST_F(MapList, CompactionKeepsLiveRecordsYoungerThanEightDaysInFileOrder) {
  WriteFileBytes(path_, Record(0, kNow - (7 + 23.0 / 24), 1) +  // kept
                            Record(0, kNow - 8, 2) +            // dropped
                            Record(1, kNow, 3) +                // deleted
                            Record(7, kNow, 4) +                // any flag but 1 is live
                            Record(0, kNow + 8.5, 5) +          // 8 days ahead: dropped
                            Record(0, kNow + 7.5, 6));          // kept
  tMapList map(path_);
  EXPECT_EQ(Bytes(),
            Record(0, kNow - (7 + 23.0 / 24), 1) + Record(7, kNow, 4) + Record(0, kNow + 7.5, 6));
  EXPECT_EQ(IndexIds(map), (std::vector<int32_t>{1, 4, 6}));
}

TEST_F(MapList, IndexIsSortedByOrderIdWhateverTheFileOrder) {
  WriteFileBytes(path_, Record(0, kNow, 30) + Record(0, kNow, 10, kGuidB) + Record(0, kNow, 20));
  tMapList map(path_);
  EXPECT_EQ(IndexIds(map), (std::vector<int32_t>{10, 20, 30}));
  tMapValue v;
  map.Find(10, v);
  EXPECT_EQ(GUIDToString(v.GUID), kGuidB);
  EXPECT_THROW(map.GetIdxValue(3, v), std::out_of_range);
  // A new id goes to the end of the file and into its sorted place.
  EXPECT_TRUE(map.Append(kGuidA, 15));
  EXPECT_EQ(IndexIds(map), (std::vector<int32_t>{10, 15, 20, 30}));
  EXPECT_EQ(Bytes().substr(3 * 29), Record(0, kNow, 15));
}

TEST_F(MapList, RecordCutShortAtTheEndIsDropped) {
  const std::string whole = Record(0, kNow, 10) + Record(0, kNow, 20);
  WriteFileBytes(path_, whole + Record(0, kNow, 30).substr(0, 11));
  {
    tMapList map(path_);
    EXPECT_EQ(IndexIds(map), (std::vector<int32_t>{10, 20}));
    EXPECT_EQ(Bytes(), whole);
    EXPECT_TRUE(map.Append(kGuidA, 30));  // lands on a record boundary
  }
  tMapList map(path_);
  EXPECT_EQ(IndexIds(map), (std::vector<int32_t>{10, 20, 30}));
}

TEST_F(MapList, LiveRecordWithOrderIdZeroBreaksSearches) {
  WriteFileBytes(path_, Record(0, kNow, 0) + Record(0, kNow, 4));
  try {
    tMapList map(path_);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "map OrderId = 0");
  }
}

TEST_F(MapList, RefusedAppendsWriteNothing) {
  tMapList map(path_);
  const struct {
    std::string guid;
    int32_t orderId;
    std::string message;
  } cases[] = {
      {"0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", 5,
       "''0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9'' is not a valid GUID value"},
      {"", 5, "'''' is not a valid GUID value"},
      {kGuidA, 0, "map OrderId = 0"},
  };
  for (const auto& c : cases) {
    try {
      map.Append(c.guid, c.orderId);
      ADD_FAILURE() << c.guid;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(Bytes(), "");
  EXPECT_EQ(map.Count(), 0);
}

TEST_F(MapList, FileIsHeldExclusively) {
  auto first = std::make_unique<tMapList>(path_);
  try {
    tMapList second(path_);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path_), std::string::npos) << e.what();
  }
  // Another process fails the same way.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 1;
    try {
      tMapList other(path_);
    } catch (const std::runtime_error& e) {
      code = std::string(e.what()).find(path_) != std::string::npos ? 0 : 2;
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The refused openers left the file and the first holder untouched.
  EXPECT_TRUE(first->Append(kGuidA, 1));
  first.reset();
  tMapList again(path_);
  EXPECT_EQ(IndexIds(again), std::vector<int32_t>{1});
}

TEST(GUIDText, RoundTripAndMalformedForms) {
  tGUID g = StringToGUID("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}");
  EXPECT_EQ(g.D1, 0x0A1B2C3Du);
  EXPECT_EQ(g.D2, 0x4E5F);
  EXPECT_EQ(g.D3, 0x6071);
  EXPECT_EQ(g.D4[0], 0x82);
  EXPECT_EQ(g.D4[7], 0xF9);
  EXPECT_EQ(GUIDToString(g), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
  EXPECT_EQ(GUIDToString(tGUID()), "{00000000-0000-0000-0000-000000000000}");
  for (const char* bad :
       {"{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}", "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9} ",
        "(0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9)", "{0A1B2C3D-4E5F-6071-8293_A4B5C6D7E8F9}",
        "{0A1B2C3D-4E5F-6071-82G3-A4B5C6D7E8F9}", "{0A1B2C3D4-E5F-6071-8293-A4B5C6D7E8F9}",
        "{-A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}"}) {
    EXPECT_THROW(StringToGUID(bad), std::runtime_error) << bad;
  }
}

}  // namespace
}  // namespace q2
