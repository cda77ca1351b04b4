// 2x2 box-filter downscale with a truncating average.
#include "downscale.h"

#include <cstdlib>

uint8_t* downscale_2x(const uint8_t* pixels, int width, int height) {
  const int out_w = width > 0 ? width / 2 : 0;
  const int out_h = height > 0 ? height / 2 : 0;
  size_t bytes = static_cast<size_t>(out_w) * static_cast<size_t>(out_h) * 4;
  uint8_t* out = static_cast<uint8_t*>(malloc(bytes ? bytes : 1));
  if (!out) return nullptr;
  const size_t stride = static_cast<size_t>(width) * 4;
  for (int y = 0; y < out_h; y++) {
    const uint8_t* top = pixels + static_cast<size_t>(2 * y) * stride;
    const uint8_t* bottom = top + stride;
    uint8_t* dst = out + static_cast<size_t>(y) * out_w * 4;
    for (int x = 0; x < out_w * 4; x++) {
      int left = (x / 4) * 8 + (x % 4);
      unsigned sum = top[left] + top[left + 4] + bottom[left] + bottom[left + 4];
      dst[x] = static_cast<uint8_t>(sum / 4);
    }
  }
  return out;
}
