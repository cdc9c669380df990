// The idle connections of the XML-over-TCP client, keyed by the address text exactly as a
// call passed it ("host:port"); lookups ignore letter case. The process-wide pool and its
// lock live in tcp_client.cc; this class does no locking of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "transport/tcp_socket.h"

namespace q2 {

// One idle connection and what its handshake negotiated.
struct tConnectInfo final {
  tConnectInfo(tSocket aSocket, int32_t aFlags, uint32_t aBaseRandseed)
      : Socket(std::move(aSocket)), Flags(aFlags), BaseRandseed(aBaseRandseed) {}

  tSocket Socket;
  int32_t Flags;
  uint32_t BaseRandseed;
};

// Rows sorted by address ignoring letter case, duplicates accepted. Destruction closes
// every idle socket without draining.
class tConnects final {
 public:
  tConnects() = default;
  tConnects(const tConnects&) = delete;
  tConnects& operator=(const tConnects&) = delete;

  // Index of the first row whose address equals `name` ignoring case, or -1.
  int Find(const std::string& name) const;
  // Rows whose address equals `name` ignoring case.
  int CountOf(const std::string& name) const;
  // Removes row `index` and hands out its socket; the caller closes it outside the lock.
  tSocket CloseConnect(int index);
  void AddConnect(const std::string& name, std::unique_ptr<tConnectInfo> info);
  tConnectInfo& At(int index) { return *rows_[static_cast<size_t>(index)].second; }
  int Count() const { return static_cast<int>(rows_.size()); }

 private:
  std::vector<std::pair<std::string, std::unique_ptr<tConnectInfo>>> rows_;
};

}  // namespace q2
