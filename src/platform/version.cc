#include "platform/version.h"

namespace q2 {
std::string GetFileVersionText() { return Q2_VERSION_TEXT; }
}  // namespace q2
