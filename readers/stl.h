// STL readers: the flavour test and the binary and ASCII readers.
#pragma once

#include "model.h"

// 1 for binary (also when the file cannot be opened or is shorter than 84
// bytes), 0 for ASCII.
int is_binary_stl(const char* path);

// Append the file's triangles to an initialised model. Return 0 (possibly
// with no triangles), or -1 when the file cannot be opened or read, declares
// more than 50,000,000 triangles, or memory runs out; the triangles appended
// before running out stay in the model, which the caller frees.
int parse_stl_binary(const char* path, Model* model);
int parse_stl_ascii(const char* path, Model* model);

// is_binary_stl, then the matching reader.
int parse_stl(const char* path, Model* model);
