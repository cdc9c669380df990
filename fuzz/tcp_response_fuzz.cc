// Fuzzes the response path of the XML-over-TCP client: a server thread on 127.0.0.1 answers
// each exchange with bytes taken from the input, and the client (XmlTcpExchange, or the
// worker's tCashServerCall with its status check) reads them. Every wait is bounded by short
// time limits, so a run ends even when the input promises bytes that never come.
// Responses of 1,000,000 bytes or more (buffered in a temporary file) are left to the unit
// tests: at a fraction of a second per run they would crowd out everything else here.
//
// Input: byte 0 chooses the form of the answer, bytes 1-9 the server's handshake values, the
// rest is the payload.
//   byte 0 bits 0-1  0: after the client's hello, the payload is all the server sends
//                       (handshake reply included)
//                    1: handshake reply, then the payload as the whole exchange reply
//                    2: handshake reply, then the payload framed as the response body
//                       as it stands (no compression, no scrambling)
//                    3: handshake reply, then the payload as a response encoded as the
//                       flags say (compressed, scrambled): the client must give it back
//                       exactly
//          bit 2     scrambling key "fuzz key" on both sides (direct exchange only)
//          bit 3     through tCashServerCall (no key) instead of XmlTcpExchange
//          bit 4     form 0: the client offers and uses one routine for both directions
//          bit 5     first-generation handshake reply instead of the extended one
//   byte 1           flags of the extended reply
//   bytes 2-5        seed base, little-endian
//   bytes 6-9        request number of the response, little-endian
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/convert.h"
#include "transport/cash_server_call.h"
#include "transport/scramble.h"
#include "transport/stream.h"
#include "transport/tcp_client.h"
#include "transport/tcp_socket.h"
#include "transport/xml_tcp_protocol.h"
#include "transport/xml_tcp_server.h"

namespace {

using namespace q2;

// Time limit of every wait on either side, milliseconds.
constexpr int kWaitMs = 1000;
constexpr size_t kHeaderBytes = 10;
constexpr const char* kKey = "fuzz key";
constexpr const char* kRequest = "<ZoltQuery><ZoltCMD CMD=\"GetSystemInfo\"/></ZoltQuery>";
// Bytes the output stream holds before the exchange: the response goes after them.
constexpr const char* kOutputPrefix = "kept";

enum tForm { kRawAll = 0, kRawExchange = 1, kFramedAsIs = 2, kEncoded = 3 };

struct tPlan {
  tForm form = kRawAll;
  bool keyed = false;
  bool cashCall = false;
  bool rawSymmetric = false;
  bool firstGeneration = false;
  uint32_t flags = 0;
  uint32_t seedBase = 0;
  int32_t requestNumber = 0;
  std::string payload;

  std::string Key() const { return keyed ? kKey : ""; }
  // The flags the connection ends up with when the server sends a reply of its own.
  uint32_t ConnectionFlags() const { return firstGeneration ? kXmlFirstGenerationFlags : flags; }
  // Whether the client uses one routine both ways (the server too, when it replies itself).
  bool Symmetric() const {
    return form == kRawAll ? rawSymmetric : (ConnectionFlags() & kXmlFlagSymmetric) != 0;
  }
};

tPlan ReadPlan(const uint8_t* data, size_t size) {
  uint8_t header[kHeaderBytes] = {};
  std::memcpy(header, data, size < kHeaderBytes ? size : kHeaderBytes);
  tPlan p;
  p.form = static_cast<tForm>(header[0] & 3);
  p.cashCall = (header[0] & 8) != 0;
  p.keyed = !p.cashCall && (header[0] & 4) != 0;  // the worker's call always clears the key
  p.rawSymmetric = p.form == kRawAll && (header[0] & 16) != 0;
  p.firstGeneration = (header[0] & 32) != 0;
  p.flags = header[1];
  if (p.cashCall) {
    // The worker's call uses two different routines: a server asking for one routine would
    // only stop it at the routine check.
    p.firstGeneration = false;
    p.flags &= ~kXmlFlagSymmetric;
  }
  p.seedBase = GetLE32(header + 2);
  p.requestNumber = static_cast<int32_t>(GetLE32(header + 6));
  if (p.form == kRawAll) {
    if (size > 1) p.payload.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else if (size > kHeaderBytes) {
    p.payload.assign(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes);
  }
  return p;
}

// A routine that is its own inverse, for the connections whose flags ask for one.
void XorPass(uint8_t* data, size_t length, const std::string& key, uint32_t seedBase) {
  if (key.empty()) return;
  uint32_t seed = seedBase;
  for (size_t i = 0; i < length; ++i) {
    data[i] ^= static_cast<uint8_t>(NextRandom(256, seed) ^ static_cast<uint8_t>(key[i % key.size()]));
  }
}

tXmlTcpListener* gListener = nullptr;
std::string gAddress;

// What the server thread saw of the request.
struct tServed {
  bool requestRead = false;
  tXmlTcpRequest request;
};

// Closes the sending side, then reads until the client closes (bounded), so that the client
// sees every byte sent before the end of the stream and no reset.
void FinishConnection(tXmlTcpServerConnection& conn) {
  if (conn.Fd() < 0) return;
  shutdown(conn.Fd(), SHUT_WR);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  char sink[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0 || WaitReadable(conn.Fd(), static_cast<int>(left)) <= 0) break;
    const ssize_t n = recv(conn.Fd(), sink, sizeof sink, 0);
    if (n <= 0) break;
  }
  conn.Close();
}

void Serve(const tPlan& plan, tServed* served) {
  tSocket socket = gListener->Accept(kWaitMs);
  if (!socket) return;
  tXmlTcpServerConnection conn(std::move(socket), kWaitMs);
  conn.SetKey(plan.Key());
  if (plan.Symmetric()) conn.SetRoutines(XorPass, XorPass);
  bool extended = false;
  uint32_t offered = 0;
  if (conn.ReadHandshake(&extended, &offered, kWaitMs)) {
    if (plan.form == kRawAll) {
      conn.SendRaw(plan.payload.data(), plan.payload.size());
    } else {
      const bool replied = plan.firstGeneration ? conn.SendFirstGenerationReply()
                                                : conn.SendHandshakeReply(plan.flags, plan.seedBase);
      bool closed = false;
      std::string error;
      if (replied && conn.ReadRequest(&served->request, &closed, &error, kWaitMs)) {
        served->requestRead = true;
        if (plan.form == kRawExchange) {
          conn.SendRaw(plan.payload.data(), plan.payload.size());
        } else if (plan.form == kFramedAsIs) {
          conn.WriteRawResponse(plan.payload, plan.requestNumber);
        } else {
          conn.WriteResponse(plan.payload, plan.requestNumber);
        }
      }
    }
  }
  FinishConnection(conn);
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "tcp_response_fuzz: %s\n", what.c_str());
  std::abort();
}

void RunDirect(const tPlan& plan, const tServed& served, std::thread& server) {
  SetCallKey(plan.Key());
  const bool symmetric = plan.Symmetric();
  const uint32_t offered = (kDefaultCallFlags & ~(kXmlFlagCompressed | kXmlFlagSymmetric)) |
                           (symmetric ? kXmlFlagSymmetric : 0);
  tHeapMemStream output;
  output.WriteBuffer(kOutputPrefix, std::strlen(kOutputPrefix));
  int32_t requestNumber = 0;
  std::string errorText;
  bool ok = false;
  bool raised = false;
  try {
    ok = XmlTcpExchange(offered, gAddress, "fuzz", kRequest, std::strlen(kRequest), requestNumber,
                        output, errorText, symmetric ? XorPass : ScrambleBlock,
                        symmetric ? XorPass : DescrambleBlock);
  } catch (const std::runtime_error& e) {
    // Only a raw handshake can name routines other than the ones offered.
    if (plan.form != kRawAll || std::string(e.what()) != "Assertion failure") throw;
    raised = true;
  }
  FreeConnectionPool();
  server.join();
  if (!raised && ok != errorText.empty()) Fail("result and error text disagree: " + errorText);
  if (plan.form == kRawAll) return;

  if (served.requestRead && served.request.payload != kRequest) Fail("request damaged on the way");
  if (plan.form != kEncoded) return;
  if (!ok) Fail("well-formed response refused: " + errorText);
  if (output.Bytes() != kOutputPrefix + plan.payload) Fail("response changed on the way");
  const bool extended = (plan.ConnectionFlags() & kXmlFlagsLevelMask) != 0;
  if (extended && requestNumber != plan.requestNumber) Fail("request number changed");
}

void RunCashServerCall(const tPlan& plan, std::thread& server) {
  tCashServerCall call;
  call.fZoltRequest = false;
  call.fcZolt.Host = "127.0.0.1";
  call.fcZolt.Port = gListener->Port();
  std::string request = kRequest;
  request.push_back('\0');
  tXmlDocument response;
  bool ok = false;
  try {
    call.CallCashServer(request, response);
    ok = true;
  } catch (const std::exception&) {
    // Every refusal is raised with its text; which one is the transport's business.
  }
  FreeConnectionPool();
  server.join();
  if (ok) {
    const tXmlNode result = response.TopElement("ZoltQueryResult");
    if (!result || !SameTextAscii(result.Attr("Status"), "Ok")) Fail("answer accepted unchecked");
    return;
  }
  if (plan.form != kEncoded) return;
  // A well-formed "Ok" answer that the server encoded as the flags say must get through.
  tXmlDocument sent;
  try {
    sent.LoadFromString(plan.payload);
  } catch (const std::runtime_error&) {
    return;
  }
  const tXmlNode result = sent.TopElement("ZoltQueryResult");
  if (result && SameTextAscii(result.Attr("Status"), "Ok")) Fail("good answer refused");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static tXmlTcpListener listener("127.0.0.1", 0);
  gListener = &listener;
  gAddress = "127.0.0.1:" + std::to_string(listener.Port());
  SetXmlTcpTimeouts(kWaitMs, kWaitMs);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const tPlan plan = ReadPlan(data, size);
  tServed served;
  std::thread server(Serve, std::cref(plan), &served);
  if (plan.cashCall) {
    RunCashServerCall(plan, server);
  } else {
    RunDirect(plan, served, server);
  }
  return 0;
}
