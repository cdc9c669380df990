// Fault injection (by method, by directive, over the control request), handshake variants
// and the journal file.
#include "zoltsim/faults.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cashserver/zolt_xml.h"
#include "test_util.h"
#include "transport/cash_server_call.h"
#include "transport/tcp_client.h"
#include "zoltsim/journal.h"
#include "zoltsim/sim_test_util.h"
#include "zoltsim/zolt_sim.h"

namespace q2::sim::test {
namespace {

const std::string kGuidless = "{00000000-0000-0000-0000-000000000000}";

TEST(DirectiveTest, ParsesEachFormAndRefusesBadOnes) {
  using K = tDirective::tKind;
  const struct {
    const char* text;
    K kind;
    std::string command;
    int number;
    std::string errorText;
    int times;
  } good[] = {
      {"error=PayOrder:2107:busy:4", K::kError, "PayOrder", 2107, "busy", 4},
      {"error=*:500:a:b", K::kError, "*", 500, "a:b", -1},
      {"error=GetOrder:1:a:b:2", K::kError, "GetOrder", 1, "a:b", 2},
      {"error=GetOrder:1:", K::kError, "GetOrder", 1, "", -1},
      {"busy=2123", K::kBusy, "PayOrder", 2123, "", -1},
      {"busy=2107:3", K::kBusy, "PayOrder", 2107, "", 3},
  };
  for (const auto& g : good) {
    const tDirective d = ParseDirective(g.text);
    EXPECT_EQ(d.kind, g.kind) << g.text;
    EXPECT_EQ(d.fault.command, g.command) << g.text;
    EXPECT_EQ(d.fault.errorNumber, g.number) << g.text;
    EXPECT_EQ(d.fault.errorText, g.errorText) << g.text;
    EXPECT_EQ(d.fault.times, g.times) << g.text;
  }
  EXPECT_EQ(ParseDirective("close=mid-response").mode, "mid-response");
  EXPECT_FALSE(ParseDirective("handshake=none").on);
  EXPECT_TRUE(ParseDirective("garbage=on").on);
  EXPECT_EQ(ParseDirective("read-after=-1").number, -1);
  EXPECT_EQ(ParseDirective("reset").kind, K::kReset);
  for (const char* bad :
       {"error=PayOrder:2107", "error=:1:x", "error=X:n:x", "error=X:1:t:0", "busy=2108",
        "busy=2107:x", "busy=2107:1:2", "close=sideways", "handshake=off", "garbage=yes",
        "read-after=", "journal=keep", "frobnicate=1", "restart"}) {
    EXPECT_THROW(ParseDirective(bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(SplitDirectives(" busy=2107:1 &\r\nerror=X:1:%D0%B0%3A%26\n\n&reset"),
            (std::vector<std::string>{"busy=2107:1", "error=X:1:а:&", "reset"}));
}

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : sim_(Quiet()) { sim_.Start(); }
  void TearDown() override {
    SetXmlTcpTimeouts(0, 0);
    FreeConnectionPool();
  }
  // An order with a saved session, ready to pay.
  std::string CreateOrder(tVia via) {
    std::string guid;
    int32_t visit = 0;
    const tZoltOrder order = SampleOrder();
    tZoltXML::ParseOrderData(Call(sim_, via, tZoltXML::BuildCreateOrder(req_, order, 1, 1, 11)),
                             guid, visit);
    return guid;
  }
  tXmlDocument Pay(tVia via, const std::string& guid) {
    return Call(sim_, via, tZoltXML::BuildPayOrder(req_, guid, 11, false, 1, 2, 1));
  }

  tZoltSim sim_;
  std::string req_;
};

TEST_F(FaultTest, ErrorAnswersCountDownPerCommand) {
  for (const tVia via : {tVia::kTcp, tVia::kHttp}) {
    const std::string guid = CreateOrder(via);
    sim_.AddErrorAnswer({"PayOrder", 2500, "нет связи с принтером", 2});
    sim_.AddErrorAnswer({"*", 77, "everything fails once", 1});
    // The "*" fault was added second: PayOrder meets its own fault first.
    for (int i = 0; i < 2; ++i) {
      const tXmlDocument answer = Pay(via, guid);
      int32_t number = 0;
      std::string text;
      tZoltXML::ParseError(answer, number, text);
      EXPECT_EQ(Status(answer), "Error");
      EXPECT_EQ(number, 2500);
      EXPECT_EQ(text, "нет связи с принтером");
      EXPECT_FALSE(sim_.Orders().back().paid) << "a faulted command is not carried out";
    }
    EXPECT_EQ(ErrorNumber(Call(sim_, via, tZoltXML::BuildGetSystemInfo(req_))), 77);
    EXPECT_EQ(Status(Call(sim_, via, tZoltXML::BuildGetSystemInfo(req_))), "Ok");
    EXPECT_EQ(Status(Pay(via, guid)), "Ok");
    EXPECT_TRUE(sim_.Orders().back().paid);
  }
  EXPECT_THROW(sim_.AddErrorAnswer({"PayOrder", 1, "x", 0}), std::invalid_argument);
}

TEST_F(FaultTest, PayBusyAnswersTheGivenNumberTimes) {
  const std::string guid = CreateOrder(tVia::kTcp);
  sim_.SetPayBusy(2107, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ErrorNumber(Pay(tVia::kTcp, guid)), 2107) << i;
  EXPECT_EQ(Status(Call(sim_, tVia::kTcp, tZoltXML::BuildGetOrder(req_, guid))), "Ok")
      << "only PayOrder is busy";
  EXPECT_EQ(Status(Pay(tVia::kTcp, guid)), "Ok");

  const std::string second = CreateOrder(tVia::kHttp);
  sim_.SetPayBusy(2123, -1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ErrorNumber(Pay(tVia::kHttp, second)), 2123) << i;
  sim_.ClearFaults();
  EXPECT_EQ(Status(Pay(tVia::kHttp, second)), "Ok");
  EXPECT_THROW(sim_.SetPayBusy(2108, 1), std::invalid_argument);
}

// The client holds a pooled connection when the fault is switched on: the simulator
// closes it, and the client's reconnection meets the fault.
TEST_F(FaultTest, CloseAfterHandshake) {
  ASSERT_EQ(Status(Call(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_))), "Ok");
  sim_.ClearJournal();
  sim_.SetCloseAfterHandshake(true);
  std::string raw, error;
  EXPECT_FALSE(Exchange(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_), &raw, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(sim_.Journal().empty()) << "no request was read";
  EXPECT_EQ(Status(Call(sim_, tVia::kHttp, tZoltXML::BuildGetSystemInfo(req_))), "Ok")
      << "HTTP has no handshake";
  sim_.SetCloseAfterHandshake(false);
  EXPECT_EQ(Status(Call(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_))), "Ok");
}

TEST_F(FaultTest, CloseMidResponseCarriesTheCommandOut) {
  sim_.SetCloseMidResponse(true);
  const tZoltOrder order = SampleOrder();
  std::string raw, error;
  EXPECT_FALSE(
      Exchange(sim_, tVia::kTcp, tZoltXML::BuildCreateOrder(req_, order, 1, 1, 11), &raw, &error));
  EXPECT_EQ(error.rfind("Disconnected receiving reply", 0), 0u) << error;
  const tHttpReply http =
      HttpPost(sim_.HttpPort(), "/", tZoltXML::BuildCreateOrder(req_, order, 1, 1, 11));
  EXPECT_EQ(http.code, CURLE_PARTIAL_FILE) << curl_easy_strerror(http.code);
  EXPECT_EQ(sim_.Orders().size(), 2u);
  EXPECT_EQ(sim_.Commands(), (std::vector<std::string>{"CreateOrder", "CreateOrder"}));
  sim_.SetCloseMidResponse(false);
  EXPECT_EQ(Status(Call(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_))), "Ok");
}

TEST_F(FaultTest, NoHandshakeAnswer) {
  ASSERT_EQ(Status(Call(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_))), "Ok");
  sim_.SetNoHandshakeAnswer(true);
  SetXmlTcpTimeouts(3000, 300);
  std::string raw, error;
  EXPECT_FALSE(Exchange(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_), &raw, &error));
  EXPECT_EQ(error.rfind("recv handshake timeout", 0), 0u) << error;
  sim_.SetNoHandshakeAnswer(false);
  EXPECT_EQ(Status(Call(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_))), "Ok");
}

TEST(GarbageTest, AnswerIsNotXmlOverEveryTransport) {
  for (const bool compress : {false, true}) {
    tZoltSimOptions options = Quiet();
    options.compress = compress;
    tZoltSim sim(options);
    sim.Start();
    sim.SetGarbageAnswer(true);
    std::string req;
    for (const tVia via : {tVia::kTcp, tVia::kHttp}) {
      std::string raw, error;
      ASSERT_TRUE(Exchange(sim, via, tZoltXML::BuildGetSystemInfo(req), &raw, &error)) << error;
      EXPECT_FALSE(raw.empty());
      tXmlDocument doc;
      EXPECT_THROW(doc.LoadFromString(raw), std::runtime_error) << raw;
    }
    EXPECT_EQ(sim.Journal().size(), 2u);
    sim.Control("garbage=off");
    EXPECT_EQ(Status(Call(sim, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req))), "Ok");
    FreeConnectionPool();
  }
}

TEST_F(FaultTest, ControlRequestSetsAndResetsFaults) {
  const std::string guid = CreateOrder(tVia::kTcp);
  tHttpReply reply = HttpPost(sim_.HttpPort(), "/control",
                              "error=GetOrder:3000:%D1%82%D0%B5%D1%81%D1%82:1&busy=2123:1\n"
                              "close=after-handshake");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, "ok\n");
  std::string raw, error;
  EXPECT_FALSE(Exchange(sim_, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req_), &raw, &error));
  tXmlDocument answer = Call(sim_, tVia::kHttp, tZoltXML::BuildGetOrder(req_, guid));
  EXPECT_EQ(ErrorNumber(answer), 3000);
  EXPECT_EQ(answer.Root().Attr("ErrorText"), "тест");
  EXPECT_EQ(ErrorNumber(Pay(tVia::kHttp, guid)), 2123);

  reply = HttpPost(sim_.HttpPort(), "/control", "busy=2107:5&close=upside-down&garbage=on");
  EXPECT_EQ(reply.status, 400);
  EXPECT_NE(reply.body.find("close=upside-down"), std::string::npos) << reply.body;
  EXPECT_EQ(ErrorNumber(Pay(tVia::kHttp, guid)), 2107) << "directives before the bad one hold";
  EXPECT_EQ(HttpPost(sim_.HttpPort(), "/control", "reset").status, 200);
  EXPECT_EQ(Status(Pay(tVia::kTcp, guid)), "Ok");
}

// What the worker's call makes of each fault: an error answer comes from a server that was
// reached; everything else counts as a lost connection.
TEST_F(FaultTest, CashServerCallSeesEachFault) {
  const struct {
    const char* name;
    std::function<void(tZoltSim&, bool)> set;
    bool tcpOnly;
    std::string message;  // start of the failure's message; empty: any
    bool disconnected;
  } cases[] = {
      {"error answer",
       [](tZoltSim& s, bool on) {
         if (on) s.AddErrorAnswer({"GetSystemInfo", 55, "касса закрыта", 1});
       },
       false, "Zolt XML error \"касса закрыта\"", false},
      {"garbage", [](tZoltSim& s, bool on) { s.SetGarbageAnswer(on); }, false, "", true},
      {"mid-response", [](tZoltSim& s, bool on) { s.SetCloseMidResponse(on); }, false, "", true},
      {"after handshake", [](tZoltSim& s, bool on) { s.SetCloseAfterHandshake(on); }, true,
       "ZoltCALL error \"", true},
  };
  for (const tVia via : {tVia::kTcp, tVia::kHttp}) {
    tCashServerCall call = CallTo(sim_, via);
    for (const auto& c : cases) {
      if (c.tcpOnly && via == tVia::kHttp) continue;
      c.set(sim_, true);
      tXmlDocument answer;
      try {
        call.CallCashServer(tZoltXML::BuildGetSystemInfo(req_), answer);
        ADD_FAILURE() << c.name << " passed";
      } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << c.name << ": " << e.what();
      }
      EXPECT_EQ(call.fDisconnected, c.disconnected) << c.name;
      c.set(sim_, false);
      call.CallCashServer(tZoltXML::BuildGetSystemInfo(req_), answer);
      EXPECT_FALSE(call.fDisconnected) << c.name;
    }
  }
}

TEST(OptionFaultTest, FaultsFromOptionsApplyAtStart) {
  tZoltSimOptions options = Quiet();
  options.faults = {"busy=2107:1", "error=GetSystemInfo:9:down:1"};
  tZoltSim sim(options);
  sim.Start();
  std::string req;
  EXPECT_EQ(ErrorNumber(Call(sim, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req))), 9);
  EXPECT_EQ(ErrorNumber(
                Call(sim, tVia::kTcp, tZoltXML::BuildPayOrder(req, kGuidless, 11, false, 1, 2, 1))),
            2107);
  EXPECT_EQ(ErrorNumber(
                Call(sim, tVia::kTcp, tZoltXML::BuildPayOrder(req, kGuidless, 11, false, 1, 2, 1))),
            kErrOrderNotFound);
  FreeConnectionPool();
  options.faults = {"busy=1"};
  tZoltSim bad(options);
  EXPECT_THROW(bad.Start(), std::invalid_argument);
}

// The handshake options the client meets; the exchange is driven with the routines and
// flags each variant needs.
TEST(HandshakeTest, Variants) {
  const struct {
    const char* name;
    bool firstGeneration;
    uint32_t flags;
    bool compress;
    bool symmetric;  // one routine for both directions, as flag 0x80 demands
  } cases[] = {
      {"extended", false, 0x02, false, false},
      {"extended, plain exchange", false, 0x00, false, false},
      {"extended, plain exchange, compressed", false, 0x00, true, false},
      {"first generation (0xC0)", true, 0x02, false, true},
  };
  for (const auto& c : cases) {
    tZoltSimOptions options = Quiet();
    options.firstGeneration = c.firstGeneration;
    options.flags = c.flags;
    options.compress = c.compress;
    tZoltSim sim(options);
    sim.Start();
    std::string req;
    tZoltXML::BuildGetSystemInfo(req);
    TToolMemoryStream out;
    int32_t number = 41;
    std::string error;
    const bool ok = XmlTcpExchange(0x02, "127.0.0.1:" + std::to_string(sim.TcpPort()), "tag",
                                   req.data(), req.size() - 1, number, out, error, ScrambleBlock,
                                   c.symmetric ? ScrambleBlock : DescrambleBlock);
    ASSERT_TRUE(ok) << c.name << ": " << error;
    tXmlDocument answer;
    answer.LoadFromString(out.Bytes());
    EXPECT_EQ(Status(answer), "Ok") << c.name;
    EXPECT_EQ(answer.Root().Path("SystemInfo").Attr("NetName"), "KASSA-1") << c.name;
    FreeConnectionPool();
  }
}

TEST(KeyTest, ClientWithAnotherKeyCannotReadTheAnswer) {
  tZoltSimOptions options = Quiet();
  options.key = "server-key";
  tZoltSim sim(options);
  sim.Start();
  std::string req, raw, error;
  SetCallKey("other-key");
  Exchange(sim, tVia::kTcp, tZoltXML::BuildGetSystemInfo(req), &raw, &error);
  SetCallKey("");
  FreeConnectionPool();
  EXPECT_EQ(raw.find("ZoltQueryResult"), std::string::npos) << raw;
  for (const std::string& command : sim.Commands()) EXPECT_NE(command, "GetSystemInfo");
}

std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char c = field[++i];
    out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
  }
  return out;
}

TEST(JournalFileTest, OneEscapedLinePerRequestAppended) {
  q2test::TempDir dir;
  tZoltSimOptions options = Quiet();
  options.journalFile = dir.path() + "journal.txt";
  const std::string odd =
      "<?xml version=\"1.0\"?>\r\n<ZoltQuery>\t<ZoltCMD CMD=\"Get\\Odd\"/>\n</ZoltQuery>";
  std::string info;
  tZoltXML::BuildGetSystemInfo(info);
  for (int run = 0; run < 2; ++run) {
    tZoltSim sim(options);
    sim.Start();
    Call(sim, tVia::kTcp, info);
    Call(sim, tVia::kHttp, odd);
    Call(sim, tVia::kTcp, "not xml at all");
    FreeConnectionPool();
  }
  std::ifstream in(options.journalFile, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 6u) << "the second run appends";
  const struct {
    std::string seq, transport, command, document;
  } expected[] = {{"1", "tcp", "GetSystemInfo", info.substr(0, info.size() - 1)},
                  {"2", "http", "Get\\Odd", odd},
                  {"3", "tcp", "", "not xml at all"}};
  for (size_t i = 0; i < lines.size(); ++i) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = lines[i].find('\t', start)) != std::string::npos; start = tab + 1) {
      fields.push_back(lines[i].substr(start, tab - start));
    }
    fields.push_back(lines[i].substr(start));
    ASSERT_EQ(fields.size(), 4u) << lines[i];
    const auto& e = expected[i % 3];
    EXPECT_EQ(fields[0], e.seq);
    EXPECT_EQ(fields[1], e.transport);
    EXPECT_EQ(Unescape(fields[2]), e.command);
    EXPECT_EQ(Unescape(fields[3]), e.document);
  }
  EXPECT_EQ(EscapeJournalField("a\\b\tc\r\nd"), "a\\\\b\\tc\\r\\nd");
}

}  // namespace
}  // namespace q2::sim::test
