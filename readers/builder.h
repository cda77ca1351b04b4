// 3MF model builder: objects, components and build items to one Model in
// build coordinates, with one ObjectInfo per placed object instance. Objects
// live in model parts: the root part, and the parts that the root names with
// the production extension's p:path (BambuStudio projects keep each object's
// mesh in a part of its own). A part is read in one pass, from memory or
// inflated piece by piece from its package, so that a large part never sits
// in memory whole. Reentrant: no globals, settings and warnings come from
// the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "model.h"
#include "xml3mf.h"

// How a build samples. With sampling on, objects are thinned by a
// whole-number stride and building stops once the Model holds budget
// triangles; with it off every triangle is kept and budget is not used.
struct BuildSettings {
  int32_t sampling;
  int32_t budget;
};

constexpr int kMaxObjects = 128;  // per model part
constexpr int kMaxComponents = 32;
constexpr int kMaxComponentDepth = 10;
// Model parts besides the root that one package may name; later names read
// as missing parts.
constexpr int kMaxOtherParts = 1024;
// Work caps against component fan-out (32 components naming their own
// object ask for 32^10 instances): building stops at either. Both count over
// every part.
constexpr int32_t kMaxModelTriangles = 50000000;
constexpr uint32_t kMaxInstances = 1000000;

struct ComponentRef {
  int32_t object_id;
  int32_t part;  // index in ModelParts: the object's own part, or the one p:path names; -1 none
  Transform3x4 transform;
  int32_t has_transform;  // transform present and all twelve numbers read
};

// One object definition; vertices and triangles are big blocks (blocks.h)
// of their capacities, owned by the part's table.
struct ObjectDef {
  int32_t id;
  char name[256];
  int32_t non_model;
  int32_t has_mesh;
  float* vertices;  // x, y, z per vertex
  int32_t vertex_count;
  int32_t* triangles;  // three vertex indices per triangle
  int32_t triangle_count;
  size_t vertex_capacity;  // floats the block holds
  size_t triangle_capacity;
  int32_t has_components;
  ComponentRef components[kMaxComponents];
  int32_t component_count;
};

// The objects of one model part.
struct PartTable {
  char* name;          // the part name as first written (malloc'd); null for bare model XML's root
  ObjectDef* objects;  // malloc'd, count of capacity used; null while none
  int count;
  int capacity;
};

constexpr int kPartSlots = 4096;  // hash slots of part names, at least twice the parts

// The root model part (index 0) and the other parts it names, in the order
// of their first reference. Everything in it is owned by it, except a root
// document read from memory, which must stay until the build.
struct ModelParts {
  PartTable* parts;  // malloc'd, count of at most 1 + kMaxOtherParts
  int count;
  int16_t slots[kPartSlots];  // part index + 1 by name hash, 0 empty
  // The root's first "<build" element and the "</build>" after it (null
  // when either is missing): in the root document, or in build_copy (the
  // bytes from "<build" to the end of "</build>", malloc'd) when the root
  // was read piece by piece.
  const char* build;
  const char* build_close;
  char* build_copy;
};

// How reading a model part from a package entry ended.
enum PartReadStatus {
  kPartNoMemory = 0,     // memory ran out (the part read as far as it got)
  kPartRead = 1,         // read
  kPartUnreadable = -1,  // the entry cannot be extracted (zip_extract_at fails): nothing read
};

// One placed object instance: a run of the Model's triangles.
struct ObjectInfo {
  char name[256];
  int32_t first_triangle;
  int32_t triangle_count;
  int32_t vertex_count;  // 3 x the triangles the instantiation emitted
};

// Settings, running totals and work caps of one build, shared by every
// instantiation. model_parts_build sets the caps to kMaxInstances and
// kMaxModelTriangles.
struct InstanceState {
  BuildSettings settings;
  FILE* warnings;          // where warnings go; null: nowhere
  uint32_t instances;      // instances and component references expanded so far
  uint32_t max_instances;  // expansions allowed
  int32_t max_triangles;   // the Model never grows beyond this
  int32_t limit_reached;   // a cap was hit (its warning is written once)
  int32_t failed;          // the Model could not grow
  // One word per object slot (part x kMaxObjects + object index), one bit
  // per component: a faulty reference is reported once, however often
  // fan-out reaches it. Null: every report is written.
  uint32_t* reported;
};

// Appends the instance's triangles (mapped by m, fresh facet normals) and
// those of its components to model, recursively; object belongs to part
// part of parts, depth is 0 for build items. Returns the number of triangles
// appended. Stops early, setting state->limit_reached or state->failed, at
// the work caps or when the Model cannot grow.
int instantiate_object(const ModelParts* parts, int part, const ObjectDef* object,
                       const Transform3x4* m, Model* model, int depth, InstanceState* state);

// Initialises parts and reads the root model part [xml, xml + length) (the
// document is kept, not copied, for model_parts_build): up to
// kMaxObjects objects, and the names of the other parts that its components
// and build items reference with p:path (registered, not read). root_name is
// the root's own part name (null when unknown), so that a reference to it
// resolves to the root. Reads nothing outside the document. Returns 1, or 0
// when memory runs out (parts then holds nothing). Free with
// model_parts_free either way.
int model_parts_read_root(ModelParts* parts, const char* xml, uint64_t length,
                          const char* root_name);

// model_parts_read_root on the entry of the central header at offset header
// of a ZIP package (zip.h), inflated in pieces of about piece bytes (0: a
// default that stays in cache; any size reads the same) with only the
// element being read held, and the build element copied. Stored entries are
// read in place. The document is exactly what zip_extract_at would give;
// an entry it refuses is kPartUnreadable, even when the refusal shows only
// at its end. Returns a PartReadStatus; parts holds nothing unless
// kPartRead. Free with model_parts_free in every case.
int model_parts_read_root_entry(ModelParts* parts, const uint8_t* package, uint64_t length,
                                uint64_t header, const char* root_name, size_t piece);

// Reads the objects of the registered part index (1 <= index < count) from
// its XML; their components name objects of the same part (p:path counts in
// the root part only). Returns 1, or 0 when memory runs out.
int model_parts_read_part(ModelParts* parts, int index, const char* xml, uint64_t length);

// model_parts_read_part on a package entry, read as
// model_parts_read_root_entry reads. Returns a PartReadStatus; the part
// holds no object when kPartUnreadable.
int model_parts_read_part_entry(ModelParts* parts, int index, const uint8_t* package,
                                uint64_t length, uint64_t header, size_t piece);

// Index of the registered part whose name is name by the package rules
// (part_names_equal), or -1.
int model_parts_find(const ModelParts* parts, const char* name, size_t length);

// Frees everything parts holds and leaves it empty.
void model_parts_free(ModelParts* parts);

// Builds model (initialised here in every case; the caller frees it) through
// the build items of the root part; when they place nothing, every model object of
// every part is placed once. Warnings go to warnings (null: nowhere).
// Returns the number of ObjectInfo entries; *infos is cleared first and then
// receives the malloc'd array (the caller frees it) whenever objects were
// found, even when none of them yields a triangle (result 0). Returns 0 with
// *infos null and an empty Model when no part holds a usable object or
// memory runs out.
int model_parts_build(const ModelParts* parts, const BuildSettings* settings, FILE* warnings,
                      Model* model, ObjectInfo** infos);

// One model XML on its own: model_parts_read_root (no root name),
// model_parts_build and model_parts_free; references to other parts name
// unknown objects. Results as model_parts_build.
int parse_3mf_xml_to_model(const char* xml, uint64_t length, const BuildSettings* settings,
                           FILE* warnings, Model* model, ObjectInfo** infos);
