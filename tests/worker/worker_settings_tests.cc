#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "platform/files.h"
#include "platform/ini.h"
#include "test_util.h"
#include "vdu/datagram.h"
#include "worker/worker_settings.h"

namespace q2 {
namespace {

class WorkerSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUILLON2_HOME", home_.path().c_str(), 1); }
  void TearDown() override { unsetenv("QUILLON2_HOME"); }
  void Set(const char* key, const std::string& value) {
    tIniFile(home_.path() + "Quillon2.INI").WriteString("Settings", key, value);
  }
  void SetFolders() {
    Set("CMDDir", home_.path() + "data/cmd");
    Set("XMLDir", home_.path() + "data/orders");
    Set("UnpDir", home_.path() + "data/unpaid/");
  }
  q2test::TempDir home_;
};

TEST(DerivedFolder, IsASiblingWithThePrefix) {
  EXPECT_EQ(DerivedFolder("/data/orders/", "old_"), "/data/old_orders/");
  EXPECT_EQ(DerivedFolder("/data/orders/", "failed_"), "/data/failed_orders/");
  EXPECT_EQ(DerivedFolder("orders/", "old_"), "old_orders/");
}

TEST_F(WorkerSettingsTest, FoldersAreDerivedAndCreated) {
  SetFolders();
  tWorkerSettings s;
  s.LoadSettings();
  const std::string d = home_.path() + "data/";
  EXPECT_EQ(s.fOrderDir, d + "orders/");
  EXPECT_EQ(s.fOldOrderDir, d + "old_orders/");
  EXPECT_EQ(s.fFailedOrderDir, d + "failed_orders/");
  EXPECT_EQ(s.fCMDDir, d + "cmd/");
  EXPECT_EQ(s.fFailedCMDDir, d + "failed_cmd/");
  EXPECT_EQ(s.fUnpaidDir, d + "unpaid/");
  EXPECT_EQ(s.fEQDir, "/");
  for (const std::string& f :
       {s.fOrderDir, s.fOldOrderDir, s.fFailedOrderDir, s.fCMDDir, s.fFailedCMDDir, s.fUnpaidDir}) {
    EXPECT_TRUE(DirectoryExists(f)) << f;
  }
}

TEST_F(WorkerSettingsTest, MissingFoldersAreRefusedInOrder) {
  tWorkerSettings s;
  struct Step {
    const char* key;
    const char* message;
  } steps[] = {{"CMDDir", "command dir unspecified"},
               {"XMLDir", "orders dir unspecified"},
               {"UnpDir", "unpaid orders dir unspecified"}};
  for (const Step& step : steps) {
    try {
      s.LoadSettings();
      FAIL() << "no failure before " << step.key;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), step.message);
    }
    Set(step.key, home_.path() + step.key);
  }
  EXPECT_NO_THROW(s.LoadSettings());
}

TEST_F(WorkerSettingsTest, NumbersDefaultsAndEndpoints) {
  SetFolders();
  struct Case {
    std::vector<std::pair<const char*, std::string>> keys;
    std::function<void(const tWorkerSettings&)> check;
  } cases[] = {
      {{},
       [](const tWorkerSettings& s) {
         EXPECT_EQ(s.fInterval, 5);
         EXPECT_EQ(s.fErrInterval, 60);
         EXPECT_FALSE(s.fZoltRequest);
         EXPECT_EQ(s.fMsgTtl, 3);
         EXPECT_EQ(s.fEQType, 2);
         EXPECT_EQ(s.fTAMaketID, -1);
         EXPECT_EQ(s.fVDUAddress, kVDUDefaultAddress);  // the display feed's own default
         EXPECT_EQ(s.fcO.Host, "");
         EXPECT_EQ(s.fcFTPO.Protocol, "FTP");
       }},
      {{{"Interval", "0"}, {"ErrorInterval", "0"}},
       [](const tWorkerSettings& s) {
         EXPECT_EQ(s.fInterval, 1);
         EXPECT_EQ(s.fErrInterval, 1);
       }},
      {{{"Interval", "abc"}, {"ErrorInterval", "0"}},
       [](const tWorkerSettings& s) {
         EXPECT_EQ(s.fInterval, 5);
         EXPECT_EQ(s.fErrInterval, 5);
       }},
      {{{"Interval", "7"}, {"ErrorInterval", "0x10"}},
       [](const tWorkerSettings& s) {
         EXPECT_EQ(s.fInterval, 7);
         EXPECT_EQ(s.fErrInterval, 16);
       }},
      {{{"XMLSource", "0"}}, [](const tWorkerSettings& s) { EXPECT_TRUE(s.fZoltRequest); }},
      {{{"XMLSource", "7"}}, [](const tWorkerSettings& s) { EXPECT_FALSE(s.fZoltRequest); }},
      {{{"Unit", "4"}, {"VDUUnit", "0"}},
       [](const tWorkerSettings& s) { EXPECT_EQ(s.fVDUUnit, 4); }},
      {{{"Unit", "4"}, {"VDUUnit", "9"}},
       [](const tWorkerSettings& s) { EXPECT_EQ(s.fVDUUnit, 9); }},
      {{{"XMLInterface", "127.0.0.1:20200"},
        {"OrdersURL", "https://u:p@h:8443/o?x=1"},
        {"CMDFTP", "ftp.host/in"},
        {"VDUAddress", "127.0.0.1:5000"}},
       [](const tWorkerSettings& s) {
         EXPECT_EQ(s.fcZolt.Protocol, "HTTP");
         EXPECT_EQ(s.fcZolt.Port, 20200);
         EXPECT_EQ(s.fcO.Protocol, "HTTPS");
         EXPECT_EQ(s.fcO.Login, "u");
         EXPECT_EQ(s.fcO.Params, "x=1");
         EXPECT_EQ(s.fcFTPC.Protocol, "FTP");
         EXPECT_EQ(s.fcFTPC.Route, "/in");
         EXPECT_EQ(s.fVDUAddress, "127.0.0.1:5000");
       }},
  };
  for (const Case& c : cases) {
    for (const char* k : {"Interval", "ErrorInterval", "XMLSource", "Unit", "VDUUnit"}) Set(k, "");
    for (const auto& [key, value] : c.keys) Set(key, value);
    tWorkerSettings s;
    s.LoadSettings();
    c.check(s);
  }
}

TEST_F(WorkerSettingsTest, PortThatIsNotANumberFails) {
  SetFolders();
  Set("OrdersURL", "host:8o");
  tWorkerSettings s;
  EXPECT_THROW(s.LoadSettings(), std::runtime_error);
}

}  // namespace
}  // namespace q2
