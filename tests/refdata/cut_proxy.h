// A forwarding stand-in between the client and the simulator that loses the connection at
// one command: requests pass through to the simulator unchanged, except that after `skip`
// requests of the chosen command the next `cuts` of them are not forwarded and their
// connection is closed without an answer. So a test sees a lost connection at exactly the step it
// wants, with the simulator's journal still the record of what reached the cash server.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "transport/stream.h"
#include "transport/tcp_client.h"
#include "transport/xml_test_server.h"

namespace q2::test {

class tCutProxy final {
 public:
  tCutProxy(uint16_t upstreamPort, std::string command, int cuts, int skip = 0)
      : upstream_("127.0.0.1:" + std::to_string(upstreamPort)),
        command_(std::move(command)),
        cuts_(cuts),
        skip_(skip),
        server_(Behaviour()) {}

  uint16_t Port() const { return server_.Port(); }
  int CutsLeft() const { return cuts_; }

 private:
  static std::string CommandOf(const std::string& payload) {
    const std::string key = "CMD=\"";
    const size_t start = payload.find(key);
    if (start == std::string::npos) return std::string();
    const size_t end = payload.find('"', start + key.size());
    return payload.substr(start + key.size(), end - start - key.size());
  }

  tServerBehaviour Behaviour() {
    tServerBehaviour b;
    b.reply = [this](tXmlTcpServerConnection& conn, const tXmlTcpRequest& request) {
      if (CommandOf(request.payload) == command_ && skip_-- <= 0 && cuts_ > 0) {
        --cuts_;
        return false;
      }
      tHeapMemStream answer;
      int32_t number = 0;
      std::string error;
      if (!CallXmlTcp(upstream_, "", request.payload.data(), request.payload.size(), number, answer,
                      error)) {
        return false;
      }
      return conn.WriteResponse(answer.Bytes(), request.requestNumber);
    };
    return b;
  }

  const std::string upstream_;
  const std::string command_;
  std::atomic<int> cuts_, skip_;
  tTestXmlServer server_;  // last: its threads use the members above
};

}  // namespace q2::test
