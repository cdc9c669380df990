#include <gtest/gtest.h>

#include <cstdlib>

#include "host/run_modes.h"
#include "host/settings_migration.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "test_util.h"

namespace q2 {
namespace {

class MigrationTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUILLON2_HOME", home_.path().c_str(), 1); }
  void TearDown() override { unsetenv("QUILLON2_HOME"); }
  std::string Current(const char* key) {
    return tIniFile(home_.path() + "Quillon2.INI").ReadString("Settings", key, "<absent>");
  }
  q2test::TempDir home_;
};

TEST_F(MigrationTest, FirstStartWithoutOlderFilesWritesOnlyTheReceiptLayouts) {
  MigrateSettings();
  EXPECT_EQ(ReadFileBytes(home_.path() + "Quillon2.INI"),
            "[Settings]\r\nTakeAwayReceiptMaketIdent=0\r\nDeliveryReceiptMaketIdent=0\r\n");
  // Once they are there, nothing is written any more.
  std::string before = ReadFileBytes(home_.path() + "Quillon2.INI");
  MigrateSettings();
  EXPECT_EQ(ReadFileBytes(home_.path() + "Quillon2.INI"), before);
}

TEST_F(MigrationTest, ReceiptLayoutsComeFromZoltPrintCheckInAnyLetterCase) {
  WriteFileBytes(home_.path() + "zoltprintcheck.INI",
                 "[Zolt]\r\nTakeAwayReceiptMaketIdent=11\r\nDeliveryReceiptMaketIdent=22\r\n");
  tIniFile(home_.path() + "Quillon2.INI").WriteString("Settings", "DeliveryReceiptMaketIdent", "5");
  MigrateSettings();
  EXPECT_EQ(Current("TakeAwayReceiptMaketIdent"), "11");
  EXPECT_EQ(Current("DeliveryReceiptMaketIdent"), "5");  // present already: kept
}

TEST_F(MigrationTest, OldSettingsFileIsCarriedOverOnce) {
  WriteFileBytes(home_.path() + "QUILLON.ini",
                 "[Whatever]\r\nLogDir=/old/logs\r\nCommandDir=/old/cmd\r\nMobileFFDir=/old/unp\r\n"
                 "UnitNum=3\r\nEQState=english\r\nCashServer=10.0.0.5\r\nXMLInterface=20200\r\n"
                 "HTTPOrdersHost=h\r\nHTTPOrdersPort=8080\r\nHTTPOrdersRoute=/o\r\n"
                 "HTTPChecksHost=h\r\nHTTPChecksRoute=/c\r\nreasoncode= 7 \r\nSendingPort=1\r\n");
  MigrateSettings();
  EXPECT_EQ(Current("LogDir"), "/old/logs");
  EXPECT_EQ(Current("CMDDir"), "/old/cmd");
  EXPECT_EQ(Current("UnpDir"), "/old/unp");
  EXPECT_EQ(Current("Unit"), "3");
  EXPECT_EQ(Current("EQType"), "0");
  EXPECT_EQ(Current("XMLInterface"), "10.0.0.5:20200");
  EXPECT_EQ(Current("OrdersURL"), "HTTP://h:8080/o");
  EXPECT_EQ(Current("ChecksURL"), "HTTP://h/c");
  EXPECT_EQ(Current("CancelsURL"), "");  // written, empty
  EXPECT_EQ(Current("DelRCode"), "7");   // the INI reader trims what the old reader kept
  EXPECT_EQ(Current("SPort"), "1");
  EXPECT_EQ(Current("VDUWaiter"), "");
  EXPECT_EQ(Current("TakeAwayReceiptMaketIdent"), "0");

  // The current file exists now: a changed old file is never read again.
  WriteFileBytes(home_.path() + "QUILLON.ini", "LogDir=/changed\r\n");
  MigrateSettings();
  EXPECT_EQ(Current("LogDir"), "/old/logs");
}

TEST(OldValueReader, FirstMatchingLineAfterTheFirstEquals) {
  const std::string content = "[S]\r\nkey=a=b\r\nKEY=second\r\nEQState=Russian\r\nx = y\r\n";
  EXPECT_EQ(ReadOldValue(content, "Key"), "a=b");
  EXPECT_EQ(ReadOldValue(content, "x"), "");  // "x " is not "x": nothing is trimmed
  EXPECT_EQ(ReadOldValue(content, "x "), " y");
  EXPECT_EQ(ReadOldValue(content, "missing"), "");
}

TEST(EqStateMapping, ThroughTheWholeMigration) {
  struct Case {
    const char* line;
    const char* eqType;
  } cases[] = {{"EQState=ENGLISH", "0"},
               {"EQState=russian", "1"},
               {"EQState=other", "2"},
               {"Nothing=1", "2"}};
  for (const Case& c : cases) {
    q2test::TempDir home;
    setenv("QUILLON2_HOME", home.path().c_str(), 1);
    WriteFileBytes(home.path() + "Quillon.INI", std::string(c.line) + "\r\n");
    MigrateSettings();
    EXPECT_EQ(tIniFile(home.path() + "Quillon2.INI").ReadString("Settings", "EQType", ""),
              c.eqType);
    unsetenv("QUILLON2_HOME");
  }
}

TEST(RunModes, SwitchesIgnoreCaseAndNeedTheirMark) {
  EXPECT_TRUE(ParseRunMode({"/SVC"}).svc);
  EXPECT_TRUE(ParseRunMode({"-svc"}).svc);
  EXPECT_TRUE(ParseRunMode({"/Svc"}).svc);
  EXPECT_FALSE(ParseRunMode({"svc"}).ServiceMode());
  tRunMode m = ParseRunMode({"x", "/install", "-Silent"});
  EXPECT_TRUE(m.install);
  EXPECT_TRUE(m.silent);
  EXPECT_TRUE(m.ServiceMode());
  EXPECT_FALSE(ParseRunMode({}).ServiceMode());
}

}  // namespace
}  // namespace q2
