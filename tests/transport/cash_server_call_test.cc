// The cash-server call over TCP (against the in-test protocol server) and HTTP (against a
// recording HTTP server): status check, fDisconnected, log lines and dump files.
#include "transport/cash_server_call.h"

#include <string>

#include "core/log.h"
#include "gtest/gtest.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "transport/http_test_server.h"
#include "transport/tcp_client.h"
#include "transport/test_util.h"
#include "transport/xml_test_server.h"

namespace q2 {
namespace {

using test::tServerBehaviour;
using test::tTestXmlServer;

// The serialised request as the request builders leave it: the document and one zero byte.
std::string RequestBuffer(const std::string& document) { return document + std::string(1, '\0'); }

class CashServerCallTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogSettings(logDir_.Path(), 0); }
  void TearDown() override {
    SetLogSettings(logDir_.Path(), 0);
    FreeConnectionPool();
  }
  std::string LogText() const {
    if (!FileExists(LogFileName())) return "";
    return Utf16LEToUtf8(ReadFileBytes(LogFileName()));
  }
  std::string LogFile(const std::string& name) const { return logDir_.File(name); }

  // A TCP call to a server that answers `reply`; the failure message or "".
  std::string CallTcp(const std::string& reply, tCashServerCall& call, tXmlDocument& doc,
                      const std::string& request = "<ZoltQuery/>") {
    tServerBehaviour b;
    b.respond = [reply](const tXmlTcpRequest&) { return reply; };
    tTestXmlServer server(b);
    call.fcZolt.Host = "127.0.0.1";
    call.fcZolt.Port = server.Port();
    try {
      call.CallCashServer(RequestBuffer(request), doc);
    } catch (const std::exception& e) {
      return e.what();
    }
    lastPayloads_.clear();
    for (const auto& r : server.Requests()) lastPayloads_.push_back(r.payload);
    return "";
  }

  test::tTempDir logDir_;
  std::vector<std::string> lastPayloads_;
};

TEST_F(CashServerCallTest, StatusCheckAndDisconnectedFlag) {
  struct tCase {
    std::string reply, error;
    bool disconnected;
  };
  const tCase cases[] = {
      {"<ZoltQueryResult Status=\"Ok\"/>", "", false},
      {"<ZoltQueryResult Status=\"OK\"/>", "", false},
      {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<ZoltQueryResult Status=\"oK\"/>", "", false},
      {"<ZoltQueryResult Status=\"Error\" ErrorText=\"x\"/>", "Zolt XML error \"x\"", false},
      {"<ZoltQueryResult ErrorText=\"no status\"/>", "Zolt XML error \"no status\"", false},
      {"", "invalid or empty Zolt XML response", true},
      {"<Other Status=\"Ok\"/>", "invalid or empty Zolt XML response", true},
  };
  for (const tCase& c : cases) {
    tCashServerCall call;
    call.fDisconnected = !c.disconnected;  // every call sets it
    tXmlDocument doc;
    EXPECT_EQ(CallTcp(c.reply, call, doc), c.error) << c.reply;
    EXPECT_EQ(call.fDisconnected, c.disconnected) << c.reply;
  }
}

TEST_F(CashServerCallTest, UnparsableReplyAndUnreachableServerAreDisconnections) {
  tCashServerCall call;
  tXmlDocument doc;
  EXPECT_NE(CallTcp("<ZoltQueryResult Status=", call, doc), "");
  EXPECT_TRUE(call.fDisconnected);

  call.fcZolt.Host = "127.0.0.1";
  call.fcZolt.Port = 0;  // no port in the settings
  try {
    call.CallCashServer(RequestBuffer("<ZoltQuery/>"), doc);
    FAIL() << "no failure";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(),
                 "ZoltCALL error \"connect 127.0.0.1:0. Error=10061 Connection refused\"");
  }
  EXPECT_TRUE(call.fDisconnected);
}

TEST_F(CashServerCallTest, SendsTheDocumentWithoutItsZeroByteAndFillsTheResponse) {
  tCashServerCall call;
  tXmlDocument doc;
  ASSERT_EQ(CallTcp("<ZoltQueryResult Status=\"Ok\" guid=\"g-1\"/>", call, doc,
                    "<ZoltQuery Cmd=\"GetSystemInfo\"/>"),
            "");
  EXPECT_EQ(lastPayloads_, std::vector<std::string>{"<ZoltQuery Cmd=\"GetSystemInfo\"/>"});
  EXPECT_EQ(doc.Root().Attr("guid"), "g-1");
}

TEST_F(CashServerCallTest, LogLevelsAndDumpFiles) {
  const std::string request = "<ZoltQuery A=\"\xD0\x96\"/>";  // a Cyrillic letter
  const std::string reply = "<ZoltQueryResult Status=\"Ok\"/>";
  for (uint8_t level : {0, 1, 2}) {
    test::tTempDir dir;
    SetLogSettings(dir.Path(), level);
    DeleteFile(LogFileName());
    tCashServerCall call;
    tXmlDocument doc;
    tServerBehaviour b;
    b.respond = [reply](const tXmlTcpRequest&) { return reply; };
    tTestXmlServer server(b);
    call.fcZolt.Host = "127.0.0.1";
    call.fcZolt.Port = server.Port();
    call.CallCashServer(RequestBuffer(request), doc);
    const std::string log = LogText();
    const bool lines = level >= 1;
    EXPECT_EQ(
        log.find("thrd.call: to 127.0.0.1:" + std::to_string(server.Port())) != std::string::npos,
        lines)
        << int{level};
    EXPECT_EQ(log.find("thrd.call: raw req  = " + request) != std::string::npos, lines);
    EXPECT_EQ(log.find("thrd.call: done") != std::string::npos, lines);
    EXPECT_EQ(log.find("thrd.call: raw resp = " + reply) != std::string::npos, lines);
    const std::string requestDump = dir.Path() + "/zoltquery_request.xml";
    const std::string responseDump = dir.Path() + "/zoltquery_response.xml";
    EXPECT_EQ(FileExists(requestDump), level >= 2) << int{level};
    EXPECT_EQ(FileExists(responseDump), level >= 2) << int{level};
    if (level >= 2) {
      EXPECT_EQ(ReadFileBytes(requestDump), "\xEF\xBB\xBF" + request);
      EXPECT_EQ(ReadFileBytes(responseDump), reply);
    }
  }
}

TEST_F(CashServerCallTest, RepliesUpTo5120BytesAreLoggedInFull) {
  SetLogSettings(logDir_.Path(), 1);
  const std::string head = "<ZoltQueryResult Status=\"Ok\">", tail = "</ZoltQueryResult>";
  for (size_t size : {size_t{5120}, size_t{5121}}) {
    DeleteFile(LogFileName());
    const std::string reply = head + std::string(size - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(reply.size(), size);
    tCashServerCall call;
    tXmlDocument doc;
    ASSERT_EQ(CallTcp(reply, call, doc), "");
    const std::string log = LogText();
    if (size == 5120) {
      EXPECT_NE(log.find("thrd.call: raw resp = " + reply), std::string::npos);
    } else {
      EXPECT_NE(log.find("thrd.call: raw resp = <5121 bytes>"), std::string::npos);
      EXPECT_EQ(log.find(head), std::string::npos);
    }
  }
}

class CashServerHttpTest : public CashServerCallTest {
 protected:
  tCashServerCall HttpCall(uint16_t port) {
    tCashServerCall call;
    call.fZoltRequest = true;
    call.fcZolt.Protocol = "HTTP";
    call.fcZolt.Host = "127.0.0.1";
    call.fcZolt.Port = port;
    call.fcZolt.Route = "/zolt/api";
    call.fcZolt.Params = "x=1";
    call.fcZolt.Login = "user";
    call.fcZolt.Password = "p@ss:w";
    return call;
  }
};

TEST_F(CashServerHttpTest, PostsTheWholeBufferWithCredentialsAndNoContentType) {
  test::tHttpTestServer server("HTTP/1.1 200 OK", "<ZoltQueryResult Status=\"Ok\" VisitID=\"7\"/>");
  tCashServerCall call = HttpCall(server.Port());
  tXmlDocument doc;
  const std::string buffer = RequestBuffer("<ZoltQuery Cmd=\"x\"/>");
  call.CallCashServer(buffer, doc);
  EXPECT_FALSE(call.fDisconnected);
  EXPECT_EQ(doc.Root().Attr("VisitID"), "7");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const test::tHttpRequest& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/zolt/api?x=1");
  EXPECT_EQ(r.body, buffer);  // the zero byte included
  EXPECT_EQ(r.headers.at("authorization"), "Basic dXNlcjpwQHNzOnc=");
  EXPECT_EQ(r.headers.count("content-type"), 0u);
  EXPECT_EQ(r.headers.count("expect"), 0u);
  EXPECT_EQ(r.headers.count("user-agent"), 0u);
}

TEST_F(CashServerHttpTest, FailuresAndTheirFlag) {
  struct tCase {
    std::string statusLine, body, error;
    bool disconnected;
  };
  const tCase cases[] = {
      {"HTTP/1.1 500 Internal Server Error", "oops", "HTTP/1.1 500 Internal Server Error", true},
      {"HTTP/1.1 404 Not Found", "", "HTTP/1.1 404 Not Found", true},
      {"HTTP/1.1 200 OK", "", "invalid or empty Zolt XML response", true},
      {"HTTP/1.1 200 OK", "<ZoltQueryResult Status=\"Error\" ErrorText=\"bad\"/>",
       "Zolt XML error \"bad\"", false},
  };
  for (const tCase& c : cases) {
    test::tHttpTestServer server(c.statusLine, c.body);
    tCashServerCall call = HttpCall(server.Port());
    tXmlDocument doc;
    try {
      call.CallCashServer(RequestBuffer("<ZoltQuery/>"), doc);
      ADD_FAILURE() << "no failure for " << c.statusLine;
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    EXPECT_EQ(call.fDisconnected, c.disconnected) << c.statusLine;
  }
}

TEST_F(CashServerHttpTest, RefusedConnectionGivesCurlsMessage) {
  tCashServerCall call = HttpCall(1);
  tXmlDocument doc;
  try {
    call.CallCashServer(RequestBuffer("<ZoltQuery/>"), doc);
    FAIL() << "no failure";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to connect to 127.0.0.1 port 1", 0), 0u)
        << e.what();
  }
  EXPECT_TRUE(call.fDisconnected);
}

TEST(GetXmlEncodingTest, DeclaredEncodingOrEmpty) {
  struct tCase {
    std::string text, encoding;
  };
  const tCase cases[] = {
      {"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a/>", "windows-1251"},
      {"<?xml version=\"1.0\"?><a/>", ""},
      {"<a/>", ""},
  };
  for (const tCase& c : cases) {
    tXmlDocument doc;
    doc.LoadFromString(c.text);
    std::string encoding = "stale";
    GetXmlEncoding(doc, encoding);
    EXPECT_EQ(encoding, c.encoding) << c.text;
  }
}

}  // namespace
}  // namespace q2
