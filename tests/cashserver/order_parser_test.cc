// Order documents into tZoltOrder.
#include "cashserver/order_parser.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/datetime.h"

namespace q2 {
namespace {

tZoltOrder ParseFile(const std::string& name) {
  tXmlDocument doc;
  doc.LoadFromFile(std::string(Q2_FIXTURES) + "/orders/" + name);
  tZoltOrder order;
  tZoltXML::ParseVDUOrder(order, doc);
  return order;
}

double At(int y, int mo, int d, int h, int mi, int s) {
  tDateTimeFields f;
  f.year = y;
  f.month = mo;
  f.day = d;
  f.hour = h;
  f.minute = mi;
  f.second = s;
  return EncodeDateTime(f);
}

// A compact picture of a menu tree: type letter, component, id, quantity, children.
std::string Shape(const tZoltMenuItems& items) {
  std::string out;
  for (const auto& item : items) {
    static const char kTypes[] = {'D', 'C', 'K', 'M'};
    char buf[96];
    std::snprintf(buf, sizeof buf, "%c%d:%d*%g", kTypes[item->miType], item->Component, item->Id,
                  item->Quaintity);
    out += buf;
    if (!item->Children.empty()) out += "(" + Shape(item->Children) + ")";
    out += " ";
  }
  if (!out.empty()) out.pop_back();
  return out;
}

TEST(ParseVDUOrder, FullOrder) {
  tZoltOrder o = ParseFile("full.xml");
  EXPECT_EQ(o.persistentComment, "Ring twice & wait");
  EXPECT_EQ(o.OrderType, 3);
  EXPECT_EQ(o.course, 4);

  ASSERT_EQ(o.ExtSources.size(), 2u);
  EXPECT_EQ(o.ExtSources[0].Source, "120");
  EXPECT_EQ(o.ExtSources[0].extID, "1234");
  EXPECT_EQ(o.ExtSources[1].extID, "web-77");

  ASSERT_EQ(o.delivery.size(), 1u);  // the second Delivery is not read
  const tZoltDelivery& d = o.delivery[0];
  EXPECT_EQ(d.deliveryState, 2);
  EXPECT_DOUBLE_EQ(d.startTime, At(2024, 3, 5, 14, 7, 9));
  EXPECT_DOUBLE_EQ(d.travelTime, At(2024, 3, 5, 0, 30, 0));
  EXPECT_DOUBLE_EQ(d.deliveryTime, At(2024, 3, 5, 15, 0, 0));
  EXPECT_EQ(d.forwarderSendTime, 0);
  EXPECT_EQ(d.forwarderReturnTime, 0);
  EXPECT_EQ(d.zoneID, 12);
  EXPECT_EQ(d.zoneName, "North");
  EXPECT_EQ(d.orderPrefix, "D-");
  EXPECT_EQ(d.Source, 31);  // whatever the document says

  ASSERT_EQ(o.payments.size(), 2u);
  EXPECT_EQ(o.payments[0].Id, 11);
  EXPECT_EQ(o.payments[0].Amount, 1234500);  // 123.45 in ten-thousandths
  EXPECT_EQ(o.payments[0].extTransaction, "tx-1");
  EXPECT_EQ(o.payments[0].interfaceId, "card");
  EXPECT_EQ(o.payments[0].cardCode, "4321");
  EXPECT_EQ(o.payments[1].Amount, -5000);
  EXPECT_EQ(o.payments[1].extTransaction, "");

  // Dish with a modifier; the combo's Component is no node: its ComboModi lines and the
  // Modi inside it stand at the combo's child level, only ComboModi carrying 3; a
  // Component under Session gives a top-level component line; the Dish under the unknown
  // Extras element is not read.
  EXPECT_EQ(Shape(o.Menu),
            "D0:101*1.5(M0:901*1) "
            "C0:7*1(K3:55*2(M0:902*0) M0:903*1 K3:56*1) "
            "K8:60*3 "
            "D0:102*0");
}

TEST(ParseVDUOrder, DefaultsOfAMinimalDeliveryOrder) {
  tZoltOrder o = ParseFile("minimal.xml");
  EXPECT_EQ(o.persistentComment, "");
  EXPECT_EQ(o.OrderType, -1);  // OrderType element without id
  EXPECT_EQ(o.course, 0);
  EXPECT_TRUE(o.payments.empty());
  EXPECT_TRUE(o.ExtSources.empty());
  ASSERT_EQ(o.delivery.size(), 1u);
  const tZoltDelivery& d = o.delivery[0];
  EXPECT_EQ(d.deliveryState, 0);
  EXPECT_EQ(d.startTime, 0);
  EXPECT_EQ(d.travelTime, 0);
  EXPECT_EQ(d.deliveryTime, 0);
  EXPECT_EQ(d.forwarderSendTime, 0);
  EXPECT_EQ(d.forwarderReturnTime, 0);
  EXPECT_EQ(d.zoneID, 0);
  EXPECT_EQ(d.zoneName, "");
  EXPECT_EQ(d.orderPrefix, "");
  EXPECT_EQ(d.Source, 31);
  EXPECT_EQ(Shape(o.Menu), "D0:1*0");
}

TEST(ParseVDUOrder, Windows1251FileGivesItsCyrillicTexts) {
  tZoltOrder o = ParseFile("cp1251.xml");
  EXPECT_EQ(o.persistentComment, "Позвонить за час");
  ASSERT_EQ(o.delivery.size(), 1u);
  EXPECT_EQ(o.delivery[0].zoneName, "Центр");
  EXPECT_EQ(o.delivery[0].orderPrefix, "Д");
  EXPECT_EQ(Shape(o.Menu), "D0:5*1");
}

TEST(ParseVDUOrder, FailuresAndWhatWasFilledBeforeThem) {
  const struct {
    const char* doc;
    const char* message;
  } cases[] = {
      {"<Other><Session/></Other>", "vdu.xml: node Order not found"},
      {"<Order><OrderType id=\"5\"/><ExtSource source=\"120\" extID=\"9\"/><Delivery/>"
       "<Dishes/></Order>",
       "vdu.xml: node Sesssion not found"},
      {"<Order><OrderType id=\"x1\"/><Session/></Order>", "''x1'' is not a valid integer value"},
      {"<Order><Delivery startTime=\"2024-13-01T00:00:00\"/><Session/></Order>",
       "''2024-13-01T00:00:00'' is not a valid date and time"},
      {"<Order><Session><Dish id=\"1\" quantity=\"1.5\"/></Session></Order>",
       "''1.5'' is not a valid integer value"},
  };
  for (const auto& c : cases) {
    tXmlDocument doc;
    doc.LoadFromString(c.doc);
    tZoltOrder o;
    try {
      tZoltXML::ParseVDUOrder(o, doc);
      ADD_FAILURE() << "no failure for " << c.doc;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  // Without Session, everything before it has been read.
  tXmlDocument doc;
  doc.LoadFromString(cases[1].doc);
  tZoltOrder o;
  EXPECT_THROW(tZoltXML::ParseVDUOrder(o, doc), std::runtime_error);
  EXPECT_EQ(o.OrderType, 5);
  ASSERT_EQ(o.ExtSources.size(), 1u);
  EXPECT_EQ(o.delivery.size(), 1u);
}

TEST(ParseVDUOrder, ReplacesArraysButAppendsMenu) {
  tXmlDocument doc;
  doc.LoadFromString("<Order><ExtSource source=\"a\"/><Session><Dish id=\"2\"/></Session></Order>");
  tZoltOrder o;
  o.payments.resize(3);
  o.delivery.resize(1);
  o.ExtSources.resize(4);
  o.Menu.push_back(std::make_unique<tZoltMenuItem>());
  tZoltXML::ParseVDUOrder(o, doc);
  EXPECT_TRUE(o.payments.empty());
  EXPECT_TRUE(o.delivery.empty());
  EXPECT_EQ(o.ExtSources.size(), 1u);
  EXPECT_EQ(Shape(o.Menu), "D0:0*0 D0:2*0");
  ClearOrderMenu(o);
  EXPECT_TRUE(o.Menu.empty());
}

// An entity-defining DOCTYPE neither reads a file nor smuggles dishes into the order: an
// entity reference in Session is not a menu node.
TEST(ParseVDUOrder, EntityDefiningDoctypeReadsNothing) {
  tXmlDocument doc;
  doc.LoadFromString(
      "<!DOCTYPE Order [<!ENTITY ext SYSTEM \"file:///etc/hostname\">"
      "<!ENTITY dish \"<Dish id='66' quantity='1000'/>\">]>"
      "<Order persistentComment=\"c\"><Session><Dish id=\"1\"/>&dish;</Session>"
      "<Note>&ext;</Note></Order>");
  tZoltOrder o;
  tZoltXML::ParseVDUOrder(o, doc);
  EXPECT_EQ(Shape(o.Menu), "D0:1*0");
  EXPECT_EQ(doc.Root().Child("Note").Text(), "");
}

TEST(FindExtSource, FirstExactMatchOrMinusOne) {
  tZoltOrder o;
  o.ExtSources = {{"x", "1"}, {"120", "2"}, {"120", "3"}};
  EXPECT_EQ(FindExtSource(o, "120"), 1);
  EXPECT_EQ(FindExtSource(o, "X"), -1);
  EXPECT_EQ(FindExtSource(o, "12"), -1);
  EXPECT_EQ(FindExtSource(tZoltOrder(), "120"), -1);
}

}  // namespace
}  // namespace q2
