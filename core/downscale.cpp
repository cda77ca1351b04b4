// 2x2 box-filter downscale with a truncating average.
#include "downscale.h"

#include <cstdlib>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

void downscale_2x_rect(const uint8_t* pixels, int width, uint8_t* out, size_t stride, int x0,
                       int y0, int x1, int y1) {
  const size_t in_stride = static_cast<size_t>(width) * 4;
  for (int y = y0; y < y1; y++) {
    const uint8_t* top = pixels + static_cast<size_t>(2 * y) * in_stride;
    const uint8_t* bottom = top + in_stride;
    uint8_t* dst = out + static_cast<size_t>(y) * stride;
    int x = x0;
#ifdef __SSE2__
    // Two output pixels from four input pixels of each row: sums of the 16-bit
    // channels, the horizontal neighbours added, divided by 4.
    const __m128i zero = _mm_setzero_si128();
    for (; x + 2 <= x1; x += 2) {
      const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + 8 * x));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + 8 * x));
      const __m128i low = _mm_add_epi16(_mm_unpacklo_epi8(t, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i high = _mm_add_epi16(_mm_unpackhi_epi8(t, zero), _mm_unpackhi_epi8(b, zero));
      const __m128i pairs = _mm_unpacklo_epi64(_mm_add_epi16(low, _mm_srli_si128(low, 8)),
                                               _mm_add_epi16(high, _mm_srli_si128(high, 8)));
      const __m128i mean = _mm_srli_epi16(pairs, 2);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 4 * x), _mm_packus_epi16(mean, zero));
    }
#endif
    for (; x < x1; x++) {
      for (int c = 0; c < 4; c++) {
        const int left = 8 * x + c;
        const unsigned sum = top[left] + top[left + 4] + bottom[left] + bottom[left + 4];
        dst[4 * x + c] = static_cast<uint8_t>(sum / 4);
      }
    }
  }
}

void downscale_2x_into(const uint8_t* pixels, int width, int height, uint8_t* out, size_t stride) {
  const int out_w = width > 0 ? width / 2 : 0;
  const int out_h = height > 0 ? height / 2 : 0;
  downscale_2x_rect(pixels, width, out, stride, 0, 0, out_w, out_h);
}

uint8_t* downscale_2x(const uint8_t* pixels, int width, int height) {
  const int out_w = width > 0 ? width / 2 : 0;
  const int out_h = height > 0 ? height / 2 : 0;
  size_t bytes = static_cast<size_t>(out_w) * static_cast<size_t>(out_h) * 4;
  uint8_t* out = static_cast<uint8_t*>(malloc(bytes ? bytes : 1));
  if (!out) return nullptr;
  downscale_2x_into(pixels, width, height, out, static_cast<size_t>(out_w) * 4);
  return out;
}
