// Orthographic software rasterizer: fixed view, three lights, flat shading.
#include "raster.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "blocks.h"

// Unit vectors along (5,7,8), (-6,3,5), (0,3,-2) and the key/view half vector.
const Lighting k_constant_lighting = {
    {0.4256282f, 0.5958795f, 0.6810052f},
    {-0.71713716f, 0.35856858f, 0.5976143f},
    {0.0f, 0.83205026f, -0.5547002f},
    {0.2321298f, 0.32498172f, 0.91678935f},
};

static const float kFit = 0.68f;
static const float kTurn = 0.70710677f;  // cos = sin of 45 degrees
static const float kTiltSin = 0.5735765f;
static const float kTiltCos = 0.819152f;
static const uint32_t kBackgroundPixel =
    0xFF000000u | kBackground << 16 | kBackground << 8 | kBackground;  // RGBA bytes in memory order

// Both planes share one block, the depth plane after the pixels, so that a
// picture at the default size fills one huge page.
static size_t block_bytes(const FrameBuffer* fb) {
  return static_cast<size_t>(fb->width) * static_cast<size_t>(fb->height) * 8;
}

static void fb_mark_clear(FrameBuffer* fb) {
  fb->x0 = fb->y0 = 0;
  fb->x1 = fb->y1 = -1;
}

FrameBuffer* fb_create(FrameBuffer* fb, int width, int height) {
  fb->pixels = nullptr;
  fb->depth = nullptr;
  fb->width = width;
  fb->height = height;
  fb_mark_clear(fb);
  if (width <= 0 || height <= 0) return fb;
  uint8_t* block = static_cast<uint8_t*>(big_block_alloc(block_bytes(fb)));
  if (!block) return fb;
  fb->pixels = block;
  fb->depth = reinterpret_cast<float*>(block + static_cast<size_t>(width) * height * 4);
  fb->x1 = width - 1;  // everything, once
  fb->y1 = height - 1;
  fb_clear(fb);
  return fb;
}

void fb_clear(FrameBuffer* fb) {
  if (!fb->pixels) return;
  // Locals, so that the stores (which may alias the record's fields) do not
  // make the loops reload them.
  const int y0 = fb->y0, y1 = fb->y1, n = fb->x1 - fb->x0 + 1;
  const size_t width = static_cast<size_t>(fb->width);
  uint32_t* const pixels = reinterpret_cast<uint32_t*>(fb->pixels) + fb->x0;
  float* const depth = fb->depth + fb->x0;
  for (int y = y0; y <= y1; y++) {
    uint32_t* p = pixels + static_cast<size_t>(y) * width;
    for (int x = 0; x < n; x++) p[x] = kBackgroundPixel;
    float* d = depth + static_cast<size_t>(y) * width;
    for (int x = 0; x < n; x++) d[x] = kLowestDepth;
  }
  fb_mark_clear(fb);
}

void fb_free(FrameBuffer* fb) {
  if (fb->pixels) big_block_free(fb->pixels, block_bytes(fb));
  fb->pixels = nullptr;
  fb->depth = nullptr;
}

static float dot3(const float a[3], const float b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// fmaxf and fminf as the C runtime computes them on x86-64 (a NaN argument
// gives the other one), inline; at equal values either may come back, which
// no caller can tell apart.
static inline float max_number(float a, float b) {
  if (b != b) return a;
  if (a != a) return b;
  return a > b ? a : b;
}

static inline float min_number(float a, float b) {
  if (b != b) return a;
  if (a != a) return b;
  return a < b ? a : b;
}

// x^32 by five squarings in double, rounded once: the correctly rounded
// power, so every platform's C runtime gives the same specular term (the
// runtimes' powf differ from it, and from each other, by an ulp at times).
static float pow32(float x) {
  double p = static_cast<double>(x) * static_cast<double>(x);
  p *= p;
  p *= p;
  p *= p;
  p *= p;
  return static_cast<float>(p);
}

static int channel(float base, float intensity, float specular) {
  float value = min_number(255.0f, base * intensity + specular);
  return value > 0.0f ? static_cast<int>(value) : 0;
}

// The flat colour of a triangle with view-space vertices v, as RGBA bytes in
// memory order with alpha 0.
static uint32_t shade(const float v[3][3], const Lighting* lights) {
  float e1[3] = {v[1][0] - v[0][0], v[1][1] - v[0][1], v[1][2] - v[0][2]};
  float e2[3] = {v[2][0] - v[0][0], v[2][1] - v[0][1], v[2][2] - v[0][2]};
  float n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                e1[0] * e2[1] - e1[1] * e2[0]};
  float length = sqrtf(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (length > 1e-10f) {
    float inv = 1.0f / length;
    n[0] *= inv;
    n[1] *= inv;
    n[2] *= inv;
  }
  if (n[2] < 0.0f) {  // two-sided: every face is lit as if it faced the viewer
    n[0] = -n[0];
    n[1] = -n[1];
    n[2] = -n[2];
  }
  float specular = pow32(max_number(0.0f, dot3(lights->half, n))) * 0.3f * 255.0f;
  float d1 = max_number(0.0f, dot3(lights->key, n));
  float d2 = max_number(0.0f, dot3(lights->fill, n));
  float d3 = max_number(0.0f, dot3(lights->top_back, n));
  float intensity = 0.18f + 0.55f * d1 + 0.25f * d2 + 0.15f * d3;
  if (intensity > 1.0f) intensity = 1.0f;
  const uint32_t red = static_cast<uint8_t>(channel(175.0f, intensity, specular));
  const uint32_t blue = static_cast<uint8_t>(channel(178.0f, intensity, specular));
  return red | red << 8 | blue << 16;
}

// One triangle's pixel test, in the order of operations every platform uses.
struct Setup {
  float px0, py0;
  float dx10, dy10, dx20, dy20;
  float inv_area;
  float tolerance;
  float z0, z1, z2;
};

// Where in a row the pixel test can pass. The test compares float
// barycentrics w0, w1, w2 with the tolerance; each differs from the exact
// value of its formula (on the same float inputs, linear in x along a row)
// by less than error = 2^-20 (1 + B1 + B2), twice a bound on the rounding of
// its few operations over the triangle's box (B1, B2: bounds on the
// magnitude of the two sums there). So a pixel can pass only where every
// exact value reaches tolerance - error, strictly inside the interval of the
// row where they reach tolerance - 2 error. That interval is found in double,
// whose rounding moves its ends by far less than the margin of error /
// slope (at least 4e-7 of a pixel, as B1 + B2 >= |slope| / 2), so the
// candidates are the whole pixels between its ends; the exact test still
// decides every one. Triangles far off the picture or with huge sums keep
// their whole box.
struct Spans {
  bool usable;
  double floor;       // tolerance - 2 error
  double slope[3];    // of the exact w0, w1, w2 along x
  double inverse[3];  // 1 / slope, or 0
  double across[3];   // of the exact w0, w1, w2 per unit of qy (w0 adds 1)
  double px0, py0;
  int x_min, x_max;
};

static const double kSpanReach = 1e7;  // coordinates and sums where double keeps a pixel exact
static const int kSpanWidth = 12;

static void spans_init(Spans* spans, const Setup& s, int x_min, int x_max, int y_min, int y_max) {
  const double inv = s.inv_area;
  const double qx = fmax(fabs(x_min + 0.5 - s.px0), fabs(x_max + 0.5 - s.px0));
  const double qy = fmax(fabs(y_min + 0.5 - s.py0), fabs(y_max + 0.5 - s.py0));
  const double b1 = fabs(inv) * (fabs(s.dy20) * qx + fabs(s.dx20) * qy);
  const double b2 = fabs(inv) * (fabs(s.dx10) * qy + fabs(s.dy10) * qx);
  const double error = (1.0 + b1 + b2) * (1.0 / 1048576.0) + 1e-30;
  spans->usable = fabs(s.px0) < kSpanReach && fabs(s.py0) < kSpanReach && b1 + b2 < kSpanReach;
  spans->floor = s.tolerance - 2.0 * error;
  spans->slope[1] = inv * s.dy20;
  spans->slope[2] = -inv * s.dy10;
  spans->slope[0] = -(spans->slope[1] + spans->slope[2]);
  for (int i = 0; i < 3; i++)
    spans->inverse[i] = spans->slope[i] != 0.0 ? 1.0 / spans->slope[i] : 0.0;
  spans->across[1] = -inv * s.dx20;
  spans->across[2] = inv * s.dx10;
  spans->across[0] = -(spans->across[1] + spans->across[2]);
  spans->px0 = s.px0;
  spans->py0 = s.py0;
  spans->x_min = x_min;
  spans->x_max = x_max;
}

// Narrows [*from, *to] to the candidate pixels of row y; false when none.
static bool row_span(const Spans& spans, int y, int* from, int* to) {
  const double qy = y + 0.5 - spans.py0;
  // With X = x + 0.5 - px0, the exact w_i is value_i + slope_i * X.
  double low = -HUGE_VAL, high = HUGE_VAL;
  for (int i = 0; i < 3; i++) {
    const double value = spans.across[i] * qy + (i == 0 ? 1.0 : 0.0);
    const double slope = spans.slope[i];
    if (slope > 0.0) {
      const double bound = (spans.floor - value) * spans.inverse[i];
      if (bound > low) low = bound;
    } else if (slope < 0.0) {
      const double bound = (spans.floor - value) * spans.inverse[i];
      if (bound < high) high = bound;
    } else if (value < spans.floor) {
      return false;
    }
  }
  const double left = low - 0.5 + spans.px0, right = high - 0.5 + spans.px0;
  if (!(left <= spans.x_max) || !(right >= spans.x_min)) return false;
  // Ceiling and floor by truncation: both lie in [x_min, x_max] here.
  if (left > spans.x_min) {
    *from = static_cast<int>(left);
    if (*from < left) ++*from;
  }
  if (right < spans.x_max) *to = static_cast<int>(right);
  return *from <= *to;
}

#ifdef __SSE2__
// What a triangle's groups of four pixels share.
struct Lanes {
  __m128 half, one, four, px0, dx10, dy10, dx20, dy20, inv_area, tolerance, z0, z1, z2;
  __m128i alpha;
};

// Tests and draws the four pixels from x of one row (those of them before
// end when kLast); each lane computes exactly the scalar expressions of
// draw_triangle. The colour and its lanes are made on the first pixel drawn.
template <bool kLast>
static inline void draw_group(const Lanes& l, __m128 centres, __m128 dx20_qy, __m128 dx10_qy,
                              int x, int end, uint8_t* row, float* depth_row, const float v[3][3],
                              const Lighting* lights, int64_t* colour, __m128i* rgb) {
  const __m128 qx = _mm_sub_ps(centres, l.px0);
  const __m128 w1 = _mm_mul_ps(_mm_sub_ps(_mm_mul_ps(l.dy20, qx), dx20_qy), l.inv_area);
  const __m128 w2 = _mm_mul_ps(_mm_sub_ps(dx10_qy, _mm_mul_ps(l.dy10, qx)), l.inv_area);
  const __m128 w0 = _mm_sub_ps(_mm_sub_ps(l.one, w1), w2);
  __m128 inside = _mm_and_ps(_mm_cmpge_ps(w0, l.tolerance), _mm_cmpge_ps(w1, l.tolerance));
  inside = _mm_and_ps(inside, _mm_cmpge_ps(w2, l.tolerance));
  if (kLast) {
    const __m128i xs = _mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3));
    inside = _mm_and_ps(inside, _mm_castsi128_ps(_mm_cmplt_epi32(xs, _mm_set1_epi32(end))));
  }
  if (_mm_movemask_ps(inside) == 0) return;
  const __m128 z =
      _mm_add_ps(_mm_add_ps(_mm_mul_ps(w0, l.z0), _mm_mul_ps(w1, l.z1)), _mm_mul_ps(w2, l.z2));
  const __m128 old_depth = _mm_loadu_ps(depth_row + x);
  const __m128 nearer = _mm_and_ps(inside, _mm_cmpgt_ps(z, old_depth));
  if (_mm_movemask_ps(nearer) == 0) return;
  if (*colour < 0) {
    *colour = shade(v, lights);
    *rgb = _mm_set1_epi32(static_cast<int>(*colour));
  }
  _mm_storeu_ps(depth_row + x, _mm_or_ps(_mm_and_ps(nearer, z), _mm_andnot_ps(nearer, old_depth)));
  // Red, green and blue of the drawn lanes change; alpha stays.
  const __m128i mask = _mm_castps_si128(nearer);
  __m128i* at = reinterpret_cast<__m128i*>(row + static_cast<size_t>(x) * 4);
  const __m128i old = _mm_loadu_si128(at);
  const __m128i kept = _mm_andnot_si128(_mm_andnot_si128(l.alpha, mask), old);
  _mm_storeu_si128(at, _mm_or_si128(kept, _mm_and_si128(mask, *rgb)));
}
#endif

// Draws the triangle's pixels in rows y_min..y_max, each within [x_min,
// x_max] or its span: those that pass the test and lie nearer than the depth
// buffer. The colour is computed on the first such pixel, as most triangles
// of a big mesh draw none.
static void draw_triangle(const Setup& s, const Spans* spans, FrameBuffer* fb, int x_min, int x_max,
                          int y_min, int y_max, const float v[3][3], const Lighting* lights) {
  int64_t colour = -1;
#ifdef __SSE2__
  Lanes l;
  l.half = _mm_set1_ps(0.5f);
  l.one = _mm_set1_ps(1.0f);
  l.four = _mm_set1_ps(4.0f);
  l.px0 = _mm_set1_ps(s.px0);
  l.dx10 = _mm_set1_ps(s.dx10);
  l.dy10 = _mm_set1_ps(s.dy10);
  l.dx20 = _mm_set1_ps(s.dx20);
  l.dy20 = _mm_set1_ps(s.dy20);
  l.inv_area = _mm_set1_ps(s.inv_area);
  l.tolerance = _mm_set1_ps(s.tolerance);
  l.z0 = _mm_set1_ps(s.z0);
  l.z1 = _mm_set1_ps(s.z1);
  l.z2 = _mm_set1_ps(s.z2);
  l.alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  __m128i rgb = _mm_setzero_si128();
#endif
  const int width = fb->width;
  for (int y = y_min; y <= y_max; y++) {
    int from = x_min, to = x_max;
    if (spans && !row_span(*spans, y, &from, &to)) continue;
    const float qy = static_cast<float>(y) + 0.5f - s.py0;
    uint8_t* row = fb->pixels + static_cast<size_t>(y) * width * 4;
    float* depth_row = fb->depth + static_cast<size_t>(y) * width;
#ifdef __SSE2__
    const __m128 vqy = _mm_set1_ps(qy);
    const __m128 dx20_qy = _mm_mul_ps(l.dx20, vqy), dx10_qy = _mm_mul_ps(l.dx10, vqy);
    int x = from;
    // Lane i holds x + i + 0.5, exact in float for any picture size, so
    // stepping by 4 gives the values the scalar code computes. Groups of four
    // stay inside the row; the last pixels of the picture's rows are tested
    // one by one below.
    __m128 centres = _mm_add_ps(
        _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3))), l.half);
    const int last_whole = (to < width - 1 ? to : width - 1) - 3;  // groups wholly in the span
    for (; x <= last_whole; x += 4, centres = _mm_add_ps(centres, l.four)) {
      draw_group<false>(l, centres, dx20_qy, dx10_qy, x, 0, row, depth_row, v, lights, &colour,
                        &rgb);
    }
    if (x <= to && x + 3 < width) {
      draw_group<true>(l, centres, dx20_qy, dx10_qy, x, to + 1, row, depth_row, v, lights,
                       &colour, &rgb);
      x += 4;
    }
#else
    int x = from;
#endif
    for (; x <= to; x++) {
      float qx = static_cast<float>(x) + 0.5f - s.px0;
      float w1 = (s.dy20 * qx - s.dx20 * qy) * s.inv_area;
      float w2 = (s.dx10 * qy - s.dy10 * qx) * s.inv_area;
      float w0 = 1.0f - w1 - w2;
      if (w0 >= s.tolerance && w1 >= s.tolerance && w2 >= s.tolerance) {
        float z = w0 * s.z0 + w1 * s.z1 + w2 * s.z2;
        if (z > depth_row[x]) {
          if (colour < 0) {
            colour = shade(v, lights);
#ifdef __SSE2__
            rgb = _mm_set1_epi32(static_cast<int>(colour));  // for the groups of later rows
#endif
          }
          depth_row[x] = z;
          row[x * 4 + 0] = static_cast<uint8_t>(colour);
          row[x * 4 + 1] = static_cast<uint8_t>(colour >> 8);
          row[x * 4 + 2] = static_cast<uint8_t>(colour >> 16);
        }
      }
    }
  }
}

void render_thumbnail(const Model* model, FrameBuffer* fb, const Lighting* lights) {
  if (model->count <= 0 || !fb->pixels) return;
  const int width = fb->width;
  const int height = fb->height;

  float extent = model->max[0] - model->min[0];
  float ey = model->max[1] - model->min[1];
  float ez = model->max[2] - model->min[2];
  if (ey > extent) extent = ey;
  if (ez > extent) extent = ez;
  if (extent < 1e-6f) extent = 1.0f;
  const float w_f = static_cast<float>(width);
  const float scale = (kFit * w_f) / extent;
  const float half = w_f * 0.5f;
  float c[3];
  for (int a = 0; a < 3; a++) c[a] = (model->min[a] + model->max[a]) * 0.5f;
  const float last_x = static_cast<float>(width - 1), last_y = static_cast<float>(height - 1);
#ifdef __SSE2__
  const __m128 lane_c0 = _mm_set1_ps(c[0]), lane_c1 = _mm_set1_ps(c[1]);
  const __m128 lane_c2 = _mm_set1_ps(c[2]);
  const __m128 lane_turn = _mm_set1_ps(kTurn), lane_minus_turn = _mm_set1_ps(-kTurn);
  const __m128 lane_tilt_sin = _mm_set1_ps(kTiltSin), lane_tilt_cos = _mm_set1_ps(kTiltCos);
  const __m128 lane_half = _mm_set1_ps(half), lane_scale = _mm_set1_ps(scale);
#endif

  for (int32_t i = 0; i < model->count; i++) {
    const Triangle& tri = model->triangles[i];
    float v[3][3], px[3], py[3];
#ifdef __SSE2__
    // The three vertices in three lanes (the fourth repeats one), each lane
    // computing exactly the scalar formulas below.
    {
      const __m128 l0 = _mm_loadu_ps(&tri.vertices[0][0]);                 // x0 y0 z0 x1
      const __m128 l1 = _mm_loadu_ps(&tri.vertices[1][1]);                 // y1 z1 x2 y2
      const __m128 l2 = _mm_loadu_ps(&tri.vertices[2][2]);                 // z2, then the normal
      const __m128 xs0 = _mm_shuffle_ps(l0, l1, _MM_SHUFFLE(2, 0, 3, 0));  // x0 x1 y1 x2
      const __m128 ys0 = _mm_shuffle_ps(l0, l1, _MM_SHUFFLE(3, 0, 1, 1));  // y0 y0 y1 y2
      const __m128 zs0 = _mm_shuffle_ps(l0, l1, _MM_SHUFFLE(1, 1, 2, 2));  // z0 z0 z1 z1
      const __m128 x = _mm_shuffle_ps(xs0, xs0, _MM_SHUFFLE(3, 3, 1, 0));
      const __m128 y = _mm_shuffle_ps(ys0, ys0, _MM_SHUFFLE(3, 3, 2, 0));
      const __m128 z = _mm_shuffle_ps(zs0, l2, _MM_SHUFFLE(0, 0, 2, 0));
      const __m128 a = _mm_mul_ps(_mm_sub_ps(x, lane_c0), lane_turn);
      const __m128 b = _mm_mul_ps(_mm_sub_ps(z, lane_c2), lane_minus_turn);
      const __m128 yy = _mm_sub_ps(y, lane_c1);
      const __m128 a_b = _mm_sub_ps(a, b);
      const __m128 v0 = _mm_add_ps(a, b);
      const __m128 v1 = _mm_sub_ps(_mm_mul_ps(lane_tilt_cos, yy), _mm_mul_ps(lane_tilt_sin, a_b));
      const __m128 v2 = _mm_add_ps(_mm_mul_ps(lane_tilt_sin, yy), _mm_mul_ps(lane_tilt_cos, a_b));
      float out[5][4];
      _mm_storeu_ps(out[0], v0);
      _mm_storeu_ps(out[1], v1);
      _mm_storeu_ps(out[2], v2);
      _mm_storeu_ps(out[3], _mm_add_ps(lane_half, _mm_mul_ps(lane_scale, v0)));
      _mm_storeu_ps(out[4], _mm_sub_ps(lane_half, _mm_mul_ps(lane_scale, v1)));
      for (int k = 0; k < 3; k++) {
        for (int j = 0; j < 3; j++) v[k][j] = out[j][k];
        px[k] = out[3][k];
        py[k] = out[4][k];
      }
    }
#else
    for (int k = 0; k < 3; k++) {
      float a = (tri.vertices[k][0] - c[0]) * kTurn;
      float b = (tri.vertices[k][2] - c[2]) * (-kTurn);
      float y = tri.vertices[k][1] - c[1];
      v[k][0] = a + b;
      v[k][1] = kTiltCos * y - kTiltSin * (a - b);
      v[k][2] = kTiltSin * y + kTiltCos * (a - b);
      px[k] = half + scale * v[k][0];
      py[k] = half - scale * v[k][1];
    }
#endif

    const float dx10 = px[1] - px[0], dy10 = py[1] - py[0];
    const float dx20 = px[2] - px[0], dy20 = py[2] - py[0];
    const float area = dx10 * dy20 - dx20 * dy10;
    if (fabsf(area) < 0.01f) continue;

    // The pixel box: ceil of the largest and floor of the smallest
    // coordinate, clamped to the picture. Decided on the floats first, so
    // NaN, infinite or huge coordinates never reach a conversion: ceil(m) >= 0
    // exactly when m > -1, ceil(m) >= width when m > width - 1, floor(m) <=
    // width - 1 when m < width, floor(m) < 0 when m < 0.
    const float x_high = max_number(max_number(px[0], px[1]), px[2]);
    const float y_high = max_number(max_number(py[0], py[1]), py[2]);
    const float x_low = min_number(min_number(px[0], px[1]), px[2]);
    const float y_low = min_number(min_number(py[0], py[1]), py[2]);
    if (!(x_high > -1.0f) || !(y_high > -1.0f)) continue;
    if (!(x_low < static_cast<float>(width)) || !(y_low < static_cast<float>(height))) continue;
    int x_max = width - 1, y_max = height - 1;
    if (!(x_high > last_x)) {
      x_max = static_cast<int>(x_high);  // truncation, then up to the ceiling
      if (static_cast<float>(x_max) < x_high) x_max++;
    }
    if (!(y_high > last_y)) {
      y_max = static_cast<int>(y_high);
      if (static_cast<float>(y_max) < y_high) y_max++;
    }
    const int x_min = x_low < 0.0f ? 0 : static_cast<int>(x_low);
    const int y_min = y_low < 0.0f ? 0 : static_cast<int>(y_low);
    if (y_min > y_max || x_min > x_max) continue;
    if (fb->x0 > fb->x1) {
      fb->x0 = x_min;
      fb->x1 = x_max;
      fb->y0 = y_min;
      fb->y1 = y_max;
    } else {
      fb->x0 = x_min < fb->x0 ? x_min : fb->x0;
      fb->x1 = x_max > fb->x1 ? x_max : fb->x1;
      fb->y0 = y_min < fb->y0 ? y_min : fb->y0;
      fb->y1 = y_max > fb->y1 ? y_max : fb->y1;
    }

    float root = sqrtf(fabsf(area));
    Setup s;
    s.tolerance = root > 0.1f ? -0.75f / root : -0.5f;
    s.px0 = px[0];
    s.py0 = py[0];
    s.dx10 = dx10;
    s.dy10 = dy10;
    s.dx20 = dx20;
    s.dy20 = dy20;
    s.inv_area = 1.0f / area;
    s.z0 = v[0][2];
    s.z1 = v[1][2];
    s.z2 = v[2][2];
    // Boxes a few groups of four wide are tested whole: narrowing costs more.
    Spans spans;
    const bool narrow = x_max - x_min >= kSpanWidth;
    if (narrow) spans_init(&spans, s, x_min, x_max, y_min, y_max);
    draw_triangle(s, narrow && spans.usable ? &spans : nullptr, fb, x_min, x_max, y_min, y_max, v,
                  lights);
  }
}
