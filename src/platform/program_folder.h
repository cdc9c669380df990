// Where the program lives. The program folder is the folder of the running executable, or
// the folder named by the environment variable QUILLON2_HOME when it is set; the settings
// file, the order map and the default log folder live there, so a copy of the executable in
// another folder is a separate installation.
#pragma once

#include <string>

namespace q2 {

// The program folder with a trailing "/".
std::string ProgramFolder();
// Full path of the running executable (resolved through /proc/self/exe).
std::string ExecutablePath();
// Base name of the executable without folder (for example "quillon2").
std::string ExecutableName();
// The settings file: an existing file named "Quillon2.INI" in any letter case in the
// program folder, else program folder + "Quillon2.INI".
std::string SettingsFilePath();
// The entry of `folder` whose name equals `name` ignoring ASCII case, else folder + name.
std::string FindFileNoCase(const std::string& folder, const std::string& name);
// The order map file: program folder + executable name with its extension replaced by ".map".
std::string MapFilePath();

}  // namespace q2
