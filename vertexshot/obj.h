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

// One "%f" conversion as the C library's sscanf performs it on the
// NUL-terminated text: leading whitespace, sign, decimal or hex digits,
// "inf", "infinity" and "nan" in any case. On success stores the value, sets
// *end past the characters the conversion consumed and returns true.
bool obj_scan_float(const char* text, const char** end, float* value);

// sscanf(text, "%f %f %f", ...) without the library call: returns how many
// values converted (0 to 3); the first that many entries of xyz are set.
int obj_scan_vertex(const char* text, float xyz[3]);
