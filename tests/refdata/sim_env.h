// A simulated cash server on 127.0.0.1 with a cash-server call pointed at it over TCP, and
// a log folder of its own whose log can be read back as UTF-8.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/log.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "test_util.h"
#include "transport/cash_server_call.h"
#include "transport/tcp_client.h"
#include "zoltsim/zolt_sim.h"

namespace q2::test {

class tSimEnv {
 public:
  explicit tSimEnv(sim::tZoltSimOptions options, uint8_t logLevel = 1) {
    SetLogSettings(dir.path(), logLevel);
    options.quiet = true;
    sim = std::make_unique<sim::tZoltSim>(std::move(options));
    sim->Start();
    call.fZoltRequest = false;
    call.fcZolt.Host = "127.0.0.1";
    call.fcZolt.Port = sim->TcpPort();
  }
  ~tSimEnv() {
    sim->Stop();
    FreeConnectionPool();
  }
  tSimEnv(const tSimEnv&) = delete;
  tSimEnv& operator=(const tSimEnv&) = delete;

  // The log written so far, as UTF-8 (empty when nothing was logged).
  std::string LogText() const {
    if (!FileExists(LogFileName())) return std::string();
    std::string bytes = ReadFileBytes(LogFileName());
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) bytes.erase(0, 2);
    return Utf16LEToUtf8(bytes);
  }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

  q2test::TempDir dir;
  std::unique_ptr<sim::tZoltSim> sim;
  tCashServerCall call;
};

inline std::string FixturePath(const std::string& name) {
  return std::string(Q2_FIXTURES) + "/" + name;
}

}  // namespace q2::test
