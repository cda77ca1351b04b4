// Raw triangle stream: uint32 count, then count x 9 float32, little-endian.
#pragma once

#include <cstdio>

#include "model.h"

enum RawStreamResult {
  kRawStreamOk = 0,
  kRawStreamCannotParse = 2,  // short count, count above 50,000,000, no memory
  kRawStreamNoTriangles = 3,  // count 0, or a body shorter than one triangle
};

// Reads the stream from in (already in binary mode) into an initialised
// model, with unit facet normals from the winding.
RawStreamResult read_raw_triangles(FILE* in, Model* model);
