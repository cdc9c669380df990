// The XML-over-TCP client against an in-test server on 127.0.0.1.
#include "transport/tcp_client.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "transport/lzw.h"
#include "transport/stream.h"
#include "transport/test_util.h"
#include "transport/xml_test_server.h"

namespace q2 {
namespace {

using test::tHandshakeMode;
using test::tServerBehaviour;
using test::tTestXmlServer;

// An involution, as a symmetric (bit 7) routine must be.
void XorRoutine(uint8_t* data, size_t length, const std::string& key, uint32_t seedBase) {
  if (key.empty()) return;
  for (size_t i = 0; i < length; ++i) {
    data[i] ^= static_cast<uint8_t>(key[i % key.size()] + seedBase + i);
  }
}

class TcpClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    FreeConnectionPool();
    SetCallKey("");
    SetXmlTcpTimeouts(0, 0);
  }

  // One CallXmlTcp; the response bytes or the error text.
  struct tResult {
    bool ok;
    std::string response, error;
    int32_t requestNumber;
  };
  static tResult Call(const std::string& address, const std::string& request,
                      int32_t requestNumber = 0, const std::string& tag = "") {
    tHeapMemStream output;
    tResult r{};
    r.requestNumber = requestNumber;
    r.ok =
        CallXmlTcp(address, tag, request.data(), request.size(), r.requestNumber, output, r.error);
    r.response = output.Bytes();
    return r;
  }
  static tResult Exchange(uint32_t flags, const std::string& address, const std::string& request,
                          tScrambleProc scramble, tScrambleProc descramble) {
    tHeapMemStream output;
    tResult r{};
    r.ok = XmlTcpExchange(flags, address, "", request.data(), request.size(), r.requestNumber,
                          output, r.error, scramble, descramble);
    r.response = output.Bytes();
    return r;
  }
};

TEST_F(TcpClientTest, ExtendedHandshakeWithFlagsSeedBaseKeyAndHeader) {
  tServerBehaviour b;
  b.flagsFor = [](uint32_t) { return 0x03u; };
  b.seedBase = 0x12345678;
  b.key = "secret";
  const std::string big = test::RandomBytes(150000, 31);  // three scrambled 64 KB blocks
  b.respond = [&](const tXmlTcpRequest&) { return big; };
  tTestXmlServer server(b);
  SetCallKey("secret");
  const tResult r = Call(server.Address(), "<ZoltQuery/>", 41, "tag");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.response, big);
  EXPECT_EQ(r.requestNumber, 42);
  ASSERT_EQ(server.OfferedFlags().size(), 1u);
  EXPECT_EQ(server.OfferedFlags()[0], 0x02u);  // 0xC2 less bits 6 and 7
  EXPECT_TRUE(server.ExtendedHellos()[0]);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].payload, "<ZoltQuery/>");
  EXPECT_EQ(requests[0].clientTag, "tag");
  EXPECT_TRUE(requests[0].hasRequestNumber);
  EXPECT_EQ(requests[0].requestNumber, 41);
  EXPECT_TRUE(server.WaitClosed(0));
  EXPECT_EQ(server.Acks(), 1);
  EXPECT_EQ(IdleConnectionCount(server.Address()), 1);
}

TEST_F(TcpClientTest, TheCallKeyScramblesTheRequest) {
  tTestXmlServer server({});  // no key
  SetCallKey("secret");
  const tResult r = Call(server.Address(), "<ZoltQuery/>");
  // The server cannot read the header or the payload.
  const auto requests = server.Requests();
  EXPECT_TRUE(requests.empty() || requests[0].payload != "<ZoltQuery/>");
  EXPECT_FALSE(r.ok && r.response == "<r><ZoltQuery/></r>");
}

TEST_F(TcpClientTest, HandshakeFailures) {
  struct tCase {
    tHandshakeMode mode;
    std::string error;
  };
  const tCase cases[] = {
      {tHandshakeMode::kIllegal, "Illegal handshake received"},
      {tHandshakeMode::kIllegalInfo, "Illegal handshake information received"},
  };
  for (const tCase& c : cases) {
    tServerBehaviour b;
    b.handshake = c.mode;
    tTestXmlServer server(b);
    const tResult r = Call(server.Address(), "<q/>");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(IdleConnectionCount(server.Address()), 0);
    EXPECT_TRUE(server.WaitClosed(1));  // the client closed its side
  }
}

TEST_F(TcpClientTest, FirstGenerationServerEndsInAssertionFailure) {
  tServerBehaviour b;
  b.handshake = tHandshakeMode::kFirstGeneration;
  tTestXmlServer server(b);
  try {
    Call(server.Address(), "<q/>");
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Assertion failure");  // flags 0xC0 but two routines
  }
  EXPECT_EQ(IdleConnectionCount(server.Address()), 0);
  EXPECT_TRUE(server.WaitClosed(1));
}

TEST_F(TcpClientTest, HandshakeTimeoutIsTenSeconds) {
  tServerBehaviour b;
  b.handshake = tHandshakeMode::kSilent;
  tTestXmlServer server(b);
  const auto start = std::chrono::steady_clock::now();
  const tResult r = Call(server.Address(), "<q/>");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "recv handshake timeout. Error=10060 Connection timed out");
  EXPECT_GE(waited, std::chrono::milliseconds(9900));
  EXPECT_LT(waited, std::chrono::seconds(15));
}

TEST_F(TcpClientTest, ConnectFailuresAndAddressForms) {
  struct tCase {
    std::string address, error;
  };
  const tCase cases[] = {
      {"127.0.0.1:1", "connect 127.0.0.1:1. Error=10061 Connection refused"},
      {"127.0.0.1:0", "connect 127.0.0.1:0. Error=10061 Connection refused"},
      {"127.0.0.1", "connect 127.0.0.1. Error=10061 Connection refused"},  // port 2233
      {"127.0.0.1:70000", "Decode address 127.0.0.1:70000. Error=10022 Invalid argument"},
  };
  for (const tCase& c : cases) {
    const tResult r = Call(c.address, "<q/>");
    EXPECT_FALSE(r.ok) << c.address;
    EXPECT_EQ(r.error, c.error);
  }
  try {
    Call("127.0.0.1:x1", "<q/>");
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "''x1'' is not a valid integer value");
  }
}

TEST_F(TcpClientTest, AddressWithoutPortConnectsTo2233) {
  // A listener that never answers: connecting succeeds, the handshake wait runs out.
  tXmlTcpListener listener("127.0.0.1", 2233);
  SetXmlTcpTimeouts(300, 300);
  const tResult r = Call("127.0.0.1", "<q/>");
  EXPECT_EQ(r.error, "recv handshake timeout. Error=10060 Connection timed out");
}

TEST_F(TcpClientTest, PooledConnectionIsReusedIgnoringLetterCase) {
  tTestXmlServer server({});
  const std::string port = std::to_string(server.Port());
  ASSERT_TRUE(Call("localhost:" + port, "<a/>").ok);
  EXPECT_EQ(IdleConnectionCount("localhost:" + port), 1);
  const tResult second = Call("LOCALHOST:" + port, "<b/>");
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.response, "<r><b/></r>");
  EXPECT_EQ(server.Handshakes(), 1);
  EXPECT_EQ(server.Connections(), 1);
  EXPECT_EQ(IdleConnectionCount("localhost:" + port), 1);
}

TEST_F(TcpClientTest, IdleConnectionClosedByTheServerIsReplacedOnce) {
  tServerBehaviour b;
  b.closeAfterResponses = 1;
  tTestXmlServer server(b);
  ASSERT_TRUE(Call(server.Address(), "<a/>").ok);
  ASSERT_TRUE(server.WaitClosed(1));
  const tResult r = Call(server.Address(), "<b/>");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.response, "<r><b/></r>");
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_EQ(server.Handshakes(), 2);
  EXPECT_EQ(IdleConnectionCount(server.Address()), 1);
}

TEST_F(TcpClientTest, Bit7MismatchClosesAndReconnectsOtherBitsDoNotMatter) {
  tServerBehaviour b;
  b.key = "k3y";
  b.symmetricRoutine = XorRoutine;
  tTestXmlServer server(b);  // answers with the offered flags
  SetCallKey("k3y");
  tResult r = Exchange(0x02, server.Address(), "<a/>", ScrambleBlock, DescrambleBlock);
  ASSERT_TRUE(r.ok) << r.error;
  r = Exchange(0x82, server.Address(), "<b/>", XorRoutine, XorRoutine);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.response, "<r><b/></r>");
  EXPECT_EQ(server.Handshakes(), 2);
  EXPECT_TRUE(server.WaitClosed(1));  // the first connection was closed
  // Bit 7 agrees, bit 0 differs: the pooled connection and its flags (0x82) are used.
  r = Exchange(0x83, server.Address(), "<c/>", XorRoutine, XorRoutine);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.response, "<r><c/></r>");
  EXPECT_EQ(server.Handshakes(), 2);
  EXPECT_EQ(server.OfferedFlags(), (std::vector<uint32_t>{0x02, 0x82}));
}

TEST_F(TcpClientTest, ResponseSizesAroundThePieceSize) {
  tServerBehaviour b;
  b.key = "pieces";
  b.respond = [](const tXmlTcpRequest& request) {
    return test::RandomBytes(std::stoul(request.payload), 32);
  };
  tTestXmlServer server(b);
  SetCallKey("pieces");
  for (size_t size : {size_t{0}, size_t{1}, size_t{65536}, size_t{65537}, size_t{200000}}) {
    const tResult r = Call(server.Address(), std::to_string(size));
    ASSERT_TRUE(r.ok) << size << ": " << r.error;
    EXPECT_TRUE(r.response == test::RandomBytes(size, 32)) << size;
  }
  EXPECT_EQ(server.Acks(), 5);  // a zero-length response is acknowledged too
  EXPECT_EQ(server.Handshakes(), 1);
}

TEST_F(TcpClientTest, CompressedExchangeSmallAndThroughTheTemporaryFile) {
  test::tTempDir tmp;
  test::tEnvOverride tmpdir("TMPDIR", tmp.Path());
  tServerBehaviour b;
  b.flagsFor = [](uint32_t offered) { return offered | kXmlFlagCompressed; };
  b.key = "zip";
  const std::string big = test::RandomBytes(1100000, 34);  // compresses to more
  std::string compressedBig;
  {
    TToolMemoryStream in, out;
    in.Write(big.data(), big.size());
    in.Seek(0, tSeekOrigin::soBeginning);
    LzCompress(in, out);
    compressedBig = out.Bytes();
  }
  ASSERT_GE(compressedBig.size(), 1000000u);  // so that it is buffered in a file
  b.respond = [&](const tXmlTcpRequest& request) {
    return request.payload == "big" ? big : "<r>" + request.payload + "</r>";
  };
  tTestXmlServer server(b);
  SetCallKey("zip");
  const std::string request = test::RepetitiveText(5000);
  tResult r = Call(server.Address(), request);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.response, "<r>" + request + "</r>");
  EXPECT_EQ(server.Requests()[0].payload, request);  // the server decompressed it
  EXPECT_FALSE(std::filesystem::exists(tmp.Path() + "/zoltstreams"));
  r = Call(server.Address(), "big");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.response == big);
  EXPECT_TRUE(std::filesystem::is_directory(tmp.Path() + "/zoltstreams"));
  EXPECT_TRUE(std::filesystem::is_empty(tmp.Path() + "/zoltstreams"));
}

TEST_F(TcpClientTest, DamagedCompressedResponseFailsAndClosesTheConnection) {
  tServerBehaviour b;
  b.flagsFor = [](uint32_t offered) { return offered | kXmlFlagCompressed; };
  b.reply = [](tXmlTcpServerConnection& conn, const tXmlTcpRequest& request) {
    TToolMemoryStream in, out;
    const std::string text = test::RepetitiveText(3000);
    in.Write(text.data(), text.size());
    in.Seek(0, tSeekOrigin::soBeginning);
    LzCompress(in, out);
    std::string cut = out.Bytes();
    cut.resize(cut.size() / 2);
    return conn.WriteRawResponse(cut, request.requestNumber);
  };
  tTestXmlServer server(b);
  const tResult r = Call(server.Address(), "<q/>");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "recv Result XML body: damaged compressed response (status 2)");
  EXPECT_EQ(IdleConnectionCount(server.Address()), 0);
  EXPECT_TRUE(server.WaitClosed(1));
}

TEST_F(TcpClientTest, ServerVanishingOrSilentMidExchange) {
  {
    tServerBehaviour b;
    b.reply = [](tXmlTcpServerConnection& conn, const tXmlTcpRequest& request) {
      uint8_t header[8];
      PutLE32(header, static_cast<uint32_t>(request.requestNumber));
      PutLE32(header + 4, 100);  // announces 100 bytes, sends 10, closes
      conn.SendRaw(header, 8);
      conn.SendRaw("0123456789", 10);
      return false;
    };
    tTestXmlServer server(b);
    const tResult r = Call(server.Address(), "<q/>");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Disconnected receiving reply: connection closed by the server");
    EXPECT_EQ(IdleConnectionCount(server.Address()), 0);
  }
  {
    tServerBehaviour b;
    b.silentAfterRequest = true;
    tTestXmlServer server(b);
    SetXmlTcpTimeouts(300, 0);
    const tResult r = Call(server.Address(), "<q/>");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "recv Result Request Number. Error=10060 Connection timed out");
  }
}

TEST_F(TcpClientTest, PlainExchangeWithAKeyDescramblesTheWholeResponse) {
  // Plain exchange: no header, no request number, no acknowledgement; the response is
  // scrambled as a whole (by the stream reader's pass from 1,000,000 bytes on).
  test::tTempDir tmp;
  test::tEnvOverride tmpdir("TMPDIR", tmp.Path());
  for (uint32_t serverFlags : {0x00u, kXmlFlagCompressed}) {
    tServerBehaviour b;
    b.flagsFor = [serverFlags](uint32_t) { return serverFlags; };
    b.key = "plainkey";
    b.seedBase = 99;
    b.respond = [](const tXmlTcpRequest& request) {
      return test::RandomBytes(std::stoul(request.payload), 33);
    };
    tTestXmlServer server(b);
    SetCallKey("plainkey");
    for (size_t size : {size_t{10}, size_t{70000}, size_t{1100000}}) {
      const tResult r =
          Exchange(0x00, server.Address(), std::to_string(size), ScrambleBlock, DescrambleBlock);
      ASSERT_TRUE(r.ok) << serverFlags << " " << size << ": " << r.error;
      EXPECT_TRUE(r.response == test::RandomBytes(size, 33)) << serverFlags << " " << size;
    }
    EXPECT_FALSE(server.ExtendedHellos()[0]);
    EXPECT_EQ(server.Acks(), 0);
    EXPECT_EQ(server.Handshakes(), 1);
  }
}

// Accepts nothing.
class tRefusingStream final : public TToolMemoryStream {
 public:
  size_t Write(const void*, size_t) override { return 0; }
  std::string ClassName() const override { return "tRefusingStream"; }
};

TEST_F(TcpClientTest, OutputThatCannotBeWrittenFailsTheExchange) {
  tTestXmlServer server({});
  tRefusingStream output;
  int32_t number = 0;
  std::string error;
  EXPECT_FALSE(CallXmlTcp(server.Address(), "", "<q/>", 4, number, output, error));
  EXPECT_EQ(error, "Writing to tRefusingStream. Stream write error");
  EXPECT_EQ(IdleConnectionCount(server.Address()), 0);
}

}  // namespace
}  // namespace q2
