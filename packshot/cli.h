// packshot's command line: --parse-3mf and --render-3mf.
#pragma once

#include <cstdio>

#include "builder.h"
#include "model.h"
#include "platform.h"

// Writes the object mesh stream of a built model to out (little-endian):
// object count, then per object its name length and name, vertex count and
// vertices (9 floats per triangle), triangle count and indices 3t, 3t+1,
// 3t+2. A run reaching past the Model is clipped. Returns 0, or -1 when a
// write fails.
int write_object_mesh_stream(FILE* out, const Model* model, const ObjectInfo* infos, int n);

// The whole program; returns the process exit code.
int packshot_main(const ProgramArgs* args);
