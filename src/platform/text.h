// Small text helpers of the platform layer (ASCII only; Unicode case rules are in
// codepage.h).
#pragma once

#include <string>

namespace q2 {

// Equal ignoring the letter case of A-Z, as Windows compares file, section and key names.
bool SameNoCaseAscii(const std::string& a, const std::string& b);

}  // namespace q2
