// EQ numbers and EQ files.
#include "vdu/eq.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "vdu/vdu_test_util.h"

namespace q2 {
namespace {

struct EQCase {
  int32_t Seq;
  int32_t Unit;
  uint8_t Type;
  const char* Expected;  // UTF-8
};

TEST(EQNumber, StylesAndDigits) {
  q2test::ScopedCodePage codePage(1252);
  const EQCase cases[] = {
      {305, 1, 0, "A-05"},
      {305, 1, 1, "\u00C0-05"},
      {305, 1, 2, "105"},
      {305, 1, 7, "05"},
      {7, 1, 9, "07"},
      {100, 1, 9, "00"},
      {0, 1, 9, "00"},
      {-7, 1, 9, "-7"},  // remainder keeps the sign; already two characters
      {-107, 1, 9, "-7"},
      {-5, 1, 2, "1-5"},
      {-12345, 1, 9, "-45"},
      {305, 27, 0, "[-05"},  // the punctuation between Z and a is used
      {305, 0, 0, "@-05"},   // code 64
      {305, 26, 0, "Z-05"},
      {305, 58, 0, "z-05"},
      {305, 59, 0, "B-05"},  // wraps by 57
      {305, 60, 0, "C-05"},
      {305, 116, 0, "B-05"},
      {305, 64, 1, "\u00FF-05"},
      {305, 65, 1, "\u00C1-05"},  // wraps by 63
      {305, 12, 2, "1205"},
      {305, 0, 2, "005"},
      {2147483647, 2147483647, 2, "214748364747"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeEQNumber(c.Seq, c.Unit, c.Type), c.Expected)
        << "seq " << c.Seq << " unit " << c.Unit << " type " << int{c.Type};
  }
  // Huge units wrap without looping for long, and stay in range.
  const std::string english = MakeEQNumber(5, INT32_MAX, 0);
  ASSERT_EQ(english.size(), 4u);
  EXPECT_GE(english[0], 'A');
  EXPECT_LE(english[0], 'z');
}

TEST(EQNumber, RussianMarkIsTheCodePageByte) {
  q2test::ScopedCodePage codePage(1251);
  EXPECT_EQ(MakeEQNumber(305, 1, 1), "\u0410-05");   // А
  EXPECT_EQ(MakeEQNumber(305, 64, 1), "\u044F-05");  // я
  EXPECT_EQ(MakeEQNumber(305, 65, 1), "\u0411-05");  // Б
  EXPECT_EQ(MakeEQNumber(305, 1, 0), "A-05");
}

class EQFile : public ::testing::Test {
 protected:
  std::string Read(const std::string& name) { return ReadFileBytes(dir_.path() + name); }
  q2test::TempDir dir_;
  q2test::ScopedLog log_{0};
};

TEST_F(EQFile, HoldsTheCodePageByteOfTheRussianMark) {
  struct Case {
    int CodePage;
    int32_t Unit;
    const char* Bytes;
  };
  const Case cases[] = {
      {1251, 1, "\xC0-05"}, {1252, 1, "\xC0-05"}, {1251, 64, "\xFF-05"}, {1252, 64, "\xFF-05"}};
  for (const auto& c : cases) {
    q2test::ScopedCodePage codePage(c.CodePage);
    WriteEQFile(dir_.path(), "1234.xml", 2, MakeEQNumber(305, c.Unit, 1));
    EXPECT_EQ(Read("1234.xml"), c.Bytes) << "code page " << c.CodePage << " unit " << c.Unit;
  }
}

TEST_F(EQFile, WrittenForFprintAndOcreateOnlyAndAlwaysLogged) {
  WriteEQFile(dir_.path(), "1.xml", 2, "105");
  WriteEQFile(dir_.path(), "2.xml", 3, "106");
  WriteEQFile(dir_.path(), "3.xml", 0, "107");
  WriteEQFile(dir_.path(), "4.xml", 1, "108");
  EXPECT_EQ(Read("1.xml"), "105");  // no line end, no byte-order mark
  EXPECT_EQ(Read("2.xml"), "106");
  EXPECT_FALSE(FileExists(dir_.path() + "3.xml"));
  EXPECT_FALSE(FileExists(dir_.path() + "4.xml"));
  const std::string log = log_.Text();
  for (const char* name : {"1.xml", "2.xml", "3.xml", "4.xml"}) {
    EXPECT_NE(log.find(std::string("NOTE    thrd: creating EQ file \"") + name + "\""),
              std::string::npos)
        << name << " in\n"
        << log;
  }
}

TEST_F(EQFile, ReplacesAnEarlierFileAndTakesAFolderWithoutDelimiter) {
  WriteFileBytes(dir_.path() + "7.xml", "an older and longer content");
  std::string folder = dir_.path();
  folder.pop_back();
  WriteEQFile(folder, "7.xml", 2, "A-01");
  EXPECT_EQ(Read("7.xml"), "A-01");
}

TEST_F(EQFile, NoFolderConfiguredWritesNothingButLogs) {
  WriteEQFile("", "5.xml", 2, "105");
  WriteEQFile("/", "6.xml", 2, "105");
  EXPECT_FALSE(FileExists("/5.xml"));
  EXPECT_FALSE(FileExists("/6.xml"));
  EXPECT_NE(log_.Text().find("thrd: creating EQ file \"6.xml\""), std::string::npos);
}

TEST_F(EQFile, UnwritableFolderRaises) {
  EXPECT_THROW(WriteEQFile(dir_.path() + "missing/", "8.xml", 3, "105"), std::runtime_error);
}

}  // namespace
}  // namespace q2
