// 4x4x4 voxel occupancy mask of a model's surface samples.
#pragma once

#include <cstdint>

#include "model.h"

// Bit ix + 4*iy + 16*iz for the cell of every vertex and edge midpoint.
uint64_t compute_voxel_grid(const Model* model);
