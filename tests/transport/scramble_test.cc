// The generator, the block routines and the decoding reader. Fixed vectors come from a
// separate model of the routines.
#include "transport/scramble.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "transport/stream.h"
#include "transport/test_util.h"

namespace q2 {
namespace {

using test::FromHex;
using test::Hex;

std::string Scrambled(std::string data, const std::string& key, uint32_t seedBase) {
  ScrambleBlock(reinterpret_cast<uint8_t*>(data.data()), data.size(), key, seedBase);
  return data;
}

std::string Descrambled(std::string data, const std::string& key, uint32_t seedBase) {
  DescrambleBlock(reinterpret_cast<uint8_t*>(data.data()), data.size(), key, seedBase);
  return data;
}

TEST(NextRandomTest, LinearCongruentialStep) {
  uint32_t seed = 0x12345678;
  EXPECT_EQ(NextRandom(256, seed), 0xCBu);  // the new seed's top byte
  EXPECT_EQ(seed, 0xCB5B9059u);
  EXPECT_EQ(NextRandom(1000, seed), 476u);
  EXPECT_EQ(seed, 0x79FFB5BEu);
  seed = 0;
  EXPECT_EQ(NextRandom(256, seed), 0u);
  EXPECT_EQ(seed, 1u);
}

TEST(ScrambleBlockTest, KnownBlocks) {
  // One-byte key "k": key block (1, 'k', 0, 0), key bytes alternating 1, 'k'.
  EXPECT_EQ(Hex(Scrambled("hello!", "k", 0)), "B2 0B 10 AC 3A 60");
  EXPECT_EQ(Hex(Scrambled("The quick brown fox", "Zolt5", 0xCAFEBABE)),
            Hex(FromHex("975dae0bb7fa0254f532b34a979faf206a0486")));
}

TEST(ScrambleBlockTest, RoundTripsForEveryLength) {
  const std::string keys[] = {
      "k", "ab", "abc", "abcd", "a longer key text 123", std::string(300, 'q')};
  const uint32_t seedBases[] = {0, 1, 0xDEADBEEF};
  const std::string source = test::RandomBytes(300, 7);
  for (const std::string& key : keys) {
    for (uint32_t seedBase : seedBases) {
      for (size_t n = 0; n <= 300; ++n) {
        const std::string plain = source.substr(0, n);
        const std::string coded = Scrambled(plain, key, seedBase);
        ASSERT_EQ(Descrambled(coded, key, seedBase), plain)
            << "key " << key.size() << " seed base " << seedBase << " length " << n;
        if (n >= 4) {
          ASSERT_NE(coded, plain) << n;
          ASSERT_NE(Descrambled(coded, key, seedBase + 1), plain) << n;
          ASSERT_NE(Descrambled(coded.substr(0, n - 1), key, seedBase), plain.substr(0, n - 1))
              << n;
        }
      }
    }
  }
}

TEST(ScrambleBlockTest, EmptyKeyAndEmptyBlockChangeNothing) {
  const std::string data = test::RandomBytes(1000, 8);
  EXPECT_EQ(Scrambled(data, "", 12345), data);
  EXPECT_EQ(Descrambled(data, "", 12345), data);
  EXPECT_EQ(Scrambled("", "key", 1), "");
}

TEST(ScrambleBlockTest, OnlyTheFirst255KeyBytesCount) {
  const std::string key(255, 'x');
  const std::string data = test::RandomBytes(64, 9);
  EXPECT_EQ(Scrambled(data, key + "yyy", 5), Scrambled(data, key, 5));
  EXPECT_NE(Scrambled(data, key.substr(0, 254) + "y", 5), Scrambled(data, key, 5));
}

std::unique_ptr<TToolMemoryStream> StreamOf(const std::string& bytes) {
  auto s = std::make_unique<TToolMemoryStream>();
  s->Write(bytes.data(), bytes.size());
  return s;
}

TEST(DecodeStreamTest, KnownBytes) {
  // One-byte key: the reader's block is (1, 0, 0, 0), key bytes alternating 1, 0.
  tDecodeStream one(StreamOf(std::string(8, '\0')), "k", 8);
  std::string out(8, '\0');
  EXPECT_EQ(one.Read(out.data(), 8), 8u);
  EXPECT_EQ(Hex(out), Hex(FromHex("497feed5dd7ee90e")));

  std::string plain;
  for (int i = 0; i < 20; ++i) plain += static_cast<char>(i);
  tDecodeStream four(StreamOf(plain), "abcd", 20);
  out.assign(20, '\0');
  EXPECT_EQ(four.Read(out.data(), 20), 20u);
  EXPECT_EQ(Hex(out), Hex(FromHex("772a3db7e23251346c305fdce2f94804c1725694")));
}

TEST(DecodeStreamTest, PiecesGiveTheSameBytesAsOneRead) {
  const std::string coded = test::RandomBytes(20, 10);
  for (const std::string key : {"k", "key", "a longer key"}) {
    tDecodeStream whole(StreamOf(coded), key, 20);
    std::string a(20, '\0');
    ASSERT_EQ(whole.Read(a.data(), 20), 20u);
    tDecodeStream pieces(StreamOf(coded), key, 20);
    std::string b(20, '\0');
    ASSERT_EQ(pieces.Read(b.data(), 10), 10u);
    ASSERT_EQ(pieces.Read(b.data() + 10, 7), 7u);
    ASSERT_EQ(pieces.Read(b.data() + 17, 10), 3u);  // only 3 left
    EXPECT_EQ(a, b) << key;
    EXPECT_NE(a, coded);
  }
}

TEST(DecodeStreamTest, DecodingTwiceGivesTheBytesBack) {
  // No feedback: the same pass codes and decodes (a server codes with it).
  const std::string plain = test::RandomBytes(500, 11);
  tDecodeStream coder(StreamOf(plain), "secret", 500);
  std::string coded(500, '\0');
  coder.Read(coded.data(), coded.size());
  tDecodeStream decoder(StreamOf(coded), "secret", 500);
  std::string back(500, '\0');
  decoder.Read(back.data(), back.size());
  EXPECT_EQ(back, plain);
}

TEST(DecodeStreamTest, SeekRules) {
  tDecodeStream s(StreamOf(test::RandomBytes(30, 12)), "k", 30);
  auto notImplemented = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no failure";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "not implemented");
    }
  };
  notImplemented([&] { s.Seek(5, tSeekOrigin::soBeginning); });
  EXPECT_EQ(s.Seek(0, tSeekOrigin::soBeginning), 0);
  char buf[10];
  s.Read(buf, 10);
  EXPECT_EQ(s.Seek(0, tSeekOrigin::soCurrent), 10);
  EXPECT_EQ(s.Seek(10, tSeekOrigin::soBeginning), 10);
  notImplemented([&] { s.Seek(0, tSeekOrigin::soBeginning); });
  notImplemented([&] { s.Seek(0, tSeekOrigin::soEnd); });
  notImplemented([&] { s.Size(); });
  notImplemented([&] { s.Write("x", 1); });
}

}  // namespace
}  // namespace q2
