#include "core/convert.h"

#include <langinfo.h>
#include <locale.h>

#include <cfenv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "platform/ini.h"

namespace q2 {

bool TryStrToInt(const std::string& text, int32_t* value) { return ParseIniInteger(text, value); }

int32_t StrToInt(const std::string& text) {
  int32_t value;
  if (!ParseIniInteger(text, &value)) {
    throw std::runtime_error("''" + text + "'' is not a valid integer value");
  }
  return value;
}

int64_t StrToInt64(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i >= text.size()) throw std::runtime_error("''" + text + "'' is not a valid integer value");
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9' || v > (UINT64_MAX - 9) / 10) {
      throw std::runtime_error("''" + text + "'' is not a valid integer value");
    }
    v = v * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  if (v > (negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull)) {
    throw std::runtime_error("''" + text + "'' is not a valid integer value");
  }
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

std::string FormatFloatGeneral(double value, char decimalSeparator) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.15g", value);
  std::string s = buffer;
  for (char& c : s) {
    if (c == '.') c = decimalSeparator;
    if (c == 'e') c = 'E';
  }
  return s;
}

std::string FormatNumber2(double value, const std::string& thousandSep, char decimalSep) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.2f", value);
  std::string s = buffer;
  std::string sign;
  if (!s.empty() && s[0] == '-') {
    sign = "-";
    s.erase(0, 1);
  }
  size_t dot = s.find('.');
  std::string intPart = s.substr(0, dot), frac = s.substr(dot + 1);
  std::string grouped;
  for (size_t i = 0; i < intPart.size(); ++i) {
    if (i > 0 && (intPart.size() - i) % 3 == 0) grouped += thousandSep;
    grouped += intPart[i];
  }
  return sign + grouped + decimalSep + frac;
}

namespace {
locale_t NumericLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
    return l ? l : newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  }();
  return loc;
}
}  // namespace

char LocaleDecimalSeparator() {
  const char* s = nl_langinfo_l(RADIXCHAR, NumericLocale());
  return (s && s[0] && !s[1]) ? s[0] : '.';
}

std::string LocaleThousandSeparator() {
  const char* s = nl_langinfo_l(THOUSEP, NumericLocale());
  return s ? std::string(s) : std::string();
}

int64_t RoundHalfEven(double value) {
  // nearbyint rounds in the current mode; the program never leaves the default, nearest-even.
  return static_cast<int64_t>(std::nearbyint(value));
}

std::string UpperCaseAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
  return UpperCaseAscii(a) == UpperCaseAscii(b);
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

}  // namespace q2
