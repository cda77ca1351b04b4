// Feeds arbitrary triangles (any float bit patterns: NaN, infinities, huge,
// denormal, degenerate) through orientation, decimation, both measures, the
// rasterizer, the downscale and the PNG writer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "decimate.h"
#include "downscale.h"
#include "orient.h"
#include "png.h"
#include "quality.h"
#include "raster.h"
#include "voxel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int side = 2 * (data[0] % 32 + 1);  // an even framebuffer, 2..64
  const bool raw_normals = (data[0] & 0x80) != 0;
  const int budget = data[1] % 16;
  data += 2;
  size -= 2;
  Model model;
  if (model_init(&model) != 0) return 0;
  // Nine coordinates per triangle; the facet normal is derived, or taken from
  // the input too when the first byte's top bit says so.
  const size_t stride = (raw_normals ? 12 : 9) * sizeof(float);
  for (size_t at = 0; at + stride <= size; at += stride) {
    Triangle tri;
    memcpy(tri.vertices, data + at, 9 * sizeof(float));
    if (raw_normals) {
      memcpy(tri.normal, data + at + 9 * sizeof(float), sizeof tri.normal);
    } else {
      facet_normal(tri.vertices[0], tri.vertices[1], tri.vertices[2], tri.normal);
    }
    if (model_push(&model, &tri) != 0) break;
  }
  model.source_count = model.count * 3;
  int a, b, c;
  analyze_mesh_quality(&model, &a, &b, &c);
  compute_voxel_grid(&model);
  auto_orient_model(&model);
  decimate_inplace(&model, budget == 0 ? 500000 : budget);
  FrameBuffer fb;
  if (fb_create(&fb, side, side)->pixels) {
    render_thumbnail(&model, &fb);
    uint8_t* small = downscale_2x(fb.pixels, fb.width, fb.height);
    if (small) {
      uint8_t* png = nullptr;
      size_t png_len = 0;
      if (png_encode(small, fb.width / 2, fb.height / 2, &png, &png_len) == 0) free(png);
      free(small);
    }
    fb_free(&fb);
  }
  model_free(&model);
  return 0;
}
