// EQ numbers and files.
#include "vdu/eq.h"

#include "core/log.h"
#include "platform/codepage.h"

namespace q2 {

namespace {

constexpr int32_t kUtf8CodePage = 65001;

// The character that byte `code` stands for in the ANSI code page, as UTF-8.
std::string AnsiCharacter(int32_t code) {
  const char byte = static_cast<char>(static_cast<uint8_t>(code & 0xFF));
  return AnsiToUtf8(std::string(1, byte));
}

}  // namespace

std::string MakeEQNumber(int32_t seq, int32_t unit, uint8_t eqType) {
  std::string digits = std::to_string(seq % 100);
  while (digits.size() < 2) digits.insert(0, "0");
  // 64-bit so that unit - 1 cannot overflow for the lowest 32-bit unit.
  int64_t n = static_cast<int64_t>(unit) - 1;
  switch (eqType) {
    case 0:
      // Same as stepping down by 57 while n + 65 > 122, without a long loop for huge units.
      if (n + 65 > 122) n -= 57 * ((n + 65 - 122 + 56) / 57);
      return AnsiCharacter(static_cast<int32_t>(n + 65)) + "-" + digits;
    case 1:
      if (n + 192 > 255) n -= 63 * ((n + 192 - 255 + 62) / 63);
      return AnsiCharacter(static_cast<int32_t>(n + 192)) + "-" + digits;
    case 2:
      return std::to_string(unit) + digits;
    default:
      return digits;
  }
}

void WriteEQFile(const std::string& eqDir, const std::string& fileName, uint8_t mode,
                 const std::string& eqText) {
  WriteLog("thrd: creating EQ file \"" + fileName + "\"", kLogNote, 0);
  if (mode != 2 && mode != 3) return;
  if (eqDir.empty()) return;
  const std::string folder = IncludeTrailingDelimiter(eqDir);
  if (folder == "/") return;
  WriteTextFile(Utf8ToAnsi(eqText), AnsiCodePage() == kUtf8CodePage, folder + fileName);
}

}  // namespace q2
