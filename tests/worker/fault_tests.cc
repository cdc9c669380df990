// Faults around the order worker: a cash server that dies in the middle of an order, a stop
// in the middle of an iteration, folders that cannot be used, a very large order, a disk
// that fills while the log is written. In every case no order may be lost or handled twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>

#include "cashserver/map_list.h"
#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/sleep.h"
#include "test_util.h"
#include "transport/tcp_client.h"
#include "transport/xml_test_server.h"
#include "worker/order_worker.h"
#include "zoltsim/zolt_sim.h"

namespace q2 {
namespace {

namespace fs = std::filesystem;

std::string OrderXml(int number, bool paid, const std::string& filler = std::string()) {
  std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Order>\n";
  x += "  <ExtSource source=\"120\" extID=\"" + std::to_string(number) + "\"/>\n  <Session>\n";
  if (paid) x += "    <Payments><Payment id=\"1\" amount=\"10000\"/></Payments>\n";
  x += "    <Dish id=\"101\" quantity=\"1000\"/>\n" + filler + "  </Session>\n</Order>\n";
  return x;
}

// Passes requests through to the simulator until the chosen command arrives; from then on,
// while `dead` holds, every request is dropped with its connection, as a server that died.
class DyingServer {
 public:
  DyingServer(uint16_t upstreamPort, std::string killer)
      : upstream_("127.0.0.1:" + std::to_string(upstreamPort)), killer_(std::move(killer)) {
    test::tServerBehaviour b;
    b.reply = [this](tXmlTcpServerConnection& conn, const tXmlTcpRequest& request) {
      // The server dies at the first request of that command, and stays dead until revived.
      if (!died_ && request.payload.find("CMD=\"" + killer_ + "\"") != std::string::npos) {
        died_ = true;
        dead = true;
      }
      if (dead) return false;
      tHeapMemStream answer;
      int32_t number = 0;
      std::string error;
      if (!CallXmlTcp(upstream_, "", request.payload.data(), request.payload.size(), number, answer,
                      error)) {
        return false;
      }
      return conn.WriteResponse(answer.Bytes(), request.requestNumber);
    };
    server_ = std::make_unique<test::tTestXmlServer>(b);
  }
  uint16_t Port() const { return server_->Port(); }
  std::atomic<bool> dead{false};

 private:
  std::string upstream_, killer_;
  std::atomic<bool> died_{false};
  std::unique_ptr<test::tTestXmlServer> server_;
};

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_.path();
    setenv("QUILLON2_HOME", home_.c_str(), 1);
    SetLogSettings(home_ + "LOGS/", 0);
    sim::tZoltSimOptions options;
    options.quiet = true;
    sim_ = std::make_unique<sim::tZoltSim>(options);
    sim_->Start();
    Set("CMDDir", home_ + "commands");
    Set("XMLDir", home_ + "orders");
    Set("UnpDir", home_ + "Unpaid");
    Set("Interval", "1");
    Set("ErrorInterval", "1");
    Set("Unit", "1");
    Set("OfflineWaiter", "Онлайн заказы");
    Set("XMLInterface", "127.0.0.1:" + std::to_string(sim_->TcpPort()));
    ForceFolders(home_ + "orders");
    ForceFolders(home_ + "commands");
  }
  void TearDown() override { unsetenv("QUILLON2_HOME"); }
  void Set(const char* key, const std::string& value) {
    tIniFile(home_ + "Quillon2.INI").WriteString("Settings", key, value);
  }
  void Drop(int number, bool paid, const std::string& filler = std::string()) {
    const std::string name = std::to_string(number) + ".xml";
    WriteFileBytes(home_ + "orders/." + name, OrderXml(number, paid, filler));
    ASSERT_TRUE(MoveFile(home_ + "orders/." + name, home_ + "orders/" + name));
  }
  bool Has(const std::string& path) const { return FileExists(home_ + path); }
  size_t Count(const std::string& folder) const {
    return ListDirectory(home_ + folder, "*.xml").size();
  }
  std::string Log() const {
    std::string text;
    for (const std::string& n : ListDirectory(home_ + "LOGS/", "QUILLON2_*.LOG")) {
      text += Utf16LEToUtf8(ReadFileBytes(home_ + "LOGS/" + n).substr(2));
    }
    return text;
  }
  size_t Requests(const std::string& command, const std::string& orderNumber) const {
    size_t n = 0;
    for (const sim::tJournalEntry& e : sim_->Journal()) {
      if (e.command == command &&
          (orderNumber.empty() ||
           e.document.find("nonPersistentComment=\"" + orderNumber + "\"") != std::string::npos)) {
        ++n;
      }
    }
    return n;
  }
  bool RunUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    auto worker = std::make_unique<tOrderWorker>();
    worker->LoadSettings();
    worker->Signal();
    bool ok = false;
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if ((ok = done())) break;
      SleepMs(20);
    }
    worker->Stop();
    return ok;
  }

  q2test::TempDir dir_;
  std::string home_;
  std::unique_ptr<sim::tZoltSim> sim_;
};

TEST_F(FaultTest, CashServerDyingInTheMiddleOfAnOrderLeavesTheFileAndNoMapEntry) {
  DyingServer server(sim_->TcpPort(), "SaveOrder");
  Set("XMLInterface", "127.0.0.1:" + std::to_string(server.Port()));
  Drop(500, true);
  ASSERT_TRUE(RunUntil([&] {
    return Log().find("thrd: Zolt SaveOrder error: ") != std::string::npos;
  })) << Log();
  EXPECT_TRUE(Has("orders/500.xml"));  // the server was not reached: tried again later
  EXPECT_FALSE(Has("failed_orders/500.xml"));
  {
    tMapList map(home_ + "worker_e2e_tests.map");
    tMapValue v{};
    map.Find(500, v);
    EXPECT_EQ(v.OrderId, 0);
    EXPECT_EQ(fs::file_size(home_ + "worker_e2e_tests.map"), 0u);
  }
  // The server comes back: the order goes through once, and the map points to it.
  server.dead = false;
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/500.xml"); })) << Log();
  tMapList map(home_ + "worker_e2e_tests.map");
  tMapValue v{};
  map.Find(500, v);
  EXPECT_EQ(v.OrderId, 500);
  ASSERT_FALSE(sim_->Orders().empty());
  EXPECT_EQ(GUIDToString(v.GUID), sim_->Orders().back().guid);
}

TEST_F(FaultTest, StopInTheMiddleOfAnIterationLosesNothingAndTheNextStartFinishes) {
  constexpr int kOrders = 12;
  for (int n = 1; n <= kOrders; ++n) Drop(n, true);
  auto worker = std::make_unique<tOrderWorker>();
  worker->LoadSettings();
  worker->Signal();
  while (Count("old_orders/") == 0) SleepMs(5);
  for (int n = kOrders + 1; n <= 2 * kOrders; ++n) Drop(n, true);  // after the listing
  worker->Stop();
  worker.reset();
  // The stop waited for the listed files; the later ones wait for the next start.
  EXPECT_EQ(Count("old_orders/"), static_cast<size_t>(kOrders));
  EXPECT_EQ(Count("orders/"), static_cast<size_t>(kOrders));
  ASSERT_TRUE(RunUntil([&] { return Count("orders/") == 0; }));
  EXPECT_EQ(Count("old_orders/"), static_cast<size_t>(2 * kOrders));
  EXPECT_EQ(Count("failed_orders/"), 0u);
  for (int n = 1; n <= 2 * kOrders; ++n) {
    EXPECT_EQ(Requests("CreateOrder", std::to_string(n)), 1u) << n;  // created exactly once
  }
}

TEST_F(FaultTest, OrderFolderThatCannotBeListedIsReportedAndCommandsStillRun) {
  RunUntil([&] { return true; });  // creates the folders
  fs::remove_all(home_ + "orders");
  WriteFileBytes(home_ + "orders", "not a folder");
  WriteFileBytes(home_ + "commands/1.xml", "<CMD>PING:x</CMD>");
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/1.xml"); }));
  EXPECT_NE(Log().find("ERROR   thrd: can't list the folder \"" + home_ + "orders/\": "),
            std::string::npos);
}

TEST_F(FaultTest, FiftyMegabyteOrderIsHandled) {
  // Most of it is lines under an element the order parser does not read.
  std::string filler = "    <Notes>\n";
  const std::string line = "      <Note text=\"" + std::string(100, 'x') + "\"/>\n";
  while (filler.size() < 50u * 1024 * 1024) filler += line;
  filler += "    </Notes>\n";
  Drop(600, false, filler);
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/600.xml"); }, 120000));
  EXPECT_GT(fs::file_size(home_ + "Unpaid/600.xml"), 50u * 1024 * 1024);
  EXPECT_EQ(Requests("ValidateOrder", ""), 1u);
}

// The real program with a file-size limit: every write past it fails as on a full disk.
TEST_F(FaultTest, DiskThatFillsWhileTheLogIsWrittenStopsNothing) {
  const std::string program = std::string(Q2_BINARY_DIR) + "/bin/quillon2";
  for (int n = 1; n <= 30; ++n) Drop(n, false);
  const std::string errors = home_ + "stderr.txt";
  pid_t pid = fork();
  if (pid == 0) {
    freopen(errors.c_str(), "w", stderr);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16 * 1024, 16 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    execl(program.c_str(), program.c_str(), "/svc", nullptr);
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 1500 && Count("orders/") > 0; ++i) SleepMs(20);
  SleepMs(1500);  // a few more iterations with the log full
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the service ended by itself";
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
  // Every order went through although its log lines could not be written.
  EXPECT_EQ(Count("orders/"), 0u);
  EXPECT_EQ(Count("old_orders/"), 30u);
  EXPECT_EQ(Requests("ValidateOrder", ""), 30u);
  EXPECT_LE(fs::file_size(LogFileName()), 16u * 1024);
  EXPECT_EQ(fs::file_size(LogFileName()) % 2, 0u);  // whole UTF-16 code units only
  EXPECT_NE(ReadFileBytes(errors).find("quillon2: cannot write the log: Cannot write file"),
            std::string::npos);
}

}  // namespace
}  // namespace q2
