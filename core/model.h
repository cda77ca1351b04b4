// Mesh model: the triangle array every reader fills and every stage works on.
#pragma once

#include <cstdint>

constexpr float kFloatMax = 3.4028235e38f;  // largest finite float: the empty box
constexpr int32_t kModelInitialCapacity = 4096;

// Vertices first, facet normal last (binary STL stores the normal first).
struct Triangle {
  float vertices[3][3];
  float normal[3];
};

struct Model {
  // Owned by the model functions (huge pages when large, see blocks.h): made,
  // grown and released only by model_init, model_grow and model_free.
  Triangle* triangles;
  int32_t count;
  int32_t capacity;
  float min[3];
  float max[3];
  int32_t source_count;  // reported as "vertex_count"
  int32_t is_binary;
};

// Creates an empty model with room for 4096 triangles and an inverted box.
// Returns 0, or -1 when the block cannot be allocated (the model is then
// empty with a null array, and model_free is still safe).
int model_init(Model* model);

// Empties the model for the next file as model_init would, but keeps the
// array with the capacity it has grown to (a batch reads many files).
void model_clear(Model* model);

// Releases the triangle array. Safe on a failed or already freed model.
void model_free(Model* model);

// Doubles the capacity. Returns -1, leaving the model as it was, when the
// block cannot be reallocated or the capacity would leave int32 range.
int model_grow(Model* model);

// Widens the box by the three vertices: independent strict tests, so NaN
// never moves it and the first triangle sets both ends.
inline void model_widen_box(Model* model, const Triangle* tri) {
  for (int v = 0; v < 3; v++) {
    for (int a = 0; a < 3; a++) {
      float value = tri->vertices[v][a];
      if (model->min[a] > value) model->min[a] = value;
      if (value > model->max[a]) model->max[a] = value;
    }
  }
}

// Appends a copy of tri and widens the box. Returns 0, or -1 when the array
// cannot grow; the model is then unchanged and must not be appended to.
inline int model_push(Model* model, const Triangle* tri) {
  if (model->count >= model->capacity && model_grow(model) != 0) return -1;
  model->triangles[model->count++] = *tri;
  model_widen_box(model, tri);
  return 0;
}

// Scales v to unit length when its length is above 1e-10; otherwise leaves
// it unchanged. Single precision: sqrt((x*x + y*y) + z*z), one reciprocal.
void vec3_normalize(float v[3]);

// Facet normal (p1 - p0) x (p2 - p0), normalised with vec3_normalize.
void facet_normal(const float p0[3], const float p1[3], const float p2[3], float n[3]);
