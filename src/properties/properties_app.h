// The window mode of the program: the desktop application with the properties window as
// its main window, run until the window closes.
#pragma once

#include <string>
#include <vector>

#include "properties/service_ops.h"

namespace q2 {

// Creates the application (the arguments go to Qt as its command line), shows
// TfmProperties with the real worker and Qt's dialogs, and runs the event loop until the
// window closes. Without a display to show it on, says so on the standard error and
// returns 1 instead of letting Qt end the process. Returns the exit status.
int RunPropertiesWindow(const std::vector<std::string>& args, tServiceOps& ops);

}  // namespace q2
