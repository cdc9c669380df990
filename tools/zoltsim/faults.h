// Injected faults of the simulator and the directives that set them (POST /control, the
// --fault option, tZoltSim::Control). Not thread-safe: tZoltSim holds its lock.
#pragma once

#include <string>
#include <vector>

#include "zoltsim/zolt_sim.h"

namespace q2::sim {

inline constexpr int kBusyLocked = 2107;
inline constexpr int kBusyServer = 2123;

struct tFaultSet {
  std::vector<tFault> errors;  // in the order added; the first that matches answers
  int busyNumber = 0;
  int busyTimes = 0;  // 0: off; -1: always
  bool closeAfterHandshake = false;
  bool closeMidResponse = false;
  bool noHandshakeAnswer = false;
  bool garbageAnswer = false;

  // The error answer due for `command` now, counting down its times (a fault whose times
  // run out is removed). Error faults come first, then PayOrder busy.
  bool TakeErrorFor(const std::string& command, int* number, std::string* text);
};

// The ErrorText of a busy answer.
std::string BusyText(int errorNumber);

// One directive of a control text, parsed (see tZoltSim::Control).
struct tDirective {
  enum class tKind {
    kError,
    kBusy,
    kClose,
    kHandshake,
    kGarbage,
    kReadAfter,
    kClearJournal,
    kReset
  };
  tKind kind = tKind::kReset;
  tFault fault;      // kError; kBusy: errorNumber and times
  std::string mode;  // kClose: "after-handshake", "mid-response" or "off"
  bool on = false;   // kHandshake (on: answer it), kGarbage
  int number = 0;    // kReadAfter
};

// Splits a control text at new lines and "&", trims blanks, drops empty pieces and decodes
// %XX escapes in each piece.
std::vector<std::string> SplitDirectives(const std::string& text);
// Throws std::invalid_argument("bad fault directive \"...\": reason").
tDirective ParseDirective(const std::string& text);

}  // namespace q2::sim
