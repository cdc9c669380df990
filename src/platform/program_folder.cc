#include "platform/program_folder.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/files.h"
#include "platform/text.h"

namespace q2 {

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ExecutableName() {
  std::string path = ExecutablePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProgramFolder() {
  const char* home = getenv("QUILLON2_HOME");
  std::string folder;
  if (home && *home) {
    folder = home;
  } else {
    std::string path = ExecutablePath();
    size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
  }
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string FindFileNoCase(const std::string& folder, const std::string& name) {
  if (FileExists(folder + name)) return folder + name;
  for (const std::string& entry : ListDirectory(folder, "*")) {
    if (SameNoCaseAscii(entry, name) && FileExists(folder + entry)) return folder + entry;
  }
  return folder + name;
}

std::string SettingsFilePath() { return FindFileNoCase(ProgramFolder(), "Quillon2.INI"); }

std::string MapFilePath() {
  std::string name = ExecutableName();
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return ProgramFolder() + name + ".map";
}

}  // namespace q2
