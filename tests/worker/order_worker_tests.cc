// The order worker end to end in a temporary program folder: the cash-server simulator in
// process, a local HTTP recorder for the posts, a UDP socket on 127.0.0.1 for the display
// feed and, for the FTP folders, a local FTP server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "cashserver/map_list.h"
#include "core/log.h"
#include "notify/notify_test_support.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/ini.h"
#include "platform/sleep.h"
#include "test_util.h"
#include "vdu/decoder.h"
#include "worker/order_worker.h"
#include "zoltsim/zolt_sim.h"

namespace q2 {
namespace {

namespace fs = std::filesystem;

constexpr int kRestCode = 1042;  // the simulator's default restaurant

struct Post {
  std::string path, body;
};

// The orders, checks, cancels and ping endpoints, all on one recorder.
class Recorder {
 public:
  explicit Recorder(const std::string& dir, int port = 0) : dir_(dir) {
    ForceFolders(dir_);
    child_ = std::make_unique<q2test::ChildProcess>(
        std::vector<std::string>{
            q2test::Python3(), q2test::TestsDir() + "/support/http_recorder.py", "--port-file",
            dir_ + "port", "--log", dir_ + "posts.jsonl", "--port", std::to_string(port)},
        dir_ + "out.txt");
    port_ = q2test::WaitForPort(dir_ + "port", *child_);
  }
  int Port() const { return port_; }
  std::vector<Post> Posts() const {
    std::vector<Post> posts;
    if (!FileExists(dir_ + "posts.jsonl")) return posts;
    std::string text = ReadFileBytes(dir_ + "posts.jsonl");
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      q2test::Json j = q2test::JsonParser(text.substr(start, end - start)).Parse();
      posts.push_back({j["path"].str(), j["body"].str()});
    }
    return posts;
  }

 private:
  std::string dir_;
  std::unique_ptr<q2test::ChildProcess> child_;
  int port_ = 0;
};

// A UDP socket on 127.0.0.1 that collects the display datagrams.
class DisplayReceiver {
 public:
  DisplayReceiver() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    int big = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  }
  ~DisplayReceiver() { close(fd_); }
  int Port() const { return port_; }
  // Every whole message received so far, unscrambled and parsed.
  std::vector<tVDUMessageView> Messages() {
    uint8_t buffer[2048];
    for (;;) {
      ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n <= 0) break;
      ++datagrams_;
      auto d = ParseVDUDatagram(buffer, static_cast<size_t>(n));
      if (!d) continue;
      if (auto m = reassembler_.Add(*d)) {
        UndoCodebuf(m->Bytes.data(), m->Bytes.size(), kRestCode);
        messages_.push_back(ParseVDUMessageBytes(m->Bytes.data(), m->Bytes.size()));
      }
    }
    return messages_;
  }
  int Datagrams() const { return datagrams_; }

 private:
  int fd_ = -1, port_ = 0, datagrams_ = 0;
  tVDUReassembler reassembler_;
  std::vector<tVDUMessageView> messages_;
};

struct OrderSpec {
  int number = 0;
  bool paid = false, delivery = false;
  bool declaration = true;
  std::string statusId;  // the {DF77...} source
  OrderSpec& Paid() {
    paid = true;
    return *this;
  }
  OrderSpec& WithDelivery() {
    delivery = true;
    return *this;
  }
  OrderSpec& NoDeclaration() {
    declaration = false;
    return *this;
  }
  OrderSpec& Status(const std::string& id) {
    statusId = id;
    return *this;
  }
};

OrderSpec Order(int number) {
  OrderSpec o;
  o.number = number;
  return o;
}

std::string OrderXml(const OrderSpec& o) {
  std::string x = o.declaration ? "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" : "";
  x += "<Order persistentComment=\"позвонить\">\n  <OrderType id=\"2\"/>\n";
  x += "  <ExtSource source=\"120\" extID=\"" + std::to_string(o.number) + "\"/>\n";
  if (!o.statusId.empty()) {
    x += "  <ExtSource source=\"{DF77A2D3-405D-4A5D-B8B6-4150533A2F1D}\" extID=\"" + o.statusId +
         "\"/>\n";
  }
  if (o.delivery) {
    x += "  <Delivery deliveryState=\"1\" startTime=\"2026-12-10T12:00:00\" "
         "travelTime=\"1899-12-30T00:30:00\" deliveryTime=\"2026-12-10T13:00:00\" zoneID=\"3\" "
         "zoneName=\"Центр\" orderPrefix=\"D\"/>\n";
  }
  x += "  <Session>\n    <Course code=\"1\"/>\n";
  if (o.paid) {
    x += "    <Payments><Payment id=\"5\" amount=\"45000\" extTransactionInfo=\"tx-1\" "
         "interface=\"web\"/></Payments>\n";
  }
  x += "    <Dish id=\"101\" quantity=\"2000\"><Modi id=\"901\" quantity=\"1000\"/></Dish>\n"
       "    <Combo id=\"7\" quantity=\"1000\"><Component id=\"3\"><ComboModi id=\"55\" "
       "quantity=\"1000\"/></Component></Combo>\n"
       "  </Session>\n</Order>\n";
  return x;
}

std::string Command(const std::string& text) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<CMD>" + text + "</CMD>\n";
}

class OrderWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_.path();
    setenv("QUILLON2_HOME", home_.c_str(), 1);
    SetLogSettings(home_ + "LOGS/", 2);
    SetAnsiCodePage(1251);
    sim::tZoltSimOptions options;
    options.quiet = true;
    sim_ = std::make_unique<sim::tZoltSim>(options);
    sim_->Start();
    recorder_ = std::make_unique<Recorder>(home_ + "recorder/");
    ASSERT_NE(recorder_->Port(), 0);
    const std::string http = "http://127.0.0.1:" + std::to_string(recorder_->Port());
    Set("CMDDir", home_ + "commands");
    Set("XMLDir", home_ + "orders");
    Set("UnpDir", home_ + "Unpaid");
    Set("EQDir", home_ + "EQ");
    Set("Interval", "1");
    Set("ErrorInterval", "1");
    Set("XMLInterface", "127.0.0.1:" + std::to_string(sim_->TcpPort()));
    Set("Unit", "1");
    Set("OfflineWaiter", "онлайн ЗАКАЗЫ");
    Set("OrdersURL", http + "/orders");
    Set("ChecksURL", http + "/checks");
    Set("CancelsURL", http + "/cancels");
    Set("PingURL", http + "/ping");
    Set("VDUAddress", "127.0.0.1:" + std::to_string(display_.Port()));
    Set("ViewWait", "5");
    ForceFolders(home_ + "orders");
    ForceFolders(home_ + "commands");
  }
  void TearDown() override {
    worker_.reset();
    SetAnsiCodePage(0);
    unsetenv("QUILLON2_HOME");
  }

  void Set(const char* key, const std::string& value) {
    tIniFile(home_ + "Quillon2.INI").WriteString("Settings", key, value);
  }
  void DropOrder(const OrderSpec& o) {
    Drop("orders", std::to_string(o.number) + ".xml", OrderXml(o));
  }
  void Drop(const std::string& folder, const std::string& name, const std::string& bytes) {
    // Written beside and renamed in, as a front end should.
    WriteFileBytes(home_ + folder + "/." + name + ".tmp", bytes);
    ASSERT_TRUE(MoveFile(home_ + folder + "/." + name + ".tmp", home_ + folder + "/" + name));
  }
  bool Has(const std::string& path) const { return FileExists(home_ + path); }
  std::string Log() const {
    std::string text;
    for (const std::string& n : ListDirectory(home_ + "LOGS/", "QUILLON2_*.LOG")) {
      text += Utf16LEToUtf8(ReadFileBytes(home_ + "LOGS/" + n).substr(2));
    }
    return text;
  }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  size_t LogCount(const std::string& text) const {
    std::string log = Log();
    size_t n = 0;
    for (size_t p = 0; (p = log.find(text, p)) != std::string::npos; ++p) ++n;
    return n;
  }
  std::vector<std::string> Bodies(const std::string& path) const {
    std::vector<std::string> bodies;
    for (const Post& p : recorder_->Posts()) {
      if (p.path == path) bodies.push_back(p.body);
    }
    return bodies;
  }
  size_t CountCommand(const std::string& cmd) const {
    auto c = sim_->Commands();
    return static_cast<size_t>(std::count(c.begin(), c.end(), cmd));
  }

  void StartWorker() {
    worker_ = std::make_unique<tOrderWorker>();
    worker_->LoadSettings();
    worker_->Signal();
  }
  // Runs the worker until `done` holds (at most timeoutMs), then stops it.
  bool RunUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    if (!worker_) StartWorker();
    bool ok = false;
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if ((ok = done())) break;
      SleepMs(20);
    }
    worker_->Stop();
    worker_.reset();
    return ok;
  }
  tMapValue MapEntry(int32_t orderId) {
    tMapList map(home_ + "worker_e2e_tests.map");
    tMapValue v{};
    map.Find(orderId, v);
    return v;
  }

  q2test::TempDir dir_;
  std::string home_;
  std::unique_ptr<sim::tZoltSim> sim_;
  std::unique_ptr<Recorder> recorder_;
  DisplayReceiver display_;
  std::unique_ptr<tOrderWorker> worker_;
};

TEST_F(OrderWorkerTest, UnpaidOrderIsValidatedCopiedMovedAndPosted) {
  DropOrder(Order(1234).NoDeclaration());
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/1234.xml") && !Bodies("/orders").empty(); }));
  EXPECT_EQ(CountCommand("ValidateOrder"), 1u);
  EXPECT_EQ(CountCommand("CreateOrder"), 0u);
  EXPECT_TRUE(Has("Unpaid/1234.xml"));
  EXPECT_EQ(Bodies("/orders"), (std::vector<std::string>{"order_id=1234&status=1"}));
  EXPECT_TRUE(LogHas("thrd: CMD = OValidate"));
  EXPECT_TRUE(LogHas("thrd: connected to res = 1042 mid = 15001 (KASSA-1)"));
  EXPECT_TRUE(LogHas("thrd: done"));
  EXPECT_EQ(ReadFileBytes(home_ + "LOGS/QUILLON2_RESULT.TXT"), "OK");
  // The file had no declaration: it got one on disk, in front of its bytes.
  const std::string moved = ReadFileBytes(home_ + "old_orders/1234.xml");
  EXPECT_EQ(moved, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n" +
                       OrderXml(Order(1234).NoDeclaration()));
  EXPECT_EQ(ReadFileBytes(home_ + "Unpaid/1234.xml"), moved);
  // Level 2: the reference lists went to the log folder.
  EXPECT_EQ(ReadFileBytes(home_ + "LOGS/Classes.csv").substr(0, 2), "\xFF\xFE");
  EXPECT_TRUE(Has("LOGS/Dishes.csv"));
  EXPECT_TRUE(Has("LOGS/Employees.csv"));
}

TEST_F(OrderWorkerTest, PaidOrderIsCreatedMappedAndQueuedWithoutCopy) {
  DropOrder(Order(77).Paid().Status("web-77"));
  const std::string withDeclaration = OrderXml(Order(77).Paid().Status("web-77"));
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/77.xml") && !Bodies("/orders").empty(); }));
  EXPECT_EQ(sim_->Commands(),
            (std::vector<std::string>{"GetSystemInfo", "GetRefData", "GetRefData", "KDSGetRefsData",
                                      "GetWaiterList", "CreateOrder", "GetOrder", "SaveOrder",
                                      "DeliveryUpdateStatus", "WaiterMessage"}));
  EXPECT_FALSE(Has("Unpaid/77.xml"));
  EXPECT_EQ(ReadFileBytes(home_ + "old_orders/77.xml"), withDeclaration);  // left byte for byte
  EXPECT_EQ(Bodies("/orders"), (std::vector<std::string>{"order_id=web-77&status=1"}));
  ASSERT_EQ(sim_->Orders().size(), 1u);
  const auto order = sim_->Orders()[0];
  tMapValue entry = MapEntry(77);
  EXPECT_EQ(entry.OrderId, 77);
  EXPECT_EQ(GUIDToString(entry.GUID), order.guid);
  // EQ file: numeric style, unit 1, the two last digits of the display sequence value
  // (cash group 15001 in the upper half, the order's sequence number in the lower).
  const int32_t vdusq =
      static_cast<int32_t>((15001u << 16) | static_cast<uint32_t>(order.seqNumber));
  char digits[8];
  snprintf(digits, sizeof digits, "%02d", vdusq % 100);
  EXPECT_EQ(ReadFileBytes(home_ + "EQ/77.xml"), std::string("1") + digits);
  EXPECT_EQ(display_.Datagrams(), 0);  // OCREATE feeds no display message
}

TEST_F(OrderWorkerTest, DeliveryOrderIsCreatedWithItsState) {
  DropOrder(Order(90).WithDelivery());
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/90.xml"); }));
  EXPECT_TRUE(LogHas("thrd: CMD = OCreate"));
  ASSERT_EQ(sim_->Orders().size(), 1u);
  EXPECT_EQ(sim_->Orders()[0].deliveryState, 1);
  EXPECT_FALSE(Has("Unpaid/90.xml"));
}

TEST_F(OrderWorkerTest, FileNameThatIsNotANumberFailsAndIsPostedUnderItsName) {
  Drop("orders", "abc.xml", OrderXml(Order(5)));
  ASSERT_TRUE(RunUntil([&] { return Has("failed_orders/abc.xml") && !Bodies("/orders").empty(); }));
  EXPECT_TRUE(LogHas("ERROR   thrd: ''abc'' is not a valid integer value"));
  EXPECT_EQ(Bodies("/orders"), (std::vector<std::string>{"order_id=abc&status=2"}));
  EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(OrderWorkerTest, UnreachableCashServerLeavesTheFileAndWaitsTheErrorInterval) {
  Set("XMLInterface", "127.0.0.1:9");
  Set("ErrorInterval", "3");
  DropOrder(Order(11).Paid());
  SetLogSettings(home_ + "LOGS/", 0);
  StartWorker();
  SleepMs(2500);
  worker_->Stop();
  worker_.reset();
  EXPECT_TRUE(Has("orders/11.xml"));
  EXPECT_EQ(LogCount("WARNING error connecting to cash server: ZoltCALL error \"connect "
                     "127.0.0.1:9. Error=10061 Connection refused\""),
            1u);  // the second try comes after 3 s
  EXPECT_TRUE(Bodies("/orders").empty());
  EXPECT_FALSE(LogHas("thrd: done"));
}

TEST_F(OrderWorkerTest, ErrorAnswerSetsTheOrderAsideAndPostsStatus2) {
  sim::tFault fault;
  fault.command = "ValidateOrder";
  fault.errorNumber = 17;
  fault.errorText = "стоп-лист";
  sim_->AddErrorAnswer(fault);
  DropOrder(Order(12));
  ASSERT_TRUE(RunUntil([&] { return Has("failed_orders/12.xml") && !Bodies("/orders").empty(); }));
  EXPECT_TRUE(LogHas("thrd: Zolt ValidateOrder error: Zolt XML error \"стоп-лист\""));
  EXPECT_EQ(Bodies("/orders"), (std::vector<std::string>{"order_id=12&status=2"}));
  EXPECT_FALSE(Has("Unpaid/12.xml"));
}

TEST_F(OrderWorkerTest, FprintPaysFeedsTheDisplayAndPostsTheQueueNumber) {
  DropOrder(Order(55).Paid());
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/55.xml"); }));
  fs::remove(home_ + "EQ/55.xml");
  sim_->ClearJournal();
  Drop("commands", "55.xml", Command(" FPRINT:abc "));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/55.xml") && !Bodies("/checks").empty(); }));
  EXPECT_EQ(CountCommand("PayOrder"), 1u);
  EXPECT_TRUE(sim_->Orders()[0].paid);
  const std::string eq = ReadFileBytes(home_ + "EQ/55.xml");
  EXPECT_EQ(Bodies("/checks"), (std::vector<std::string>{"eq=" + eq + "&order_id=55&status=1"}));
  std::vector<tVDUMessageView> messages = display_.Messages();
  ASSERT_EQ(messages.size(), 1u);
  const tVDUMessageView& m = messages[0];
  EXPECT_EQ(m.Caption.CaptLen, 9071);
  EXPECT_EQ(m.Caption.VCCommand, 2);
  EXPECT_EQ(m.Caption.ExtraOrderId, 55);
  ASSERT_EQ(m.Caption.LCnt, 5);  // extra, dish, modifier, combo, component
  EXPECT_EQ(m.Records[0].FileNumber, 55);
  EXPECT_EQ(m.Records[1].Class, 1);
  EXPECT_EQ(m.Records[1].Qnt, 2.0);
  EXPECT_EQ(AnsiToUtf8(m.Records[1].Name), "Борщ с пампушками");
  EXPECT_EQ(m.Records[1].SIFR, 1101);
  EXPECT_EQ(m.Records[1].Stream, 3);
  EXPECT_EQ(m.Records[3].Class, 3);
  EXPECT_EQ(m.Records[4].Class, 4);
  EXPECT_EQ(ReadFileBytes(home_ + "LOGS/QUILLON2_RESULT.TXT"), "OK");
  EXPECT_TRUE(Has("old_orders/55.xml"));  // the order stays
}

TEST_F(OrderWorkerTest, KillOfAPaidOrderVoidsItAndPostsToCancels) {
  DropOrder(Order(60).Paid());
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/60.xml"); }));
  Drop("commands", "60.xml", Command("kill"));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/60.xml") && !Bodies("/cancels").empty(); }));
  EXPECT_EQ(Bodies("/cancels"), (std::vector<std::string>{"order_id=60&status=1"}));
  EXPECT_TRUE(sim_->Orders()[0].visitClosed);
  EXPECT_GE(CountCommand("CloseVisit"), 1u);
}

TEST_F(OrderWorkerTest, KillOfAnUnpaidOrderTakesTheShortPath) {
  DropOrder(Order(61));
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/61.xml"); }));
  sim_->ClearJournal();
  Drop("commands", "61.xml", Command("KILL"));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/61.xml") && !Bodies("/cancels").empty(); }));
  EXPECT_TRUE(LogHas("thrd: executing KILL_NOT_PAID 61.xml"));
  EXPECT_FALSE(Has("old_orders/61.xml"));
  EXPECT_TRUE(sim_->Commands().empty());  // the cash server is not contacted
  EXPECT_EQ(Bodies("/cancels"), (std::vector<std::string>{"order_id=61&status=1"}));
}

TEST_F(OrderWorkerTest, VduCommandPostsWithoutPlacementOrDisplay) {
  DropOrder(Order(62).Paid());
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/62.xml"); }));
  sim_->ClearJournal();
  Drop("commands", "62.xml", Command("VDU"));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/62.xml"); }));
  EXPECT_EQ(Bodies("/orders").back(), "order_id=62&status=1");
  EXPECT_EQ(Bodies("/orders").size(), 2u);
  EXPECT_EQ(display_.Datagrams(), 0);
  EXPECT_EQ(CountCommand("GetSystemInfo"), 1u);  // it still connects
  EXPECT_EQ(CountCommand("CreateOrder") + CountCommand("PayOrder"), 0u);
}

TEST_F(OrderWorkerTest, VduCommandOnAnUnpaidOrderNeedsNoCopy) {
  DropOrder(Order(63));
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/63.xml"); }));
  Drop("commands", "63.xml", Command("DELIVERY"));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/63.xml"); }));
  EXPECT_FALSE(Has("failed_commands/63.xml"));
  EXPECT_EQ(Bodies("/orders"),
            (std::vector<std::string>{"order_id=63&status=1", "order_id=63&status=1"}));
}

TEST_F(OrderWorkerTest, PingWithAndWithoutItsUrl) {
  Drop("commands", "1.xml", Command("PING:rest-7"));
  Drop("commands", "2.xml", Command("PING"));
  ASSERT_TRUE(RunUntil([&] { return Bodies("/ping").size() == 2; }));
  std::vector<std::string> pings = Bodies("/ping");
  std::sort(pings.begin(), pings.end());
  EXPECT_EQ(pings, (std::vector<std::string>{"restaurant_id=", "restaurant_id=rest-7"}));
  EXPECT_TRUE(sim_->Commands().empty());
  Set("PingURL", "");
  Drop("commands", "3.xml", Command("ping:x"));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/3.xml"); }));
  EXPECT_TRUE(LogHas("thrd: PING URL not setup"));
  EXPECT_EQ(Bodies("/ping").size(), 2u);
}

TEST_F(OrderWorkerTest, UnknownCommandStaysAndFailsEveryIteration) {
  Drop("commands", "5.xml", Command("REPRINT"));
  ASSERT_TRUE(RunUntil([&] { return LogCount("thrd: unknown command \"REPRINT\"") >= 2; }));
  EXPECT_TRUE(Has("commands/5.xml"));
  EXPECT_EQ(ReadFileBytes(home_ + "LOGS/QUILLON2_RESULT.TXT"), "ERROR THREAD_ERROR");
}

TEST_F(OrderWorkerTest, CommandForAFailedOrderIsDiscardedUnderItsWord) {
  ForceFolders(home_ + "failed_orders");
  WriteFileBytes(home_ + "failed_orders/70.xml", OrderXml(Order(70)));
  ForceFolders(home_ + "failed_commands");
  WriteFileBytes(home_ + "failed_commands/70_FPRINT.xml", "older");
  Drop("commands", "70.xml", Command("FPRINT"));
  ASSERT_TRUE(RunUntil([&] { return !Has("commands/70.xml"); }));
  EXPECT_EQ(ReadFileBytes(home_ + "failed_commands/70_FPRINT.xml"), Command("FPRINT"));
  EXPECT_TRUE(LogHas("thrd: found failed order file \"70.xml\". Command discarded"));
}

TEST_F(OrderWorkerTest, CommandForAnOrderNotHandledYetWaits) {
  Drop("commands", "71.xml", Command("FPRINT"));
  ASSERT_TRUE(RunUntil([&] {
    return LogCount("thrd: order file \"71.xml\" doesn't exist (yet?). Command skipped") >= 2;
  }));
  EXPECT_TRUE(Has("commands/71.xml"));
}

TEST_F(OrderWorkerTest, MalformedOrderStaysWithoutHoldingUpTheOthers) {
  // Whatever the listing order, the good orders behind a bad one are handled.
  Drop("orders", "80.xml", "<Order><Session>");  // cut short, as if still being written
  for (int n = 81; n < 85; ++n) DropOrder(Order(n));
  ASSERT_TRUE(RunUntil([&] {
    return LogCount("ERROR   thrd: ") >= 2 &&
           ListDirectory(home_ + "old_orders/", "*.xml").size() == 4;
  }));
  EXPECT_TRUE(Has("orders/80.xml"));
  EXPECT_EQ(ReadFileBytes(home_ + "LOGS/QUILLON2_RESULT.TXT").substr(0, 5), "ERROR");
  std::vector<std::string> bodies = Bodies("/orders");
  EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "order_id=80&status=2"), 2);  // its own name
  EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "order_id=84&status=1"), 1);
  // Once it is whole, it goes through.
  Drop("orders", "80.xml.tmp", OrderXml(Order(80)));
  fs::rename(home_ + "orders/80.xml.tmp", home_ + "orders/80.xml");
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/80.xml"); }));
}

TEST_F(OrderWorkerTest, OrderThatCannotBeSetAsideIsRenamedNotLost) {
  sim::tFault fault;
  fault.command = "ValidateOrder";
  fault.errorNumber = 1;
  fault.errorText = "no";
  sim_->AddErrorAnswer(fault);
  DropOrder(Order(81));
  SetLogSettings(home_ + "LOGS/", 0);
  worker_ = std::make_unique<tOrderWorker>();
  worker_->LoadSettings();
  // The failed folder is replaced by a file, so nothing can be moved into it.
  fs::remove_all(home_ + "failed_orders");
  WriteFileBytes(home_ + "failed_orders", "");
  worker_->Signal();
  ASSERT_TRUE(RunUntil([&] { return Has("orders/81.xml.failed"); }));
  EXPECT_FALSE(Has("orders/81.xml"));
  EXPECT_TRUE(LogHas("it lies in " + home_ + "orders/81.xml.failed"));
}

TEST_F(OrderWorkerTest, FtpFoldersFeedTheOrderFolderFirst) {
  const std::string root = home_ + "ftproot/";
  ForceFolders(root + "in");
  ForceFolders(root + "cmd");
  WriteFileBytes(root + "in/300.xml", OrderXml(Order(300)));
  WriteFileBytes(root + "cmd/300.xml", Command("VDU"));
  ForceFolders(home_ + "ftp");
  q2test::ChildProcess ftp(
      {q2test::Python3(), q2test::TestsDir() + "/notify/ftp_server.py", "--root", root,
       "--port-file", home_ + "ftp/port", "--user", "u", "--password", "p"},
      home_ + "ftp/out.txt");
  int port = q2test::WaitForPort(home_ + "ftp/port", ftp);
  ASSERT_NE(port, 0);
  Set("XMLFTP", "ftp://u:p@127.0.0.1:" + std::to_string(port) + "/in");
  Set("CMDFTP", "u:p@127.0.0.1:" + std::to_string(port) + "/cmd");
  ASSERT_TRUE(RunUntil([&] {
    return Has("old_orders/300.xml") && !Has("commands/300.xml") &&
           !fs::exists(root + "cmd/300.xml");
  }));
  EXPECT_FALSE(fs::exists(root + "in/300.xml"));
  // The order came in one iteration, its command in the next.
  std::string log = Log();
  size_t order = log.find("thrd.ftp : found item 300.xml");
  ASSERT_NE(order, std::string::npos);
  size_t command = log.find("thrd.ftp : found item 300.xml", order + 1);
  ASSERT_NE(command, std::string::npos);
  EXPECT_NE(log.find("thrd: -- new iteration --", order), std::string::npos);
  EXPECT_LT(log.find("thrd: -- new iteration --", order), command);
  EXPECT_EQ(Bodies("/orders"),
            (std::vector<std::string>{"order_id=300&status=1", "order_id=300&status=1"}));
}

TEST_F(OrderWorkerTest, WatchedFoldersPickAFileUpWithoutWaitingForTheTimer) {
  Set("Interval", "30");
  Set("WatchFolders", "1");
  StartWorker();
  SleepMs(500);  // the first iteration is over; the next timer is 30 s away
  auto dropped = std::chrono::steady_clock::now();
  DropOrder(Order(400));
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/400.xml"); }, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - dropped, std::chrono::seconds(5));
}

TEST_F(OrderWorkerTest, KeptPostsReachAnEndpointThatComesBackInOrderAcrossARestart) {
  const int port = q2test::UnusedPort();
  Set("OrdersURL", "http://127.0.0.1:" + std::to_string(port) + "/orders");
  Set("PostRetry", "5");
  DropOrder(Order(501));
  DropOrder(Order(502));
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/501.xml") && Has("old_orders/502.xml"); }));
  DropOrder(Order(503));  // handled by a new worker: the kept posts survive the restart
  ASSERT_TRUE(RunUntil([&] { return Has("old_orders/503.xml"); }));
  EXPECT_EQ(ListDirectory(home_ + "outbox/", "*.post").size(), 3u);
  Recorder back(home_ + "back/", port);
  ASSERT_EQ(back.Port(), port);
  ASSERT_TRUE(RunUntil([&] { return back.Posts().size() == 3; }));
  std::vector<std::string> bodies;
  for (const Post& p : back.Posts()) bodies.push_back(p.body);
  std::vector<std::string> sorted = bodies;
  std::sort(sorted.begin(), sorted.begin() + 2);  // 501 and 502 came in one listing
  EXPECT_EQ(sorted, (std::vector<std::string>{"order_id=501&status=1", "order_id=502&status=1",
                                              "order_id=503&status=1"}));
  EXPECT_TRUE(ListDirectory(home_ + "outbox/", "*.post").empty());
}

TEST_F(OrderWorkerTest, MapHeldByAnotherHolderEndsTheWorkerWithAMessage) {
  tMapList holder(home_ + "worker_e2e_tests.map");
  worker_ = std::make_unique<tOrderWorker>();
  worker_->LoadSettings();
  worker_->Signal();
  for (int i = 0; i < 200 && !worker_->Finished(); ++i) SleepMs(20);
  EXPECT_TRUE(worker_->Finished());
  EXPECT_NE(worker_->FatalError().find("map file"), std::string::npos) << worker_->FatalError();
  EXPECT_TRUE(LogHas("ERROR   thrd: map file"));
}

}  // namespace
}  // namespace q2
