// Windows INI files as GetPrivateProfileString and WritePrivateProfileString treat them:
// sections and keys match without regard to ASCII letter case, values are trimmed of
// surrounding blanks, a missing file reads as empty, and writing one key rewrites that one
// line only (the file and the section are created when missing). The file is read anew on
// every call, so two objects on one file see each other's writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace q2 {

class tIniFile final {
 public:
  static constexpr size_t kMaxValueChars = 2047;  // longer values are cut

  explicit tIniFile(std::string path) : path_(std::move(path)) {}
  const std::string& FileName() const { return path_; }

  // The value, or std::nullopt when the section or key is absent.
  std::optional<std::string> Read(const std::string& section, const std::string& key) const;
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& def) const;
  // Decimal, "0x"/"0X" or "$" hexadecimal; anything else (absent, empty, not a number,
  // out of 32-bit range) gives `def`.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

  // Throws std::runtime_error("Unable to write to " + file name) on failure.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);

 private:
  std::string path_;
};

// The INI integer rule on its own: true and the value for decimal, "0x" or "$" hexadecimal.
bool ParseIniInteger(const std::string& text, int32_t* value);

}  // namespace q2
