#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "core/convert.h"
#include "core/log.h"
#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "test_util.h"

namespace q2 {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNowForTesting(EncodeDateTime({2016, 3, 7, 14, 5, 9, 0}));
    SetLogSettings(dir_.path() + "logs", 0);
  }
  void TearDown() override {
    SetNowForTesting(0);
    SetLogSettings(dir_.path() + "logs", 0);
  }
  std::string LogBytes() { return ReadFileBytes(dir_.path() + "logs/QUILLON2_2016-03-07.LOG"); }
  std::string LogText() { return Utf16LEToUtf8(LogBytes().substr(2)); }
  q2test::TempDir dir_;
};

TEST_F(LogTest, LinesByteForByte) {
  struct Case {
    uint8_t level, kind;
    std::string text, line;
  } cases[] = {
      {0, kLogNote, "thrd: launched", "14:05:09 NOTE    thrd: launched\r\n"},
      {0, kLogWarning, "w", "14:05:09 WARNING w\r\n"},
      {0, kLogError, "e", "14:05:09 ERROR   e\r\n"},
      {2, kLogDebug, "d", "14:05:09 DEBUG2  d\r\n"},
      {12, kLogDebug, "d", "14:05:09 DEBUG2  d\r\n"},
      {10, kLogDebug, "d", "14:05:09 DEBUG0  d\r\n"},
      {0, 9, "x", "14:05:09  x\r\n"},
      {0, kLogNote, "a\r\nb", "14:05:09 NOTE    a b\r\n"},
      {0, kLogNote, "a\nb\rc", "14:05:09 NOTE    a\nb\rc\r\n"},
      {0, kLogNote, "", "\r\n"},
      {0, kLogNote, "Заказ №5", "14:05:09 NOTE    Заказ №5\r\n"},
  };
  std::string expected;
  for (const Case& c : cases) {
    SetLogSettings(LogFolder(), c.level);
    WriteLog(c.text, c.kind, 0);
    expected += c.line;
  }
  std::string bytes = LogBytes();
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(bytes.substr(2), Utf8ToUtf16LE(expected));
}

TEST_F(LogTest, MinLevelFiltersLines) {
  WriteLog("hidden", kLogNote, 1);
  EXPECT_FALSE(FileExists(LogFileName()));
  SetLogSettings(LogFolder(), 1);
  WriteLog("shown", kLogWarning, 1);
  EXPECT_EQ(LogText(), "14:05:09 WARNING shown\r\n");
}

TEST_F(LogTest, ANewDayStartsANewFileWithByteOrderMark) {
  WriteLog("day one", kLogNote, 0);
  SetNowForTesting(EncodeDateTime({2016, 3, 8, 0, 0, 1, 0}));
  WriteLog("day two", kLogNote, 0);
  std::string second = ReadFileBytes(dir_.path() + "logs/QUILLON2_2016-03-08.LOG");
  EXPECT_EQ(second, "\xFF\xFE" + Utf8ToUtf16LE("00:00:01 NOTE    day two\r\n"));
  EXPECT_EQ(LogText(), "14:05:09 NOTE    day one\r\n");
}

TEST_F(LogTest, TwoProcessesShareOneLog) {
  constexpr int kLines = 200;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (int i = 0; i < kLines; ++i) WriteLog("child line", kLogNote, 0);
    _exit(0);
  }
  for (int i = 0; i < kLines; ++i) WriteLog("parent line", kLogNote, 0);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  std::string text = LogText();
  EXPECT_EQ(LogBytes().substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(LogBytes().find("\xFF\xFE", 2), std::string::npos);
  size_t lines = 0, child_lines = 0;
  for (size_t pos = 0; (pos = text.find("\r\n", pos)) != std::string::npos; pos += 2) ++lines;
  for (size_t pos = 0; (pos = text.find("NOTE    child line\r\n", pos)) != std::string::npos;
       ++pos) {
    ++child_lines;
  }
  EXPECT_EQ(lines, 2u * kLines);
  EXPECT_EQ(child_lines, static_cast<size_t>(kLines));
}

TEST_F(LogTest, ResultFile) {
  SetAnsiCodePage(1251);
  struct Case {
    bool ok;
    std::string reason, content;
  } cases[] = {{true, "", "OK"},
               {false, "", "ERROR"},
               {false, "THREAD_ERROR", "ERROR THREAD_ERROR"},
               {false, "Я", "ERROR \xDF"}};
  for (const Case& c : cases) {
    WriteResult(c.ok, c.reason);
    EXPECT_EQ(ReadFileBytes(dir_.path() + "logs/QUILLON2_RESULT.TXT"), c.content);
  }
  SetAnsiCodePage(0);
}

TEST_F(LogTest, TextFilesAndFolders) {
  WriteTextFile("abc", true, dir_.path() + "u.txt");
  EXPECT_EQ(ReadFileBytes(dir_.path() + "u.txt"),
            "\xEF\xBB\xBF"
            "abc");
  WriteTextFile("abc", false, dir_.path() + "u.txt");
  EXPECT_EQ(ReadFileBytes(dir_.path() + "u.txt"), "abc");
  WriteTextFile("", false, dir_.path() + "e.txt");
  EXPECT_EQ(ReadFileBytes(dir_.path() + "e.txt"), "");
  EXPECT_THROW(WriteTextFile("x", false, dir_.path() + "no/such/file"), std::runtime_error);

  EXPECT_TRUE(ForceFolders(dir_.path() + "a/b/c"));
  EXPECT_TRUE(DirectoryExists(dir_.path() + "a/b/c"));
  EXPECT_TRUE(ForceFolders(dir_.path() + "a/b/c/"));
  EXPECT_FALSE(ForceFolders(""));
}

TEST_F(LogTest, UnwritableLogFolderFails) {
  SetLogSettings("/proc/q2-no-such-folder", 0);
  EXPECT_THROW(WriteLog("x", kLogNote, 0), std::runtime_error);
  try {
    WriteLog("x", kLogNote, 0);
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"/proc/q2-no-such-folder/", 0), 0u)
        << e.what();
  }
}

TEST(LogSettings, LevelTakesTheLowEightBits) {
  q2test::TempDir home;
  setenv("QUILLON2_HOME", home.path().c_str(), 1);
  struct Case {
    const char* value;
    uint8_t level;
  } cases[] = {{"256", 0}, {"-1", 255}, {"0x10", 16}, {"abc", 0}, {"3", 3}};
  for (const Case& c : cases) {
    tIniFile(home.path() + "Quillon2.INI").WriteString("Settings", "LogLevel", c.value);
    ReadLogSettings();
    EXPECT_EQ(LogLevel(), c.level) << c.value;
  }
  tIniFile(home.path() + "Quillon2.INI").WriteString("Settings", "LogDir", home.path() + "L");
  ReadLogSettings();
  EXPECT_EQ(LogFolder(), home.path() + "L/");
  unsetenv("QUILLON2_HOME");
}

TEST(Convert, IntegersNumbersAndRounding) {
  EXPECT_EQ(StrToInt("123"), 123);
  EXPECT_EQ(StrToInt("-0x10"), -16);
  try {
    StrToInt("abc");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "''abc'' is not a valid integer value");
  }
  EXPECT_THROW(StrToInt(" 1"), std::runtime_error);
  EXPECT_THROW(StrToInt(""), std::runtime_error);
  EXPECT_EQ(RoundHalfEven(0.5), 0);
  EXPECT_EQ(RoundHalfEven(1.5), 2);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
  EXPECT_EQ(FormatFloatGeneral(1.5), "1.5");
  EXPECT_EQ(FormatFloatGeneral(2.0), "2");
  EXPECT_EQ(FormatFloatGeneral(0.1 + 0.2, ','), "0,3");
  EXPECT_EQ(FormatNumber2(1234567.5, ",", '.'), "1,234,567.50");
  EXPECT_EQ(FormatNumber2(123.456, "", ','), "123,46");
  EXPECT_EQ(FormatNumber2(-1000, " ", ','), "-1 000,00");
  EXPECT_EQ(Trim("  a b \r\n"), "a b");
}

}  // namespace
}  // namespace q2
