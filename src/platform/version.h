// The program's file version text: four dotted decimal numbers, compiled in from the build.
#pragma once

#include <string>

namespace q2 {
std::string GetFileVersionText();
}  // namespace q2
