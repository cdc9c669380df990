// The DOM layer: safe loading, encodings, selection, typed attributes, building and saving.
#include "xml/xml.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/datetime.h"

namespace q2 {
namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no failure)";
}

TEST(XmlLoad, MalformedInputFailsWithParserMessageAndPrintsNothing) {
  const struct {
    const char* input;
    const char* messagePart;
  } cases[] = {
      {"", "empty"},
      {"<a><b></a>", "mismatch"},
      {"<a x='1' x='2'/>", "redefined"},
      {"<?xml version=\"1.0\" encoding=\"no-such-charset\"?><a/>", "encoding"},
  };
  for (const auto& c : cases) {
    tXmlDocument doc;
    testing::internal::CaptureStderr();
    std::string message = MessageOf([&] { doc.LoadFromString(c.input); });
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(message, "(no failure)") << c.input;
    EXPECT_NE(message.find(c.messagePart), std::string::npos) << c.input << " -> " << message;
    EXPECT_EQ(printed, "") << c.input;
    EXPECT_TRUE(doc.IsEmpty());
  }
}

TEST(XmlLoad, FailedLoadEmptiesAnEarlierDocument) {
  tXmlDocument doc;
  doc.LoadFromString("<a/>");
  EXPECT_THROW(doc.LoadFromString("<a>"), std::runtime_error);
  EXPECT_TRUE(doc.IsEmpty());
  EXPECT_FALSE(doc.Root());
}

TEST(XmlLoad, DeclaredEncodingIsHonouredAndReported) {
  // "Щи" in windows-1251 is D9 E8.
  tXmlDocument doc;
  doc.LoadFromString("<?xml version=\"1.0\" encoding=\"windows-1251\"?><a n=\"\xD9\xE8\"/>");
  EXPECT_EQ(doc.Root().Attr("n"), "Щи");
  EXPECT_EQ(doc.DeclaredEncoding(), "windows-1251");

  doc.LoadFromString("<a n=\"Щи\"/>");
  EXPECT_EQ(doc.Root().Attr("n"), "Щи");
  EXPECT_EQ(doc.DeclaredEncoding(), "");
  doc.LoadFromString("<?xml version=\"1.0\"?><a/>");
  EXPECT_EQ(doc.DeclaredEncoding(), "");
}

// A DOCTYPE may declare entities that point at local files; loading must not read them,
// whether they are general entities used in content or parameter entities in the subset.
TEST(XmlLoad, ExternalEntitiesReadNothing) {
  // One file that a general entity would include as content, one that a parameter entity
  // (or an external DTD) would include as markup declaring the entity "leak".
  auto makeFile = [](const std::string& content) {
    char path[] = "/tmp/q2xml_secretXXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << content;
    return std::string(path);
  };
  const std::string content = makeFile("TOPSECRET");
  const std::string markup = makeFile("<!ENTITY leak \"TOPSECRET\">");
  const std::string docs[] = {
      "<!DOCTYPE Order [<!ENTITY x SYSTEM \"file://" + content +
          "\">]><Order><Note>&x;</Note></Order>",
      "<!DOCTYPE Order [<!ENTITY x SYSTEM \"" + content + "\">]><Order><Note>&x;</Note></Order>",
      "<!DOCTYPE Order [<!ENTITY % p SYSTEM \"" + markup +
          "\"> %p;]><Order><Note>&leak;</Note></Order>",
      "<!DOCTYPE Order SYSTEM \"" + markup + "\"><Order><Note>&leak;</Note></Order>",
  };
  for (const std::string& text : docs) {
    tXmlDocument doc;
    std::string message;
    try {
      doc.LoadFromString(text);
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    EXPECT_EQ(message.find("TOPSECRET"), std::string::npos) << text;
    if (!doc.IsEmpty()) {
      EXPECT_EQ(doc.Root().Text().find("TOPSECRET"), std::string::npos) << text;
      EXPECT_EQ(doc.SaveToString().find("TOPSECRET"), std::string::npos) << text;
    }
  }
  unlink(content.c_str());
  unlink(markup.c_str());
}

// Nested internal entities that would expand to gigabytes fail fast instead.
TEST(XmlLoad, EntityExpansionBombFails) {
  std::string d = "<!DOCTYPE Order [<!ENTITY a0 \"xxxxxxxxxx\">";
  for (int i = 1; i < 12; ++i) {
    d += "<!ENTITY a" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) d += "&a" + std::to_string(i - 1) + ";";
    d += "\">";
  }
  d += "]><Order><Session>&a11;</Session></Order>";
  tXmlDocument doc;
  EXPECT_THROW(doc.LoadFromString(d), std::runtime_error);
  EXPECT_TRUE(doc.IsEmpty());
}

TEST(XmlLoad, LoadFromFileReadsTheFileAndFailsOnAMissingOne) {
  tXmlDocument doc;
  doc.LoadFromFile(std::string(Q2_FIXTURES) + "/orders/minimal.xml");
  EXPECT_EQ(doc.Root().Name(), "Order");
  EXPECT_THROW(doc.LoadFromFile("/nonexistent/q2/none.xml"), std::runtime_error);
}

TEST(XmlSelect, ChildPathChildrenAndChildNodes) {
  tXmlDocument doc;
  doc.LoadFromString(
      "<?xml version=\"1.0\"?><!--top--><R><a n=\"1\"/><b><c n=\"x\"/><c n=\"y\"/></b>"
      "<a n=\"2\"/>text<!--c--></R>");
  tXmlNode r = doc.TopElement("R");
  ASSERT_TRUE(r);
  EXPECT_FALSE(doc.TopElement("a"));
  EXPECT_EQ(r.Child("a").Attr("n"), "1");  // the first of two
  EXPECT_FALSE(r.Child("A"));              // names are case-sensitive
  EXPECT_EQ(r.Path("b\\c").Attr("n"), "x");
  EXPECT_FALSE(r.Path("b\\d"));
  EXPECT_FALSE(r.Path("x\\c"));
  auto cs = r.Path("b").Children("c");
  ASSERT_EQ(cs.size(), 2u);
  EXPECT_EQ(cs[1].Attr("n"), "y");
  std::string names;
  for (const tXmlNode& n : r.ChildNodes()) names += n.Name() + ",";
  EXPECT_EQ(names, "a,b,a,#text,#comment,");
  EXPECT_FALSE(r.ChildNodes()[3].IsElement());
  EXPECT_EQ(tXmlNode().Name(), "");
  EXPECT_FALSE(tXmlNode().Child("a"));
}

TEST(XmlAttr, IntegerConversionIsStrict) {
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {"0", true, 0},
      {"12345", true, 12345},
      {"-7", true, -7},
      {"+7", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
      {"-", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"1.5", false, 0},
      {"0x10", false, 0},
      {"$10", false, 0},
      {"abc", false, 0},
  };
  for (const auto& c : cases) {
    tXmlDocument doc;
    tXmlNode root = doc.CreateNew("a");
    root.SetAttr("v", c.text);
    if (c.ok) {
      EXPECT_EQ(root.IntAttr("v", 99), c.value) << c.text;
    } else {
      EXPECT_EQ(MessageOf([&] { root.IntAttr("v", 99); }),
                std::string("''") + c.text + "'' is not a valid integer value");
    }
  }
  tXmlDocument doc;
  EXPECT_EQ(doc.CreateNew("a").IntAttr("missing", -1), -1);
}

TEST(XmlAttr, DateTimeReadAndWrite) {
  tDateTimeFields f;
  f.year = 2024;
  f.month = 3;
  f.day = 5;
  f.hour = 14;
  f.minute = 7;
  f.second = 9;
  const double t = EncodeDateTime(f);

  tXmlDocument doc;
  tXmlNode root = doc.CreateNew("a");
  const struct {
    const char* text;
    bool ok;
  } cases[] = {
      {"2024-03-05T14:07:09", true},
      {"2024-3-5T14:7:9", true},  // runs of digits, not fixed widths
      {"2024-02-30T00:00:00", false},
      {"2024-03-05T24:00:00", false},
      {"2024-03-05 14:07:09", false},
      {"2024-03-05T14:07:09Z", false},
      {"2024-03-05T14:07:09.5", false},
      {"2024-03-05T14:07", false},
      {"", false},
  };
  for (const auto& c : cases) {
    root.SetAttr("t", c.text);
    if (c.ok) {
      EXPECT_DOUBLE_EQ(root.DateTimeAttr("t", 0), t) << c.text;
    } else {
      EXPECT_EQ(MessageOf([&] { root.DateTimeAttr("t", 0); }),
                std::string("''") + c.text + "'' is not a valid date and time");
    }
  }
  EXPECT_EQ(root.DateTimeAttr("missing", 1.5), 1.5);

  EXPECT_EQ(FormatXmlDateTime(t), "2024-03-05T14:07:09");
  EXPECT_EQ(FormatXmlDateTime(0), "1899-12-30T00:00:00");
  double back = 0;
  ASSERT_TRUE(TryParseXmlDateTime(FormatXmlDateTime(t), &back));
  EXPECT_DOUBLE_EQ(back, t);
}

TEST(XmlBuild, SavedDocumentStartsWithDeclarationAndKeepsOrderAndEscapes) {
  tXmlDocument doc;
  tXmlNode root = doc.CreateNew("Q");
  tXmlNode cmd = root.AppendChild("C");
  cmd.SetAttr("z", "1");
  cmd.SetAttr("a", "<&\"'>\r\nЩ");
  cmd.AppendChild("E").SetText("x < y");
  cmd.AppendChild("F");
  const std::string text = doc.SaveToString();
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text;
  EXPECT_LT(text.find("z=\"1\""), text.find("a=\""));
  EXPECT_NE(text.find("<F/>"), std::string::npos) << text;
  EXPECT_NE(text.find("Щ"), std::string::npos) << text;  // raw UTF-8, not a reference

  tXmlDocument back;
  back.LoadFromString(text);
  EXPECT_EQ(back.Root().Path("C").Attr("a"), "<&\"'>\r\nЩ");
  EXPECT_EQ(back.Root().Path("C\\E").Text(), "x < y");
  EXPECT_EQ(back.DeclaredEncoding(), "UTF-8");
}

TEST(XmlBuild, SavingAParsedDocumentConvertsItToUtf8) {
  tXmlDocument doc;
  doc.LoadFromString("<?xml version=\"1.0\" encoding=\"windows-1251\"?><a n=\"\xD9\xE8\"/>");
  const std::string text = doc.SaveToString();
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text;
  EXPECT_NE(text.find("n=\"Щи\""), std::string::npos) << text;
}

TEST(XmlBuild, MovedDocumentKeepsItsTree) {
  tXmlDocument a;
  a.CreateNew("R").SetAttr("k", "v");
  tXmlDocument b(std::move(a));
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(b.Root().Attr("k"), "v");
  a = std::move(b);
  EXPECT_EQ(a.Root().Attr("k"), "v");
  EXPECT_THROW(b.SaveToString(), std::runtime_error);
}

}  // namespace
}  // namespace q2
