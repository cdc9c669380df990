// Fault directives and the countdown of error faults.
#include "zoltsim/faults.h"

#include <stdexcept>

#include "core/convert.h"
#include "xml/xml.h"

namespace q2::sim {
namespace {

[[noreturn]] void Bad(const std::string& directive, const std::string& reason) {
  throw std::invalid_argument("bad fault directive \"" + directive + "\": " + reason);
}

std::vector<std::string> SplitColons(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodePercent(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = HexDigit(text[i + 1]), lo = HexDigit(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

int ParseCount(const std::string& directive, const std::string& text, int min) {
  int32_t value = 0;
  if (!TryParseXmlInt(text, &value) || value < min) {
    Bad(directive, "\"" + text + "\" is not a number of " + std::to_string(min) + " or more");
  }
  return value;
}

bool ParseOnOff(const std::string& directive, const std::string& value) {
  if (value == "on") return true;
  if (value == "off") return false;
  Bad(directive, "expected on or off");
}

}  // namespace

bool tFaultSet::TakeErrorFor(const std::string& command, int* number, std::string* text) {
  for (auto it = errors.begin(); it != errors.end(); ++it) {
    if (it->command != "*" && it->command != command) continue;
    *number = it->errorNumber;
    *text = it->errorText;
    if (it->times > 0 && --it->times == 0) errors.erase(it);
    return true;
  }
  if (command == "PayOrder" && busyTimes != 0) {
    *number = busyNumber;
    *text = BusyText(busyNumber);
    if (busyTimes > 0) --busyTimes;
    return true;
  }
  return false;
}

std::string BusyText(int errorNumber) {
  return errorNumber == kBusyLocked ? "order is locked by another station, try again later"
                                    : "cash server is busy, try again later";
}

std::vector<std::string> SplitDirectives(const std::string& text) {
  std::vector<std::string> pieces;
  std::string piece;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n' || text[i] == '&') {
      piece = Trim(piece);
      if (!piece.empty()) pieces.push_back(DecodePercent(piece));
      piece.clear();
    } else {
      piece += text[i];
    }
  }
  return pieces;
}

tDirective ParseDirective(const std::string& text) {
  tDirective d;
  const size_t eq = text.find('=');
  const std::string name = text.substr(0, eq);
  const std::string value = eq == std::string::npos ? std::string() : text.substr(eq + 1);
  if (eq == std::string::npos) {
    if (name == "reset") return d;
    Bad(text, "expected name=value or reset");
  }
  if (name == "error") {
    // CMD:N:TEXT[:TIMES]; the text may hold colons, the last field counts as TIMES only
    // when it is a number.
    std::vector<std::string> parts = SplitColons(value);
    if (parts.size() < 3 || parts[0].empty()) Bad(text, "expected error=CMD:N:TEXT[:TIMES]");
    d.kind = tDirective::tKind::kError;
    d.fault.command = parts[0];
    int32_t number = 0;
    if (!TryParseXmlInt(parts[1], &number)) Bad(text, "\"" + parts[1] + "\" is not a number");
    d.fault.errorNumber = number;
    int32_t times = 0;
    if (parts.size() >= 4 && TryParseXmlInt(parts.back(), &times)) {
      if (times < 1) Bad(text, "times must be 1 or more");
      d.fault.times = times;
      parts.pop_back();
    }
    for (size_t i = 2; i < parts.size(); ++i) {
      d.fault.errorText += (i > 2 ? ":" : "") + parts[i];
    }
    return d;
  }
  if (name == "busy") {
    const std::vector<std::string> parts = SplitColons(value);
    if (parts.size() > 2) Bad(text, "expected busy=N[:TIMES]");
    d.kind = tDirective::tKind::kBusy;
    d.fault.command = "PayOrder";
    d.fault.errorNumber = ParseCount(text, parts[0], 0);
    if (d.fault.errorNumber != kBusyLocked && d.fault.errorNumber != kBusyServer) {
      Bad(text, "the busy answers are 2107 and 2123");
    }
    d.fault.times = parts.size() == 2 ? ParseCount(text, parts[1], 0) : -1;
    return d;
  }
  if (name == "close") {
    if (value != "after-handshake" && value != "mid-response" && value != "off") {
      Bad(text, "expected after-handshake, mid-response or off");
    }
    d.kind = tDirective::tKind::kClose;
    d.mode = value;
    return d;
  }
  if (name == "handshake") {
    if (value != "none" && value != "on") Bad(text, "expected none or on");
    d.kind = tDirective::tKind::kHandshake;
    d.on = value == "on";
    return d;
  }
  if (name == "garbage") {
    d.kind = tDirective::tKind::kGarbage;
    d.on = ParseOnOff(text, value);
    return d;
  }
  if (name == "read-after") {
    int32_t polls = 0;
    if (!TryParseXmlInt(value, &polls)) Bad(text, "\"" + value + "\" is not a number");
    d.kind = tDirective::tKind::kReadAfter;
    d.number = polls;
    return d;
  }
  if (name == "journal") {
    if (value != "clear") Bad(text, "expected journal=clear");
    d.kind = tDirective::tKind::kClearJournal;
    return d;
  }
  Bad(text, "unknown directive");
}

}  // namespace q2::sim
