// Reading the cash server's answers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "cashserver/zolt_xml.h"

namespace q2 {
namespace {

tXmlDocument Doc(const std::string& text) {
  tXmlDocument doc;
  doc.LoadFromString(text);
  return doc;
}

TEST(Answers, OrderData) {
  std::string guid = "old";
  int32_t visit = -1;
  tZoltXML::ParseOrderData(Doc("<ZoltQueryResult Status=\"Ok\" guid=\"{abc}\" VisitID=\"42\"/>"),
                           guid, visit);
  EXPECT_EQ(guid, "{abc}");  // unchanged text
  EXPECT_EQ(visit, 42);
  tZoltXML::ParseOrderData(Doc("<ZoltQueryResult Status=\"Ok\"/>"), guid, visit);
  EXPECT_EQ(guid, "");
  EXPECT_EQ(visit, 0);
}

TEST(Answers, SeqData) {
  int32_t seq = -1;
  tZoltXML::ParseSeqData(Doc("<ZoltQueryResult><Order seqNumber=\"17\"/></ZoltQueryResult>"), seq);
  EXPECT_EQ(seq, 17);
  tZoltXML::ParseSeqData(Doc("<ZoltQueryResult><Order/></ZoltQueryResult>"), seq);
  EXPECT_EQ(seq, 0);
  try {
    tZoltXML::ParseSeqData(Doc("<ZoltQueryResult><Visit/></ZoltQueryResult>"), seq);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "can't get getOrder.Order node");
  }
}

TEST(Answers, VoidDataListsDishesBeforeCombos) {
  tZoltVoidData v;
  tZoltXML::ParseVoidData(
      Doc("<ZoltQueryResult><Order visit=\"5\" finished=\"1\"><Session sessionID=\"3\">"
          "<Combo uni=\"10\" quantity=\"1000\"/><Prepay uni=\"70\"/><Dish uni=\"20\" "
          "quantity=\"2500\"/><Combo uni=\"30\"/><Prepay uni=\"71\"/></Session></Order>"
          "</ZoltQueryResult>"),
      v);
  EXPECT_EQ(v.Visit, 5);
  EXPECT_EQ(v.Finished, 1);
  EXPECT_EQ(v.SessionID, 3);
  EXPECT_EQ(v.PrepayID, 70);
  ASSERT_EQ(v.Items.size(), 3u);
  const struct {
    tZoltMenuItemType type;
    int32_t id;
    double quantity;
  } expected[] = {{miDish, 20, 2.5}, {miContainer, 10, 1}, {miContainer, 30, 0}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(v.Items[i].miType, expected[i].type) << i;
    EXPECT_EQ(v.Items[i].Id, expected[i].id) << i;
    EXPECT_EQ(v.Items[i].Quaintity, expected[i].quantity) << i;
    EXPECT_EQ(v.Items[i].Component, 0);
    EXPECT_TRUE(v.Items[i].Children.empty());
  }

  tZoltVoidData empty;
  tZoltXML::ParseVoidData(Doc("<ZoltQueryResult><Order><Session/></Order></ZoltQueryResult>"),
                          empty);
  EXPECT_EQ(empty.Visit, 0);
  EXPECT_EQ(empty.Finished, 0);
  EXPECT_EQ(empty.PrepayID, 0);
  EXPECT_TRUE(empty.Items.empty());

  for (const char* missing : {"<ZoltQueryResult/>", "<ZoltQueryResult><Order/></ZoltQueryResult>",
                              "<Other><Order><Session/></Order></Other>"}) {
    tZoltVoidData w;
    EXPECT_THROW(tZoltXML::ParseVoidData(Doc(missing), w), std::runtime_error) << missing;
  }
}

TEST(Answers, MessageIdAndRead) {
  int32_t id = -1;
  tZoltXML::ParseMessageID(Doc("<ZoltQueryResult><Message id=\"901\"/></ZoltQueryResult>"), id);
  EXPECT_EQ(id, 901);
  EXPECT_THROW(tZoltXML::ParseMessageID(Doc("<ZoltQueryResult/>"), id), std::runtime_error);

  const struct {
    const char* answer;
    bool read;
  } cases[] = {
      {"<ZoltQueryResult Status=\"Ok\"/>", true},
      {"<ZoltQueryResult><Message id=\"5\"/><Message id=\"901\"/><Message/></ZoltQueryResult>",
       false},
      {"<ZoltQueryResult><Message id=\"5\"/><Message id=\"6\"/></ZoltQueryResult>", true},
      {"<ZoltQueryResult><Other id=\"901\"/></ZoltQueryResult>", true},
  };
  for (const auto& c : cases) {
    bool read = !c.read;
    tZoltXML::ParseMessageRead(Doc(c.answer), 901, read);
    EXPECT_EQ(read, c.read) << c.answer;
  }
  bool read = true;
  EXPECT_THROW(tZoltXML::ParseMessageRead(Doc("<Other/>"), 901, read), std::runtime_error);
}

TEST(Answers, ErrorDefaultsAndNeverFails) {
  const struct {
    const char* answer;
    int32_t number;
    const char* text;
  } cases[] = {
      {"<ZoltQueryResult Status=\"Error\" ZoltErrorN=\"2107\" ErrorText=\"busy\"/>", 2107, "busy"},
      {"<ZoltQueryResult Status=\"Error\" ErrorText=\"no number\"/>", -1, "no number"},
      {"<ZoltQueryResult ZoltErrorN=\"x\" ErrorText=\"bad\"/>", -1, "bad"},
      {"<Other ZoltErrorN=\"5\" ErrorText=\"t\"/>", -1, ""},
  };
  for (const auto& c : cases) {
    int32_t number = 99;
    std::string text = "old";
    tZoltXML::ParseError(Doc(c.answer), number, text);
    EXPECT_EQ(number, c.number) << c.answer;
    EXPECT_EQ(text, c.text) << c.answer;
  }
  int32_t number = 99;
  std::string text = "old";
  tZoltXML::ParseError(tXmlDocument(), number, text);
  EXPECT_EQ(number, -1);
  EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace q2
