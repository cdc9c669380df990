// LZW format vectors, round trips across widths and clears, and damaged input.
#include "transport/lzw.h"

#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "transport/stream.h"
#include "transport/test_util.h"

namespace q2 {
namespace {

using test::Hex;

std::string Compress(const std::string& plain) {
  TToolMemoryStream in, out;
  in.Write(plain.data(), plain.size());
  in.Seek(0, tSeekOrigin::soBeginning);
  EXPECT_EQ(LzCompress(in, out), kLzOk);
  return out.Bytes();
}

struct tDecoded {
  int status;
  std::string bytes;
  int64_t consumed;
};

tDecoded Decompress(const std::string& coded) {
  TToolMemoryStream in, out;
  in.Write(coded.data(), coded.size());
  in.Seek(0, tSeekOrigin::soBeginning);
  const int status = LzDecompress(in, out);
  return {status, out.Bytes(), in.Position()};
}

// Packs (code, width) pairs least significant bit first, as the format does.
std::string Pack(const std::vector<std::pair<uint32_t, int>>& codes) {
  std::string out;
  uint32_t acc = 0;
  int pending = 0;
  for (auto [code, width] : codes) {
    acc |= code << pending;
    pending += width;
    while (pending >= 8) {
      out += static_cast<char>(acc & 0xFF);
      acc >>= 8;
      pending -= 8;
    }
  }
  if (pending > 0) out += static_cast<char>(acc & 0xFF);
  return out;
}

// The code sequence of a compressed stream, following widen and clear codes.
std::vector<uint32_t> Codes(const std::string& coded) {
  std::vector<uint32_t> codes;
  uint64_t acc = 0;
  int pending = 0, width = 9;
  size_t pos = 0;
  for (;;) {
    while (pending < width && pos < coded.size()) {
      acc |= uint64_t{static_cast<uint8_t>(coded[pos++])} << pending;
      pending += 8;
    }
    if (pending < width) return codes;
    const uint32_t code = static_cast<uint32_t>(acc & ((1u << width) - 1));
    acc >>= width;
    pending -= width;
    codes.push_back(code);
    if (code == 256) return codes;
    if (code == 257) ++width;
    if (code == 258) width = 9;
  }
}

TEST(LzwTest, FormatVectors) {
  EXPECT_EQ(Hex(Compress("abc")), "61 C4 8C 01 08");
  EXPECT_EQ(Hex(Compress("AB")), "41 84 00 04");
  EXPECT_EQ(Compress(""), "");
  EXPECT_EQ(Hex(Compress("a")), "61 00 02");  // 0x61 and 256 in 9 bits each
  EXPECT_EQ(Decompress(Compress("abc")).bytes, "abc");
}

TEST(LzwTest, EmptySourceDecodesToNothing) {
  const tDecoded d = Decompress("");
  EXPECT_EQ(d.status, kLzOk);
  EXPECT_EQ(d.bytes, "");
}

TEST(LzwTest, CodeEqualToTheNextCode) {
  // "abababab": 'a' 'b' 259 ("ab"), then 261 ("aba") while 261 is the decoder's next code.
  const std::string coded = Compress("abababab");
  EXPECT_EQ(Codes(coded), (std::vector<uint32_t>{'a', 'b', 259, 261, 'b', 256}));
  const tDecoded d = Decompress(coded);
  EXPECT_EQ(d.status, kLzOk);
  EXPECT_EQ(d.bytes, "abababab");
}

TEST(LzwTest, RoundTripsAcrossWidthsAndClears) {
  struct tCase {
    const char* name;
    std::string data;
  };
  const tCase cases[] = {
      {"random", test::RandomBytes(300000, 21)},
      {"text", test::RepetitiveText(400000)},
      {"one byte repeated", std::string(200000, 'z')},
      {"all byte values",
       [] {
         std::string s;
         for (int r = 0; r < 50; ++r)
           for (int b = 0; b < 256; ++b) s += static_cast<char>((b * 7 + r) & 0xFF);
         return s;
       }()},
  };
  for (const tCase& c : cases) {
    const std::string coded = Compress(c.data);
    const std::vector<uint32_t> codes = Codes(coded);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes.back(), 256u) << c.name;
    const tDecoded d = Decompress(coded);
    EXPECT_EQ(d.status, kLzOk) << c.name;
    EXPECT_EQ(d.bytes.size(), c.data.size()) << c.name;
    EXPECT_TRUE(d.bytes == c.data) << c.name;
    EXPECT_EQ(d.consumed, static_cast<int64_t>(coded.size())) << c.name;
  }
  // Random data fills the dictionary: 10, 11 and 12-bit codes, then clear codes.
  const std::vector<uint32_t> codes = Codes(Compress(cases[0].data));
  int widens = 0, clears = 0;
  for (uint32_t code : codes) {
    widens += code == 257;
    clears += code == 258;
  }
  EXPECT_GE(clears, 2);
  EXPECT_EQ(widens, 3 * (clears + 1));
}

TEST(LzwTest, BytesAfterTheEndCodeAreNotRead) {
  const std::string coded = Compress("hello hello hello");
  const tDecoded d = Decompress(coded + "XYZ");
  EXPECT_EQ(d.status, kLzOk);
  EXPECT_EQ(d.bytes, "hello hello hello");
  EXPECT_EQ(d.consumed, static_cast<int64_t>(coded.size()));
}

TEST(LzwTest, CutDataGivesStatus2WithTheBytesSoFar) {
  const std::string plain = test::RepetitiveText(20000);
  const std::string coded = Compress(plain);
  for (size_t cut : {size_t{1}, size_t{2}, coded.size() / 3, coded.size() - 1}) {
    const tDecoded d = Decompress(coded.substr(0, cut));
    EXPECT_EQ(d.status, kLzBadSource) << cut;
    EXPECT_EQ(plain.rfind(d.bytes, 0), 0u) << cut;  // a prefix of the original
    if (cut > 2) {
      EXPECT_FALSE(d.bytes.empty()) << cut;
    }
  }
}

TEST(LzwTest, DamagedCodesGiveStatus2) {
  struct tCase {
    const char* name;
    std::vector<std::pair<uint32_t, int>> codes;
    std::string written;
  };
  const tCase cases[] = {
      {"widen at 12 bits",
       {{'a', 9}, {257, 9}, {257, 10}, {257, 11}, {257, 12}, {'b', 12}, {256, 12}},
       "a"},
      {"code above the next free one", {{'a', 9}, {'b', 9}, {300, 9}, {256, 9}}, "ab"},
      {"first code not a literal", {{259, 9}, {256, 9}}, ""},
      {"end code first", {{256, 9}}, ""},
      {"clear then no literal", {{'a', 9}, {258, 9}, {260, 9}, {256, 9}}, "a"},
  };
  for (const tCase& c : cases) {
    const tDecoded d = Decompress(Pack(c.codes));
    EXPECT_EQ(d.status, kLzBadSource) << c.name;
    EXPECT_EQ(d.bytes, c.written) << c.name;
  }
  // A clear code followed by a fresh start is valid.
  const tDecoded ok = Decompress(Pack({{'a', 9}, {257, 9}, {258, 10}, {'b', 9}, {256, 9}}));
  EXPECT_EQ(ok.status, kLzOk);
  EXPECT_EQ(ok.bytes, "ab");
}

// Accepts at most `limit` bytes in all.
class tLimitedStream final : public TToolMemoryStream {
 public:
  explicit tLimitedStream(size_t limit) : limit_(limit) {}
  size_t Write(const void* buffer, size_t count) override {
    const size_t n = std::min(count, limit_ - std::min(limit_, static_cast<size_t>(SizeBytes())));
    return n == 0 ? 0 : TToolMemoryStream::Write(buffer, n);
  }

 private:
  size_t limit_;
};

TEST(LzwTest, ShortWritesGiveStatus1) {
  const std::string plain = test::RepetitiveText(5000);
  TToolMemoryStream in;
  in.Write(plain.data(), plain.size());
  in.Seek(0, tSeekOrigin::soBeginning);
  tLimitedStream small(10);
  EXPECT_EQ(LzCompress(in, small), kLzShortWrite);

  const std::string coded = Compress(plain);
  TToolMemoryStream codedIn;
  codedIn.Write(coded.data(), coded.size());
  codedIn.Seek(0, tSeekOrigin::soBeginning);
  tLimitedStream tiny(100);
  EXPECT_EQ(LzDecompress(codedIn, tiny), kLzShortWrite);
  EXPECT_EQ(tiny.Bytes(), plain.substr(0, tiny.Bytes().size()));
}

}  // namespace
}  // namespace q2
