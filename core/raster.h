// Framebuffer and the orthographic, depth-buffered, flat-shaded rasterizer.
#pragma once

#include <cstdint>

#include "model.h"

constexpr uint8_t kBackground = 245;
constexpr float kLowestDepth = -3.4028235e38f;

struct FrameBuffer {
  uint8_t* pixels;  // RGBA, top row first
  float* depth;     // larger is nearer
  int32_t width;
  int32_t height;
  // The box of the pixels render_thumbnail may have drawn since the planes
  // were last cleared (x0 > x1 when none); outside it both planes hold the
  // cleared values.
  int32_t x0, y0, x1, y1;
};

// Unit light directions in view space. The rasterizer takes them as data
// because one program derives them at run time and lands one ulp away from
// the constants the others use.
struct Lighting {
  float key[3];
  float fill[3];
  float top_back[3];
  float half[3];  // specular half vector between key light and view
};

extern const Lighting k_constant_lighting;

// Allocates and clears both planes (background colour, lowest depth) and
// returns fb. When either allocation fails, or the size is not positive,
// both pointers are null and nothing stays allocated. The caller frees the
// planes with fb_free. Both planes lie in one block (huge pages where the
// platform gives them); only fb_free releases it.
FrameBuffer* fb_create(FrameBuffer* fb, int width, int height);
void fb_free(FrameBuffer* fb);

// Clears both planes again, so that one frame buffer serves many pictures
// (clearing costs less than first touching fresh pages): the drawn box only,
// the rest being clear already. No-op without planes.
void fb_clear(FrameBuffer* fb);

// Draws every triangle of the model, framed by its box, into a square fb.
void render_thumbnail(const Model* model, FrameBuffer* fb,
                      const Lighting* lights = &k_constant_lighting);
