// Mesh model: creation, growth and the shared vector helpers.
#include "model.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "blocks.h"

static size_t array_bytes(int32_t capacity) {
  return sizeof(Triangle) * static_cast<size_t>(capacity);
}

int model_init(Model* model) {
  model->triangles = static_cast<Triangle*>(big_block_alloc(array_bytes(kModelInitialCapacity)));
  model->capacity = model->triangles ? kModelInitialCapacity : 0;
  model_clear(model);
  return model->triangles ? 0 : -1;
}

void model_clear(Model* model) {
  model->count = 0;
  for (int a = 0; a < 3; a++) {
    model->min[a] = kFloatMax;
    model->max[a] = -kFloatMax;
  }
  model->source_count = 0;
  model->is_binary = 0;
}

void model_free(Model* model) {
  big_block_free(model->triangles, array_bytes(model->capacity));
  model->triangles = nullptr;
  model->count = 0;
  model->capacity = 0;
}

int model_grow(Model* model) {
  if (!model->triangles || model->capacity > INT32_MAX / 2) return -1;
  int32_t capacity = model->capacity * 2;
  void* grown =
      big_block_grow(model->triangles, array_bytes(model->capacity), array_bytes(capacity));
  if (!grown) return -1;
  model->triangles = static_cast<Triangle*>(grown);
  model->capacity = capacity;
  return 0;
}

void vec3_normalize(float v[3]) {
  float length = sqrtf(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (length > 1e-10f) {
    float inv = 1.0f / length;
    v[0] *= inv;
    v[1] *= inv;
    v[2] *= inv;
  }
}

void facet_normal(const float p0[3], const float p1[3], const float p2[3], float n[3]) {
  float e1[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
  float e2[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
  n[0] = e1[1] * e2[2] - e1[2] * e2[1];
  n[1] = e1[2] * e2[0] - e1[0] * e2[2];
  n[2] = e1[0] * e2[1] - e1[1] * e2[0];
  vec3_normalize(n);
}
