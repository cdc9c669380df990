// Request documents compared as trees: element order, attribute order and values.
#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <memory>
#include <string>

#include "cashserver/order_parser.h"
#include "cashserver/zolt_xml.h"
#include "platform/datetime.h"

namespace q2 {
namespace {

const std::string kGuid = "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}";

// Name[attr=value,...](children,...) of an element; whitespace between elements is
// ignored and any other text shows up as "'text'".
std::string Shape(const tXmlNode& node) {
  std::string out = node.Name();
  std::string attrs;
  for (xmlAttrPtr a = node.Raw()->properties; a != nullptr; a = a->next) {
    const std::string name = reinterpret_cast<const char*>(a->name);
    attrs += (attrs.empty() ? "" : ",") + name + "=" + node.Attr(name);
  }
  if (!attrs.empty()) out += "[" + attrs + "]";
  std::string kids;
  for (const tXmlNode& c : node.ChildNodes()) {
    std::string part;
    if (c.IsElement()) {
      part = Shape(c);
    } else if (c.Text().find_first_not_of(" \r\n\t") != std::string::npos) {
      part = "'" + c.Text() + "'";
    }
    if (!part.empty()) kids += (kids.empty() ? "" : ",") + part;
  }
  if (!kids.empty()) out += "(" + kids + ")";
  return out;
}

// The stream holds one document and one zero byte; returns the document's shape.
std::string StreamShape(const std::string& stream) {
  EXPECT_FALSE(stream.empty());
  EXPECT_EQ(stream.back(), '\0');
  EXPECT_EQ(stream.find('\0'), stream.size() - 1) << "more than one zero byte";
  tXmlDocument doc;
  doc.LoadFromMemory(stream.data(), stream.size() - 1);
  EXPECT_TRUE(doc.TopElement("ZoltQuery"));
  return Shape(doc.Root());
}

std::unique_ptr<tZoltMenuItem> Item(tZoltMenuItemType type, int32_t component, int32_t id,
                                    double quantity) {
  auto item = std::make_unique<tZoltMenuItem>();
  item->miType = type;
  item->Component = component;
  item->Id = id;
  item->Quaintity = quantity;
  return item;
}

// Dish 101 x1.5 with modifier 901; combo 7 with component lines 55 and 56 of component 3,
// line 55 carrying modifier 902.
tZoltOrder SampleOrder() {
  tZoltOrder o;
  o.persistentComment = "call me";
  o.OrderType = 3;
  o.ExtSources = {{"120", "1234"}, {"{DF77A2D3-405D-4A5D-B8B6-4150533A2F1D}", "web-77"}};
  auto dish = Item(miDish, 0, 101, 1.5);
  dish->Children.push_back(Item(miModifier, 0, 901, 2));
  auto combo = Item(miContainer, 0, 7, 1);
  auto line = Item(miComponent, 3, 55, 2);
  line->Children.push_back(Item(miModifier, 0, 902, 1));
  combo->Children.push_back(std::move(line));
  combo->Children.push_back(Item(miComponent, 3, 56, 1));
  o.Menu.push_back(std::move(dish));
  o.Menu.push_back(std::move(combo));
  tZoltPayment p1;
  p1.Id = 11;
  p1.Amount = 1234500;  // 123.45
  p1.extTransaction = "tx-1";
  tZoltPayment p2;
  p2.Id = 12;
  p2.Amount = 50;  // 0.005
  o.payments = {p1, p2};
  return o;
}

const char* kSampleMenu =
    "Dish[id=101,quantity=1500](Modi[id=901,count=1]),"
    "Combo[id=7,quantity=1000](Component[id=3](ComboModi[id=55](Modi[id=902,count=1])),"
    "Component[id=3](ComboModi[id=56]))";

TEST(Requests, EveryBuilder) {
  const tZoltOrder order = SampleOrder();
  tZoltOrder delivery = SampleOrder();
  tZoltDelivery d;
  d.deliveryState = 2;
  tDateTimeFields f;
  f.year = 2024;
  f.month = 3;
  f.day = 5;
  f.hour = 14;
  f.minute = 7;
  f.second = 9;
  d.startTime = EncodeDateTime(f);
  d.zoneID = 12;
  d.zoneName = "North & South";
  d.orderPrefix = "D-";
  d.Source = 31;
  delivery.delivery = {d};
  tZoltVoidData voids;
  voids.PrepayID = 77;
  voids.Items.push_back(std::move(*Item(miDish, 0, 5001, 1.5)));
  voids.Items.push_back(std::move(*Item(miModifier, 0, 5002, 1)));  // left out
  voids.Items.push_back(std::move(*Item(miContainer, 0, 5003, 2)));

  std::string s;
  const struct {
    std::string shape;
    std::string expected;
  } cases[] = {
      {StreamShape(tZoltXML::BuildValidateOrder(s, order, 5, 2)),
       "ZoltQuery(ZoltCMD[CMD=ValidateOrder](Table[code=5],Session(Station[code=2]," +
           std::string(kSampleMenu) + ")))"},
      {StreamShape(tZoltXML::BuildCreateOrder(s, order, 5, 2, -9)),
       "ZoltQuery(ZoltCMD[CMD=CreateOrder](Order[persistentComment=call me,"
       "nonPersistentComment=1234](Table[code=5],Station[code=2],Waiter[code=-9],"
       "OrderType[id=3],ExtSource[source=120,extID=1234],"
       "ExtSource[source={DF77A2D3-405D-4A5D-B8B6-4150533A2F1D},extID=web-77])))"},
      {StreamShape(tZoltXML::BuildGetOrder(s, kGuid)),
       "ZoltQuery(ZoltCMD[CMD=GetOrder](Order[guid=" + kGuid + "]))"},
      {StreamShape(tZoltXML::BuildSaveOrderDeferred(s, order, 2, kGuid, 1026957)),
       "ZoltQuery(ZoltCMD[CMD=SaveOrder,deferred=1](Order[guid=" + kGuid +
           "](Station[code=2]),Session(" + kSampleMenu +
           ",Prepay[id=11,amount=12345,extTransactionInfo=tx-1,Reason=1026957],"
           "Prepay[id=12,amount=0,Reason=1026957])))"},
      {StreamShape(tZoltXML::BuildDeliveryUpdateStatus(s, delivery, kGuid)),
       "ZoltQuery(ZoltCMD[CMD=DeliveryUpdateStatus](Order[guid=" + kGuid +
           "],DeliveryBlock[deliveryState=2,startTime=2024-03-05T14:07:09,"
           "travelTime=1899-12-30T00:00:00,deliveryTime=1899-12-30T00:00:00,"
           "forwarderSendTime=1899-12-30T00:00:00,forwarderReturnTime=1899-12-30T00:00:00,"
           "zoneID=12,zoneName=North & South,orderPrefix=D-],ExtSource[source=31]))"},
      {StreamShape(tZoltXML::BuildDeliveryUpdateStatus(s, order, kGuid)),
       "ZoltQuery(ZoltCMD[CMD=DeliveryUpdateStatus](Order[guid=" + kGuid +
           "],DeliveryBlock,ExtSource[source=31]))"},
      {StreamShape(tZoltXML::BuildSaveNotDeferredOrder(s, kGuid)),
       "ZoltQuery(ZoltCMD[CMD=SaveOrder,deferred=0](Order[guid=" + kGuid + "]))"},
      {StreamShape(tZoltXML::BuildPayOrder(s, kGuid, 17, false, -1, 8, 2)),
       "ZoltQuery(ZoltCMD[CMD=PayOrder](Cashier[code=17],Station[code=2],"
       "ReceiptMaket[id=-1],Order[guid=" +
           kGuid + "]))"},
      {StreamShape(tZoltXML::BuildPayOrder(s, kGuid, 17, true, -1, 8, 2)),
       "ZoltQuery(ZoltCMD[CMD=PayOrder](Cashier[code=17],Station[code=2],"
       "ReceiptMaket[id=8],Order[guid=" +
           kGuid + "]))"},
      {StreamShape(tZoltXML::BuildSaveOrderVoids(s, voids, kGuid, 4)),
       "ZoltQuery(ZoltCMD[CMD=SaveOrder](Order[guid=" + kGuid +
           "],Session(Dish[uni=5001](Void[code=4,quantity=1500]),"
           "Combo[uni=5003](Void[code=4,quantity=2000]),Prepay[uni=77,deleted=1])))"},
      {StreamShape(tZoltXML::BuildSaveOrderVoids(s, tZoltVoidData(), kGuid, 4)),
       "ZoltQuery(ZoltCMD[CMD=SaveOrder](Order[guid=" + kGuid + "],Session))"},
      {StreamShape(tZoltXML::BuildCloseVisit(s, 4711)),
       "ZoltQuery(ZoltCMD[CMD=CloseVisit,VisitID=4711])"},
      {StreamShape(tZoltXML::BuildWaiterMessage(s, "Заказ №5\r\n\"OK\" <now>", 17, 3)),
       "ZoltQuery(ZoltCMD[CMD=WaiterMessage,EmployeeCode=17,"
       "MessageText=Заказ №5\r\n\"OK\" <now>,TimeToLive=3])"},
      {StreamShape(tZoltXML::BuildGetWaiterMessages(s, 17)),
       "ZoltQuery(ZoltCMD[CMD=GetWaiterMessages](Waiter[code=17]))"},
      {StreamShape(tZoltXML::BuildGetRefData(s, "CLASSIFICATORGROUPS")),
       "ZoltQuery(ZoltCMD[CMD=GetRefData,RefName=CLASSIFICATORGROUPS,ReqSysVer=2,"
       "BuildMode=Memory])"},
      {StreamShape(tZoltXML::BuildKDSGetRefsData(s)),
       "ZoltQuery(ZoltCMD[CMD=KDSGetRefsData,ReqSysVer=1,BuildMode=Memory])"},
      {StreamShape(tZoltXML::BuildGetSystemInfo(s)),
       "ZoltQuery(ZoltCMD[CMD=GetSystemInfo,ReqSysVer=2,BuildMode=Memory])"},
      {StreamShape(tZoltXML::BuildGetWaiterList(s)),
       "ZoltQuery(ZoltCMD[CMD=GetWaiterList,RegisteredOnly=1])"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.shape, c.expected);
}

TEST(Requests, CreateOrderWithoutPersistentCommentStartsWithNonPersistentOne) {
  tZoltOrder o;
  o.ExtSources = {{"120", "55"}};
  std::string s;
  EXPECT_EQ(StreamShape(tZoltXML::BuildCreateOrder(s, o, 0, 0, 0)),
            "ZoltQuery(ZoltCMD[CMD=CreateOrder](Order[nonPersistentComment=55](Table[code=0],"
            "Station[code=0],Waiter[code=0],OrderType[id=-1],ExtSource[source=120,extID=55])))");
}

TEST(Requests, MoneyIsRoundedHalfToEvenInHundredths) {
  const struct {
    int64_t amount;  // ten-thousandths
    const char* written;
  } cases[] = {
      {50, "0"},
      {150, "2"},
      {250, "2"},
      {1234500, "12345"},
      {49, "0"},
      {51, "1"},
      {-50, "0"},
      {-150, "-2"},
      {-151, "-2"},
      {0, "0"},
      {99, "1"},
      {-4999949, "-49999"},
      {922337203685477550, "9223372036854776"},
  };
  for (const auto& c : cases) {
    tZoltOrder o;
    tZoltPayment p;
    p.Amount = c.amount;
    o.payments = {p};
    std::string s;
    EXPECT_EQ(StreamShape(tZoltXML::BuildSaveOrderDeferred(s, o, 0, kGuid, 0)),
              "ZoltQuery(ZoltCMD[CMD=SaveOrder,deferred=1](Order[guid=" + kGuid +
                  "](Station[code=0]),Session(Prepay[id=0,amount=" + c.written + ",Reason=0])))")
        << c.amount;
  }
}

TEST(Requests, StreamIsReplacedAndEndsInOneZeroByte) {
  std::string s(10000, '#');
  s[5] = '\0';
  std::string& r = tZoltXML::BuildGetWaiterList(s);
  EXPECT_EQ(&r, &s);
  EXPECT_EQ(s.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);  // no BOM
  EXPECT_EQ(s.find('#'), std::string::npos);
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s.back(), '\0');
  EXPECT_EQ(s.find('\0'), s.size() - 1);
  const std::string text = s.substr(0, s.size() - 1);
  EXPECT_EQ(text.substr(text.find_last_not_of("\r\n") - 11, 12), "</ZoltQuery>") << text;
}

TEST(Requests, ExtractDishesGivesEachComponentLineItsOwnWrapper) {
  tXmlDocument doc;
  tXmlNode root = doc.CreateNew("S");
  tZoltMenuItems items;
  items.push_back(Item(miComponent, 4, 1, 1));
  items.push_back(Item(miComponent, 4, 2, 1));
  items.push_back(Item(miModifier, 9, 3, 5));
  tZoltXML::ExtractDishes(root, items);
  EXPECT_EQ(Shape(root),
            "S(Component[id=4](ComboModi[id=1]),Component[id=4](ComboModi[id=2]),"
            "Modi[id=3,count=1])");
}

}  // namespace
}  // namespace q2
