// An in-test cash server on 127.0.0.1 (ephemeral port) speaking the XML-over-TCP protocol
// with configurable behaviour: handshake variants, reply flags, seed base, key, custom or
// damaged replies, closing while idle and silence. One thread per connection; every wait is
// bounded and the destructor stops and joins everything.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/scramble.h"
#include "transport/xml_tcp_server.h"

namespace q2::test {

enum class tHandshakeMode { kExtended, kFirstGeneration, kIllegal, kIllegalInfo, kSilent };

struct tServerBehaviour {
  tHandshakeMode handshake = tHandshakeMode::kExtended;
  // The flags the server answers with, from the flags the client offered.
  std::function<uint32_t(uint32_t offered)> flagsFor = [](uint32_t offered) { return offered; };
  uint32_t seedBase = 0;
  std::string key;
  // Used for connections whose flags have bit 7; otherwise the block routines.
  tScrambleProc symmetricRoutine = nullptr;
  // The response document for a request (default: "<r>" + payload + "</r>").
  std::function<std::string(const tXmlTcpRequest&)> respond;
  // Replaces the whole reply when set; returning false closes the connection.
  std::function<bool(tXmlTcpServerConnection&, const tXmlTcpRequest&)> reply;
  int closeAfterResponses = 0;  // 0: keep the connection
  bool silentAfterRequest = false;
};

class tTestXmlServer final {
 public:
  explicit tTestXmlServer(tServerBehaviour behaviour)
      : behaviour_(std::move(behaviour)), acceptThread_([this] { AcceptLoop(); }) {}
  ~tTestXmlServer() {
    stop_ = true;
    acceptThread_.join();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (int fd : openFds_) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& t : connectionThreads_) t.join();
  }
  tTestXmlServer(const tTestXmlServer&) = delete;
  tTestXmlServer& operator=(const tTestXmlServer&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(listener_.Port()); }
  uint16_t Port() const { return listener_.Port(); }
  int Connections() const { return connections_; }
  int Handshakes() const { return handshakes_; }
  int Acks() const { return acks_; }
  int ClosedConnections() const { return closed_; }
  std::vector<tXmlTcpRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<uint32_t> OfferedFlags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return offered_;
  }
  std::vector<bool> ExtendedHellos() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return extendedHellos_;
  }
  // Waits (at most 5 s) until `count` connections have ended on the server side.
  bool WaitClosed(int count) const {
    for (int i = 0; i < 500 && closed_ < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return closed_ >= count;
  }

 private:
  static constexpr int kSliceMs = 50;
  static constexpr int kIoMs = 5000;

  void AcceptLoop() {
    while (!stop_) {
      tSocket client = listener_.Accept(kSliceMs);
      if (!client) continue;
      ++connections_;
      std::lock_guard<std::mutex> lock(mutex_);
      openFds_.push_back(client.Fd());
      connectionThreads_.emplace_back([this, fd = client.Release()] { Serve(tSocket(fd)); });
    }
  }

  // Waits until the client closes or the server stops.
  void Linger(tXmlTcpServerConnection& conn) {
    while (!stop_) {
      if (WaitReadable(conn.Fd(), kSliceMs) != 0) {
        char c;
        if (recv(conn.Fd(), &c, 1, MSG_DONTWAIT) <= 0) return;
      }
    }
  }

  void Serve(tSocket socket) {
    tXmlTcpServerConnection conn(std::move(socket), kIoMs);
    ServeConnection(conn);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::erase(openFds_, conn.Fd());
    }
    conn.Close();
    ++closed_;
  }

  void ServeConnection(tXmlTcpServerConnection& conn) {
    bool extended = false;
    uint32_t offered = 0;
    if (!conn.ReadHandshake(&extended, &offered, kIoMs)) return;
    ++handshakes_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      offered_.push_back(offered);
      extendedHellos_.push_back(extended);
    }
    switch (behaviour_.handshake) {
      case tHandshakeMode::kSilent:
        Linger(conn);
        return;
      case tHandshakeMode::kIllegal:
        conn.SendRaw("\x01\x02\x03\x04", 4);
        Linger(conn);
        return;
      case tHandshakeMode::kIllegalInfo:
        conn.SendRaw("\xAC\x03\x72\x43\x02\x00", 6);
        return;
      case tHandshakeMode::kFirstGeneration:
        conn.SendFirstGenerationReply();
        break;
      case tHandshakeMode::kExtended:
        conn.SendHandshakeReply(behaviour_.flagsFor(offered), behaviour_.seedBase);
        break;
    }
    conn.SetKey(behaviour_.key);
    if ((conn.Flags() & kXmlFlagSymmetric) != 0 && behaviour_.symmetricRoutine != nullptr) {
      conn.SetRoutines(behaviour_.symmetricRoutine, behaviour_.symmetricRoutine);
    }
    int responses = 0;
    while (!stop_) {
      tXmlTcpRequest request;
      bool closed = false;
      std::string error;
      if (!conn.ReadRequest(&request, &closed, &error, kSliceMs)) {
        if (error == "no request") continue;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      if (behaviour_.silentAfterRequest) {
        Linger(conn);
        return;
      }
      if (behaviour_.reply) {
        if (!behaviour_.reply(conn, request)) return;
      } else {
        const std::string response =
            behaviour_.respond ? behaviour_.respond(request) : "<r>" + request.payload + "</r>";
        if (!conn.WriteResponse(response, request.requestNumber + 1)) return;
      }
      if (conn.Extended()) {
        if (!conn.ReadAck()) return;
        ++acks_;
      }
      if (behaviour_.closeAfterResponses > 0 && ++responses >= behaviour_.closeAfterResponses) {
        return;
      }
    }
  }

  tServerBehaviour behaviour_;
  tXmlTcpListener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0}, handshakes_{0}, acks_{0}, closed_{0};
  mutable std::mutex mutex_;
  std::vector<int> openFds_;
  std::vector<std::thread> connectionThreads_;
  std::vector<tXmlTcpRequest> requests_;
  std::vector<uint32_t> offered_;
  std::vector<bool> extendedHellos_;
  std::thread acceptThread_;
};

}  // namespace q2::test
