// Conversions between the UTF-8 texts held in memory and the encodings used at the edges:
// the system's ANSI code page (result file, EQ files, display texts) and UTF-16LE (log and
// CSV files). A character that the code page lacks becomes "?"; invalid UTF-8 input bytes
// become "?" as well.
#pragma once

#include <string>

namespace q2 {

// The Windows ANSI code page in effect: the one set by SetAnsiCodePage (the settings key
// AnsiCodePage), else the one Windows derives from the locale's language (LC_ALL, LC_CTYPE,
// LANG), else 1252.
int AnsiCodePage();
// 0 returns to the locale's default.
void SetAnsiCodePage(int codePage);
// The code page Windows uses for a locale name such as "ru_RU.UTF-8" (1252 for unknown).
int CodePageForLocale(const std::string& localeName);

std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToCodePage(const std::string& utf8, int codePage);
std::string CodePageToUtf8(const std::string& bytes, int codePage);
// UTF-16 little-endian bytes, no byte-order mark.
std::string Utf8ToUtf16LE(const std::string& utf8);
std::string Utf16LEToUtf8(const std::string& bytes);
// Code points of a UTF-8 text (invalid bytes count one each).
size_t Utf8Length(const std::string& utf8);
// The first `count` code points of a UTF-8 text.
std::string Utf8Left(const std::string& utf8, size_t count);
// Upper case of a UTF-8 text, Cyrillic and other scripts included (for comparisons).
std::string Utf8UpperCase(const std::string& utf8);
bool SameTextNoCase(const std::string& a, const std::string& b);

}  // namespace q2
