// Mesh quality counts: non-manifold edges, flipped normals, degenerate triangles.
#pragma once

#include <cstdint>

#include "model.h"

// The edge table kept from one model to the next (a batch measures many
// files): cleared instead of fresh pages each time. Start from {}; release
// with quality_tables_free.
struct QualityTables {
  uint64_t* keys;
  uint8_t* uses;
  uint64_t capacity;  // slots allocated
};

// Writes the three counts; all 0 for an empty model, a model above 500000
// triangles, or when the edge table cannot be allocated. With tables, their
// buffers are used and kept (grown when too small); without, the table is
// allocated here and released.
void analyze_mesh_quality(const Model* model, int* non_manifold_edges, int* flipped_normals,
                          int* degenerate_tris, QualityTables* tables = nullptr);

void quality_tables_free(QualityTables* tables);
