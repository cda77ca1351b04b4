// Pictures with alpha: transparent halving, area resampling, flattening.
#include "image.h"

#include <cstdlib>

uint8_t* image_halve_transparent(const FrameBuffer* fb) {
  const int32_t out_w = fb->width > 0 ? fb->width / 2 : 0;
  const int32_t out_h = fb->height > 0 ? fb->height / 2 : 0;
  const size_t bytes = static_cast<size_t>(out_w) * static_cast<size_t>(out_h) * 4;
  uint8_t* out = static_cast<uint8_t*>(malloc(bytes ? bytes : 1));
  if (!out) return nullptr;
  const size_t width = static_cast<size_t>(fb->width);
  for (int32_t y = 0; y < out_h; y++) {
    for (int32_t x = 0; x < out_w; x++) {
      const size_t first = static_cast<size_t>(2 * y) * width + static_cast<size_t>(2 * x);
      const size_t block[4] = {first, first + 1, first + width, first + width + 1};
      unsigned n = 0, sum[3] = {0, 0, 0};
      for (size_t i : block) {
        if (!(fb->depth[i] > kLowestDepth)) continue;
        n++;
        for (int c = 0; c < 3; c++) sum[c] += fb->pixels[i * 4 + c];
      }
      uint8_t* dst = out + (static_cast<size_t>(y) * out_w + x) * 4;
      for (int c = 0; c < 3; c++) dst[c] = static_cast<uint8_t>(n ? sum[c] / n : 0);
      dst[3] = static_cast<uint8_t>((255 * n + 2) / 4);
    }
  }
  return out;
}

// Length of the overlap of [a0, a1) and [b0, b1).
static uint64_t overlap(uint64_t a0, uint64_t a1, uint64_t b0, uint64_t b1) {
  const uint64_t lo = a0 > b0 ? a0 : b0;
  const uint64_t hi = a1 < b1 ? a1 : b1;
  return hi > lo ? hi - lo : 0;
}

uint8_t* image_resample(const uint8_t* rgba, int32_t w, int32_t h, int32_t out_w, int32_t out_h) {
  if (w <= 0 || h <= 0 || out_w <= 0 || out_h <= 0) return nullptr;
  uint8_t* out = static_cast<uint8_t*>(malloc(static_cast<size_t>(out_w) * out_h * 4));
  if (!out) return nullptr;
  // In units where a source pixel is out_w (out_h) wide and an output pixel
  // w (h), both grids are whole numbers: the weights are exact integers that
  // add up to w x h for every output pixel.
  const uint64_t sw = static_cast<uint64_t>(out_w), sh = static_cast<uint64_t>(out_h);
  const uint64_t dw = static_cast<uint64_t>(w), dh = static_cast<uint64_t>(h);
  const uint64_t area = dw * dh;
  for (uint64_t oy = 0; oy < sh; oy++) {
    const uint64_t y0 = oy * dh, y1 = y0 + dh;
    const uint64_t row_first = y0 / sh, row_end = (y1 + sh - 1) / sh;
    for (uint64_t ox = 0; ox < sw; ox++) {
      const uint64_t x0 = ox * dw, x1 = x0 + dw;
      const uint64_t col_first = x0 / sw, col_end = (x1 + sw - 1) / sw;
      uint64_t alpha = 0, colour[3] = {0, 0, 0};
      for (uint64_t sy = row_first; sy < row_end; sy++) {
        const uint64_t wy = overlap(y0, y1, sy * sh, sy * sh + sh);
        const uint8_t* src_row = rgba + sy * dw * 4;
        for (uint64_t sx = col_first; sx < col_end; sx++) {
          const uint8_t* p = src_row + sx * 4;
          const uint64_t weight = wy * overlap(x0, x1, sx * sw, sx * sw + sw) * p[3];
          alpha += weight;
          for (int c = 0; c < 3; c++) colour[c] += weight * p[c];
        }
      }
      uint8_t* dst = out + (oy * sw + ox) * 4;
      for (int c = 0; c < 3; c++)
        dst[c] = static_cast<uint8_t>(alpha ? (colour[c] + alpha / 2) / alpha : 0);
      dst[3] = static_cast<uint8_t>((alpha + area / 2) / area);
    }
  }
  return out;
}

void image_flatten(uint8_t* rgba, uint64_t pixels, uint8_t background) {
  for (uint64_t i = 0; i < pixels; i++) {
    uint8_t* p = rgba + i * 4;
    const unsigned a = p[3];
    for (int c = 0; c < 3; c++)
      p[c] = static_cast<uint8_t>((p[c] * a + background * (255 - a) + 127) / 255);
    p[3] = 255;
  }
}
