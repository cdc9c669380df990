// Text and number conversions with the system's own rules and messages.
#pragma once

#include <cstdint>
#include <string>

namespace q2 {

// Strict conversion of a whole text to a signed 32-bit integer: optional blanks are not
// allowed, an optional sign, decimal digits, or "$"/"0x" hexadecimal. Throws
// std::runtime_error("''" + text + "'' is not a valid integer value") otherwise.
int32_t StrToInt(const std::string& text);
bool TryStrToInt(const std::string& text, int32_t* value);
int64_t StrToInt64(const std::string& text);

// "General" format of a double: up to 15 significant digits, no trailing zeros, the given
// decimal separator; exponent form only when the number needs it.
std::string FormatFloatGeneral(double value, char decimalSeparator = '.');

// Two decimals with thousands grouping ("%.2n"): 1234567.5 -> "1,234,567.50" with ','/'.'.
// An empty thousands separator groups nothing.
std::string FormatNumber2(double value, const std::string& thousandSep, char decimalSep);

// The locale's separators (LC_NUMERIC of the environment); '.' and "" in the C locale.
char LocaleDecimalSeparator();
std::string LocaleThousandSeparator();

// Rounding to the nearest integer, ties to even.
int64_t RoundHalfEven(double value);

std::string UpperCaseAscii(std::string text);
bool SameTextAscii(const std::string& a, const std::string& b);
std::string Trim(const std::string& text);  // blanks and control characters at both ends

}  // namespace q2
