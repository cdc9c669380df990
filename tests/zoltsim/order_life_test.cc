// A whole order life through the simulator, over each transport the worker can use.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cashserver/zolt_xml.h"
#include "transport/cash_server_call.h"
#include "transport/tcp_client.h"
#include "zoltsim/sim_test_util.h"
#include "zoltsim/zolt_sim.h"

namespace q2::sim::test {
namespace {

constexpr int32_t kTable = 5, kStation = 1, kWaiter = 11, kDeposit = 1026957, kVoidReason = 3;

struct tTransportCase {
  const char* name;
  tVia via;
  bool compress;
  std::string key;
  uint32_t seedBase;
};

void PrintTo(const tTransportCase& c, std::ostream* os) { *os << c.name; }

class OrderLifeTest : public ::testing::TestWithParam<tTransportCase> {
 protected:
  void TearDown() override {
    SetCallKey("");
    FreeConnectionPool();
  }
};

TEST_P(OrderLifeTest, CreateSavePayVoidClose) {
  const tTransportCase& c = GetParam();
  tZoltSimOptions options = Quiet();
  options.compress = c.compress;
  options.key = c.key;
  options.seedBase = c.seedBase;
  options.checkMenu = true;
  tZoltSim sim(options);
  sim.Start();
  const tZoltOrder order = SampleOrder();
  std::string req;
  // The worker's own call, except with a key, which that call always clears.
  tCashServerCall call = CallTo(sim, c.via);
  auto ok = [&](const std::string& request) {
    tXmlDocument answer;
    if (c.key.empty()) {
      try {
        call.CallCashServer(request, answer);
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
      }
    } else {
      SetCallKey(c.key);
      answer = Call(sim, c.via, request);
      EXPECT_EQ(Status(answer), "Ok") << answer.SaveToString();
    }
    return answer;
  };

  tXmlDocument info = ok(tZoltXML::BuildGetSystemInfo(req));
  EXPECT_EQ(info.Root().Path("SystemInfo").Attr("NetName"), "KASSA-1");

  tXmlDocument created = ok(tZoltXML::BuildCreateOrder(req, order, kTable, kStation, kWaiter));
  std::string guid;
  int32_t visit = 0;
  tZoltXML::ParseOrderData(created, guid, visit);
  EXPECT_TRUE(
      std::regex_match(guid, std::regex(R"(\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\})")))
      << guid;
  EXPECT_GT(visit, 0);
  int32_t seq = 0;
  tZoltXML::ParseSeqData(ok(tZoltXML::BuildGetOrder(req, guid)), seq);
  EXPECT_GT(seq, 0);

  ok(tZoltXML::BuildSaveOrderDeferred(req, order, kStation, guid, kDeposit));
  ok(tZoltXML::BuildDeliveryUpdateStatus(req, order, guid));

  int32_t message = 0;
  tZoltXML::ParseMessageID(ok(tZoltXML::BuildWaiterMessage(req, "Заказ\r\nготов", kWaiter, 60)),
                           message);
  bool read = true;
  tZoltXML::ParseMessageRead(ok(tZoltXML::BuildGetWaiterMessages(req, kWaiter)), message, read);
  EXPECT_FALSE(read) << "listed on the first poll";
  tZoltXML::ParseMessageRead(ok(tZoltXML::BuildGetWaiterMessages(req, kWaiter)), message, read);
  EXPECT_TRUE(read) << "read after one poll";

  ok(tZoltXML::BuildSaveNotDeferredOrder(req, guid));
  ok(tZoltXML::BuildPayOrder(req, guid, kWaiter, true, 5, 6, kStation));

  tZoltVoidData data;
  tZoltXML::ParseVoidData(ok(tZoltXML::BuildGetOrder(req, guid)), data);
  EXPECT_EQ(data.Visit, visit);
  EXPECT_EQ(data.Finished, 0);
  EXPECT_NE(data.SessionID, 0);
  EXPECT_NE(data.PrepayID, 0);
  ASSERT_EQ(data.Items.size(), 3u);
  // Dishes first, then combos, each with the quantity saved.
  EXPECT_EQ(data.Items[0].miType, miDish);
  EXPECT_DOUBLE_EQ(data.Items[0].Quaintity, 1.5);
  EXPECT_EQ(data.Items[1].miType, miDish);
  EXPECT_DOUBLE_EQ(data.Items[1].Quaintity, 2);
  EXPECT_EQ(data.Items[2].miType, miContainer);
  EXPECT_DOUBLE_EQ(data.Items[2].Quaintity, 1);

  ok(tZoltXML::BuildSaveOrderVoids(req, data, guid, kVoidReason));
  ok(tZoltXML::BuildCloseVisit(req, data.Visit));

  tZoltVoidData after;
  tZoltXML::ParseVoidData(ok(tZoltXML::BuildGetOrder(req, guid)), after);
  EXPECT_EQ(after.Finished, 1);
  EXPECT_TRUE(after.Items.empty());
  EXPECT_EQ(after.PrepayID, 0);

  const std::vector<tZoltSim::tOrderState> orders = sim.Orders();
  ASSERT_EQ(orders.size(), 1u);
  const tZoltSim::tOrderState& o = orders[0];
  EXPECT_EQ(o.guid, guid);
  EXPECT_EQ(o.seqNumber, seq);
  EXPECT_TRUE(o.paid);
  EXPECT_TRUE(o.finished);
  EXPECT_TRUE(o.visitClosed);
  EXPECT_TRUE(o.voided);
  EXPECT_FALSE(o.deferred);
  EXPECT_EQ(o.deliveryState, 2);
  EXPECT_EQ(o.waiterCode, kWaiter);
  EXPECT_EQ(o.cashierCode, kWaiter);
  EXPECT_EQ(o.receiptMaket, 6) << "the delivery layout";
  EXPECT_EQ(o.nonPersistentComment, "5001");
  EXPECT_EQ(o.persistentComment, "Позвонить за 10 минут");
  EXPECT_TRUE(o.dishes.empty());
  EXPECT_TRUE(o.combos.empty());
  EXPECT_TRUE(o.prepays.empty());
  ASSERT_EQ(o.lines.size(), 3u);
  EXPECT_EQ(o.lines[0].id, 101);
  EXPECT_EQ(o.lines[0].quantity, 1500);
  EXPECT_EQ(o.lines[0].voidedQuantity, 1500);
  EXPECT_EQ(o.lines[0].voidReason, kVoidReason);
  EXPECT_EQ(o.lines[0].modifiers, std::vector<int>{901});
  EXPECT_EQ(o.lines[1].kind, "Combo");
  EXPECT_EQ(o.lines[1].components, (std::vector<std::pair<int, int>>{{3, 55}}));
  EXPECT_EQ(o.lines[1].modifiers, std::vector<int>{902});
  ASSERT_EQ(o.prepayLines.size(), 1u);
  EXPECT_EQ(o.prepayLines[0].amount, 12345);
  EXPECT_EQ(o.prepayLines[0].extTransactionInfo, "tx-77");
  EXPECT_EQ(o.prepayLines[0].reason, kDeposit);
  EXPECT_TRUE(o.prepayLines[0].deleted);

  const std::vector<std::string> expected = {"GetSystemInfo",
                                             "CreateOrder",
                                             "GetOrder",
                                             "SaveOrder",
                                             "DeliveryUpdateStatus",
                                             "WaiterMessage",
                                             "GetWaiterMessages",
                                             "GetWaiterMessages",
                                             "SaveOrder",
                                             "PayOrder",
                                             "GetOrder",
                                             "SaveOrder",
                                             "CloseVisit",
                                             "GetOrder"};
  EXPECT_EQ(sim.Commands(), expected);
  const std::vector<tJournalEntry> journal = sim.Journal();
  ASSERT_EQ(journal.size(), expected.size());
  for (size_t i = 0; i < journal.size(); ++i) {
    EXPECT_EQ(journal[i].seq, static_cast<int>(i + 1));
    EXPECT_EQ(journal[i].transport, c.via == tVia::kTcp ? "tcp" : "http");
    EXPECT_EQ(journal[i].document.find('\0'), std::string::npos);
    EXPECT_NE(journal[i].document.find("CMD=\"" + expected[i] + "\""), std::string::npos);
  }
  if (c.via == tVia::kHttp) {
    EXPECT_EQ(journal[0].credentials, "login:secret");
    EXPECT_EQ(journal[0].path, "/xml?site=1");
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, OrderLifeTest,
                         ::testing::Values(tTransportCase{"TcpPlain", tVia::kTcp, false, "", 0},
                                           tTransportCase{"TcpCompressed", tVia::kTcp, true, "", 0},
                                           tTransportCase{"TcpScrambledCompressed", tVia::kTcp,
                                                          true, "ключ-1", 0x5EEDBA5E},
                                           tTransportCase{"Http", tVia::kHttp, false, "", 0}),
                         [](const ::testing::TestParamInfo<tTransportCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace q2::sim::test
