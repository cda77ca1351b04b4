// Wavefront OBJ reader: geometric vertices and polygon faces into a Model.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The same on the bytes [data, data + size) of a whole file, which the
// caller owns and which are only read (data may be null when size is 0):
// the result equals parse_obj's on a file holding these bytes. Returns -1
// only when memory runs out (the model is then released).
int parse_obj_bytes(const uint8_t* data, size_t size, Model* model);
