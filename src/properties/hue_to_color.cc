#include "properties/hue_to_color.h"

#include <cmath>

namespace q2 {

tRGB HueToColor(double x) {
  if (!(x > 0)) x = 0;  // NaN too
  if (x > 1) x = 1;
  double h = 6 * x;
  int s = static_cast<int>(h);
  auto t = static_cast<uint8_t>(std::nearbyint((h - s) * 255));
  auto rise = t, fall = static_cast<uint8_t>(255 - t);
  switch (s) {
    case 0:
      return {255, rise, 0};
    case 1:
      return {fall, 255, 0};
    case 2:
      return {0, 255, rise};
    case 3:
      return {0, fall, 255};
    case 4:
      return {rise, 0, 255};
    default:  // 5, and 6 at x = 1
      return {255, 0, fall};
  }
}

}  // namespace q2
