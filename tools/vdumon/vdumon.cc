// vdumon: listens for kitchen display datagrams on a UDP port, reassembles each message,
// undoes the scrambling with the restaurant code and prints the caption and one line per
// record. For installers checking a display feed, and for the tests.
//
//   vdumon --port P --rest-code R [--bind 127.0.0.1] [--count N] [--timeout S]
//          [--codepage CP]
//
// --port 0 listens on an ephemeral port; the first line printed always names the address
// actually bound ("listening on A:P"). To see a display feed that is broadcast on the local
// network (the program's default destination), bind 0.0.0.0. Exit status: 0 after N messages (or at the timeout when no count was given), 1
// when the timeout came first or the socket failed, 2 on a bad command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/convert.h"
#include "platform/codepage.h"
#include "vdu/datagram.h"
#include "vdu/decoder.h"
#include "vdu/message_layout.h"

namespace {

struct tOptions {
  int32_t Port = -1;
  std::optional<int32_t> RestCode;
  std::string Bind = "127.0.0.1";
  int64_t Count = 0;      // 0: no limit
  double TimeoutSec = 0;  // 0: no limit
  int32_t CodePage = 0;   // 0: the ANSI code page
};

const char* const kUsage =
    "usage: vdumon --port P --rest-code R [--bind 127.0.0.1] [--count N] [--timeout S] "
    "[--codepage CP]\n";

bool ParseInt(const std::string& text, int64_t min, int64_t max, int64_t* value) {
  if (text.empty()) return false;
  size_t used = 0;
  try {
    const long long parsed = std::stoll(text, &used, 10);
    if (used != text.size() || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseOptions(int argc, char** argv, tOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) {
      *error = "missing value for " + name;
      return false;
    }
    const std::string value = argv[++i];
    int64_t number = 0;
    if (name == "--port") {
      if (!ParseInt(value, 0, 65535, &number)) {
        *error = "bad port \"" + value + "\"";
        return false;
      }
      options->Port = static_cast<int32_t>(number);
    } else if (name == "--rest-code") {
      if (!ParseInt(value, INT32_MIN, INT32_MAX, &number) || number == 0) {
        *error = "bad restaurant code \"" + value + "\" (a nonzero 32-bit integer)";
        return false;
      }
      options->RestCode = static_cast<int32_t>(number);
    } else if (name == "--bind") {
      options->Bind = value;
    } else if (name == "--count") {
      if (!ParseInt(value, 0, INT64_MAX, &number)) {
        *error = "bad count \"" + value + "\"";
        return false;
      }
      options->Count = number;
    } else if (name == "--timeout") {
      try {
        size_t used = 0;
        options->TimeoutSec = std::stod(value, &used);
        if (used != value.size() || options->TimeoutSec < 0) throw std::invalid_argument(value);
      } catch (const std::exception&) {
        *error = "bad timeout \"" + value + "\"";
        return false;
      }
    } else if (name == "--codepage") {
      if (!ParseInt(value, 1, 65535, &number)) {
        *error = "bad code page \"" + value + "\"";
        return false;
      }
      options->CodePage = static_cast<int32_t>(number);
    } else {
      *error = "unknown option " + name;
      return false;
    }
  }
  if (options->Port < 0) {
    *error = "--port is required";
    return false;
  }
  if (!options->RestCode) {
    *error = "--rest-code is required";
    return false;
  }
  return true;
}

// Quoted, so that blanks at the ends of a name show.
std::string Quoted(const std::string& bytes, int32_t codePage) {
  return "\"" + q2::CodePageToUtf8(bytes, codePage) + "\"";
}

void PrintMessage(const q2::tVDUAssembled& message, int32_t restCode, int32_t codePage) {
  std::vector<uint8_t> bytes = message.Bytes;
  q2::UndoCodebuf(bytes.data(), bytes.size(), restCode);
  std::cout << "message " << message.MessageNumber << " display "
            << static_cast<int>(message.DisplayId) << ": " << message.Chunks << " chunks, "
            << bytes.size() << " bytes\n";
  try {
    const q2::tVDUMessageView view = q2::ParseVDUMessageBytes(bytes.data(), bytes.size());
    const q2::tVDUCaptionView& c = view.Caption;
    std::cout << "caption captlen=" << c.CaptLen << " VCCommand=" << static_cast<int>(c.VCCommand)
              << " UnitNum=" << static_cast<int>(c.UnitNum) << " StartSession=" << c.StartSession
              << " ExtraOrderId=" << c.ExtraOrderId << " waiter=" << Quoted(c.Waiter, codePage)
              << " SystemTime=" << c.SystemTime << " SysDate=" << c.SysDate << " LCnt=" << c.LCnt
              << "\n";
    for (size_t i = 0; i < view.Records.size(); ++i) {
      const q2::tVDURecordView& r = view.Records[i];
      std::cout << "record " << i << " offset=" << r.Offset << " len=" << static_cast<int>(r.Len)
                << " class=" << static_cast<int>(r.Class);
      if (r.Class == q2::kVDUClassExtra) {
        std::cout << " ExtraType=" << r.ExtraType << " FileNumber=" << r.FileNumber << "\n";
      } else {
        std::cout << " SIFR=" << r.SIFR << " code=" << Quoted(r.Code, codePage)
                  << " qnt=" << q2::FormatFloatGeneral(r.Qnt) << " stream=" << r.Stream
                  << " name=" << Quoted(r.Name, codePage) << "\n";
      }
    }
  } catch (const std::exception& e) {
    std::cout << "cannot decode: " << e.what() << "\n";
  }
  std::cout << std::flush;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << kUsage;
      return 0;
    }
  }
  tOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    std::cerr << "vdumon: " << error << "\n" << kUsage;
    return 2;
  }
  const int32_t codePage = options.CodePage != 0 ? options.CodePage : q2::AnsiCodePage();

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(options.Port));
  if (inet_pton(AF_INET, options.Bind.c_str(), &local.sin_addr) != 1) {
    std::cerr << "vdumon: bad bind address \"" << options.Bind << "\"\n" << kUsage;
    return 2;
  }
  q2::tVDUSocket socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!socket.IsOpen()) {
    std::cerr << "vdumon: socket: " << std::strerror(errno) << "\n";
    return 1;
  }
  if (::bind(socket.Fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    std::cerr << "vdumon: bind " << options.Bind << ":" << options.Port << ": "
              << std::strerror(errno) << "\n";
    return 1;
  }
  socklen_t localSize = sizeof local;
  ::getsockname(socket.Fd(), reinterpret_cast<sockaddr*>(&local), &localSize);
  char bound[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &local.sin_addr, bound, sizeof bound);
  std::cout << "listening on " << bound << ":" << ntohs(local.sin_port) << std::endl;

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(options.TimeoutSec));
  q2::tVDUReassembler reassembler;
  int64_t messages = 0;
  std::vector<uint8_t> buffer(65536);
  while (options.Count == 0 || messages < options.Count) {
    int waitMs = -1;
    if (options.TimeoutSec > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) break;
      waitMs = static_cast<int>(std::min<int64_t>(left, 60000));
    }
    pollfd entry{socket.Fd(), POLLIN, 0};
    const int ready = ::poll(&entry, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::cerr << "vdumon: poll: " << std::strerror(errno) << "\n";
      return 1;
    }
    if (ready == 0) continue;
    const ssize_t got = ::recv(socket.Fd(), buffer.data(), buffer.size(), 0);
    if (got < 0) continue;
    const auto datagram = q2::ParseVDUDatagram(buffer.data(), static_cast<size_t>(got));
    if (!datagram) {
      std::cout << "ignored a datagram of " << got << " bytes that is not a display chunk\n"
                << std::flush;
      continue;
    }
    if (auto message = reassembler.Add(*datagram)) {
      PrintMessage(*message, *options.RestCode, codePage);
      ++messages;
    }
  }
  if (options.Count != 0 && messages < options.Count) {
    std::cout << "timeout after " << messages << " of " << options.Count << " messages\n";
    return 1;
  }
  return 0;
}
