// Wavefront OBJ reader: geometric vertices and polygon faces into a Model.
#pragma once

#include "model.h"

// Fills model (its fields need not be set) with the fan triangles of every
// face line, in one pass, so a face sees only the vertices above it. Sets
// source_count to the number of vertex lines accepted.
// Returns 0 on success, also when no face is usable; the model then owns its
// triangle array and the caller frees it with model_free.
// Returns -1 when the file cannot be opened (the model is left untouched),
// or when reading fails or the vertex table or the model cannot grow (the
// model is then released: null array, count 0).
int parse_obj(const char* path, Model* model);
