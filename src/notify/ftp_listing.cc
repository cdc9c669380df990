#include "notify/ftp_listing.h"

#include <cctype>
#include <cstddef>
#include <vector>

namespace q2 {

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Skips `count` blank-separated fields from `pos` and the blanks after the last one.
// Returns the position of what follows, or npos when the line has fewer fields.
size_t SkipFields(const std::string& line, size_t pos, int count) {
  for (int i = 0; i < count; ++i) {
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    if (pos >= line.size()) return std::string::npos;
    while (pos < line.size() && !IsBlank(line[pos])) ++pos;
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  return pos < line.size() ? pos : std::string::npos;
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string Field(const std::string& line, size_t& pos) {
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  const size_t start = pos;
  while (pos < line.size() && !IsBlank(line[pos])) ++pos;
  return line.substr(start, pos - start);
}

bool IsMonth(const std::string& text) {
  static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
  const std::string lower = Lower(text);
  for (const char* month : kMonths) {
    if (lower == month) return true;
  }
  return false;
}

// Where the name of a Unix LIST line starts. The date ("Mon DD hh:mm" or "Mon DD YYYY") is
// looked for first, since servers differ in how many owner and group fields they print;
// without a recognisable date the name follows the eighth field.
size_t UnixNameStart(const std::string& line) {
  size_t pos = 0;
  std::vector<std::string> fields;
  std::vector<size_t> ends;
  for (int i = 0; i < 8; ++i) {
    fields.push_back(Field(line, pos));
    ends.push_back(pos);
    if (fields.back().empty()) break;
  }
  for (size_t i = 3; i + 2 < fields.size(); ++i) {
    const std::string& day = fields[i + 1];
    const std::string& when = fields[i + 2];
    if (IsMonth(fields[i]) && AllDigits(day) && day.size() <= 2 &&
        (when.find(':') != std::string::npos || (AllDigits(when) && when.size() == 4))) {
      size_t start = ends[i + 2];
      while (start < line.size() && IsBlank(line[start])) ++start;
      return start < line.size() ? start : std::string::npos;
    }
  }
  return SkipFields(line, 0, 8);
}

bool ParseDOSLine(const std::string& line, tFTPEntry& entry) {
  size_t pos = 0;
  const std::string date = Field(line, pos);
  const std::string time = Field(line, pos);
  const std::string sizeOrDir = Field(line, pos);
  if (date.size() < 8 || date[2] != '-' || date[5] != '-') return false;
  if (time.size() < 6 || time[2] != ':') return false;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size()) return false;
  if (sizeOrDir == "<DIR>") {
    entry.Kind = tFTPEntryKind::ekDirectory;
  } else if (AllDigits(sizeOrDir)) {
    entry.Kind = tFTPEntryKind::ekFile;
  } else {
    return false;
  }
  entry.Name = line.substr(pos);
  return true;
}

}  // namespace

bool ParseMLSDLine(const std::string& line, tFTPEntry& entry) {
  const size_t space = line.find(' ');
  if (space == std::string::npos) return false;
  entry.Name = line.substr(space + 1);
  entry.Kind = tFTPEntryKind::ekOther;
  const std::string facts = line.substr(0, space);
  size_t start = 0;
  while (start < facts.size()) {
    size_t end = facts.find(';', start);
    if (end == std::string::npos) end = facts.size();
    const std::string fact = facts.substr(start, end - start);
    const size_t eq = fact.find('=');
    if (eq != std::string::npos && Lower(fact.substr(0, eq)) == "type") {
      const std::string type = Lower(fact.substr(eq + 1));
      if (type == "file") {
        entry.Kind = tFTPEntryKind::ekFile;
      } else if (type == "dir" || type == "cdir" || type == "pdir") {
        entry.Kind = tFTPEntryKind::ekDirectory;
      }
    }
    start = end + 1;
  }
  return true;
}

bool ParseLISTLine(const std::string& line, tFTPEntry& entry) {
  if (line.empty()) return false;
  if (std::isdigit(static_cast<unsigned char>(line[0]))) return ParseDOSLine(line, entry);
  // Unix form: a ten-character mode field first.
  static const std::string kModeChars = "-dlcbps";
  if (kModeChars.find(line[0]) == std::string::npos) return false;
  size_t pos = 0;
  const std::string mode = Field(line, pos);
  if (mode.size() < 10) return false;
  const size_t nameStart = UnixNameStart(line);
  if (nameStart == std::string::npos) return false;
  entry.Name = line.substr(nameStart);
  switch (line[0]) {
    case '-':
      entry.Kind = tFTPEntryKind::ekFile;
      break;
    case 'd':
      entry.Kind = tFTPEntryKind::ekDirectory;
      break;
    default:
      entry.Kind = tFTPEntryKind::ekOther;
      break;
  }
  return true;
}

std::vector<tFTPEntry> ParseFTPListing(const std::string& listing, bool mlsd) {
  std::vector<tFTPEntry> entries;
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    tFTPEntry entry;
    if (mlsd ? ParseMLSDLine(line, entry) : ParseLISTLine(line, entry)) {
      entries.push_back(std::move(entry));
    }
    start = end + 1;
  }
  return entries;
}

bool IsSafeFTPName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace q2
