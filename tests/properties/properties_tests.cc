// The properties window on Qt's offscreen platform, with the service and the user's
// answers played by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <deque>
#include <stdexcept>

#include "core/log.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/version.h"
#include "properties/hue_to_color.h"
#include "properties/properties_form.h"
#include "test_util.h"

namespace q2 {
namespace {

// The service: each query takes the next state of `states` (the last one stays).
class FakeOps final : public tServiceOps {
 public:
  bool ServiceInstalled(const std::string& name) override {
    EXPECT_EQ(name, "Quillon2Service");
    calls.push_back("installed?");
    if (!installedFailure.empty()) throw std::runtime_error(installedFailure);
    return installed;
  }
  tServiceStatus QueryServiceState(const std::string&) override {
    calls.push_back("query");
    ++queries;
    tServiceStatus s;
    s.currentState = states.front();
    if (states.size() > 1) states.pop_front();
    return s;
  }
  void ControlTheService(const std::string&, bool stop) override {
    calls.push_back(stop ? "stop" : "start");
    if (onControl) onControl();
  }
  tProgramResult RunAndWait(const std::string& path, const std::string& parameters,
                            const std::function<void()>& pump) override {
    calls.push_back("run " + parameters);
    program = path;
    if (pump) pump();
    return runResult;
  }
  void Pause(int ms) override {
    EXPECT_EQ(ms, 200);
    ++pauses;
  }

  bool installed = false;
  std::string installedFailure;
  std::deque<uint32_t> states{kServiceStopped};
  std::vector<std::string> calls;
  std::function<void()> onControl;
  tProgramResult runResult;
  std::string program;
  int queries = 0, pauses = 0;
};

class FakeDialogs final : public tPropertiesDialogs {
 public:
  tAnswer AskYesNoCancel(const std::string& text) override {
    asked.push_back(text);
    return answer;
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  std::optional<std::string> ChooseFolder(const std::string& title,
                                          const std::string& initial) override {
    chooserTitle = title;
    chooserInitial = initial;
    return folder;
  }

  tAnswer answer = tAnswer::kCancel;
  std::optional<std::string> folder;
  std::string chooserTitle, chooserInitial;
  std::vector<std::string> asked, messages, errors;
};

class PropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUILLON2_HOME", home_.path().c_str(), 1);
    SetLogSettings(home_.path() + "LOGS/", 0);
  }
  void TearDown() override {
    window_.reset();
    unsetenv("QUILLON2_HOME");
    SetLogSettings(home_.path() + "LOGS/", 0);
  }

  TfmProperties& Open(bool show = true) {
    auto dialogs = std::make_unique<FakeDialogs>();
    dialogs_ = dialogs.get();
    window_ = std::make_unique<TfmProperties>(
        ops_, [] { return std::make_unique<TVDUThread>(); }, std::move(dialogs));
    if (show) {
      window_->show();
      QCoreApplication::processEvents();  // the first ResetButtons
      ops_.calls.clear();
    }
    return *window_;
  }
  template <class T>
  T* Find(const char* name) {
    T* child = window_->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }
  QLineEdit* Edit(const char* name) { return Find<QLineEdit>(name); }
  QPushButton* Button(const char* name) { return Find<QPushButton>(name); }
  std::string Ini() const { return home_.path() + "Quillon2.INI"; }
  std::string Setting(const char* key) const {
    return tIniFile(Ini()).ReadString("Settings", key, "<absent>");
  }

  q2test::TempDir home_;
  FakeOps ops_;
  FakeDialogs* dialogs_ = nullptr;
  std::unique_ptr<TfmProperties> window_;
};

// Rows of the window: control, key, window default (with "~" for the program folder).
struct tRow {
  const char* control;
  const char* key;
  const char* windowDefault;
};
const tRow kTextRows[] = {
    {"eLogDir", "LogDir", "~logs/"},
    {"eCMDDir", "CMDDir", "~commands/"},
    {"eXMLDir", "XMLDir", "~orders/"},
    {"eEQDir", "EQDir", "~EQ/"},
    {"eUnpDir", "UnpDir", "~Unpaid/"},
    {"eResultDir", "ResultDir", "~result/"},
    {"eVDUID", "VDUID", "0"},
    {"eUnit", "Unit", "0"},
    {"eVDUUnit", "VDUUnit", "0"},
    {"eVDUWaiter", "VDUWaiter", ""},
    {"eDelivWaiter", "DelivWaiter", ""},
    {"eOfflineWaiter", "OfflineWaiter", ""},
    {"eCashIP", "XMLInterface", "127.0.0.1:20200"},
    {"eOrdersURL", "OrdersURL", ""},
    {"eChecksURL", "ChecksURL", ""},
    {"eCancelsURL", "CancelsURL", ""},
    {"ePingURL", "PingURL", ""},
    {"eXMLFTP", "XMLFTP", ""},
    {"eCMDFTP", "CMDFTP", ""},
    {"eTableCode", "TableCode", "0"},
    {"eDelRCode", "DelRCode", "0"},
    {"eMsgTTL", "MsgTTL", "3"},
    {"eViewWait", "ViewWait", "3"},
    {"eInterval", "Interval", "5"},
    {"eErrorInterval", "ErrorInterval", "60"},
    {"eDepReason", "DepositReason", "1026957"},
    {"eTAMaketID", "TakeAwayReceiptMaketIdent", "0"},
    {"eDlvMaketID", "DeliveryReceiptMaketIdent", "0"},
    {"eLogLevel", "LogLevel", "0"},
};

TEST_F(PropertiesTest, MissingFileShowsDefaultsAndAnUntouchedCloseAsksNothing) {
  TfmProperties& w = Open();
  EXPECT_EQ(w.windowTitle().toStdString(), "Quillon " + GetFileVersionText() + " - properties");
  for (const tRow& row : kTextRows) {
    std::string expected = row.windowDefault;
    if (!expected.empty() && expected[0] == '~') expected = home_.path() + expected.substr(1);
    EXPECT_EQ(Edit(row.control)->text().toStdString(), expected) << row.control;
  }
  EXPECT_TRUE(Find<QRadioButton>("chbDLL")->isChecked());
  EXPECT_FALSE(Find<QRadioButton>("chbHTTP")->isChecked());
  EXPECT_EQ(Find<QComboBox>("cbEQType")->currentText(), "Numeric");
  EXPECT_FALSE(w.fedited);
  EXPECT_TRUE(w.close());
  EXPECT_TRUE(dialogs_->asked.empty());
  EXPECT_FALSE(FileExists(Ini()));
}

TEST_F(PropertiesTest, SaveWritesEveryKeyInTableOrder) {
  TfmProperties& w = Open(false);
  w.SaveSettings();
  std::vector<std::string> keys;
  std::string text = ReadFileBytes(Ini());
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (line.find('=') != std::string::npos) keys.push_back(line.substr(0, line.find('=')));
  }
  std::vector<std::string> expected;
  for (const tRow& row : kTextRows) {
    expected.push_back(row.key);
    if (std::string(row.key) == "XMLInterface") expected.push_back("XMLSource");
    if (std::string(row.key) == "ViewWait") expected.push_back("EQType");
  }
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(Setting("XMLSource"), "1");
  EXPECT_EQ(Setting("EQType"), "2");
  EXPECT_EQ(Setting("DepositReason"), "1026957");
}

TEST_F(PropertiesTest, AnEditMakesClosingAsk) {
  struct tCase {
    tAnswer answer;
    bool closes;
    const char* saved;
  };
  for (const tCase& c : {tCase{tAnswer::kCancel, false, "<absent>"},
                         tCase{tAnswer::kNo, true, "<absent>"}, tCase{tAnswer::kYes, true, "07"}}) {
    DeleteFile(Ini());
    TfmProperties& w = Open();
    QTest::keyClicks(Edit("eUnit"), "7");
    EXPECT_TRUE(w.fedited);
    dialogs_->answer = c.answer;
    EXPECT_EQ(w.close(), c.closes);
    EXPECT_EQ(dialogs_->asked, std::vector<std::string>{"Save Settings?"});
    EXPECT_EQ(w.isVisible(), !c.closes);
    EXPECT_EQ(Edit("eUnit")->text(), "07") << "the edit stays";
    EXPECT_EQ(Setting("Unit"), c.saved);
  }
}

TEST_F(PropertiesTest, SaveButtonSavesAndClosesWithoutAsking) {
  TfmProperties& w = Open();
  QTest::keyClicks(Edit("eVDUWaiter"), "Anna");
  QTest::mouseClick(Button("mbOK"), Qt::LeftButton);
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(dialogs_->asked.empty());
  EXPECT_EQ(Setting("VDUWaiter"), "Anna");
  EXPECT_EQ(Button("mbOK")->text().toStdString(), "\u2666 SAVE");
}

TEST_F(PropertiesTest, XMLSourceSelectsTheInterface) {
  tIniFile(Ini()).WriteString("Settings", "XMLSource", "0");
  TfmProperties& w = Open();
  EXPECT_TRUE(Find<QRadioButton>("chbHTTP")->isChecked());
  w.SaveSettings();
  EXPECT_EQ(Setting("XMLSource"), "0");
  QTest::mouseClick(Find<QRadioButton>("chbDLL"), Qt::LeftButton);
  EXPECT_TRUE(w.fedited);
  w.SaveSettings();
  EXPECT_EQ(Setting("XMLSource"), "1");
  EXPECT_FALSE(w.fedited);

  tIniFile(Ini()).WriteString("Settings", "XMLSource", "7");
  tIniFile(Ini()).WriteString("Settings", "EQType", "0");
  w.LoadSettings();
  EXPECT_TRUE(Find<QRadioButton>("chbDLL")->isChecked());
  EXPECT_EQ(Find<QComboBox>("cbEQType")->currentText(), "English");
  EXPECT_FALSE(w.fedited);
}

TEST_F(PropertiesTest, StartTestShowsAboveLogLevelOneAndHostsAWorker) {
  for (uint8_t level : {0, 1, 2}) {
    SetLogSettings(home_.path() + "LOGS/", level);
    TfmProperties& w = Open();
    w.ResetButtons();
    EXPECT_EQ(Button("bTEST")->isHidden(), level <= 1) << int(level);
  }
  TfmProperties& w = Open();
  QTest::keyClicks(Edit("eUnit"), "3");
  QTest::mouseClick(Button("bTEST"), Qt::LeftButton);
  EXPECT_TRUE(dialogs_->errors.empty()) << dialogs_->errors[0];
  ASSERT_NE(w.fThread, nullptr);
  EXPECT_EQ(Setting("Unit"), "03") << "saved before the worker reads the settings";
  EXPECT_EQ(Button("bTEST")->text(), "STOP TEST");
  QTest::mouseClick(Button("bTEST"), Qt::LeftButton);
  EXPECT_EQ(w.fThread, nullptr);
  EXPECT_EQ(Button("bTEST")->text(), "START TEST");
}

TEST_F(PropertiesTest, FolderChooser) {
  TfmProperties& w = Open();
  std::string before = Edit("eXMLDir")->text().toStdString();
  QTest::mouseClick(Button("bChoose_eXMLDir"), Qt::LeftButton);  // cancelled
  EXPECT_EQ(Edit("eXMLDir")->text().toStdString(), before);
  EXPECT_FALSE(w.fedited);
  EXPECT_EQ(dialogs_->chooserTitle, "Chose a folder");
  EXPECT_EQ(dialogs_->chooserInitial, before);

  dialogs_->folder = "/srv/orders";
  QTest::mouseClick(Button("bChoose_eXMLDir"), Qt::LeftButton);
  EXPECT_EQ(Edit("eXMLDir")->text(), "/srv/orders/");
  EXPECT_TRUE(w.fedited);
  dialogs_->folder = "/srv/logs/";
  QTest::mouseClick(Button("bChoose_eLogDir"), Qt::LeftButton);
  EXPECT_EQ(Edit("eLogDir")->text(), "/srv/logs/");
  for (const char* field : {"eCMDDir", "eEQDir", "eUnpDir", "eResultDir"}) {
    EXPECT_NE(window_->findChild<QPushButton*>(QString("bChoose_") + field), nullptr) << field;
  }
}

TEST_F(PropertiesTest, ResetButtonsFollowsTheService) {
  TfmProperties& w = Open();
  w.ResetButtons();
  EXPECT_EQ(Button("bUU")->text(), "Install");
  EXPECT_EQ(Button("bSS")->text(), "Start");
  EXPECT_FALSE(Button("bSS")->isEnabled());
  ops_.installed = true;
  ops_.states = {kServiceRunning};
  w.ResetButtons();
  EXPECT_EQ(Button("bUU")->text(), "Uninstall");
  EXPECT_EQ(Button("bSS")->text(), "Stop");
  EXPECT_TRUE(Button("bSS")->isEnabled());
  ops_.states = {kServiceStartPending};
  w.ResetButtons();
  EXPECT_EQ(Button("bSS")->text(), "Start");
}

TEST_F(PropertiesTest, StartOnAStoppedServiceSavesFirst) {
  ops_.installed = true;
  TfmProperties& w = Open();
  QTest::keyClicks(Edit("eTableCode"), "5");
  std::string unitAtStart;
  ops_.onControl = [&] { unitAtStart = Setting("TableCode"); };
  ops_.states = {kServiceStopped, kServiceStartPending, kServiceStartPending, kServiceRunning};
  QTest::mouseClick(Button("bSS"), Qt::LeftButton);
  EXPECT_TRUE(dialogs_->errors.empty());
  EXPECT_EQ(unitAtStart, "05");
  EXPECT_FALSE(w.fedited);
  EXPECT_EQ(ops_.pauses, 3);
  EXPECT_EQ(Button("bSS")->text(), "Stop");
}

TEST_F(PropertiesTest, ServiceOperationFailuresAreShownAndTheWindowStays) {
  struct tCase {
    std::deque<uint32_t> states;
    std::string failure;
    const char* caption;
  };
  std::deque<uint32_t> stuck(150, kServiceStartPending);
  for (const tCase& c : {tCase{{kServiceStopped, kServiceStartPending, kServiceStopped},
                               "Service didn't start",
                               "Start"},
                         tCase{stuck, "Process taking too long", "Start"}}) {
    ops_.installed = true;
    TfmProperties& w = Open();
    ops_.states = c.states;
    ops_.queries = 0;
    QTest::mouseClick(Button("bSS"), Qt::LeftButton);
    EXPECT_EQ(dialogs_->errors, std::vector<std::string>{c.failure});
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(ops_.calls.back(), "query") << "ResetButtons ran after the failure";
    EXPECT_EQ(Button("bUU")->text(), "Uninstall");
    EXPECT_EQ(Button("bSS")->text(), c.caption);
  }
  EXPECT_EQ(ops_.queries, 1 + 1 + 100 + 1);  // status, first wait query, 100 more, ResetButtons

  TfmProperties& w = Open();
  ops_.installedFailure = "Can't open SCManager";
  QTest::mouseClick(Button("bUU"), Qt::LeftButton);
  EXPECT_EQ(dialogs_->errors, std::vector<std::string>{"Can't open SCManager"});
  EXPECT_TRUE(w.isVisible());
}

TEST_F(PropertiesTest, StopOnARunningServiceWaitsForStopped) {
  ops_.installed = true;
  Open();
  ops_.states = {kServiceRunning, kServiceStopPending, kServiceStopped};
  QTest::mouseClick(Button("bSS"), Qt::LeftButton);
  EXPECT_TRUE(dialogs_->errors.empty());
  EXPECT_EQ(ops_.calls,
            (std::vector<std::string>{"query", "stop", "query", "query", "installed?", "query"}));
  EXPECT_EQ(Button("bSS")->text(), "Start");
  EXPECT_FALSE(FileExists(Ini())) << "a stop saves nothing";
}

TEST_F(PropertiesTest, InstallButtonRunsTheProgramWithItsSwitch) {
  Open();
  ops_.runResult = {0, "Service installed successfully\n", ""};
  QTest::mouseClick(Button("bUU"), Qt::LeftButton);
  EXPECT_EQ(ops_.calls, (std::vector<std::string>{"installed?", "run /install", "installed?"}));
  EXPECT_EQ(dialogs_->messages, std::vector<std::string>{"Service installed successfully"});
  EXPECT_FALSE(ops_.program.empty());

  // A running service is asked to stop before it is removed; a failure is an error box.
  ops_.installed = true;
  ops_.states = {kServiceRunning};
  ops_.calls.clear();
  ops_.runResult = {1, "", "Service \"Quillon 2\" failed to uninstall with error: \"x\"\n"};
  QTest::mouseClick(Button("bUU"), Qt::LeftButton);
  EXPECT_EQ(ops_.calls, (std::vector<std::string>{"installed?", "query", "stop", "run /uninstall",
                                                  "installed?", "query"}));
  EXPECT_EQ(dialogs_->errors, std::vector<std::string>{
                                  "Service \"Quillon 2\" failed to uninstall with error: \"x\""});
  EXPECT_TRUE(Button("bUU")->isEnabled());
}

TEST_F(PropertiesTest, HelpShowsTheURLSyntax) {
  Open();
  QTest::mouseClick(Button("bHelp"), Qt::LeftButton);
  EXPECT_EQ(
      dialogs_->messages,
      std::vector<std::string>{
          "[PROTOCOL://][LOGIN:PASSWORD@] HOST [:PORT][/ROUTE][?PARAMETERS&&VARIABLES=VALUES]"});
}

TEST_F(PropertiesTest, SaveCaptionCyclesThroughTheHues) {
  TfmProperties& w = Open();
  w.c_counter = 254;
  w.SaveColorTick();
  EXPECT_EQ(w.c_counter, 255);
  w.SaveColorTick();
  EXPECT_EQ(w.c_counter, 0);
  EXPECT_EQ(Button("mbOK")->palette().color(QPalette::ButtonText), QColor(255, 0, 0));
  w.SaveColorTick();
  tRGB c = HueToColor(1 / 255.0);
  EXPECT_EQ(Button("mbOK")->palette().color(QPalette::ButtonText), QColor(c.red, c.green, c.blue));
  uint8_t before = w.c_counter;
  QTest::qWait(150);  // the 24 ms timer runs by itself
  EXPECT_NE(w.c_counter, before);
}

TEST(HueToColor, Table) {
  struct tCase {
    double x;
    tRGB rgb;
  };
  const tCase cases[] = {
      {0.0, {255, 0, 0}},   {0.1, {255, 153, 0}}, {1 / 6.0, {255, 255, 0}}, {0.25, {127, 255, 0}},
      {0.4, {0, 255, 102}}, {0.5, {0, 255, 255}}, {0.6, {0, 102, 255}},     {0.75, {128, 0, 255}},
      {0.9, {255, 0, 153}}, {1.0, {255, 0, 255}}, {-0.5, {255, 0, 0}},      {7.0, {255, 0, 255}},
  };
  for (const tCase& c : cases) {
    tRGB got = HueToColor(c.x);
    EXPECT_EQ(got, c.rgb) << c.x << ": " << int(got.red) << "," << int(got.green) << ","
                          << int(got.blue);
  }
}

}  // namespace
}  // namespace q2

// One application for all tests, on the offscreen platform, gone before the statics are.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
