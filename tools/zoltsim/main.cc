// zoltsim: runs the cash-server simulator on 127.0.0.1 until SIGTERM or SIGINT.
//
//   zoltsim [--tcp-port N] [--http-port N] [--restaurant FILE] [--first-generation]
//           [--flags N] [--seed-base N] [--key TEXT] [--compress] [--check-menu]
//           [--read-after N] [--journal FILE] [--fault DIRECTIVE]... [--quiet]
//
// The first line printed names both ports ("zoltsim: tcp 127.0.0.1:2233 http
// 127.0.0.1:20200"); port 0 picks a free one. Exit status: 0 after a signal, 1 when the
// simulator cannot start, 2 on a bad command line.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "zoltsim/zolt_sim.h"

namespace {

const char* const kUsage =
    "usage: zoltsim [--tcp-port N] [--http-port N] [--restaurant FILE] [--first-generation]\n"
    "               [--flags N] [--seed-base N] [--key TEXT] [--compress] [--check-menu]\n"
    "               [--read-after N] [--journal FILE] [--fault DIRECTIVE]... [--quiet]\n"
    "fault directives: error=CMD:N:TEXT[:TIMES]  busy=2107|2123[:TIMES]\n"
    "                  close=after-handshake|mid-response|off  handshake=none|on\n"
    "                  garbage=on|off  read-after=N  journal=clear  reset\n";

constexpr uint16_t kDefaultTcpPort = 2233;
constexpr uint16_t kDefaultHttpPort = 20200;

bool ParseNumber(const std::string& text, long long min, long long max, long long* value) {
  int base = 10;
  std::string digits = text;
  if (digits.size() > 2 && (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)) {
    base = 16;
    digits = digits.substr(2);
  }
  if (digits.empty()) return false;
  char* end = nullptr;
  const long long parsed = std::strtoll(digits.c_str(), &end, base);
  if (*end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

int BadCommandLine(const std::string& why) {
  std::fprintf(stderr, "zoltsim: %s\n%s", why.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  q2::sim::tZoltSimOptions options;
  options.tcpPort = kDefaultTcpPort;
  options.httpPort = kDefaultHttpPort;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    auto number = [&](long long min, long long max, long long* out) {
      std::string text;
      return value(&text) && ParseNumber(text, min, max, out);
    };
    long long n = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--tcp-port" && number(0, 65535, &n)) {
      options.tcpPort = static_cast<uint16_t>(n);
    } else if (arg == "--http-port" && number(0, 65535, &n)) {
      options.httpPort = static_cast<uint16_t>(n);
    } else if (arg == "--flags" && number(0, 0xFFFFFFFFll, &n)) {
      options.flags = static_cast<uint32_t>(n);
    } else if (arg == "--seed-base" && number(0, 0xFFFFFFFFll, &n)) {
      options.seedBase = static_cast<uint32_t>(n);
    } else if (arg == "--read-after" && number(-1, 1000000, &n)) {
      options.messageReadAfterPolls = static_cast<int>(n);
    } else if (arg == "--restaurant" && value(&options.restaurantFile)) {
    } else if (arg == "--key" && value(&options.key)) {
    } else if (arg == "--journal" && value(&options.journalFile)) {
    } else if (arg == "--fault" && value(&options.faults.emplace_back())) {
    } else if (arg == "--first-generation") {
      options.firstGeneration = true;
    } else if (arg == "--compress") {
      options.compress = true;
    } else if (arg == "--check-menu") {
      options.checkMenu = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else {
      return BadCommandLine("bad or incomplete option " + arg);
    }
  }

  // The signals are taken by sigwait below; blocked before any thread starts, so that no
  // server thread receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    q2::sim::tZoltSim sim(options);
    sim.Start();
    std::printf("zoltsim: tcp 127.0.0.1:%u http 127.0.0.1:%u\n", sim.TcpPort(), sim.HttpPort());
    if (!options.quiet) {
      for (const std::string& fault : options.faults)
        std::printf("zoltsim: fault %s\n", fault.c_str());
    }
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    sim.Stop();
    if (!options.quiet) std::printf("zoltsim: stopped by signal %d\n", received);
    return 0;
  } catch (const std::invalid_argument& e) {
    return BadCommandLine(e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zoltsim: %s\n", e.what());
    return 1;
  }
}
