// The UV-sphere meshes the benchmarks share.
#pragma once

#include "model.h"

// Appends rings x segments quads, two triangles each with its facet normal;
// point(r, s, p) writes grid point (r, s) to p[0..2].
template <typename Point>
void push_uv_sphere(Model* model, int rings, int segments, Point point) {
  for (int r = 0; r < rings; r++) {
    for (int s = 0; s < segments; s++) {
      Triangle a, b;
      point(r, s, a.vertices[0]);
      point(r + 1, s, a.vertices[1]);
      point(r + 1, s + 1, a.vertices[2]);
      point(r, s, b.vertices[0]);
      point(r + 1, s + 1, b.vertices[1]);
      point(r, s + 1, b.vertices[2]);
      facet_normal(a.vertices[0], a.vertices[1], a.vertices[2], a.normal);
      facet_normal(b.vertices[0], b.vertices[1], b.vertices[2], b.normal);
      model_push(model, &a);
      model_push(model, &b);
    }
  }
}
