#include "platform/codepage.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace q2 {

namespace {

std::atomic<int> gCodePage{0};

// Decodes one UTF-8 sequence at s[i]; advances i. Invalid bytes give -1 and advance by one.
int32_t DecodeUtf8(const std::string& s, size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int len;
  int32_t cp;
  if (c < 0x80) {
    ++i;
    return c;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    ++i;
    return -1;
  }
  if (i + static_cast<size_t>(len) > s.size()) {
    ++i;
    return -1;
  }
  for (int k = 1; k < len; ++k) {
    unsigned char d = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
    if ((d & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (d & 0x3F);
  }
  static const int32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return -1;
  }
  i += static_cast<size_t>(len);
  return cp;
}

void EncodeUtf8(int32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string IconvName(int codePage) { return "CP" + std::to_string(codePage); }

class tIconv final {
 public:
  tIconv(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error("code page conversion " + from + " to " + to + " is not available");
    }
  }
  ~tIconv() { iconv_close(cd_); }
  tIconv(const tIconv&) = delete;
  tIconv& operator=(const tIconv&) = delete;
  // Converts one unit; false when the target cannot represent it.
  bool Convert(const char* in, size_t inLen, std::string& out) {
    char buffer[16];
    char* inPtr = const_cast<char*>(in);
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &inPtr, &inLen, &outPtr, &outLeft) == static_cast<size_t>(-1)) return false;
    out.append(buffer, sizeof buffer - outLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

locale_t Utf8Locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!l) l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

int32_t UpperCodePoint(int32_t cp) {
  if (cp < 0) return cp;
  if (locale_t loc = Utf8Locale())
    return static_cast<int32_t>(towupper_l(static_cast<wint_t>(cp), loc));
  // Without a UTF-8 locale: ASCII, Latin-1 and Cyrillic by their ranges.
  if (cp >= 'a' && cp <= 'z') return cp - 32;
  if ((cp >= 0xE0 && cp <= 0xFE && cp != 0xF7)) return cp - 32;
  if (cp >= 0x430 && cp <= 0x44F) return cp - 32;
  if (cp >= 0x450 && cp <= 0x45F) return cp - 80;
  return cp;
}

}  // namespace

int CodePageForLocale(const std::string& localeName) {
  std::string lang = localeName.substr(0, localeName.find_first_of(".@"));
  std::string language = lang.substr(0, lang.find('_'));
  std::string region = lang.find('_') == std::string::npos ? "" : lang.substr(lang.find('_') + 1);
  for (auto& c : language) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (auto& c : region) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  static const struct {
    const char* lang;
    int cp;
  } kTable[] = {{"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251}, {"sr", 1251}, {"mk", 1251},
                {"cs", 1250}, {"pl", 1250}, {"sk", 1250}, {"hu", 1250}, {"ro", 1250}, {"hr", 1250},
                {"sl", 1250}, {"el", 1253}, {"tr", 1254}, {"he", 1255}, {"ar", 1256}, {"lt", 1257},
                {"lv", 1257}, {"et", 1257}, {"vi", 1258}, {"ja", 932},  {"ko", 949}};
  for (const auto& row : kTable) {
    if (language == row.lang) return row.cp;
  }
  if (language == "zh") return (region == "TW" || region == "HK" || region == "MO") ? 950 : 936;
  return 1252;
}

int AnsiCodePage() {
  int cp = gCodePage.load();
  if (cp > 0) return cp;
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = getenv(var);
    if (v && *v) return CodePageForLocale(v);
  }
  return 1252;
}

void SetAnsiCodePage(int codePage) { gCodePage.store(codePage > 0 ? codePage : 0); }

std::string Utf8ToCodePage(const std::string& utf8, int codePage) {
  tIconv conv(IconvName(codePage), "UTF-8");
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    size_t start = i;
    int32_t cp = DecodeUtf8(utf8, i);
    if (cp < 0x80 && cp >= 0) {
      out += static_cast<char>(cp);  // every ANSI code page keeps ASCII
    } else if (cp < 0 || !conv.Convert(utf8.data() + start, i - start, out)) {
      out += '?';
    }
  }
  return out;
}

std::string CodePageToUtf8(const std::string& bytes, int codePage) {
  tIconv conv("UTF-8", IconvName(codePage));
  const bool doubleByte = codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
  std::string out;
  out.reserve(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (conv.Convert(bytes.data() + i, 1, out)) {
      // a single-byte character
    } else if (doubleByte && i + 1 < bytes.size() && conv.Convert(bytes.data() + i, 2, out)) {
      ++i;  // a lead byte with its trail byte
    } else {
      out += '?';
    }
  }
  return out;
}

std::string Utf8ToAnsi(const std::string& utf8) { return Utf8ToCodePage(utf8, AnsiCodePage()); }
std::string AnsiToUtf8(const std::string& ansi) { return CodePageToUtf8(ansi, AnsiCodePage()); }

std::string Utf8ToUtf16LE(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size() * 2);
  size_t i = 0;
  auto put = [&out](uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
  };
  while (i < utf8.size()) {
    int32_t cp = DecodeUtf8(utf8, i);
    if (cp < 0) cp = '?';
    if (cp >= 0x10000) {
      uint32_t v = static_cast<uint32_t>(cp) - 0x10000;
      put(0xD800 + (v >> 10));
      put(0xDC00 + (v & 0x3FF));
    } else {
      put(static_cast<uint32_t>(cp));
    }
  }
  return out;
}

std::string Utf16LEToUtf8(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u = static_cast<unsigned char>(bytes[i]) |
                 (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
      uint32_t lo = static_cast<unsigned char>(bytes[i + 2]) |
                    (static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 3])) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        EncodeUtf8(static_cast<int32_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)), out);
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = '?';
    EncodeUtf8(static_cast<int32_t>(u), out);
  }
  return out;
}

size_t Utf8Length(const std::string& utf8) {
  size_t n = 0, i = 0;
  while (i < utf8.size()) {
    DecodeUtf8(utf8, i);
    ++n;
  }
  return n;
}

std::string Utf8Left(const std::string& utf8, size_t count) {
  size_t i = 0, n = 0;
  while (i < utf8.size() && n < count) {
    DecodeUtf8(utf8, i);
    ++n;
  }
  return utf8.substr(0, i);
}

std::string Utf8UpperCase(const std::string& utf8) {
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    size_t start = i;
    int32_t cp = DecodeUtf8(utf8, i);
    if (cp < 0) {
      out.append(utf8, start, i - start);
    } else {
      EncodeUtf8(UpperCodePoint(cp), out);
    }
  }
  return out;
}

bool SameTextNoCase(const std::string& a, const std::string& b) {
  return Utf8UpperCase(a) == Utf8UpperCase(b);
}

}  // namespace q2
