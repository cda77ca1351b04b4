// Orthographic software rasterizer: fixed view, three lights, flat shading.
#include "raster.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

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

FrameBuffer* fb_create(FrameBuffer* fb, int width, int height) {
  fb->pixels = nullptr;
  fb->depth = nullptr;
  fb->width = width;
  fb->height = height;
  if (width <= 0 || height <= 0) return fb;
  size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
  fb->pixels = static_cast<uint8_t*>(calloc(n, 4));
  fb->depth = static_cast<float*>(malloc(n * sizeof(float)));
  if (!fb->pixels || !fb->depth) {
    fb_free(fb);
    return fb;
  }
  for (size_t i = 0; i < n; i++) {
    uint8_t* p = fb->pixels + i * 4;
    p[0] = p[1] = p[2] = kBackground;
    p[3] = 255;
    fb->depth[i] = kLowestDepth;
  }
  return fb;
}

void fb_free(FrameBuffer* fb) {
  free(fb->pixels);
  free(fb->depth);
  fb->pixels = nullptr;
  fb->depth = nullptr;
}

static float dot3(const float a[3], const float b[3]) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
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
  float value = fminf(255.0f, base * intensity + specular);
  return value > 0.0f ? static_cast<int>(value) : 0;
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

  for (int32_t i = 0; i < model->count; i++) {
    const Triangle& tri = model->triangles[i];
    float v[3][3], px[3], py[3];
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

    const float dx10 = px[1] - px[0], dy10 = py[1] - py[0];
    const float dx20 = px[2] - px[0], dy20 = py[2] - py[0];
    const float area = dx10 * dy20 - dx20 * dy10;
    if (fabsf(area) < 0.01f) continue;

    // Bounds are clamped as floats before any conversion, so NaN, infinite
    // or huge coordinates never reach an out-of-range float-to-int cast.
    float fx_max = ceilf(fmaxf(fmaxf(px[0], px[1]), px[2]));
    float fy_max = ceilf(fmaxf(fmaxf(py[0], py[1]), py[2]));
    float fx_min = floorf(fminf(fminf(px[0], px[1]), px[2]));
    float fy_min = floorf(fminf(fminf(py[0], py[1]), py[2]));
    if (!(fx_max >= 0.0f) || !(fy_max >= 0.0f)) continue;
    if (!(fx_min <= static_cast<float>(width - 1)) || !(fy_min <= static_cast<float>(height - 1)))
      continue;
    int x_max = fx_max >= static_cast<float>(width) ? width - 1 : static_cast<int>(fx_max);
    int y_max = fy_max >= static_cast<float>(height) ? height - 1 : static_cast<int>(fy_max);
    int x_min = fx_min < 0.0f ? 0 : static_cast<int>(fx_min);
    int y_min = fy_min < 0.0f ? 0 : static_cast<int>(fy_min);
    if (y_min > y_max || x_min > x_max) continue;

    float root = sqrtf(fabsf(area));
    float tolerance = root > 0.1f ? -0.75f / root : -0.5f;

    float specular = pow32(fmaxf(0.0f, dot3(lights->half, n))) * 0.3f * 255.0f;
    float d1 = fmaxf(0.0f, dot3(lights->key, n));
    float d2 = fmaxf(0.0f, dot3(lights->fill, n));
    float d3 = fmaxf(0.0f, dot3(lights->top_back, n));
    float intensity = 0.18f + 0.55f * d1 + 0.25f * d2 + 0.15f * d3;
    if (intensity > 1.0f) intensity = 1.0f;
    const uint8_t red = static_cast<uint8_t>(channel(175.0f, intensity, specular));
    const uint8_t blue = static_cast<uint8_t>(channel(178.0f, intensity, specular));

    const float inv_area = 1.0f / area;
    for (int y = y_min; y <= y_max; y++) {
      float qy = static_cast<float>(y) + 0.5f - py[0];
      uint8_t* row = fb->pixels + static_cast<size_t>(y) * width * 4;
      float* depth_row = fb->depth + static_cast<size_t>(y) * width;
      for (int x = x_min; x <= x_max; x++) {
        float qx = static_cast<float>(x) + 0.5f - px[0];
        float w1 = (dy20 * qx - dx20 * qy) * inv_area;
        float w2 = (dx10 * qy - dy10 * qx) * inv_area;
        float w0 = 1.0f - w1 - w2;
        if (w0 >= tolerance && w1 >= tolerance && w2 >= tolerance) {
          float z = w0 * v[0][2] + w1 * v[1][2] + w2 * v[2][2];
          if (z > depth_row[x]) {
            depth_row[x] = z;
            row[x * 4 + 0] = red;
            row[x * 4 + 1] = red;
            row[x * 4 + 2] = blue;
          }
        }
      }
    }
  }
}
