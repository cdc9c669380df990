// Helpers of the display feed tests: a loopback UDP receiver, a temporary folder, the log
// of a test run, and small reference lists.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cashserver/meta_list.h"
#include "cashserver/order.h"
#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "vdu/datagram.h"

namespace q2test {

// A UDP socket bound to 127.0.0.1 on an ephemeral port.
class LoopbackReceiver {
 public:
  LoopbackReceiver() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) {
    if (!socket_.IsOpen()) throw std::runtime_error("receiver socket");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket_.Fd(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      throw std::runtime_error("receiver bind");
    }
    socklen_t size = sizeof local;
    ::getsockname(socket_.Fd(), reinterpret_cast<sockaddr*>(&local), &size);
    port_ = ntohs(local.sin_port);
  }

  uint16_t Port() const { return port_; }
  q2::tVDUAddress Address() const { return q2::tVDUAddress{INADDR_LOOPBACK, port_}; }
  std::string AddressText() const { return "127.0.0.1:" + std::to_string(port_); }

  // Every datagram that arrives until none has come for `quietMs` milliseconds. Loopback
  // delivers synchronously, so datagrams already sent are waiting in the socket.
  std::vector<std::vector<uint8_t>> Drain(int quietMs = 200) {
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> buffer(65536);
    for (int i = 0; i < 100000; ++i) {
      pollfd entry{socket_.Fd(), POLLIN, 0};
      if (::poll(&entry, 1, quietMs) <= 0) break;
      const ssize_t n = ::recv(socket_.Fd(), buffer.data(), buffer.size(), 0);
      if (n < 0) break;
      got.emplace_back(buffer.begin(), buffer.begin() + n);
    }
    return got;
  }

 private:
  q2::tVDUSocket socket_;
  uint16_t port_ = 0;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "q2vdu.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path() const { return path_ + "/"; }

 private:
  std::string path_;
};

// Sends the log to a temporary folder at `level` for the lifetime of the object and reads
// it back as UTF-8.
class ScopedLog {
 public:
  explicit ScopedLog(uint8_t level) : oldFolder_(q2::LogFolder()), oldLevel_(q2::LogLevel()) {
    q2::SetLogSettings(dir_.path(), level);
  }
  ~ScopedLog() { q2::SetLogSettings(oldFolder_, oldLevel_); }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;

  std::string Text() const {
    const std::string name = q2::LogFileName();
    if (!q2::FileExists(name)) return std::string();
    return q2::Utf16LEToUtf8(q2::ReadFileBytes(name));
  }
  std::string Folder() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string oldFolder_;
  uint8_t oldLevel_;
};

// Sets the ANSI code page for the lifetime of the object.
class ScopedCodePage {
 public:
  explicit ScopedCodePage(int codePage) : old_(q2::AnsiCodePage()) {
    q2::SetAnsiCodePage(codePage);
  }
  ~ScopedCodePage() { q2::SetAnsiCodePage(old_); }
  ScopedCodePage(const ScopedCodePage&) = delete;
  ScopedCodePage& operator=(const ScopedCodePage&) = delete;

 private:
  int old_;
};

// Adds an entry to a reference list (which owns it) and returns it.
inline q2::tValue* AddValue(q2::tValueList& list, int32_t id, int32_t code, const std::string& name,
                            const q2::tValue* link = nullptr) {
  auto* value = new q2::tValue{id, code, name, link};
  if (!list.Append(value)) {
    delete value;
    throw std::runtime_error("duplicate test entry");
  }
  return value;
}

inline std::unique_ptr<q2::tZoltMenuItem> Item(q2::tZoltMenuItemType type, int32_t id,
                                               double quantity = 1.0) {
  auto item = std::make_unique<q2::tZoltMenuItem>();
  item->miType = type;
  item->Id = id;
  item->Quaintity = quantity;
  return item;
}

}  // namespace q2test
