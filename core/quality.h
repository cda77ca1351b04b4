// Mesh quality counts: non-manifold edges, flipped normals, degenerate triangles.
#pragma once

#include "model.h"

// Writes the three counts; all 0 for an empty model, a model above 500000
// triangles, or when the edge table cannot be allocated.
void analyze_mesh_quality(const Model* model, int* non_manifold_edges, int* flipped_normals,
                          int* degenerate_tris);
