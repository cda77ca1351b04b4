// Automatic orientation onto the most plausible resting face.
#pragma once

#include <cstdint>

#include "model.h"

// The tables of the orientation kept from one model to the next (a batch
// turns many files), so that each file reuses pages instead of touching
// fresh ones. Start from {}; the fields belong to the orientation; release
// with orient_workspace_free.
struct OrientWorkspace {
  void* clusters;  // the cluster table
  int32_t cluster_capacity;
  void* keys;   // the search index: packed keys and extra list (index_capacity
  void* extra;  // clusters each), slot table and list blocks
  int32_t index_capacity;
  void* slots;
  uint32_t slot_count;
  void* blocks;
  int32_t block_capacity;
};

// Rotates vertices and stored normals about the origin so that the chosen
// resting face points to (0, -1, 0), then recomputes the box. Leaves the model
// untouched when it refuses (no or too many triangles, tiny box, no area, or
// no memory for the cluster table). With a workspace, its tables are used and
// kept; without, they are allocated here and released.
void auto_orient_model(Model* model, OrientWorkspace* workspace = nullptr);

void orient_workspace_free(OrientWorkspace* workspace);
