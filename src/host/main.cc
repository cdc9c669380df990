// quillon2: the order bridge. `quillon2 /svc` runs the service in the foreground.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "host/run_modes.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return q2::QuillonMain(args);
  } catch (const std::exception& e) {
    // Start-up before the log is usable (a settings file that cannot be written, a log
    // folder that cannot be created): there is nowhere else to say it.
    fprintf(stderr, "quillon2: %s\n", e.what());
    return 1;
  }
}
