// The HTTP side as a plain HTTP/1.1 peer sees it: body framings, 100-continue, persistent
// connections, the inspection routes and refusals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cashserver/zolt_xml.h"
#include "zoltsim/sim_test_util.h"

namespace q2::sim::test {
namespace {

// Sends `bytes` to 127.0.0.1:port and returns everything received until the server closes
// (each receive bounded to 5 seconds).
std::string RawExchange(uint16_t port, const std::string& bytes) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string received;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
    char chunk[4096];
    for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) received.append(chunk, got);
  }
  close(fd);
  return received;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HttpTest, RequestFramings) {
  tZoltSim sim(Quiet());
  sim.Start();
  std::string doc;
  tZoltXML::BuildGetSystemInfo(doc);  // with its zero byte
  const std::string length = std::to_string(doc.size());
  const std::string half = doc.substr(0, doc.size() / 2), rest = doc.substr(doc.size() / 2);
  auto hex = [](size_t n) {
    char text[16];
    snprintf(text, sizeof text, "%zx", n);
    return std::string(text);
  };
  const struct {
    const char* name;
    std::string request;
    int answers;         // GetSystemInfo answers expected
    const char* status;  // the last status line
  } cases[] = {
      {"content length",
       "POST /xml HTTP/1.1\r\nHost: h\r\nContent-Length: " + length +
           "\r\nConnection: close\r\n\r\n" + doc,
       1, "HTTP/1.1 200 OK"},
      {"chunked",
       "POST /xml HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n" +
           hex(half.size()) + "\r\n" + half + "\r\n" + hex(rest.size()) + ";x=1\r\n" + rest +
           "\r\n0\r\n\r\n",
       1, "HTTP/1.1 200 OK"},
      {"100-continue",
       "POST /xml HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + length +
           "\r\nConnection: close\r\n\r\n" + doc,
       1, "HTTP/1.1 200 OK"},
      {"two on one connection, HTTP/1.0 closes",
       "POST / HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" + doc +
           "POST / HTTP/1.0\r\nContent-Length: " + length + "\r\n\r\n" + doc,
       2, "HTTP/1.1 200 OK"},
      {"bad request line", "NONSENSE\r\n\r\n", 0, "HTTP/1.1 400 Bad Request"},
      {"bad length", "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 0,
       "HTTP/1.1 400 Bad Request"},
      {"other method", "PUT / HTTP/1.1\r\nConnection: close\r\n\r\n", 0,
       "HTTP/1.1 405 Method Not Allowed"},
  };
  for (const auto& c : cases) {
    const std::string reply = RawExchange(sim.HttpPort(), c.request);
    EXPECT_EQ(Count(reply, "<SystemInfo "), c.answers) << c.name << "\n" << reply;
    const size_t last = reply.rfind("HTTP/1.1 ");
    ASSERT_NE(last, std::string::npos) << c.name;
    EXPECT_EQ(reply.compare(last, strlen(c.status), c.status), 0) << c.name << "\n" << reply;
    EXPECT_EQ(Count(reply, "100 Continue") == 1, std::string(c.name) == "100-continue") << c.name;
  }
  EXPECT_EQ(sim.Commands().size(), 5u);
}

TEST(HttpTest, JournalAndStateRoutes) {
  tZoltSim sim(Quiet());
  sim.Start();
  std::string req;
  const tZoltOrder order = SampleOrder();
  std::string guid;
  int32_t visit = 0;
  tZoltXML::ParseOrderData(Call(sim, tVia::kHttp, tZoltXML::BuildCreateOrder(req, order, 1, 1, 11)),
                           guid, visit);
  Call(sim, tVia::kHttp, tZoltXML::BuildSaveOrderDeferred(req, order, 1, guid, 0));
  Call(sim, tVia::kHttp, tZoltXML::BuildWaiterMessage(req, "привет", 11, 5));

  const std::string journal =
      RawExchange(sim.HttpPort(), "GET /journal HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_NE(journal.find("\r\n\r\n1\thttp\tCreateOrder\t<?xml"), std::string::npos) << journal;
  EXPECT_EQ(Count(journal, "\thttp\t"), 3);

  const std::string state =
      RawExchange(sim.HttpPort(), "GET /state HTTP/1.1\r\nConnection: close\r\n\r\n");
  const size_t body = state.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  tXmlDocument doc;
  doc.LoadFromString(state.substr(body + 4));
  const tXmlNode o = doc.Root().Path("Orders\\Order");
  ASSERT_TRUE(o) << state;
  EXPECT_EQ(o.Attr("guid"), guid);
  EXPECT_EQ(o.Attr("deferred"), "1");
  EXPECT_EQ(o.Children("Dish").size(), 2u);
  EXPECT_EQ(o.Children("Combo").size(), 1u);
  EXPECT_EQ(o.Children("Prepay").size(), 1u);
  EXPECT_EQ(doc.Root().Path("Messages\\Message").Attr("text"), "привет");
}

}  // namespace
}  // namespace q2::sim::test
