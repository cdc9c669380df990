// The command line of the program: switches begin with "/" or "-" and are compared without
// regard to case; other arguments are ignored.
#pragma once

#include <string>
#include <vector>

namespace q2 {

struct tRunMode {
  bool install = false, uninstall = false, svc = false, silent = false;
  bool ServiceMode() const { return install || uninstall || svc; }
};

tRunMode ParseRunMode(const std::vector<std::string>& args);

// "QUILLON " + the file version text.
std::string ProgramTitle();

// The whole program: start-up (migration, log settings, the launch line), then the chosen
// mode. Returns the process exit status.
int QuillonMain(const std::vector<std::string>& args);

}  // namespace q2
