// Reference answers, restaurant data files, refusals and waiter-message polling.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cashserver/zolt_xml.h"
#include "test_util.h"
#include "transport/tcp_client.h"
#include "zoltsim/restaurant.h"
#include "zoltsim/sim_test_util.h"
#include "zoltsim/zolt_sim.h"

namespace q2::sim::test {
namespace {

std::string Request(const std::string& command, const std::string& attrs = "",
                    const std::string& children = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ZoltQuery><ZoltCMD CMD=\"" + command + "\"" +
         attrs + ">" + children + "</ZoltCMD></ZoltQuery>";
}

class SimTest : public ::testing::Test {
 protected:
  explicit SimTest(tZoltSimOptions options = Quiet()) : sim_(std::move(options)) { sim_.Start(); }
  void TearDown() override { FreeConnectionPool(); }
  tXmlDocument Send(const std::string& request) { return Call(sim_, tVia::kTcp, request); }

  tZoltSim sim_;
  std::string req_;
};

using ReferenceTest = SimTest;

// The default restaurant holds what the reference loader needs to connect: a cash group
// for the station's network name, menu items whose streams are classificator groups, and a
// registered waiter on a station.
TEST_F(ReferenceTest, DefaultRestaurantIsConsistent) {
  const tXmlDocument info = Send(tZoltXML::BuildGetSystemInfo(req_));
  const std::string netName = info.Root().Path("SystemInfo").Attr("NetName");
  EXPECT_EQ(info.Root().Path("SystemInfo").IntAttr("RestCode", 0), 1042);

  const tXmlDocument cash = Send(tZoltXML::BuildGetRefData(req_, "CashGroups"));
  int32_t cashGroup = 0;
  for (const tXmlNode& item : cash.Root().Path("ZoltReference\\Items").Children("Item")) {
    if (item.Attr("NetName") == netName) {
      cashGroup = item.IntAttr("ItemIdent", 0);
      break;
    }
  }
  EXPECT_NE(cashGroup, 0);

  const tXmlDocument classes = Send(tZoltXML::BuildGetRefData(req_, "CLASSIFICATORGROUPS"));
  std::set<int32_t> classIds = {0};
  for (const tXmlNode& item : classes.Root().Path("ZoltReference\\Items").Children("Item")) {
    classIds.insert(item.IntAttr("ItemIdent", 0));
  }
  EXPECT_GT(classIds.size(), 1u);

  const tXmlDocument kds = Send(tZoltXML::BuildKDSGetRefsData(req_));
  for (const char* path : {"CubeMenuGroups", "CubeMenuItems", "CubeEmployees", "CubeModifiers"}) {
    EXPECT_FALSE(kds.Root().Path(path).Children("rbrow").empty()) << path;
  }
  bool borscht = false;
  for (const tXmlNode& item : kds.Root().Path("CubeMenuItems").Children("rbrow")) {
    EXPECT_EQ(classIds.count(item.IntAttr("Stream", 0)), 1u) << item.Attr("Name");
    borscht = borscht || item.Attr("Name") == "Борщ с пампушками";
  }
  EXPECT_TRUE(borscht) << "Cyrillic names come through as UTF-8";

  const tXmlDocument waiters = Send(tZoltXML::BuildGetWaiterList(req_));
  const std::vector<tXmlNode> list = waiters.Root().Path("Waiters").Children("waiter");
  ASSERT_EQ(list.size(), 2u) << "the unregistered waiter is left out";
  EXPECT_EQ(list[0].Attr("ID"), "1");
  EXPECT_EQ(list[0].Attr("Code"), "11");
  ASSERT_EQ(list[0].Children("Station").size(), 2u);
  EXPECT_EQ(list[0].Children("Station")[1].Attr("code"), "1");
  EXPECT_FALSE(list[0].HasAttr("registered"));
  const tXmlDocument all = Send(Request("GetWaiterList"));
  EXPECT_EQ(all.Root().Path("Waiters").Children("waiter").size(), 3u);
}

TEST(RestaurantTest, CustomDataIsServedAsWritten) {
  // A damaged Sifr is served unchanged: the client's conversion failure is what a test of
  // the loader wants to see.
  const std::string data = R"(<Restaurant>
      <SystemInfo NetName="N" RestCode="7"/>
      <MenuItems><rbrow Name="Щи" Sifr="abc" Stream="0" Extra="x"/></MenuItems>
    </Restaurant>)";
  q2test::TempDir dir;
  const std::string path = dir.path() + "r.xml";
  std::ofstream(path) << data;
  tZoltSimOptions fromText = Quiet(), fromFile = Quiet();
  fromText.restaurantXml = data;
  fromFile.restaurantFile = path;
  for (const tZoltSimOptions& options : {fromText, fromFile}) {
    tZoltSim sim(options);
    sim.Start();
    std::string req;
    const tXmlDocument kds = Call(sim, tVia::kTcp, tZoltXML::BuildKDSGetRefsData(req));
    const tXmlNode row = kds.Root().Path("CubeMenuItems\\rbrow");
    ASSERT_TRUE(row);
    const tRow attrs = RowOf(row);
    EXPECT_EQ(attrs.attrs, (std::vector<std::pair<std::string, std::string>>{
                               {"Name", "Щи"}, {"Sifr", "abc"}, {"Stream", "0"}, {"Extra", "x"}}));
    EXPECT_TRUE(kds.Root().Path("CubeModifiers")) << "an absent section is an empty list";
    EXPECT_TRUE(kds.Root().Path("CubeModifiers").Children("rbrow").empty());
    FreeConnectionPool();
  }
}

TEST(RestaurantTest, BadDataFilesAreRefused) {
  const struct {
    const char* data;
    const char* message;
  } cases[] = {
      {"<Restaurant>", "restaurant data: "},
      {"<Cafe/>", "expected <Restaurant>"},
      {"<Restaurant><Tables/></Restaurant>", "unknown section <Tables>"},
      {"<Restaurant><MenuItems><Item Sifr=\"1\"/></MenuItems></Restaurant>",
       "<Item> in <MenuItems>, expected <rbrow>"},
      {"<Restaurant><Waiters><waiter><Desk/></waiter></Waiters></Restaurant>",
       "expected <Station>"},
  };
  for (const auto& c : cases) {
    tZoltSimOptions options = Quiet();
    options.restaurantXml = c.data;
    try {
      tZoltSim sim(options);
      ADD_FAILURE() << c.data << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  tZoltSimOptions missing = Quiet();
  missing.restaurantFile = "/nonexistent/r.xml";
  EXPECT_THROW(tZoltSim{missing}, std::runtime_error);
  tZoltSimOptions keyed = Quiet();
  keyed.firstGeneration = true;
  keyed.key = "k";
  EXPECT_THROW(tZoltSim{keyed}, std::invalid_argument);
}

TEST(RestaurantTest, ShippedFileIsTheCompiledInDefault) {
  std::ifstream in(Q2_ZOLTSIM_RESTAURANT, std::ios::binary);
  const std::string shipped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(shipped.empty());
  EXPECT_EQ(shipped, DefaultRestaurantXml());
}

// Every refusal answers Status="Error" with its number and changes nothing.
TEST_F(SimTest, RefusalsAnswerErrorsAndChangeNothing) {
  tZoltOrder order = SampleOrder();
  std::string guid;
  int32_t visit = 0;
  tZoltXML::ParseOrderData(Send(tZoltXML::BuildCreateOrder(req_, order, 1, 1, 11)), guid, visit);
  ASSERT_EQ(Status(Send(tZoltXML::BuildSaveOrderDeferred(req_, order, 1, guid, 0))), "Ok");
  ASSERT_EQ(Status(Send(tZoltXML::BuildPayOrder(req_, guid, 11, false, 1, 2, 1))), "Ok");
  tZoltVoidData data;
  tZoltXML::ParseVoidData(Send(tZoltXML::BuildGetOrder(req_, guid)), data);
  ASSERT_EQ(data.Items.size(), 3u);
  const std::string orderRef = "<Order guid=\"" + guid + "\"/>";
  const std::string dishUni = std::to_string(data.Items[0].Id);

  const struct {
    const char* name;
    std::string request;
    int error;
  } cases[] = {
      {"not XML", "<ZoltQuery><ZoltCMD", kErrMalformedRequest},
      {"other root", "<Query><ZoltCMD CMD=\"GetOrder\"/></Query>", kErrMalformedRequest},
      {"no CMD", "<ZoltQuery><ZoltCMD/></ZoltQuery>", kErrMalformedRequest},
      {"unknown command", Request("Frobnicate"), kErrUnknownCommand},
      {"unknown reference", tZoltXML::BuildGetRefData(req_, "Tables"), kErrBadRequest},
      {"unknown guid", tZoltXML::BuildGetOrder(req_, "{00000000-0000-0000-0000-000000000000}"),
       kErrOrderNotFound},
      {"unknown waiter", tZoltXML::BuildCreateOrder(req_, order, 1, 1, 1), kErrUnknownStaff},
      {"create without Order", Request("CreateOrder"), kErrBadRequest},
      {"paid twice", tZoltXML::BuildPayOrder(req_, guid, 11, false, 1, 2, 1), kErrAlreadyPaid},
      {"unknown cashier", tZoltXML::BuildPayOrder(req_, guid, 777, false, 1, 2, 1),
       kErrUnknownStaff},
      {"quantity not a number",
       Request("SaveOrder", "", orderRef + "<Session><Dish id=\"101\" quantity=\"x\"/></Session>"),
       kErrBadRequest},
      {"good line then bad element",
       Request("SaveOrder", "",
               orderRef + "<Session><Dish id=\"101\" quantity=\"1000\"/><Table/></Session>"),
       kErrBadRequest},
      {"void of an unknown line",
       Request("SaveOrder", "",
               orderRef + "<Session><Dish uni=\"1\"><Void code=\"1\" quantity=\"1\"/></Dish>"
                          "</Session>"),
       kErrLineNotFound},
      {"void of more than the line",
       Request("SaveOrder", "",
               orderRef + "<Session><Dish uni=\"" + dishUni +
                   "\"><Void code=\"1\" quantity=\"1501\"/></Dish></Session>"),
       kErrVoidTooLarge},
      {"combo uni named as dish",
       Request("SaveOrder", "",
               orderRef + "<Session><Dish uni=\"" + std::to_string(data.Items[2].Id) +
                   "\"><Void code=\"1\" quantity=\"1\"/></Dish></Session>"),
       kErrLineNotFound},
      {"deleting an unknown prepayment",
       Request("SaveOrder", "", orderRef + "<Session><Prepay uni=\"1\" deleted=\"1\"/></Session>"),
       kErrLineNotFound},
      {"unknown visit", tZoltXML::BuildCloseVisit(req_, visit + 100), kErrVisitNotFound},
      {"message to nobody", tZoltXML::BuildWaiterMessage(req_, "x", 4242, 1), kErrUnknownStaff},
  };
  for (const auto& c : cases) {
    const tXmlDocument answer = Send(c.request);
    EXPECT_EQ(Status(answer), "Error") << c.name;
    EXPECT_EQ(ErrorNumber(answer), c.error) << c.name;
    EXPECT_FALSE(answer.Root().Attr("ErrorText").empty()) << c.name;
  }
  const std::vector<tZoltSim::tOrderState> orders = sim_.Orders();
  ASSERT_EQ(orders.size(), 1u);
  EXPECT_EQ(orders[0].lines.size(), 3u) << "the refused SaveOrder added no line";
  EXPECT_EQ(orders[0].dishes[0].second, 1500);
  EXPECT_FALSE(orders[0].voided);
  EXPECT_TRUE(sim_.Messages().empty());

  // Closing the visit finishes the order: later changes are refused, a second close too.
  ASSERT_EQ(Status(Send(tZoltXML::BuildCloseVisit(req_, visit))), "Ok");
  EXPECT_EQ(ErrorNumber(Send(tZoltXML::BuildCloseVisit(req_, visit))), kErrVisitClosed);
  EXPECT_EQ(ErrorNumber(Send(tZoltXML::BuildSaveNotDeferredOrder(req_, guid))), kErrOrderFinished);
  EXPECT_EQ(ErrorNumber(Send(tZoltXML::BuildDeliveryUpdateStatus(req_, order, guid))),
            kErrOrderFinished);
}

TEST_F(SimTest, PartialVoidLeavesTheRestStandingAndFinishedCanBeForced) {
  tZoltOrder order = SampleOrder();
  std::string guid;
  int32_t visit = 0;
  tZoltXML::ParseOrderData(Send(tZoltXML::BuildCreateOrder(req_, order, 1, 1, 11)), guid, visit);
  ASSERT_EQ(Status(Send(tZoltXML::BuildSaveOrderDeferred(req_, order, 1, guid, 0))), "Ok");
  tZoltVoidData data;
  tZoltXML::ParseVoidData(Send(tZoltXML::BuildGetOrder(req_, guid)), data);
  const std::string uni = std::to_string(data.Items[0].Id);
  ASSERT_EQ(Status(Send(Request("SaveOrder", "",
                                "<Order guid=\"" + guid + "\"/><Session><Dish uni=\"" + uni +
                                    "\"><Void code=\"9\" quantity=\"500\"/></Dish></Session>"))),
            "Ok");
  tZoltVoidData after;
  tZoltXML::ParseVoidData(Send(tZoltXML::BuildGetOrder(req_, guid)), after);
  ASSERT_EQ(after.Items.size(), 3u);
  EXPECT_EQ(after.Items[0].Id, data.Items[0].Id);
  EXPECT_DOUBLE_EQ(after.Items[0].Quaintity, 1.0);
  // The rest in a second request; a later save does not bring the line back.
  ASSERT_EQ(Status(Send(Request("SaveOrder", "",
                                "<Order guid=\"" + guid + "\"/><Session><Dish uni=\"" + uni +
                                    "\"><Void code=\"9\" quantity=\"1000\"/></Dish></Session>"))),
            "Ok");
  ASSERT_EQ(Status(Send(tZoltXML::BuildSaveNotDeferredOrder(req_, guid))), "Ok");
  tZoltVoidData gone;
  tZoltXML::ParseVoidData(Send(tZoltXML::BuildGetOrder(req_, guid)), gone);
  ASSERT_EQ(gone.Items.size(), 2u);
  EXPECT_NE(gone.Items[0].Id, data.Items[0].Id);
  EXPECT_EQ(sim_.Orders()[0].lines[0].voids, 2);

  EXPECT_TRUE(sim_.SetOrderFinished(guid, true));
  EXPECT_FALSE(sim_.SetOrderFinished("{nothing}", true));
  tZoltVoidData finished;
  tZoltXML::ParseVoidData(Send(tZoltXML::BuildGetOrder(req_, guid)), finished);
  EXPECT_EQ(finished.Finished, 1);
}

class CheckMenuTest : public SimTest {
 protected:
  CheckMenuTest() : SimTest(WithCheckMenu()) {}
  static tZoltSimOptions WithCheckMenu() {
    tZoltSimOptions options = Quiet();
    options.checkMenu = true;
    return options;
  }
};

TEST_F(CheckMenuTest, UnknownMenuIdsAreRefused) {
  const struct {
    const char* session;
    int error;
  } cases[] = {
      {"<Dish id=\"101\" quantity=\"1000\"><Modi id=\"901\" count=\"1\"/></Dish>", 0},
      {"<Dish id=\"12345\" quantity=\"1000\"/>", kErrUnknownMenuItem},
      {"<Dish id=\"101\" quantity=\"1000\"><Modi id=\"999\" count=\"1\"/></Dish>",
       kErrUnknownMenuItem},
      {"<Combo id=\"7\" quantity=\"1000\"><Component id=\"3\"><ComboModi id=\"4444\"/>"
       "</Component></Combo>",
       kErrUnknownMenuItem},
      {"<Dish id=\"101\" quantity=\"-1000\"/>", kErrBadRequest},
  };
  for (const auto& c : cases) {
    const tXmlDocument answer = Send(Request("ValidateOrder", "",
                                             "<Table code=\"0\"/><Session><Station code=\"1\"/>" +
                                                 std::string(c.session) + "</Session>"));
    EXPECT_EQ(ErrorNumber(answer), c.error == 0 ? -1 : c.error) << c.session;
  }
}

// A message is listed by the first N polls of its waiter, then counts as read; polls by
// another waiter neither list nor count it.
TEST(MessagePollTest, ReadAfterConfiguredPolls) {
  const struct {
    int readAfter;
    std::vector<bool> listed;
  } cases[] = {
      {0, {false, false, false, false}},
      {1, {true, false, false, false}},
      {3, {true, true, true, false}},
      {-1, {true, true, true, true}},
  };
  for (const auto& c : cases) {
    tZoltSimOptions options = Quiet();
    options.messageReadAfterPolls = c.readAfter;
    tZoltSim sim(options);
    sim.Start();
    std::string req;
    int32_t id = 0;
    tZoltXML::ParseMessageID(Call(sim, tVia::kTcp, tZoltXML::BuildWaiterMessage(req, "m", 11, 5)),
                             id);
    bool read = false;
    tZoltXML::ParseMessageRead(Call(sim, tVia::kTcp, tZoltXML::BuildGetWaiterMessages(req, 12)), id,
                               read);
    EXPECT_TRUE(read) << "not listed for another waiter";
    std::vector<bool> listed;
    for (size_t i = 0; i < c.listed.size(); ++i) {
      tZoltXML::ParseMessageRead(Call(sim, tVia::kTcp, tZoltXML::BuildGetWaiterMessages(req, 11)),
                                 id, read);
      listed.push_back(!read);
    }
    EXPECT_EQ(listed, c.listed) << "read after " << c.readAfter;
    FreeConnectionPool();
  }
}

TEST_F(SimTest, ReadAfterCanChangeWhileRunning) {
  sim_.SetMessageReadAfterPolls(-1);
  int32_t id = 0;
  tZoltXML::ParseMessageID(Send(tZoltXML::BuildWaiterMessage(req_, "m", 11, 5)), id);
  bool read = true;
  tZoltXML::ParseMessageRead(Send(tZoltXML::BuildGetWaiterMessages(req_, 11)), id, read);
  EXPECT_FALSE(read);
  sim_.Control("read-after=0");
  tZoltXML::ParseMessageRead(Send(tZoltXML::BuildGetWaiterMessages(req_, 11)), id, read);
  EXPECT_TRUE(read);
  ASSERT_EQ(sim_.Messages().size(), 1u);
  EXPECT_TRUE(sim_.Messages()[0].read);
  EXPECT_EQ(sim_.Messages()[0].polls, 1);
}

TEST_F(SimTest, RestartKeepsStateAndJournal) {
  EXPECT_THROW(sim_.Start(), std::logic_error);
  tZoltOrder order = SampleOrder();
  std::string guid;
  int32_t visit = 0;
  tZoltXML::ParseOrderData(Send(tZoltXML::BuildCreateOrder(req_, order, 1, 1, 11)), guid, visit);
  FreeConnectionPool();
  sim_.Stop();
  EXPECT_EQ(sim_.TcpPort(), 0);
  sim_.Stop();
  sim_.Start();
  int32_t seq = 0;
  tZoltXML::ParseSeqData(Send(tZoltXML::BuildGetOrder(req_, guid)), seq);
  EXPECT_EQ(seq, 1);
  EXPECT_EQ(sim_.Commands(), (std::vector<std::string>{"CreateOrder", "GetOrder"}));
}

}  // namespace
}  // namespace q2::sim::test
