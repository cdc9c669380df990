#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "platform/codepage.h"
#include "platform/datetime.h"
#include "platform/event.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/timer_queue.h"
#include "test_util.h"

namespace q2 {
namespace {

TEST(IniFile, MatchesSectionsAndKeysWithoutRegardToCaseAndTrimsValues) {
  q2test::TempDir dir;
  std::string path = dir.path() + "a.ini";
  WriteFileBytes(path,
                 "[settings]\r\n  logdir =  /x/y  \r\nQuoted=\"a b\"\r\n[Other]\r\nLogDir=no\r\n");
  tIniFile ini(path);
  EXPECT_EQ(ini.ReadString("Settings", "LOGDIR", "d"), "/x/y");
  EXPECT_EQ(ini.ReadString("SETTINGS", "quoted", "d"), "a b");
  EXPECT_EQ(ini.ReadString("Settings", "Missing", "d"), "d");
  EXPECT_EQ(ini.ReadString("Nowhere", "LogDir", "d"), "d");
  EXPECT_FALSE(ini.ValueExists("Settings", "Missing"));
}

TEST(IniFile, WritingOneKeyKeepsEveryOtherLine) {
  q2test::TempDir dir;
  std::string path = dir.path() + "a.ini";
  const std::string before = "; comment\r\n[Settings]\r\nA=1\r\n  b = 2\r\n\r\n[Next]\r\nc=3\r\n";
  WriteFileBytes(path, before);
  tIniFile ini(path);
  ini.WriteString("settings", "B", "20");
  EXPECT_EQ(ReadFileBytes(path), "; comment\r\n[Settings]\r\nA=1\r\nB=20\r\n\r\n[Next]\r\nc=3\r\n");
  ini.WriteString("Settings", "New", "x");  // added after the section's last key
  EXPECT_EQ(ReadFileBytes(path),
            "; comment\r\n[Settings]\r\nA=1\r\nB=20\r\nNew=x\r\n\r\n[Next]\r\nc=3\r\n");
  ini.WriteString("Third", "k", "v");  // a new section at the end
  EXPECT_EQ(ini.ReadString("third", "K", ""), "v");
  EXPECT_EQ(ini.ReadString("Next", "c", ""), "3");
}

TEST(IniFile, MissingFileReadsEmptyAndIsCreatedOnWrite) {
  q2test::TempDir dir;
  tIniFile ini(dir.path() + "none.ini");
  EXPECT_EQ(ini.ReadInteger("Settings", "Interval", 5), 5);
  ini.WriteInteger("Settings", "Interval", -3);
  EXPECT_EQ(ReadFileBytes(dir.path() + "none.ini"), "[Settings]\r\nInterval=-3\r\n");
}

TEST(IniFile, FailedWriteNamesTheFile) {
  q2test::TempDir dir;
  std::string path = dir.path() + "sub/none.ini";  // the folder does not exist
  tIniFile ini(path);
  try {
    ini.WriteString("Settings", "A", "1");
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
}

TEST(IniFile, IntegerRules) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {{"12", 12},        {"-1", -1},        {"0x10", 16},      {"$1F", 31},
               {"0XfF", 255},     {"abc", 7},        {"", 7},           {"12a", 7},
               {"$FFFFFFFF", -1}, {"4294967296", 7}, {"2147483648", 7}, {"-2147483648", INT32_MIN}};
  q2test::TempDir dir;
  tIniFile ini(dir.path() + "i.ini");
  for (const Case& c : cases) {
    ini.WriteString("S", "K", c.text);
    EXPECT_EQ(ini.ReadInteger("S", "K", 7), c.expected) << c.text;
  }
}

TEST(IniFile, LongValuesAreCut) {
  q2test::TempDir dir;
  tIniFile ini(dir.path() + "l.ini");
  ini.WriteString("S", "K", std::string(3000, 'x'));
  EXPECT_EQ(ini.ReadString("S", "K", "").size(), tIniFile::kMaxValueChars);
}

TEST(Files, ListingMatchesTemplateWithoutRegardToCaseUnsorted) {
  q2test::TempDir dir;
  for (const char* name : {"1.xml", "2.XML", ".hidden.xml", "3.xmlx", "4.txt"}) {
    WriteFileBytes(dir.path() + name, "x");
  }
  CreateDirectory(dir.path() + "folder.xml");
  std::vector<std::string> names = ListDirectory(dir.path(), "*.xml");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".hidden.xml", "1.xml", "2.XML", "folder.xml"}));
  EXPECT_TRUE(ListDirectory(dir.path() + "missing/", "*.xml").empty());
}

TEST(Files, MoveNeverReplacesAndCopyDoes) {
  q2test::TempDir dir;
  WriteFileBytes(dir.path() + "a", "A");
  WriteFileBytes(dir.path() + "b", "B");
  EXPECT_FALSE(MoveFile(dir.path() + "a", dir.path() + "b"));
  EXPECT_EQ(LastErrorCode(), EEXIST);
  EXPECT_FALSE(LastErrorText().empty());
  EXPECT_EQ(ReadFileBytes(dir.path() + "b"), "B");
  EXPECT_TRUE(FileExists(dir.path() + "a"));
  EXPECT_TRUE(CopyFile(dir.path() + "a", dir.path() + "b"));
  EXPECT_EQ(ReadFileBytes(dir.path() + "b"), "A");
  EXPECT_FALSE(CopyFile(dir.path() + "a", dir.path() + "b", true));
  EXPECT_TRUE(MoveFile(dir.path() + "a", dir.path() + "c"));
  EXPECT_FALSE(FileExists(dir.path() + "a"));
  EXPECT_TRUE(DeleteFile(dir.path() + "c"));
  EXPECT_FALSE(DeleteFile(dir.path() + "c"));
  EXPECT_EQ(LastErrorCode(), ENOENT);
}

TEST(Files, ExclusiveLockIsRefusedToASecondHolder) {
  q2test::TempDir dir;
  tFileHandle a, b;
  ASSERT_TRUE(a.Open(dir.path() + "f", tFileHandle::tOpen::ReadWriteCreate));
  ASSERT_TRUE(b.Open(dir.path() + "f", tFileHandle::tOpen::ReadWrite));
  EXPECT_TRUE(a.LockExclusive(0));
  EXPECT_FALSE(b.LockExclusive(30));
  a.Close();
  EXPECT_TRUE(b.LockExclusive(0));
}

TEST(CodePage, ConvertsAndReplacesMissingCharacters) {
  EXPECT_EQ(Utf8ToCodePage("Привет", 1251), "\xCF\xF0\xE8\xE2\xE5\xF2");
  EXPECT_EQ(Utf8ToCodePage("Привет", 1252), "??????");
  EXPECT_EQ(Utf8ToCodePage("Àÿ€", 1252), "\xC0\xFF\x80");
  EXPECT_EQ(Utf8ToCodePage("a\xFF"
                           "b",
                           1252),
            "a?b");  // invalid UTF-8
  EXPECT_EQ(CodePageToUtf8("\xCF\xF0\xE8\xE2\xE5\xF2", 1251), "Привет");
  EXPECT_EQ(CodePageToUtf8("\xC0", 1252), "À");
  EXPECT_EQ(Utf8ToUtf16LE("aЖ😀"), std::string("a\0\x16\x04\x3D\xD8\x00\xDE", 8));
  EXPECT_EQ(Utf16LEToUtf8(Utf8ToUtf16LE("aЖ😀")), "aЖ😀");
  EXPECT_EQ(Utf8Left("Жжж", 2), "Жж");
  EXPECT_EQ(Utf8Length("Жжж"), 3u);
  EXPECT_TRUE(SameTextNoCase("ИВАНОВ Ёж", "иванов ёж"));
  EXPECT_FALSE(SameTextNoCase("Иванов", "Иванова"));
}

TEST(CodePage, DerivedFromTheLocaleUnlessSet) {
  struct Case {
    const char* locale;
    int cp;
  } cases[] = {
      {"ru_RU.UTF-8", 1251}, {"uk_UA", 1251},       {"pl_PL.UTF-8", 1250}, {"el_GR", 1253},
      {"tr_TR", 1254},       {"he_IL", 1255},       {"ar_EG", 1256},       {"lt_LT", 1257},
      {"vi_VN", 1258},       {"ja_JP", 932},        {"zh_CN.UTF-8", 936},  {"zh_TW", 950},
      {"ko_KR", 949},        {"en_US.UTF-8", 1252}, {"C", 1252},           {"de_DE@euro", 1252}};
  for (const Case& c : cases) EXPECT_EQ(CodePageForLocale(c.locale), c.cp) << c.locale;
  SetAnsiCodePage(1251);
  EXPECT_EQ(AnsiCodePage(), 1251);
  EXPECT_EQ(Utf8ToAnsi("Я"), "\xDF");
  SetAnsiCodePage(0);
}

TEST(DateTime, DayCountsAndBack) {
  struct Case {
    tDateTimeFields f;
    double value;
  } cases[] = {{{1899, 12, 30, 0, 0, 0, 0}, 0.0},
               {{2000, 1, 1, 0, 0, 0, 0}, 36526.0},
               {{2000, 1, 1, 12, 0, 0, 0}, 36526.5},
               {{1899, 12, 29, 6, 0, 0, 0}, -1.25},
               {{2024, 2, 29, 18, 0, 0, 0}, 45351.75}};
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.f), c.value);
    tDateTimeFields back = DecodeDateTime(c.value);
    EXPECT_EQ(back.year, c.f.year);
    EXPECT_EQ(back.month, c.f.month);
    EXPECT_EQ(back.day, c.f.day);
    EXPECT_EQ(back.hour, c.f.hour);
  }
  double v;
  EXPECT_FALSE(TryEncodeDateTime({2023, 2, 29, 0, 0, 0, 0}, &v));
  EXPECT_FALSE(TryEncodeDateTime({2023, 1, 1, 24, 0, 0, 0}, &v));
  tDateTimeFields t = DecodeDateTime(EncodeDateTime({2021, 5, 6, 7, 8, 9, 0}));
  EXPECT_EQ(t.minute, 8);
  EXPECT_EQ(t.second, 9);
  SetNowForTesting(36526.5);
  EXPECT_DOUBLE_EQ(Now(), 36526.5);
  SetNowForTesting(0);
  EXPECT_GT(Now(), 45000.0);
}

TEST(TimerQueue, OneShotTimersSetTheirEventAndCanBeCancelled) {
  tEvent fired, cancelled;
  tTimerQueue queue;
  auto start = std::chrono::steady_clock::now();
  queue.CreateTimer(50, &fired);
  auto handle = queue.CreateTimer(60, &cancelled);
  queue.DeleteTimer(handle);
  EXPECT_TRUE(fired.WaitFor(2000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
  EXPECT_FALSE(cancelled.WaitFor(150));
  EXPECT_EQ(queue.PendingTimers(), 0u);
  fired.Reset();
  EXPECT_FALSE(fired.IsSet());
}

}  // namespace
}  // namespace q2
