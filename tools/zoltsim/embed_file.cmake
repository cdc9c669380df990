# cmake -DINPUT=file -DOUTPUT=file.cc -P embed_file.cmake
# Writes a C++ source that defines q2::sim::DefaultRestaurantXml() with the bytes of INPUT.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR byteCount "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from restaurant.xml at build time; do not edit.
#include <string>

namespace q2::sim {
namespace {
const unsigned char kRestaurantBytes[] = {
    ${bytes}
};
}  // namespace

const std::string& DefaultRestaurantXml() {
  static const std::string text(reinterpret_cast<const char*>(kRestaurantBytes), ${byteCount});
  return text;
}

}  // namespace q2::sim
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
