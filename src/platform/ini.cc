#include "platform/ini.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace q2 {

namespace {

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
    --e;
  return s.substr(b, e - b);
}

struct tLine {
  std::string text;  // without its line end
};

// Splits into lines; remembers whether the file used CR LF.
std::vector<tLine> SplitLines(const std::string& data, bool* crlf) {
  std::vector<tLine> lines;
  *crlf = true;
  bool sawLf = false;
  size_t start = 0;
  while (start < data.size()) {
    size_t lf = data.find('\n', start);
    if (lf == std::string::npos) {
      lines.push_back({data.substr(start)});
      break;
    }
    size_t end = lf;
    if (!sawLf) {
      *crlf = lf > 0 && data[lf - 1] == '\r';
      sawLf = true;
    }
    if (end > start && data[end - 1] == '\r') --end;
    lines.push_back({data.substr(start, end - start)});
    start = lf + 1;
  }
  return lines;
}

// "[name]" gives true and the trimmed name.
bool IsSection(const std::string& line, std::string* name) {
  std::string t = TrimBlanks(line);
  if (t.size() < 2 || t.front() != '[') return false;
  size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = TrimBlanks(t.substr(1, close - 1));
  return true;
}

bool IsKey(const std::string& line, const std::string& key, std::string* value) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  if (!SameNoCaseAscii(TrimBlanks(line.substr(0, eq)), key)) return false;
  if (value) *value = TrimBlanks(line.substr(eq + 1));
  return true;
}

std::string ReadWholeFile(const std::string& path, bool* exists) {
  try {
    std::string data = ReadFileBytes(path);
    *exists = true;
    return data;
  } catch (const std::exception&) {
    *exists = false;
    return std::string();
  }
}

}  // namespace

bool ParseIniInteger(const std::string& text, int32_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFull) return false;
  }
  int64_t result;
  if (hex) {
    // Hexadecimal covers the whole 32-bit pattern: $FFFFFFFF is -1.
    result = static_cast<int32_t>(static_cast<uint32_t>(v));
    if (negative) result = -result;
  } else {
    result = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    if (result < INT32_MIN || result > INT32_MAX) return false;
  }
  *value = static_cast<int32_t>(result);
  return true;
}

std::optional<std::string> tIniFile::Read(const std::string& section,
                                          const std::string& key) const {
  bool exists;
  std::string data = ReadWholeFile(path_, &exists);
  if (!exists) return std::nullopt;
  bool crlf;
  bool inSection = false;
  for (const tLine& line : SplitLines(data, &crlf)) {
    std::string name;
    if (IsSection(line.text, &name)) {
      inSection = SameNoCaseAscii(name, section);
      continue;
    }
    std::string value;
    if (inSection && IsKey(line.text, key, &value)) {
      // A value enclosed in matching quotes loses them, as Windows reads it.
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      if (value.size() > kMaxValueChars) value.resize(kMaxValueChars);
      return value;
    }
  }
  return std::nullopt;
}

std::string tIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
  auto v = Read(section, key);
  return v ? *v : def;
}

int32_t tIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
  auto v = Read(section, key);
  int32_t value;
  if (v && ParseIniInteger(*v, &value)) return value;
  return def;
}

bool tIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return Read(section, key).has_value();
}

void tIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
  bool exists;
  std::string data = ReadWholeFile(path_, &exists);
  bool crlf = true;
  std::vector<tLine> lines = exists ? SplitLines(data, &crlf) : std::vector<tLine>();
  if (!exists || lines.empty()) crlf = true;
  const std::string newLine = key + "=" + value;

  // Find the section, the key inside it, and the last non-blank line of the section.
  bool inSection = false, sectionFound = false, written = false;
  size_t insertAt = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name;
    if (IsSection(lines[i].text, &name)) {
      if (inSection) break;  // the section ended before the key was found
      inSection = SameNoCaseAscii(name, section);
      if (inSection) {
        sectionFound = true;
        insertAt = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    if (IsKey(lines[i].text, key, nullptr)) {
      lines[i].text = newLine;
      written = true;
      break;
    }
    if (!TrimBlanks(lines[i].text).empty()) insertAt = i + 1;
  }
  if (!written) {
    if (sectionFound) {
      lines.insert(lines.begin() + static_cast<long>(insertAt), tLine{newLine});
    } else {
      lines.push_back({"[" + section + "]"});
      lines.push_back({newLine});
    }
  }

  const char* eol = crlf ? "\r\n" : "\n";
  std::string out;
  for (const tLine& line : lines) {
    out += line.text;
    out += eol;
  }
  // Write beside the file and rename over it, so a failure never leaves half a file.
  std::string tmp = path_ + ".tmp" + std::to_string(getpid());
  try {
    WriteFileBytes(tmp, out);
  } catch (const std::exception&) {
    // A folder we may not create files in: rewrite in place as a last resort.
    try {
      WriteFileBytes(path_, out);
      return;
    } catch (const std::exception&) {
      throw std::runtime_error("Unable to write to " + path_);
    }
  }
  if (rename(tmp.c_str(), path_.c_str()) != 0) {
    unlink(tmp.c_str());
    throw std::runtime_error("Unable to write to " + path_);
  }
}

void tIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

}  // namespace q2
