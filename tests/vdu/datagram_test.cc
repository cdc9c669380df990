// Datagram sending, the message counter, codebuf and its inverse, the address setting.
#include "vdu/datagram.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "vdu/decoder.h"
#include "vdu/vdu_test_util.h"

namespace q2 {
namespace {

// Read during static initialisation, before any test can have sent a message: the counter
// is constant-initialised, so this sees the value the process started with.
const int32_t kCounterAtProcessStart = VDUMessageCounter();

std::vector<uint8_t> Pattern(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  return bytes;
}

uint16_t U16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d[at] | d[at + 1] << 8);
}

TEST(VDUCounter, StartsAt31999AndCarries32000ThenZero) {
  EXPECT_EQ(kCounterAtProcessStart, 31999);
  SetVDUMessageCounter(31999);
  EXPECT_EQ(AdvanceVDUMessageCounter(), 32000);
  EXPECT_EQ(AdvanceVDUMessageCounter(), 0);
  EXPECT_EQ(AdvanceVDUMessageCounter(), 1);
  SetVDUMessageCounter(31998);
  EXPECT_EQ(AdvanceVDUMessageCounter(), 31999);
}

TEST(VDUCounter, FirstMessageOfARunIsNumbered32000AndTheNextZero) {
  q2test::LoopbackReceiver receiver;
  SetVDUMessageCounter(31999);  // as at process start
  std::vector<uint8_t> message = Pattern(10);
  SendVDUMessage(message.data(), message.size(), 17, 0, receiver.Address());
  message = Pattern(10);
  SendVDUMessage(message.data(), message.size(), 17, 0, receiver.Address());
  const auto got = receiver.Drain();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(U16(got[0], 3), 32000);
  EXPECT_EQ(U16(got[1], 3), 0);
}

struct ChunkCase {
  size_t Length;
  std::vector<size_t> DatagramSizes;
};

class VDUChunking : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(VDUChunking, CutsIntoHeaderedChunksOfOneMessageNumber) {
  const ChunkCase& c = GetParam();
  q2test::LoopbackReceiver receiver;
  constexpr int32_t kRestCode = 4711;
  constexpr uint8_t kDisplayId = 0xA5;
  const std::vector<uint8_t> original = Pattern(c.Length);
  std::vector<uint8_t> message = original;
  const int32_t before = VDUMessageCounter();

  SendVDUMessage(message.data(), message.size(), kRestCode, kDisplayId, receiver.Address());

  const int32_t number = VDUMessageCounter();
  EXPECT_EQ(number, before == 32000 ? 0 : before + 1);
  const auto got = receiver.Drain();
  ASSERT_EQ(got.size(), c.DatagramSizes.size());
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < got.size(); ++i) {
    const auto& d = got[i];
    SCOPED_TRACE("datagram " + std::to_string(i));
    ASSERT_EQ(d.size(), c.DatagramSizes[i]);
    EXPECT_EQ(d[0], 0xF0);
    EXPECT_EQ(d[1], 0xDE);
    EXPECT_EQ(d[2], kDisplayId);
    EXPECT_EQ(U16(d, 3), static_cast<uint16_t>(number));
    EXPECT_EQ(U16(d, 5), 1);
    EXPECT_EQ(d[7], i);
    EXPECT_EQ(d[8], i + 1 == got.size() ? 1 : 0);
    payload.insert(payload.end(), d.begin() + 9, d.end());
  }
  // The payloads are the scrambled message, which is also what the caller's buffer holds now.
  EXPECT_EQ(payload, message);
  if (c.Length > 0) {
    EXPECT_NE(payload, original);
  }
  UndoCodebuf(payload.data(), payload.size(), kRestCode);
  EXPECT_EQ(payload, original);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, VDUChunking,
    ::testing::Values(ChunkCase{9071, {1033, 1033, 1033, 1033, 1033, 1033, 1033, 1033, 888}},
                      ChunkCase{1024, {1033}}, ChunkCase{1025, {1033, 10}}, ChunkCase{1, {10}},
                      ChunkCase{0, {}}),
    [](const ::testing::TestParamInfo<ChunkCase>& info) {
      return "Bytes" + std::to_string(info.param.Length);
    });

TEST(VDUSend, RestCodeZeroRaisesBeforeSendingButAdvancesTheCounter) {
  q2test::LoopbackReceiver receiver;
  SetVDUMessageCounter(100);
  const std::vector<uint8_t> original = Pattern(2000);
  std::vector<uint8_t> message = original;
  try {
    SendVDUMessage(message.data(), message.size(), 0, 1, receiver.Address());
    FAIL() << "no failure raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "codebuf: rest code is invalid");
  }
  EXPECT_EQ(VDUMessageCounter(), 101);
  EXPECT_EQ(message, original);
  EXPECT_TRUE(receiver.Drain().empty());
}

TEST(VDUSend, UsesTheCallersSocketAndLeavesItOpen) {
  q2test::LoopbackReceiver receiver;
  tVDUSocket socket = CreateVDUSocket();
  std::vector<uint8_t> message = Pattern(30);
  SendVDUMessage(message.data(), message.size(), 5, 2, receiver.Address(), &socket);
  message = Pattern(30);
  SendVDUMessage(message.data(), message.size(), 5, 2, receiver.Address(), &socket);
  EXPECT_TRUE(socket.IsOpen());
  EXPECT_EQ(receiver.Drain().size(), 2u);
}

TEST(VDURandom, FollowsTheLinearCongruentialStep) {
  // S := S * 134775813 + 1; result = (S * range) >> 32. From S = 0: S = 1, then 134775814.
  tVDURandom random(0);
  EXPECT_EQ(random.Next(1u << 31), 0u);  // S = 1: (1 * 2^31) >> 32
  EXPECT_EQ(random.Next(256), 134775814u >> 24);
  tVDURandom wrap(0xFFFFFFFFu);  // S = 2^32 - 134775813 + 1 (mod 2^32)
  EXPECT_EQ(wrap.Next(0x10000), (0x100000000ull - 134775812ull) >> 16);
}

TEST(VDUPermutation, DrawsEightTimesAndGivesAPermutation) {
  for (uint32_t seed : {0u, 1u, 0x2F6A3C51u, 0xFFFFFFFFu}) {
    tVDURandom random(seed);
    const tBitPermutation p = MakeBitPermutation(random);
    EXPECT_EQ(std::set<uint8_t>(p.begin(), p.end()).size(), 8u);
    EXPECT_LT(*std::max_element(p.begin(), p.end()), 8);
    tVDURandom reference(seed);
    for (int i = 0; i < 8; ++i) reference.Next(1);
    EXPECT_EQ(random.Next(1u << 31), reference.Next(1u << 31)) << "seed " << seed;
  }
}

TEST(VDUPermutation, PoolIsDrawnFromTheTopPositionDown) {
  // Next(j + 1) from S = 0 picks pool[r] for P[7], P[6], ...; recompute it with a plain list.
  tVDURandom random(0);
  const tBitPermutation p = MakeBitPermutation(random);
  tVDURandom draws(0);
  std::vector<uint8_t> pool = {0, 1, 2, 3, 4, 5, 6, 7};
  for (int j = 7; j >= 0; --j) {
    const uint32_t r = draws.Next(static_cast<uint32_t>(j) + 1);
    EXPECT_EQ(p[static_cast<size_t>(j)], pool[r]) << "position " << j;
    pool.erase(pool.begin() + r);
  }
}

TEST(VDUPermutation, ForwardMovesBitIToPAndTheInverseUndoesIt) {
  const tBitPermutation rotate = {1, 2, 3, 4, 5, 6, 7, 0};
  EXPECT_EQ(PermuteBits(0x81, rotate), 0x03);
  EXPECT_EQ(PermuteBits(0x01, rotate), 0x02);
  EXPECT_EQ(UnpermuteBits(0x03, rotate), 0x81);
  const tBitPermutation reverse = {7, 6, 5, 4, 3, 2, 1, 0};
  EXPECT_EQ(PermuteBits(0x01, reverse), 0x80);
  tVDURandom random(99);
  for (int k = 0; k < 4; ++k) {
    const tBitPermutation p = MakeBitPermutation(random);
    for (int v = 0; v < 256; ++v) {
      ASSERT_EQ(UnpermuteBits(PermuteBits(static_cast<uint8_t>(v), p), p), v);
    }
  }
}

TEST(VDUCodebuf, IsDeterministicAndKeyedByCodeAndLength) {
  const std::vector<uint8_t> original = Pattern(500);
  std::vector<uint8_t> a = original, b = original, c = original;
  codebuf(a.data(), a.size(), 12345);
  codebuf(b.data(), b.size(), 12345);
  codebuf(c.data(), c.size(), 12346);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  // The length enters the permutation seed: a shorter message is not a prefix of a longer.
  std::vector<uint8_t> shorter(original.begin(), original.begin() + 499);
  codebuf(shorter.data(), shorter.size(), 12345);
  EXPECT_FALSE(std::equal(shorter.begin(), shorter.end(), a.begin()));

  std::vector<uint8_t> empty;
  EXPECT_NO_THROW(codebuf(empty.data(), 0, 1));
  EXPECT_THROW(codebuf(a.data(), a.size(), 0), std::runtime_error);
  EXPECT_EQ(a, b);  // untouched by the failing call
}

TEST(VDUCodebuf, InverseRestoresForNegativeAndExtremeCodes) {
  for (int32_t code : {1, -1, 7, INT32_MAX, INT32_MIN, -0x2F6A3C51}) {
    std::vector<uint8_t> bytes = Pattern(9071);
    codebuf(bytes.data(), bytes.size(), code);
    UndoCodebuf(bytes.data(), bytes.size(), code);
    EXPECT_EQ(bytes, Pattern(9071)) << "rest code " << code;
  }
}

TEST(VDUCodebuf, MatchesThePublishedVector) {
  // The check vector given to display builders (docs/vdu-datagrams.md).
  std::vector<uint8_t> bytes = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  codebuf(bytes.data(), bytes.size(), 1);
  const std::vector<uint8_t> expected = {0x27, 0xBD, 0x87, 0x7A, 0x6B, 0xED, 0xF7, 0x41};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(MakeVDUKey(1),
            (std::array<uint8_t, 8>{0x40, 0x22, 0x7C, 0x7A, 0x61, 0x0A, 0x26, 0x82}));
}

struct AddressCase {
  const char* Text;
  const char* Expected;  // nullptr: invalid
};

TEST(VDUAddressSetting, ParsesHostAndPort) {
  const AddressCase cases[] = {
      {"", "255.255.255.255:11900"},
      {"   ", "255.255.255.255:11900"},
      {"255.255.255.255:11900", "255.255.255.255:11900"},
      {"127.0.0.1", "127.0.0.1:11900"},
      {" 127.0.0.1:5000 ", "127.0.0.1:5000"},
      {"192.168.1.255:65535", "192.168.1.255:65535"},
      {"127.0.0.1:1", "127.0.0.1:1"},
      {"localhost", nullptr},
      {"127.0.0.1:", nullptr},
      {"127.0.0.1:0", nullptr},
      {"127.0.0.1:65536", nullptr},
      {"127.0.0.1:12a", nullptr},
      {"127.0.0.1:-5", nullptr},
      {"127.0.0.1:5:6", nullptr},
      {"127.0.0", nullptr},
      {"256.0.0.1", nullptr},
      {":11900", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    if (c.Expected != nullptr) {
      EXPECT_EQ(FormatVDUAddress(ParseVDUAddress(c.Text)), c.Expected);
    } else {
      try {
        ParseVDUAddress(c.Text);
        ADD_FAILURE() << "accepted";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), std::string("VDUAddress is invalid: \"") + c.Text + "\"");
      }
    }
  }
}

}  // namespace
}  // namespace q2
