// The colour cycle of the SAVE button's caption.
#pragma once

#include <cstdint>

namespace q2 {

struct tRGB {
  uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const tRGB&) const = default;
};

// A hue on the colour wheel: x (clamped to 0..1) runs red, yellow, green, cyan, blue,
// magenta and back toward red. h := 6x; s := the integer part of h; t := the fraction of
// h times 255, rounded to the nearest (ties to even).
tRGB HueToColor(double x);

}  // namespace q2
