// Electronic queue ("EQ") numbers and the one-line EQ files that the queue board's software
// picks up from the EQ folder. Worker thread only (the file step logs).
#pragma once

#include <cstdint>
#include <string>

namespace q2 {

// The EQ number of a display sequence value, as UTF-8 text. digits = seq mod 100 in decimal
// (the remainder keeps the sign of seq), "0" put in front while shorter than 2 characters.
//   eqType 0 ("English"): mark + "-" + digits; the mark is the character with code
//            n + 65, n = unit - 1 stepped down by 57 while n + 65 > 122 (units 1..58 give
//            "A".."z", 59 gives "B").
//   eqType 1 ("Russian"): mark + "-" + digits; the mark is the byte n + 192 of the ANSI code
//            page in effect, n = unit - 1 stepped down by 63 while n + 192 > 255 ("А".."я"
//            under 1251, "À".."ÿ" under 1252), so that the EQ file holds that very byte.
//   eqType 2 ("Numeric"): decimal unit + digits.
//   other:   digits.
// A mark code outside 0..255 (units far below 1) is taken modulo 256. Cannot fail.
std::string MakeEQNumber(int32_t seq, int32_t unit, uint8_t eqType);

// The worker's EQ file step for one order file: logs "thrd: creating EQ file \"" + fileName
// + "\"", then, for mode 2 (FPRINT) or 3 (OCREATE) and a configured eqDir (not empty and
// not just "/"), writes eqText converted to the ANSI code page, without line end, to
// eqDir + fileName, replacing an existing file. Throws the file writer's failure.
void WriteEQFile(const std::string& eqDir, const std::string& fileName, uint8_t mode,
                 const std::string& eqText);

}  // namespace q2
