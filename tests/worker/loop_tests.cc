#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>

#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/sleep.h"
#include "test_util.h"
#include "worker/vdu_thread.h"

namespace q2 {
namespace {

// Records the files in the order the loop hands them over; can be slowed down.
class RecordingThread final : public TVDUThread {
 public:
  std::mutex mutex;
  std::vector<std::string> handled;
  std::atomic<int> delayMs{0};
  std::atomic<int> iterations{0};
  std::atomic<bool> failOpen{false};

 protected:
  void OpenResources() override {
    if (failOpen) throw std::runtime_error("map file is held by another process");
  }
  void PollRemoteFolders() override { ++iterations; }
  bool HandleOrderFile(const std::string& name, tIterationState& it) override {
    Record("order " + name);
    return TVDUThread::HandleOrderFile(name, it);
  }
  bool HandleCommandFile(const std::string& name, tIterationState& it) override {
    Record("command " + name);
    return TVDUThread::HandleCommandFile(name, it);
  }

 private:
  void Record(const std::string& what) {
    SleepMs(delayMs);
    std::lock_guard<std::mutex> lock(mutex);
    handled.push_back(what);
  }
};

class LoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("QUILLON2_HOME", home_.path().c_str(), 1);
    SetLogSettings(home_.path() + "logs", 0);
    tIniFile ini(home_.path() + "Quillon2.INI");
    ini.WriteString("Settings", "CMDDir", home_.path() + "cmd");
    ini.WriteString("Settings", "XMLDir", home_.path() + "orders");
    ini.WriteString("Settings", "UnpDir", home_.path() + "unpaid");
    ini.WriteString("Settings", "Interval", "1");
    ForceFolders(home_.path() + "cmd");
    ForceFolders(home_.path() + "orders");
  }
  void TearDown() override { unsetenv("QUILLON2_HOME"); }
  void Drop(const std::string& folder, const std::string& name) {
    WriteFileBytes(home_.path() + folder + "/" + name, "<x/>");
  }
  std::string Log() {
    if (!FileExists(LogFileName())) return std::string();
    std::string bytes = ReadFileBytes(LogFileName());
    return Utf16LEToUtf8(bytes.substr(2));
  }
  static bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
    for (int waited = 0; waited < timeoutMs; waited += 10) {
      if (cond()) return true;
      SleepMs(10);
    }
    return cond();
  }
  q2test::TempDir home_;
};

TEST_F(LoopTest, OrderFilesFirstThenCommandFilesInListingOrder) {
  for (const char* n : {"1.xml", "2.xml", "3.XML"}) Drop("orders", n);
  for (const char* n : {"7.xml", "8.xml"}) Drop("cmd", n);
  Drop("orders", "note.txt");  // not listed
  RecordingThread t;
  t.LoadSettings();
  t.Signal();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.handled.size() == 5;
  }));
  t.Stop();
  std::lock_guard<std::mutex> lock(t.mutex);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(t.handled[i].rfind("order ", 0), 0u) << t.handled[i];
  for (size_t i = 3; i < 5; ++i) EXPECT_EQ(t.handled[i].rfind("command ", 0), 0u) << t.handled[i];
  // The listing order is the directory's own: compare with what the directory said.
  std::vector<std::string> handledOrders(t.handled.begin(), t.handled.begin() + 3);
  std::vector<std::string> sorted = handledOrders;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<std::string>{"order 1.xml", "order 2.xml", "order 3.XML"}));
  EXPECT_TRUE(FileExists(home_.path() + "old_orders/3.XML"));
  EXPECT_TRUE(FileExists(home_.path() + "orders/note.txt"));
  EXPECT_TRUE(ListDirectory(home_.path() + "cmd/", "*.xml").empty());
  EXPECT_EQ(ReadFileBytes(home_.path() + "logs/QUILLON2_RESULT.TXT"), "OK");
}

TEST_F(LoopTest, StopDuringALongIterationIsHonouredAfterTheLastListedFile) {
  for (const char* n : {"1.xml", "2.xml", "3.xml", "4.xml"}) Drop("orders", n);
  RecordingThread t;
  t.delayMs = 150;
  t.LoadSettings();
  t.Signal();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(t.mutex);
    return !t.handled.empty();
  }));
  t.Stop();  // returns only when the iteration has handled every listed file
  std::lock_guard<std::mutex> lock(t.mutex);
  EXPECT_EQ(t.handled.size(), 4u);
  EXPECT_EQ(t.iterations.load(), 1);
  EXPECT_NE(Log().find("thrd: terminated"), std::string::npos);
}

TEST_F(LoopTest, IteratesOnItsTimerAndStopsPromptlyWhileSleeping) {
  SetLogSettings(home_.path() + "logs", 2);
  RecordingThread t;
  t.LoadSettings();
  t.Signal();
  ASSERT_TRUE(WaitUntil([&] { return t.iterations >= 3; }, 5000));
  auto start = std::chrono::steady_clock::now();
  t.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  std::string log = Log();
  size_t count = 0;
  for (size_t p = 0; (p = log.find("thrd: -- new iteration --", p)) != std::string::npos; ++p)
    ++count;
  EXPECT_GE(count, 3u);
  EXPECT_EQ(log.find("thrd: done"), std::string::npos);  // never connected
}

TEST_F(LoopTest, AFailingFileEndsTheIterationAndTheNextComesAfterTheErrorInterval) {
  tIniFile(home_.path() + "Quillon2.INI").WriteString("Settings", "ErrorInterval", "60");
  Drop("orders", "1.xml");
  RecordingThread t;
  t.LoadSettings();
  // The old-orders folder is replaced by a file, so the move fails in the iteration guard.
  std::filesystem::remove_all(home_.path() + "old_orders");
  WriteFileBytes(home_.path() + "old_orders", "not a folder");
  t.Signal();
  ASSERT_TRUE(
      WaitUntil([&] { return Log().find("thrd: can't move a new order: ") != std::string::npos; }));
  SleepMs(1500);
  EXPECT_EQ(t.iterations.load(), 1);  // 60 s pause, not 1 s
  EXPECT_EQ(ReadFileBytes(home_.path() + "logs/QUILLON2_RESULT.TXT"), "ERROR THREAD_ERROR");
  EXPECT_TRUE(FileExists(home_.path() + "orders/1.xml"));
  t.Stop();
}

TEST_F(LoopTest, AFailureOutsideTheGuardsEndsTheWorkerAndIsReported) {
  RecordingThread t;
  t.failOpen = true;
  std::atomic<bool> told{false};
  t.SetOnFatal(
      [&](const std::string& msg) { told = msg == "map file is held by another process"; });
  t.LoadSettings();
  t.Signal();
  ASSERT_TRUE(WaitUntil([&] { return t.Finished(); }));
  EXPECT_TRUE(told.load());
  EXPECT_EQ(t.FatalError(), "map file is held by another process");
  EXPECT_NE(Log().find("ERROR   thrd: map file is held by another process"), std::string::npos);
  t.Stop();
}

}  // namespace
}  // namespace q2
