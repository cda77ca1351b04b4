// 3MF input: a whole stream held in memory, the package's parts found by
// name or relationship, and the model built from the package or bare XML.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "builder.h"
#include "model.h"

// Relationship types of package relationships (in "_rels/.rels").
extern const char kRelationship3dModel[];    // the root model part
extern const char kRelationshipThumbnail[];  // the package thumbnail

// How building a 3MF input ended.
enum Input3mfStatus {
  kInput3mfOk = 0,
  kInput3mfNoModelPart,  // a ZIP package without a readable root model part
  kInput3mfNoMesh,       // no object instance with a triangle, or out of memory
};

// A whole input held in memory.
struct InputBlock {
  uint8_t* data;    // a big block (blocks.h) of capacity bytes
  uint64_t length;  // the input's bytes; a zero byte follows them
  size_t capacity;
};

// Reads all of stream into *out: a block of at least 16 MiB, doubling when
// full, so at least one spare byte always follows the data; a zero byte is
// written there. Returns 1, or 0 with *out empty when memory runs out or
// the stream reports a read error. Free with input_block_free.
int read_stream_all(FILE* stream, InputBlock* out);

// Releases the block and empties *block.
void input_block_free(InputBlock* block);

// read_stream_all on standard input switched to binary mode.
int read_stdin_all(InputBlock* out);

// The target of the first relationship in the package's "_rels/.rels" part
// whose Type is type (ASCII case-insensitive), as written there (entities
// and percent-escapes not decoded): a malloc'd, terminated string the caller
// frees. Null when the input is no package, the part or such a relationship
// is missing, or memory runs out.
char* package_relationship_target(const uint8_t* package, uint64_t length, const char* type);

// Builds the model of one 3MF input: a ZIP package (first bytes as
// looks_like_zip) or bare model XML. In a package the root model part is the
// entry "3D/3dmodel.model", else "/3D/3dmodel.model" (names exact), else the
// target of the 3D model relationship (part name rules); the model parts its
// p:path references name are read from the same package. settings and
// warnings as for model_parts_build. The input is only read; it need not be
// followed by a zero byte. Returns kInput3mfOk with a model holding at least
// one triangle, *infos its *count >= 1 instances (both the caller's to
// free); otherwise the status, with *infos null, *count 0 and nothing held.
int build_3mf_model(const uint8_t* input, uint64_t length, const BuildSettings* settings,
                    FILE* warnings, Model* model, ObjectInfo** infos, int* count);

// Reads standard input and builds its model as build_3mf_model does,
// releasing the package as soon as its model parts are out (so that the
// package and the mesh are not held at once). Returns 0 with a model holding
// at least one triangle and its n >= 1 instances (both the caller's to
// free), and *t_read set right after the input was read. Otherwise writes
// the error line to standard error and returns the exit code (2 or 3),
// holding nothing. Warnings go to standard error.
int load_3mf_from_stdin(const BuildSettings* settings, Model* model, ObjectInfo** infos, int* count,
                        double* t_read);
