// STL readers: the flavour test and the binary and ASCII readers, each on a
// file named by a path or on bytes in memory, with the same results.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The same on the bytes [data, data + size) of a whole file, which the
// caller owns and which are only read (data may be null when size is 0).
// The results equal those of the path versions on a file holding these
// bytes; -1 then means a declared count over the limit, a binary file
// shorter than 84 bytes, or no memory.
int is_binary_stl_bytes(const uint8_t* data, size_t size);
int parse_stl_binary_bytes(const uint8_t* data, size_t size, Model* model);
int parse_stl_ascii_bytes(const uint8_t* data, size_t size, Model* model);
int parse_stl_bytes(const uint8_t* data, size_t size, Model* model);
