// Order placement against the simulator, whose journal of requests is the oracle.
#include "cashserver/placement.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/convert.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "refdata/cut_proxy.h"
#include "refdata/sim_env.h"
#include "zoltsim/faults.h"

namespace q2 {
namespace {

using Commands = std::vector<std::string>;
using test::tSimEnv;

constexpr const char* kNumber = "1234";

std::unique_ptr<tZoltMenuItem> Item(tZoltMenuItemType type, int32_t id, double quantity) {
  auto item = std::make_unique<tZoltMenuItem>();
  item->miType = type;
  item->Id = id;
  item->Quaintity = quantity;
  return item;
}

// Two dishes (the second with a modifier), one payment of 123.45 unless `paid` is false,
// a delivery when asked for.
tZoltOrder MakeOrder(bool paid, bool delivery, const std::string& number = kNumber) {
  tZoltOrder order;
  order.ExtSources.push_back({"120", number});
  order.Menu.push_back(Item(miDish, 101, 1));
  order.Menu.push_back(Item(miDish, 102, 2));
  order.Menu.back()->Children.push_back(Item(miModifier, 901, 1));
  if (paid) order.payments.push_back({7, 1234500, "tx-1", "", ""});
  if (delivery) {
    tZoltDelivery d;
    d.deliveryState = 1;
    d.deliveryTime = EncodeDateTime({2024, 3, 5, 14, 30, 0, 0});
    d.travelTime = EncodeDateTime({1899, 12, 30, 0, 45, 0, 0});
    d.Source = 31;
    order.delivery.push_back(d);
  }
  return order;
}

int Count(const Commands& commands, const std::string& command) {
  return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

class Placement : public ::testing::Test {
 protected:
  // Starts the simulator (default restaurant) and the placement; with a cut command the
  // call goes through a proxy that loses the connection at that command.
  void Start(sim::tZoltSimOptions options = {}, uint8_t logLevel = 1,
             const std::string& cutCommand = "", int cuts = 0, int skip = 0) {
    env_ = std::make_unique<tSimEnv>(std::move(options), logLevel);
    if (!cutCommand.empty()) {
      proxy_ = std::make_unique<test::tCutProxy>(env_->sim->TcpPort(), cutCommand, cuts, skip);
      env_->call.fcZolt.Port = proxy_->Port();
    }
    map_ = std::make_unique<tMapList>(env_->dir.path() + "quillon2.map");
    settings_.TableCode = 5;
    settings_.Unit = 1;
    settings_.DepositReason = 3;
    settings_.DelReason = 4;
    settings_.MsgTtl = 30;
    settings_.ViewWait = 2;
    settings_.TAMaketID = 21;
    settings_.DelivMaketID = 22;
    placement_ =
        std::make_unique<tOrderPlacement>(env_->call, *map_, settings_, [this] { return stop_; });
    if (dishes_.Count() == 0) {
      dishes_.Append(new tValue{101, 1101, "Борщ с пампушками", nullptr});
      dishes_.Append(new tValue{102, 1102, "Солянка мясная сборная", nullptr});
    }
  }
  void TearDown() override {
    placement_.reset();
    map_.reset();
    proxy_.reset();
    env_.reset();
  }

  int32_t Place(const tZoltOrder& order, const std::string& command) {
    return placement_->PlaceOrder(answer_, order, command, dishes_, waiter_);
  }
  // The failure's message; fails the test when the call succeeds.
  std::string Failure(const tZoltOrder& order, const std::string& command) {
    try {
      Place(order, command);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    ADD_FAILURE() << command << " did not fail";
    return std::string();
  }
  // Creates the order and forgets the requests that took.
  void Create(const tZoltOrder& order) {
    Place(order, "OCREATE");
    sim().ClearJournal();
  }
  sim::tZoltSim& sim() { return *env_->sim; }
  sim::tZoltSim::tOrderState SimOrder(size_t index = 0) { return sim().Orders().at(index); }
  std::string MappedGuid(int32_t number = 1234) {
    tMapValue value;
    map_->Find(number, value);
    return value.OrderId == 0 ? std::string() : GUIDToString(value.GUID);
  }
  std::string Document(const std::string& command, int nth = 0) {
    for (const sim::tJournalEntry& entry : sim().Journal()) {
      if (entry.command == command && nth-- == 0) return entry.document;
    }
    return std::string();
  }

  std::unique_ptr<tSimEnv> env_;
  std::unique_ptr<test::tCutProxy> proxy_;
  std::unique_ptr<tMapList> map_;
  std::unique_ptr<tOrderPlacement> placement_;
  tPlacementSettings settings_;
  tXmlDocument answer_;
  tValueList dishes_;
  tValue waiter_{1, 11, "Иванова Мария", nullptr};
  bool stop_ = false;
};

TEST_F(Placement, ValidateSendsOneRequestAndOtherCommandsNone) {
  Start();
  EXPECT_EQ(Place(MakeOrder(false, false), "oValidate"), 1);
  EXPECT_EQ(sim().Commands(), (Commands{"ValidateOrder"}));
  const std::string document = Document("ValidateOrder");
  EXPECT_NE(document.find("<Table code=\"5\"/>"), std::string::npos);
  EXPECT_NE(document.find("<Station code=\"1\"/>"), std::string::npos);
  EXPECT_TRUE(env_->Logged("thrd.zolt:  validating an order 1234"));
  EXPECT_TRUE(sim().Orders().empty());

  sim().ClearJournal();
  for (const char* command : {"DELIVERY", "VDU", "PING"}) {
    EXPECT_EQ(Place(MakeOrder(true, true), command), 0) << command;
  }
  EXPECT_TRUE(sim().Commands().empty());

  // The order number must be decimal; the step is still empty then.
  EXPECT_EQ(Failure(MakeOrder(true, false, "12a"), "OCREATE"),
            "Zolt  error: ''12a'' is not a valid integer value");
  EXPECT_TRUE(sim().Commands().empty());
}

TEST_F(Placement, CreateSavesDeferredRecordsTheMapAndTellsTheCashier) {
  Start();
  const tZoltOrder order = MakeOrder(true, false);
  const int32_t seq = Place(order, "ocreate");
  EXPECT_EQ(sim().Commands(), (Commands{"CreateOrder", "GetOrder", "SaveOrder",
                                        "DeliveryUpdateStatus", "WaiterMessage"}));
  const sim::tZoltSim::tOrderState created = SimOrder();
  EXPECT_EQ(seq, created.seqNumber);
  EXPECT_NE(seq, 0);
  EXPECT_EQ(MappedGuid(), created.guid);
  EXPECT_TRUE(created.deferred);
  EXPECT_FALSE(created.paid);
  EXPECT_EQ(created.waiterCode, 11);
  ASSERT_EQ(created.prepayLines.size(), 1u);
  EXPECT_EQ(created.prepayLines[0].amount, 12345);
  EXPECT_EQ(created.prepayLines[0].reason, 3);
  EXPECT_NE(Document("SaveOrder").find("deferred=\"1\""), std::string::npos);
  EXPECT_NE(created.deliveryState, -1);  // the update is sent for a take-away order too

  const std::vector<sim::tZoltSim::tMessageState> messages = sim().Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, tOrderPlacement::ShowOrderText(order, dishes_));
  EXPECT_EQ(messages[0].employeeCode, 11);
  EXPECT_EQ(messages[0].timeToLive, 30);
  for (const char* line :
       {"thrd.zolt:  creating an order 1234", "thrd.zolt:  saving an order",
        "thrd.zolt:  updating delivery state", "thrd.zolt:  showing an order to the cashier"}) {
    EXPECT_TRUE(env_->Logged(line)) << line;
  }
  EXPECT_FALSE(env_->Logged("map record was replaced"));

  // The same order number again: a new order at the cash server, the map follows it.
  const int32_t second = Place(order, "OCREATE");
  ASSERT_EQ(sim().Orders().size(), 2u);
  EXPECT_EQ(second, SimOrder(1).seqNumber);
  EXPECT_EQ(MappedGuid(), SimOrder(1).guid);
  EXPECT_NE(SimOrder(1).guid, created.guid);
  EXPECT_TRUE(env_->Logged("thrd.zolt: map record was replaced"));
  EXPECT_EQ(map_->Count(), 1);
}

TEST_F(Placement, PrintWaitsForTheMessageThenPays) {
  sim::tZoltSimOptions options;
  options.messageReadAfterPolls = 1;  // listed at the first look, read at the second
  Start(options);
  const struct {
    bool delivery;
    const char* text;
    int receiptMaket;
  } cases[] = {
      {false, "Сейчас будет печататься заказ самовывоза №1234. Для продолжения нажмите \"OK\"", 21},
      {true, "Сейчас будет печататься заказ доставки №1234. Для продолжения нажмите \"OK\"", 22},
  };
  size_t index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.delivery);
    const tZoltOrder order = MakeOrder(true, c.delivery);
    Create(order);
    EXPECT_EQ(Place(order, "FPRINT"), SimOrder(index).seqNumber);
    EXPECT_EQ(sim().Commands(), (Commands{"WaiterMessage", "GetWaiterMessages", "GetWaiterMessages",
                                          "SaveOrder", "PayOrder", "GetOrder"}));
    EXPECT_NE(Document("SaveOrder").find("deferred=\"0\""), std::string::npos);
    EXPECT_EQ(sim().Messages().back().text, c.text);
    EXPECT_TRUE(SimOrder(index).paid);
    EXPECT_EQ(SimOrder(index).cashierCode, 11);
    EXPECT_EQ(SimOrder(index).receiptMaket, c.receiptMaket);
    EXPECT_EQ(MappedGuid(), SimOrder(index).guid);
    ++index;
  }
  for (const char* line : {"thrd.zolt:  informing cashier about printing check for order 1234",
                           "thrd.zolt:  and waiting", "thrd.zolt:  saving not deferred order",
                           "thrd.zolt:  paying for order"}) {
    EXPECT_TRUE(env_->Logged(line)) << line;
  }
}

TEST_F(Placement, PrintGivesUpWhenTheMessageStaysUnreadOrStopIsRequested) {
  sim::tZoltSimOptions options;
  options.messageReadAfterPolls = -1;
  Start(options);
  const tZoltOrder order = MakeOrder(true, false);
  Create(order);
  const std::string expected =
      "Zolt WaitingWaiterMessage error: waiter didn't read their message, process got "
      "interrupted";

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Failure(order, "FPRINT"), expected);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Commands commands = sim().Commands();
  // ViewWait 2: a look each second until more than two whole seconds have passed.
  EXPECT_GE(Count(commands, "GetWaiterMessages"), 2);
  EXPECT_LE(Count(commands, "GetWaiterMessages"), 3);
  EXPECT_EQ(commands.front(), "WaiterMessage");
  EXPECT_EQ(commands.back(), "GetWaiterMessages");
  EXPECT_GE(seconds, 2.0);
  EXPECT_LT(seconds, 5.0);
  EXPECT_FALSE(SimOrder().paid);

  // A stop request ends the wait after the first look.
  sim().ClearJournal();
  stop_ = true;
  EXPECT_EQ(Failure(order, "FPRINT"), expected);
  EXPECT_EQ(sim().Commands(), (Commands{"WaiterMessage", "GetWaiterMessages"}));
}

TEST_F(Placement, BusyPaymentIsSentFourTimesThenTakenBack) {
  sim::tZoltSimOptions options;
  options.messageReadAfterPolls = 0;
  Start(options);
  const struct {
    int errorNumber, times;
    bool paid;
  } cases[] = {{2107, 4, false}, {2123, 3, true}};
  size_t index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.errorNumber);
    const tZoltOrder order = MakeOrder(true, false);
    Create(order);
    sim().SetPayBusy(c.errorNumber, c.times);
    const auto start = std::chrono::steady_clock::now();
    std::string failure;
    try {
      EXPECT_EQ(Place(order, "FPRINT"), SimOrder(index).seqNumber);
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const Commands head = {"WaiterMessage", "GetWaiterMessages", "SaveOrder", "PayOrder",
                           "PayOrder",      "PayOrder",          "PayOrder"};
    Commands expected = head;
    if (c.paid) {
      expected.push_back("GetOrder");
      EXPECT_EQ(failure, "");
      EXPECT_TRUE(SimOrder(index).paid);
      EXPECT_EQ(MappedGuid(), SimOrder(index).guid);
    } else {
      for (const char* command : {"GetOrder", "SaveOrder", "CloseVisit", "WaiterMessage"}) {
        expected.push_back(command);
      }
      const std::string busyText = sim::BusyText(c.errorNumber);
      EXPECT_EQ(failure, "Zolt PayOrder error: Zolt XML error \"" + busyText + "\"");
      EXPECT_FALSE(SimOrder(index).paid);
      EXPECT_TRUE(SimOrder(index).voided);
      EXPECT_TRUE(SimOrder(index).visitClosed);
      EXPECT_EQ(MappedGuid(), "");
      EXPECT_EQ(sim().Messages().back().text, "Заказ №1234 не смогли распечатать\r\n" + busyText);
    }
    EXPECT_EQ(sim().Commands(), expected);
    // Three pauses of a second between the four sends (plus the first look's second).
    EXPECT_GE(seconds, 4.0);
    EXPECT_LT(seconds, 8.0);
    ++index;
  }
}

TEST_F(Placement, OtherPaymentErrorsAtLowAndHighLogLevels) {
  const struct {
    uint8_t logLevel;
    int faultTimes;
    Commands afterSave;
    bool paid;
  } cases[] = {
      // Below level 2 the first error answer fails the payment.
      {1, 1, {"PayOrder", "GetOrder", "SaveOrder", "CloseVisit", "WaiterMessage"}, false},
      // From level 2 the order's state is fetched and saved, and one more send decides.
      {2, 1, {"PayOrder", "GetOrder", "PayOrder", "GetOrder"}, true},
      {2,
       2,
       {"PayOrder", "GetOrder", "PayOrder", "GetOrder", "SaveOrder", "CloseVisit", "WaiterMessage"},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.logLevel) + "/" + std::to_string(c.faultTimes));
    sim::tZoltSimOptions options;
    options.messageReadAfterPolls = 0;
    TearDown();
    Start(options, c.logLevel);
    const tZoltOrder order = MakeOrder(true, true);
    Create(order);
    sim().AddErrorAnswer({"PayOrder", 3001, "Printer jam", c.faultTimes});
    std::string failure;
    try {
      Place(order, "FPRINT");
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    Commands expected = {"WaiterMessage", "GetWaiterMessages", "SaveOrder"};
    expected.insert(expected.end(), c.afterSave.begin(), c.afterSave.end());
    EXPECT_EQ(sim().Commands(), expected);
    EXPECT_EQ(SimOrder().paid, c.paid);
    const std::string guid = SimOrder().guid;
    if (c.paid) {
      EXPECT_EQ(failure, "");
    } else {
      EXPECT_EQ(failure, "Zolt PayOrder error: Zolt XML error \"Printer jam\"");
      EXPECT_EQ(sim().Messages().back().text, "Заказ №1234 не смогли распечатать\r\nPrinter jam");
      EXPECT_EQ(MappedGuid(), "");
    }
    const std::string dump = LogFolder() + guid + "_order_response.xml";
    if (c.logLevel >= 2) {
      ASSERT_TRUE(FileExists(dump));
      tXmlDocument saved;
      saved.LoadFromFile(dump);
      EXPECT_TRUE(saved.TopElement("ZoltQueryResult").Path("Order"));  // the GetOrder answer
      EXPECT_TRUE(
          env_->Logged("thrd.zolt: payorder error: Zolt XML error \"Printer jam\" "
                       "getting status of an order " +
                       guid));
    } else {
      EXPECT_FALSE(FileExists(dump));
    }
  }
}

// The map entry goes only with a void that went through: it is what a later KILL needs.
TEST_F(Placement, FailedVoidAfterAFailedPaymentKeepsTheMapEntry) {
  sim::tZoltSimOptions options;
  options.messageReadAfterPolls = 0;
  Start(options);
  const tZoltOrder order = MakeOrder(true, false);
  Create(order);
  sim().AddErrorAnswer({"PayOrder", 3001, "Printer jam", 1});
  sim().AddErrorAnswer({"GetOrder", 3005, "database locked", 1});
  EXPECT_EQ(Failure(order, "FPRINT"),
            "Zolt PayOrder error: Zolt XML error \"Printer jam\", VoidOrder error: Zolt XML error "
            "\"database locked\"");
  EXPECT_EQ(sim().Commands(),
            (Commands{"WaiterMessage", "GetWaiterMessages", "SaveOrder", "PayOrder", "GetOrder"}));
  EXPECT_EQ(MappedGuid(), SimOrder().guid);
  sim().ClearJournal();
  EXPECT_EQ(Place(order, "KILL"), 0);
  EXPECT_TRUE(SimOrder().voided);
}

// A lost connection takes nothing back, also after a busy answer: the document then still
// holds that answer, which must not pass for the lost call's and start another send.
TEST_F(Placement, PaymentLostInTransportTakesNothingBack) {
  for (const bool busyFirst : {false, true}) {
    SCOPED_TRACE(busyFirst);
    sim::tZoltSimOptions options;
    options.messageReadAfterPolls = 0;
    TearDown();
    Start(options, 1, "PayOrder", 1, busyFirst ? 1 : 0);
    if (busyFirst) sim().SetPayBusy(2107, 1);
    const tZoltOrder order = MakeOrder(true, false);
    Create(order);
    const size_t messages = sim().Messages().size();
    const std::string failure = Failure(order, "FPRINT");
    EXPECT_EQ(failure.rfind("Zolt PayOrder error: ZoltCALL error \"", 0), 0u) << failure;
    EXPECT_EQ(proxy_->CutsLeft(), 0);
    EXPECT_TRUE(env_->call.fDisconnected);
    // The lost PayOrder never reached the cash server, and nothing followed it.
    Commands expected = {"WaiterMessage", "GetWaiterMessages", "SaveOrder"};
    if (busyFirst) expected.push_back("PayOrder");
    EXPECT_EQ(sim().Commands(), expected);
    EXPECT_FALSE(SimOrder().paid);
    EXPECT_FALSE(SimOrder().voided);
    EXPECT_EQ(MappedGuid(), SimOrder().guid);
    EXPECT_EQ(sim().Messages().size(), messages + 1);  // only the print notice
  }
}

TEST_F(Placement, PrintRefusesAnOrderWithoutPaymentsOrNotInTheMap) {
  Start();
  const tZoltOrder unpaid = MakeOrder(false, true);
  Create(unpaid);
  EXPECT_EQ(Failure(unpaid, "FPRINT"), "Zolt LoadMap error: no payments");
  const tZoltOrder unknown = MakeOrder(true, false, "999");
  EXPECT_EQ(Failure(unknown, "FPRINT"), "Zolt LoadMap error: order not found");
  EXPECT_EQ(Failure(unknown, "KILL"), "Zolt LoadMap error: order not found");
  EXPECT_TRUE(sim().Commands().empty());
}

TEST_F(Placement, KillVoidsTheOrderAndTellsTheCashier) {
  Start();
  const tZoltOrder order = MakeOrder(true, false);
  Create(order);
  const sim::tZoltSim::tOrderState created = SimOrder();
  EXPECT_EQ(Place(order, "kill"), 0);
  EXPECT_EQ(sim().Commands(), (Commands{"GetOrder", "SaveOrder", "CloseVisit", "WaiterMessage"}));
  const std::string voids = Document("SaveOrder");
  EXPECT_NE(voids.find("<Void code=\"4\""), std::string::npos);
  EXPECT_NE(voids.find("deleted=\"1\""), std::string::npos);
  EXPECT_NE(Document("CloseVisit").find("VisitID=\"" + std::to_string(created.visit) + "\""),
            std::string::npos);
  const sim::tZoltSim::tOrderState killed = SimOrder();
  EXPECT_TRUE(killed.voided);
  EXPECT_TRUE(killed.visitClosed);
  EXPECT_TRUE(killed.prepays.empty());
  for (const auto& line : killed.lines) EXPECT_EQ(line.voidedQuantity, line.quantity);
  EXPECT_EQ(sim().Messages().back().text, "Онлайн заказ №1234 отменен!");
  EXPECT_EQ(MappedGuid(), created.guid);  // the entry stays until it grows old
  EXPECT_TRUE(env_->Logged("thrd.zolt:  voiding an order 1234"));
}

TEST_F(Placement, KillOfAFinishedOrderIsRefused) {
  Start();
  const tZoltOrder order = MakeOrder(true, false);
  Create(order);
  ASSERT_TRUE(sim().SetOrderFinished(SimOrder().guid, true));
  EXPECT_EQ(Failure(order, "KILL"), "Zolt LoadMap error: order already canceled!");
  EXPECT_EQ(sim().Commands(), (Commands{"GetOrder"}));
  EXPECT_FALSE(SimOrder().voided);
}

TEST_F(Placement, FailedSaveClosesTheVisitWhateverTheConnection) {
  const struct {
    const char* name;
    std::vector<sim::tFault> faults;
    bool cutSave;
    const char* failure;  // a prefix when cutSave
  } cases[] = {
      {"error answer",
       {{"SaveOrder", 3002, "disk full", 1}},
       false,
       "Zolt SaveOrder error: Zolt XML error \"disk full\""},
      {"close fails too",
       {{"SaveOrder", 3002, "disk full", 1}, {"CloseVisit", 3003, "no visit", 1}},
       false,
       "Zolt SaveOrder error: Zolt XML error \"disk full\", CloseOrder error: Zolt XML error "
       "\"no visit\""},
      {"connection lost", {}, true, "Zolt SaveOrder error: ZoltCALL error \""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    Start({}, 1, c.cutSave ? "SaveOrder" : "", 1);
    for (const sim::tFault& fault : c.faults) sim().AddErrorAnswer(fault);
    const std::string failure = Failure(MakeOrder(true, false), "OCREATE");
    if (c.cutSave) {
      EXPECT_EQ(failure.rfind(c.failure, 0), 0u) << failure;
      EXPECT_EQ(sim().Commands(), (Commands{"CreateOrder", "GetOrder", "CloseVisit"}));
    } else {
      EXPECT_EQ(failure, c.failure);
      EXPECT_EQ(sim().Commands(), (Commands{"CreateOrder", "GetOrder", "SaveOrder", "CloseVisit"}));
    }
    EXPECT_NE(Document("CloseVisit").find("VisitID=\"" + std::to_string(SimOrder().visit) + "\""),
              std::string::npos);
    EXPECT_EQ(MappedGuid(), "");
    EXPECT_TRUE(sim().Messages().empty());
  }
}

TEST_F(Placement, FailedDeliveryUpdateVoidsUnlessTheConnectionIsLost) {
  for (const bool lost : {false, true}) {
    SCOPED_TRACE(lost);
    TearDown();
    Start({}, 1, lost ? "DeliveryUpdateStatus" : "", 1);
    if (!lost) sim().AddErrorAnswer({"DeliveryUpdateStatus", 3004, "zone closed", 1});
    const std::string failure = Failure(MakeOrder(true, true), "OCREATE");
    if (lost) {
      EXPECT_EQ(failure.rfind("Zolt DeliveryUpdateStatus error: ZoltCALL error \"", 0), 0u)
          << failure;
      EXPECT_EQ(sim().Commands(), (Commands{"CreateOrder", "GetOrder", "SaveOrder"}));
      EXPECT_FALSE(SimOrder().voided);
    } else {
      EXPECT_EQ(failure, "Zolt DeliveryUpdateStatus error: Zolt XML error \"zone closed\"");
      EXPECT_EQ(sim().Commands(),
                (Commands{"CreateOrder", "GetOrder", "SaveOrder", "DeliveryUpdateStatus",
                          "GetOrder", "SaveOrder", "CloseVisit"}));
      EXPECT_TRUE(SimOrder().voided);
      EXPECT_TRUE(SimOrder().visitClosed);
    }
    EXPECT_EQ(MappedGuid(), "");
    EXPECT_TRUE(sim().Messages().empty());
  }
}

// ---- The cashier's new-order message ---------------------------------------------------

const std::string kRuler(46, '-');
const std::string kVs(27, 'V');

// Lines joined with CR LF (a dish line is its own line: it starts with CR LF).
std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\r\n") + line;
  return text;
}

class ShowOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    dishes_.Append(new tValue{101, 1101, "Борщ", nullptr});
    dishes_.Append(new tValue{7, 1007, "Комбо", nullptr});
  }
  tValueList dishes_;
  const std::string ds_ = std::string(1, LocaleDecimalSeparator());
  const std::string ts_ = LocaleThousandSeparator();
};

TEST_F(ShowOrder, DeliveryOrderText) {
  tZoltOrder order = MakeOrder(false, true);
  order.payments.push_back({1, 12345675000, "", "", ""});  // 1 234 567.50
  order.payments.push_back({2, 100000, "", "", ""});       // 10.00
  order.Menu.clear();
  order.Menu.push_back(Item(miDish, 101, 1.5));
  order.Menu.back()->Children.push_back(Item(miModifier, 901, 1));
  order.Menu.push_back(Item(miContainer, 7, 2));
  order.Menu.back()->Children.push_back(Item(miComponent, 55, 1));
  order.Menu.back()->Children.back()->Children.push_back(Item(miDish, 101, 1));
  order.Menu.push_back(Item(miDish, 4242, 1));  // not in the dish list

  EXPECT_EQ(tOrderPlacement::ShowOrderText(order, dishes_),
            Lines({"Оформлен заказ 1234 на доставку",
                   "Общая сумма 1" + ts_ + "234" + ts_ + "577" + ds_ + "50 р.",
                   "Выдача КУРЬЕРУ 05-03 13:45", kRuler, "1" + ds_ + "5 Борщ", "2 Комбо", "1 4242",
                   kVs, kRuler, "Сообщи менеджеру о заказе!"}));
}

TEST_F(ShowOrder, TakeAwayOrderWithoutPayments) {
  tZoltOrder order = MakeOrder(false, false);
  EXPECT_EQ(tOrderPlacement::ShowOrderText(order, dishes_),
            Lines({"Оформлен заказ 1234 на самовывоз", "Общая сумма 0" + ds_ + "00 р.", kRuler,
                   "1 Борщ", "2 102", kVs, kRuler, "Сообщи менеджеру о заказе!"}));
}

// Every expanded list counts, empty ones too: from 3 (take-away) the limit of 16 leaves
// room for the top list and twelve more, that is six dishes with a child each.
TEST_F(ShowOrder, TwentyDishesAndTheLineCounter) {
  for (const bool withChild : {false, true}) {
    SCOPED_TRACE(withChild);
    tZoltOrder order = MakeOrder(false, false);
    order.Menu.clear();
    for (int i = 0; i < 20; ++i) {
      order.Menu.push_back(Item(miDish, 1000 + i, 1));
      if (withChild) order.Menu.back()->Children.push_back(Item(miDish, 2000 + i, 1));
    }
    const std::string text = tOrderPlacement::ShowOrderText(order, dishes_);
    std::string expected;
    for (int i = 0; i < 20; ++i) {
      expected += "\r\n1 " + std::to_string(1000 + i);
      if (withChild && i < 6) expected += "\r\n1 " + std::to_string(2000 + i);
    }
    const size_t begin = text.find(kRuler) + kRuler.size();
    const size_t end = text.find("\r\nVVVV");
    EXPECT_EQ(text.substr(begin, end - begin), expected);
  }
}

// The delivery line takes one count: eleven plain dishes and then one with a child leave
// room for that child in a take-away order (from 3) but not in a delivery order (from 4).
TEST_F(ShowOrder, DeliveryLineTakesOneCount) {
  for (const bool delivery : {false, true}) {
    SCOPED_TRACE(delivery);
    tZoltOrder order = MakeOrder(false, delivery);
    order.Menu.clear();
    for (int i = 0; i < 12; ++i) order.Menu.push_back(Item(miDish, 1000 + i, 1));
    order.Menu.back()->Children.push_back(Item(miDish, 2000, 1));
    const std::string text = tOrderPlacement::ShowOrderText(order, dishes_);
    EXPECT_EQ(text.find("\r\n1 1011\r\n1 2000\r\n") != std::string::npos, !delivery);
    EXPECT_NE(text.find("\r\n1 1011\r\n"), std::string::npos);
  }
}

TEST(DishLines, CounterAtTheLimitExpandsNothing) {
  tValueList dishes;
  tZoltMenuItems items;
  items.push_back(Item(miDish, 5, 1));
  int counter = kDishLineCounterLimit;
  EXPECT_EQ(tOrderPlacement::DishLines(items, dishes, counter), "");
  EXPECT_EQ(counter, kDishLineCounterLimit);
  counter = kDishLineCounterLimit - 1;
  EXPECT_EQ(tOrderPlacement::DishLines(items, dishes, counter), "\r\n1 5");
  EXPECT_EQ(counter, kDishLineCounterLimit);
}

}  // namespace
}  // namespace q2
