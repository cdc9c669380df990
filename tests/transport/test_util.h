// Small helpers of the transport tests: a temporary folder and byte-string conversions.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace q2::test {

// A fresh folder under the system's temporary folder, removed with its content.
class tTempDir final {
 public:
  tTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "q2transport.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~tTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  tTempDir(const tTempDir&) = delete;
  tTempDir& operator=(const tTempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for the lifetime of the object.
class tEnvOverride final {
 public:
  tEnvOverride(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) {
      had_ = true;
      old_ = old;
    }
    setenv(name, value.c_str(), 1);
  }
  ~tEnvOverride() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  tEnvOverride(const tEnvOverride&) = delete;
  tEnvOverride& operator=(const tEnvOverride&) = delete;

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

inline std::string RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(count, '\0');
  for (char& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

// Text-like data with many repeats: numbered XML-ish lines.
inline std::string RepetitiveText(size_t count) {
  std::string out;
  for (int i = 0; out.size() < count; ++i) {
    out += "<Item Code=\"" + std::to_string(i % 97) + "\" Name=\"Dish number " +
           std::to_string(i % 13) + "\"/>\r\n";
  }
  out.resize(count);
  return out;
}

}  // namespace q2::test
