// 3MF model builder: collect up to 128 object definitions, then place them
// through the build items (or each once, as a fallback), expanding components.
#include "builder.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int32_t g_use_sampling = 1;
int32_t g_max_tris_budget = 500000;

static const size_t kFirstVertexFloats = 65536;
static const size_t kFirstTriangleInts = 131072;
static const int kFirstInfoCapacity = 8;
// Keeps 3 x count in int32 range for every per-object array.
static const int32_t kMaxObjectElements = INT32_MAX / 3 - 1;

static void hit_limit(InstanceState* state) {
  if (!state->limit_reached) fputs("WARNING: 3MF instance limit reached\n", stderr);
  state->limit_reached = 1;
}

// Counts one expansion; false once building must stop.
static bool take_instance(InstanceState* state) {
  if (state->limit_reached || state->failed) return false;
  if (state->instances >= state->max_instances) {
    hit_limit(state);
    return false;
  }
  state->instances++;
  return true;
}

// True the first time the component slot i of object is reported.
static bool first_report(InstanceState* state, const ObjectDef* table, int table_count,
                         const ObjectDef* object, int i) {
  if (object < table || object >= table + table_count) return true;
  const size_t slot = static_cast<size_t>(object - table) * kMaxComponents + static_cast<size_t>(i);
  const uint8_t bit = static_cast<uint8_t>(1u << (slot % 8));
  if (state->reported[slot / 8] & bit) return false;
  state->reported[slot / 8] |= bit;
  return true;
}

static const ObjectDef* find_object(const ObjectDef* table, int count, int32_t id) {
  for (int i = 0; i < count; i++) {
    if (table[i].id == id) return &table[i];
  }
  return nullptr;
}

int instantiate_object(const ObjectDef* table, int table_count, const ObjectDef* object,
                       const Transform3x4* m, Model* model, int depth, InstanceState* state) {
  if (!take_instance(state)) return 0;
  int emitted = 0;

  if (object->has_mesh && object->triangle_count > 0) {
    const uint64_t t = static_cast<uint32_t>(object->triangle_count);
    uint64_t stride = 1;
    if (g_use_sampling) {
      int64_t remaining = static_cast<int64_t>(g_max_tris_budget) - model->count;
      if (remaining < 1000) remaining = 1000;
      // The smallest stride that fits t triangles into remaining.
      if (static_cast<uint64_t>(remaining) < t) {
        stride = (t + static_cast<uint64_t>(remaining) - 1) / static_cast<uint64_t>(remaining);
      }
    }
    const uint32_t vertex_count = static_cast<uint32_t>(object->vertex_count);
    for (uint64_t k = 0; k < t; k += stride) {
      if (g_use_sampling && model->count >= g_max_tris_budget) break;
      const int32_t* idx = object->triangles + 3 * k;
      const uint32_t a = static_cast<uint32_t>(idx[0]);
      const uint32_t b = static_cast<uint32_t>(idx[1]);
      const uint32_t c = static_cast<uint32_t>(idx[2]);
      uint32_t largest = a > b ? a : b;
      if (c > largest) largest = c;
      if (largest >= vertex_count) continue;
      if (model->count >= state->max_triangles) {
        hit_limit(state);
        break;
      }
      Triangle tri;
      transform_point(m, object->vertices + 3 * static_cast<size_t>(a), tri.vertices[0]);
      transform_point(m, object->vertices + 3 * static_cast<size_t>(b), tri.vertices[1]);
      transform_point(m, object->vertices + 3 * static_cast<size_t>(c), tri.vertices[2]);
      facet_normal(tri.vertices[0], tri.vertices[1], tri.vertices[2], tri.normal);
      if (model_push(model, &tri) != 0) {
        state->failed = 1;
        break;
      }
      emitted++;
    }
  }

  if (object->has_components) {
    for (int i = 0; i < object->component_count; i++) {
      if (state->limit_reached || state->failed) break;
      const ComponentRef* ref = &object->components[i];
      const ObjectDef* child = find_object(table, table_count, ref->object_id);
      // Refused references count as expansions too, so that their warnings
      // stay bounded under fan-out.
      if (!child) {
        if (!take_instance(state)) break;
        if (first_report(state, table, table_count, object, i)) {
          fprintf(stderr, "WARNING: 3MF component references unknown object %d\n", ref->object_id);
        }
        continue;
      }
      Transform3x4 n = *m;
      if (ref->has_transform) transform_compose(&ref->transform, m, &n);
      if (depth >= kMaxComponentDepth) {
        if (!take_instance(state)) break;
        if (first_report(state, table, table_count, object, i)) {
          fputs("WARNING: 3MF component depth limit reached (cycle?)\n", stderr);
        }
        continue;
      }
      if (!child->non_model) {
        emitted += instantiate_object(table, table_count, child, &n, model, depth + 1, state);
      }
    }
  }
  return emitted;
}

static void free_object_arrays(ObjectDef* o) {
  free(o->vertices);
  free(o->triangles);
  o->vertices = nullptr;
  o->triangles = nullptr;
  o->vertex_count = 0;
  o->triangle_count = 0;
}

// Makes room for three more values at *count, doubling from first. Refuses
// (leaving the block as it was) when memory runs out or the count would
// leave int32 range.
template <typename T>
static bool grow_for_three(T** block, size_t* capacity, int32_t count, size_t first) {
  if (count >= kMaxObjectElements) return false;
  const size_t need = 3 * (static_cast<size_t>(count) + 1);
  if (need <= *capacity) return true;
  size_t cap = *capacity ? *capacity : first;
  while (cap < need) cap *= 2;
  void* grown = realloc(*block, cap * sizeof(T));
  if (!grown) return false;
  *block = static_cast<T*>(grown);
  *capacity = cap;
  return true;
}

enum ChildTag { kTagNone, kTagVertex, kTagTriangle, kTagComponent };

// Reads one object element, "<object" at open and "</object>" at close, into
// o (cleared first). Returns false only when an array cannot grow; o's
// arrays are then released.
static bool read_object(ObjectDef* o, const char* open, const char* close, const char* doc_end) {
  memset(o, 0, sizeof *o);
  const char* elem_end = close + 9;
  GtFinder gt = {nullptr, nullptr};
  AttrSet a;

  // "</object>" ends in '>', so the start tag always ends inside the element.
  const char* tag_end = gt_find(&gt, open, elem_end);
  scan_attrs(&a, open + 7, tag_end);
  if (a.value[kAttrId]) o->id = static_cast<int32_t>(xml_read_uint(a.value[kAttrId], doc_end));
  if (a.value[kAttrName]) xml_read_name(a.value[kAttrName], doc_end, o->name);
  if (o->name[0] == 0) snprintf(o->name, sizeof o->name, "Objekt %d", o->id);
  o->non_model = !xml_is_model_type(a.value[kAttrType], doc_end);

  size_t vertex_cap = 0, triangle_cap = 0;
  const char* p = open;
  while (close - p > 7) {
    p = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(close - 7 - p)));
    if (!p) break;
    const ptrdiff_t remain = elem_end - p;
    ChildTag kind = kTagNone;
    int name_len = 0;
    if (remain >= 9 && memcmp(p, "<vertex", 7) == 0) {
      kind = kTagVertex;
      name_len = 7;
    } else if (remain >= 11 && memcmp(p, "<triangle", 9) == 0) {
      kind = kTagTriangle;
      name_len = 9;
    } else if (remain >= 12 && memcmp(p, "<component", 10) == 0) {
      kind = kTagComponent;
      name_len = 10;
    }
    const char* end_of_tag = kind != kTagNone ? gt_find(&gt, p, elem_end) : nullptr;
    if (!end_of_tag) {
      p++;
      continue;
    }
    scan_attrs(&a, p + name_len, end_of_tag);
    p = end_of_tag + 1;

    if (kind == kTagVertex) {
      if (!a.value[kAttrX] || !a.value[kAttrY] || !a.value[kAttrZ]) continue;
      if (!grow_for_three(&o->vertices, &vertex_cap, o->vertex_count, kFirstVertexFloats)) {
        free_object_arrays(o);
        return false;
      }
      float* v = o->vertices + 3 * static_cast<size_t>(o->vertex_count);
      v[0] = fast_float(a.value[kAttrX], doc_end);
      v[1] = fast_float(a.value[kAttrY], doc_end);
      v[2] = fast_float(a.value[kAttrZ], doc_end);
      o->vertex_count++;
    } else if (kind == kTagTriangle) {
      if (!a.value[kAttrV1] || !a.value[kAttrV2] || !a.value[kAttrV3]) continue;
      if (!grow_for_three(&o->triangles, &triangle_cap, o->triangle_count, kFirstTriangleInts)) {
        free_object_arrays(o);
        return false;
      }
      int32_t* t = o->triangles + 3 * static_cast<size_t>(o->triangle_count);
      t[0] = static_cast<int32_t>(xml_read_uint(a.value[kAttrV1], doc_end));
      t[1] = static_cast<int32_t>(xml_read_uint(a.value[kAttrV2], doc_end));
      t[2] = static_cast<int32_t>(xml_read_uint(a.value[kAttrV3], doc_end));
      o->triangle_count++;
    } else {
      // The container tag "<components" matches too and only sets the flag.
      if (!o->has_components) {
        o->has_components = 1;
        o->component_count = 0;
      }
      if (o->component_count >= kMaxComponents || !a.value[kAttrObjectId]) continue;
      ComponentRef* ref = &o->components[o->component_count++];
      ref->object_id = static_cast<int32_t>(xml_read_uint(a.value[kAttrObjectId], doc_end));
      ref->has_transform = 0;
      if (a.value[kAttrTransform]) {
        ref->has_transform = mat3mf_parse(a.value[kAttrTransform], doc_end, &ref->transform);
      }
    }
  }

  if (o->vertex_count > 0 && o->triangle_count > 0) {
    o->has_mesh = 1;
  } else {
    free_object_arrays(o);
  }
  return true;
}

static void free_table(ObjectDef* table, int count) {
  for (int i = 0; i < count; i++) free_object_arrays(&table[i]);
  free(table);
}

static bool append_info(ObjectInfo** list, int* count, int* capacity, const ObjectDef* object,
                        int32_t first, int32_t triangles, int emitted) {
  if (*count == *capacity) {
    if (*capacity > INT32_MAX / 2 / static_cast<int>(sizeof(ObjectInfo))) return false;
    void* grown = realloc(*list, sizeof(ObjectInfo) * static_cast<size_t>(*capacity) * 2);
    if (!grown) return false;
    *list = static_cast<ObjectInfo*>(grown);
    *capacity *= 2;
  }
  ObjectInfo* info = &(*list)[(*count)++];
  memcpy(info->name, object->name, sizeof info->name);
  info->name[255] = 0;
  info->first_triangle = first;
  info->triangle_count = triangles;
  info->vertex_count = 3 * emitted;
  return true;
}

// Places object once with t and records it when it emitted a triangle.
// Returns false when the parse must fail (no memory).
static bool place(const ObjectDef* table, int stored, const ObjectDef* object,
                  const Transform3x4* t, Model* model, InstanceState* state, ObjectInfo** list,
                  int* count, int* capacity) {
  const int32_t before = model->count;
  const int emitted = instantiate_object(table, stored, object, t, model, 0, state);
  if (state->failed) return false;
  if (emitted <= 0) return true;
  return append_info(list, count, capacity, object, before, model->count - before, emitted);
}

static bool budget_reached(const Model* model) {
  return g_use_sampling && model->count >= g_max_tris_budget;
}

static int fail_parse(Model* model, ObjectDef* table, int stored, ObjectInfo* list) {
  free_table(table, stored);
  free(list);
  model->count = 0;
  for (int a = 0; a < 3; a++) {
    model->min[a] = kFloatMax;
    model->max[a] = -kFloatMax;
  }
  model->source_count = 0;
  return 0;
}

int parse_3mf_xml_to_model(const char* xml, uint64_t length, Model* model, ObjectInfo** infos) {
  *infos = nullptr;
  if (model_init(model) != 0) return 0;
  if (!xml) length = 0;
  const char* end = xml + length;

  ObjectDef* table = static_cast<ObjectDef*>(calloc(kMaxObjects, sizeof(ObjectDef)));
  if (!table) return 0;

  // Phase 1: collect object definitions.
  int stored = 0;
  const char* pos = xml;
  while (end - pos > 10 && stored < kMaxObjects) {
    const char* open = xml_find_tag(pos, end, "<object", 7, 8, 1);
    if (!open) break;
    const char* close = xml_find_tag(open + 7, end, "</object>", 9, 9, 0);
    if (!close) break;
    ObjectDef* o = &table[stored];
    if (!read_object(o, open, close, end)) return fail_parse(model, table, stored, nullptr);
    if (o->has_mesh || o->has_components) {
      stored++;
      if (o->id == 0) o->id = stored;
    }
    pos = close + 9;
  }
  if (stored == 0) {
    free_table(table, 0);
    return 0;
  }

  // Phase 2: instantiate through the build items.
  int capacity = kFirstInfoCapacity;
  ObjectInfo* list = static_cast<ObjectInfo*>(malloc(sizeof(ObjectInfo) * kFirstInfoCapacity));
  if (!list) return fail_parse(model, table, stored, nullptr);
  int count = 0;
  InstanceState state = {0, kMaxInstances, kMaxModelTriangles, 0, 0, {}};

  const char* build = xml_find_tag(xml, end, "<build", 6, 7, 1);
  const char* build_close = build ? xml_find_tag(build + 6, end, "</build>", 8, 8, 0) : nullptr;
  if (build && build_close) {
    const char* build_end = build_close + 8;
    const char* last_start = build_close + 1;
    GtFinder gt = {nullptr, nullptr};
    const char* p = build;
    while (p <= last_start) {
      p = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(last_start + 1 - p)));
      if (!p) break;
      if (memcmp(p, "<item", 5) != 0) {
        p++;
        continue;
      }
      // "</build>" ends in '>', so every item tag ends by the build's end.
      const char* tag_end = gt_find(&gt, p + 5, build_end);
      AttrSet a;
      scan_attrs(&a, p + 5, tag_end);
      // Resume after the tag: an "<item" inside another item's tag is not
      // well-formed, and rescanning from every byte would cost quadratic time.
      p = tag_end + 1;
      if (!a.value[kAttrObjectId]) continue;
      const int32_t id = static_cast<int32_t>(xml_read_uint(a.value[kAttrObjectId], end));
      const ObjectDef* object = find_object(table, stored, id);
      if (!object) {
        fprintf(stderr, "WARNING: <build> item references unknown object %d\n", id);
        continue;
      }
      Transform3x4 t = k_identity_transform;
      if (a.value[kAttrTransform]) {
        Transform3x4 read;
        if (mat3mf_parse(a.value[kAttrTransform], end, &read)) t = read;
      }
      if (!object->non_model &&
          !place(table, stored, object, &t, model, &state, &list, &count, &capacity)) {
        return fail_parse(model, table, stored, list);
      }
      if (budget_reached(model) || state.limit_reached) break;
    }
  }

  // Fallback: every model object once as it stands, parts of assemblies too.
  if (count == 0) {
    for (int i = 0; i < stored && !state.limit_reached; i++) {
      if (!table[i].non_model && !place(table, stored, &table[i], &k_identity_transform, model,
                                        &state, &list, &count, &capacity)) {
        return fail_parse(model, table, stored, list);
      }
      if (budget_reached(model)) break;
    }
  }

  free_table(table, stored);
  int64_t vertices = 0;
  for (int i = 0; i < count; i++) vertices += list[i].vertex_count;
  model->source_count = vertices > INT32_MAX ? INT32_MAX : static_cast<int32_t>(vertices);
  *infos = list;
  return count;
}
