// Helpers shared by the test suites: temporary folders that clean up after themselves.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace q2test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "q2test.XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder with a trailing "/".
  std::string path() const { return path_ + "/"; }

 private:
  std::string path_;
};

}  // namespace q2test
