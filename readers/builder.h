// 3MF model builder: objects, components and build items to one Model in
// build coordinates, with one ObjectInfo per placed object instance.
#pragma once

#include <cstdint>

#include "model.h"
#include "xml3mf.h"

// Sampling settings, set by the mode before the model is built: with
// sampling on, objects are thinned by a whole-number stride and building
// stops once the Model holds g_max_tris_budget triangles.
extern int32_t g_use_sampling;     // 1 initially
extern int32_t g_max_tris_budget;  // 500000 initially

constexpr int kMaxObjects = 128;
constexpr int kMaxComponents = 32;
constexpr int kMaxComponentDepth = 10;
// Work caps against component fan-out (32 components naming their own
// object ask for 32^10 instances): building stops at either.
constexpr int32_t kMaxModelTriangles = 50000000;
constexpr uint32_t kMaxInstances = 1000000;

struct ComponentRef {
  int32_t object_id;
  Transform3x4 transform;
  int32_t has_transform;  // transform present and all twelve numbers read
};

// One object definition; vertices and triangles are malloc'd and owned by
// the builder's table.
struct ObjectDef {
  int32_t id;
  char name[256];
  int32_t non_model;
  int32_t has_mesh;
  float* vertices;  // x, y, z per vertex
  int32_t vertex_count;
  int32_t* triangles;  // three vertex indices per triangle
  int32_t triangle_count;
  int32_t has_components;
  ComponentRef components[kMaxComponents];
  int32_t component_count;
};

// One placed object instance: a run of the Model's triangles.
struct ObjectInfo {
  char name[256];
  int32_t first_triangle;
  int32_t triangle_count;
  int32_t vertex_count;  // 3 x the triangles the instantiation emitted
};

// Running totals and work caps of one build, shared by every instantiation.
// parse_3mf_xml_to_model sets the caps to kMaxInstances and
// kMaxModelTriangles.
struct InstanceState {
  uint32_t instances;      // instances and component references expanded so far
  uint32_t max_instances;  // expansions allowed
  int32_t max_triangles;   // the Model never grows beyond this
  int32_t limit_reached;   // a cap was hit (its warning is written once)
  int32_t failed;          // the Model could not grow
  // One bit per component slot of the table (object index x kMaxComponents +
  // component index): a faulty reference is reported once, however often
  // fan-out reaches it.
  uint8_t reported[kMaxObjects * kMaxComponents / 8];
};

// Appends the instance's triangles (mapped by m, fresh facet normals) and
// those of its components to model, recursively; depth is 0 for build items.
// Returns the number of triangles appended. Writes warnings to stderr. Stops
// early, setting state->limit_reached or state->failed, at the work caps or
// when the Model cannot grow.
int instantiate_object(const ObjectDef* table, int table_count, const ObjectDef* object,
                       const Transform3x4* m, Model* model, int depth, InstanceState* state);

// Builds model (initialised here in every case; the caller frees it) from
// the model XML [xml, xml + length); reads nothing outside it. Returns the
// number of ObjectInfo entries; *infos is cleared first and then receives the
// malloc'd array (the caller frees it) whenever objects were found, even when
// none of them yields a triangle (result 0). Returns 0 with *infos null and
// an empty Model when the document holds no usable object or memory runs out.
int parse_3mf_xml_to_model(const char* xml, uint64_t length, Model* model, ObjectInfo** infos);
