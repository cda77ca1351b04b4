// Voxel occupancy mask over a 4x4x4 split of the bounding box.
#include "voxel.h"

// Truncate toward zero and clamp to 0..3 without converting an out-of-range
// or NaN float: NaN and negatives land in 0, anything from 4 on in 3.
static int cell_of(float scaled) {
  if (!(scaled >= 1.0f)) return 0;
  if (scaled >= 4.0f) return 3;
  return static_cast<int>(scaled);
}

uint64_t compute_voxel_grid(const Model* model) {
  if (model->count <= 0) return 0;
  float scale[3];
  for (int a = 0; a < 3; a++) {
    float extent = model->max[a] - model->min[a];
    scale[a] = extent < 1e-6f ? 4.0f : 4.0f / extent;
  }
  uint64_t mask = 0;
  for (int32_t i = 0; i < model->count; i++) {
    const float(*p)[3] = model->triangles[i].vertices;
    float samples[6][3];
    for (int a = 0; a < 3; a++) {
      samples[0][a] = p[0][a];
      samples[1][a] = p[1][a];
      samples[2][a] = p[2][a];
      samples[3][a] = (p[0][a] + p[1][a]) * 0.5f;
      samples[4][a] = (p[1][a] + p[2][a]) * 0.5f;
      samples[5][a] = (p[0][a] + p[2][a]) * 0.5f;
    }
    for (int s = 0; s < 6; s++) {
      int ix = cell_of((samples[s][0] - model->min[0]) * scale[0]);
      int iy = cell_of((samples[s][1] - model->min[1]) * scale[1]);
      int iz = cell_of((samples[s][2] - model->min[2]) * scale[2]);
      mask |= uint64_t{1} << (ix + 4 * iy + 16 * iz);
    }
  }
  return mask;
}
