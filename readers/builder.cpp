// 3MF model builder: collect up to 128 object definitions per model part,
// then place them through the root part's build items (or each once, as a
// fallback), expanding components.
#include "builder.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "zip.h"

static const size_t kFirstVertexFloats = 65536;
static const size_t kFirstTriangleInts = 131072;
static const int kFirstInfoCapacity = 8;
static const int kFirstObjectCapacity = 8;
// Keeps 3 x count in int32 range for every per-object array.
static const int32_t kMaxObjectElements = INT32_MAX / 3 - 1;
// ZIP entry names are at most this long, so longer references name nothing.
static const size_t kMaxPartName = 65535;
static const uint32_t kFnvBasis = 2166136261u;  // FNV-1a, 32 bits
static const uint32_t kFnvPrime = 16777619u;

static void warn_line(InstanceState* state, const char* line) {
  if (state->warnings) fputs(line, state->warnings);
}

static void hit_limit(InstanceState* state) {
  if (!state->limit_reached) warn_line(state, "WARNING: 3MF instance limit reached\n");
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

// True the first time component i of object (of part part) is reported.
static bool first_report(InstanceState* state, const ModelParts* parts, int part,
                         const ObjectDef* object, int i) {
  if (!state->reported || part < 0 || part >= parts->count) return true;
  const PartTable* t = &parts->parts[part];
  if (object < t->objects || object >= t->objects + t->count) return true;
  uint32_t* word = &state->reported[static_cast<size_t>(part) * kMaxObjects +
                                    static_cast<size_t>(object - t->objects)];
  const uint32_t bit = 1u << i;
  if (*word & bit) return false;
  *word |= bit;
  return true;
}

static const ObjectDef* find_object(const ModelParts* parts, int part, int32_t id) {
  if (part < 0 || part >= parts->count) return nullptr;
  const PartTable* t = &parts->parts[part];
  for (int i = 0; i < t->count; i++) {
    if (t->objects[i].id == id) return &t->objects[i];
  }
  return nullptr;
}

int instantiate_object(const ModelParts* parts, int part, const ObjectDef* object,
                       const Transform3x4* m, Model* model, int depth, InstanceState* state) {
  if (!take_instance(state)) return 0;
  int emitted = 0;
  const int32_t sampling = state->settings.sampling;
  const int32_t budget = state->settings.budget;

  if (object->has_mesh && object->triangle_count > 0) {
    const uint64_t t = static_cast<uint32_t>(object->triangle_count);
    uint64_t stride = 1;
    if (sampling) {
      int64_t remaining = static_cast<int64_t>(budget) - model->count;
      if (remaining < 1000) remaining = 1000;
      // The smallest stride that fits t triangles into remaining.
      if (static_cast<uint64_t>(remaining) < t) {
        stride = (t + static_cast<uint64_t>(remaining) - 1) / static_cast<uint64_t>(remaining);
      }
    }
    const uint32_t vertex_count = static_cast<uint32_t>(object->vertex_count);
    for (uint64_t k = 0; k < t; k += stride) {
      if (sampling && model->count >= budget) break;
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
      const ObjectDef* child = find_object(parts, ref->part, ref->object_id);
      // Refused references count as expansions too, so that their warnings
      // stay bounded under fan-out.
      if (!child) {
        if (!take_instance(state)) break;
        if (state->warnings && first_report(state, parts, part, object, i)) {
          fprintf(state->warnings, "WARNING: 3MF component references unknown object %d\n",
                  ref->object_id);
        }
        continue;
      }
      Transform3x4 n = *m;
      if (ref->has_transform) transform_compose(&ref->transform, m, &n);
      if (depth >= kMaxComponentDepth) {
        if (!take_instance(state)) break;
        if (first_report(state, parts, part, object, i)) {
          warn_line(state, "WARNING: 3MF component depth limit reached (cycle?)\n");
        }
        continue;
      }
      if (!child->non_model) {
        emitted += instantiate_object(parts, ref->part, child, &n, model, depth + 1, state);
      }
    }
  }
  return emitted;
}

// Length of a p:path value: up to a quote, an apostrophe, '>', a zero byte
// or the document end, as names are read.
static size_t path_length(const char* p, const char* doc_end) {
  const char* q = p;
  while (q < doc_end && *q != '"' && *q != '\'' && *q != '>' && *q != 0) q++;
  return static_cast<size_t>(q - p);
}

// Hash of a part name under the package rules: one leading '/' dropped,
// ASCII letters folded to lower case.
static uint32_t part_name_hash(const char* name, size_t length) {
  if (length > 0 && name[0] == '/') {
    name++;
    length--;
  }
  uint32_t h = kFnvBasis;
  for (size_t i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + ('a' - 'A'));
    h = (h ^ c) * kFnvPrime;
  }
  return h;
}

// The slot holding the part of that name, or the empty slot where it would
// go. The table is never full: it has twice as many slots as parts.
static int name_slot(const ModelParts* parts, const char* name, size_t length) {
  uint32_t s = part_name_hash(name, length) % kPartSlots;
  for (;;) {
    const int k = parts->slots[s] - 1;
    if (k < 0) return static_cast<int>(s);
    const char* known = parts->parts[k].name;
    if (part_names_equal(known, strlen(known), name, length)) return static_cast<int>(s);
    s = (s + 1) % kPartSlots;
  }
}

int model_parts_find(const ModelParts* parts, const char* name, size_t length) {
  return parts->slots[name_slot(parts, name, length)] - 1;
}

// Adds a part named [name, name + length) with an empty table. Returns its
// index, or -1 when memory runs out.
static int add_part(ModelParts* parts, const char* name, size_t length) {
  char* copy = nullptr;
  if (name) {
    copy = static_cast<char*>(malloc(length + 1));
    if (!copy) return -1;
    memcpy(copy, name, length);
    copy[length] = 0;
  }
  PartTable* t = &parts->parts[parts->count];
  memset(t, 0, sizeof *t);
  t->name = copy;
  if (copy) parts->slots[name_slot(parts, copy, length)] = static_cast<int16_t>(parts->count + 1);
  return parts->count++;
}

// The part a p:path value names, registered on first sight. -1 when there
// are already kMaxOtherParts, the name is too long, or memory runs out:
// the reference then names an unknown object.
static int resolve_path(ModelParts* parts, const char* value, const char* doc_end) {
  const size_t length = path_length(value, doc_end);
  if (length > kMaxPartName) return -1;
  const int known = model_parts_find(parts, value, length);
  if (known >= 0) return known;
  if (parts->count > kMaxOtherParts) return -1;
  return add_part(parts, value, length);
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

// Reads one object element of part part, "<object" at open and "</object>"
// at close, into o (cleared first). Component references with p:path are
// registered in parts when part is the root (0). Returns false only when an
// array cannot grow; o's arrays are then released.
static bool read_object(ObjectDef* o, const char* open, const char* close, const char* doc_end,
                        ModelParts* parts, int part) {
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
      ref->part = part;
      if (part == 0 && a.value[kAttrPath]) {
        ref->part = resolve_path(parts, a.value[kAttrPath], doc_end);
      }
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

// A slot for one more object in t. Null when memory runs out.
static ObjectDef* next_object_slot(PartTable* t) {
  if (t->count == t->capacity) {
    int cap = t->capacity ? t->capacity * 2 : kFirstObjectCapacity;
    if (cap > kMaxObjects) cap = kMaxObjects;
    void* grown = realloc(t->objects, sizeof(ObjectDef) * static_cast<size_t>(cap));
    if (!grown) return nullptr;
    t->objects = static_cast<ObjectDef*>(grown);
    t->capacity = cap;
  }
  return &t->objects[t->count];
}

// Collects the object definitions of [xml, xml + length) into part index.
// Returns false when memory runs out.
static bool read_objects(ModelParts* parts, int index, const char* xml, uint64_t length) {
  if (!xml) length = 0;
  const char* end = xml + length;
  const char* pos = xml;
  while (end - pos > 10 && parts->parts[index].count < kMaxObjects) {
    const char* open = xml_find_tag(pos, end, "<object", 7, 8, 1);
    if (!open) break;
    const char* close = xml_find_tag(open + 7, end, "</object>", 9, 9, 0);
    if (!close) break;
    ObjectDef* o = next_object_slot(&parts->parts[index]);
    if (!o) return false;
    if (!read_object(o, open, close, end, parts, index)) return false;
    PartTable* t = &parts->parts[index];
    if (o->has_mesh || o->has_components) {
      t->count++;
      if (o->id == 0) o->id = t->count;
    }
    pos = close + 9;
  }
  return true;
}

// Walks the item tags of the first build element.
struct ItemCursor {
  const char* p;           // where the search goes on; null: no build
  const char* last_start;  // an item tag starts at most here
  const char* build_end;
  GtFinder gt;
};

static void items_begin(ItemCursor* c, const ModelParts* parts) {
  c->p = parts->build && parts->build_close ? parts->build : nullptr;
  c->gt = {nullptr, nullptr};
  if (!c->p) return;
  c->last_start = parts->build_close + 1;
  c->build_end = parts->build_close + 8;
}

// Scans the next item tag into a. False when there is none.
static bool items_next(ItemCursor* c, AttrSet* a) {
  while (c->p && c->p <= c->last_start) {
    const char* p =
        static_cast<const char*>(memchr(c->p, '<', static_cast<size_t>(c->last_start + 1 - c->p)));
    if (!p) break;
    if (memcmp(p, "<item", 5) != 0) {
      c->p = p + 1;
      continue;
    }
    // "</build>" ends in '>', so every item tag ends by the build's end.
    const char* tag_end = gt_find(&c->gt, p + 5, c->build_end);
    scan_attrs(a, p + 5, tag_end);
    // Resume after the tag: an "<item" inside another item's tag is not
    // well-formed, and rescanning from every byte would cost quadratic time.
    c->p = tag_end + 1;
    return true;
  }
  c->p = nullptr;
  return false;
}

int model_parts_read_root(ModelParts* parts, const char* xml, uint64_t length,
                          const char* root_name) {
  memset(parts, 0, sizeof *parts);
  parts->parts =
      static_cast<PartTable*>(malloc(sizeof(PartTable) * static_cast<size_t>(1 + kMaxOtherParts)));
  if (!parts->parts) return 0;
  if (add_part(parts, root_name, root_name ? strlen(root_name) : 0) != 0 ||
      !read_objects(parts, 0, xml, length)) {
    model_parts_free(parts);
    return 0;
  }
  if (!xml) length = 0;
  const char* end = xml + length;
  parts->root_xml = xml;
  parts->root_length = length;
  parts->build = xml_find_tag(xml, end, "<build", 6, 7, 1);
  if (parts->build) parts->build_close = xml_find_tag(parts->build + 6, end, "</build>", 8, 8, 0);
  ItemCursor items;
  items_begin(&items, parts);
  AttrSet a;
  while (items_next(&items, &a)) {
    if (a.value[kAttrObjectId] && a.value[kAttrPath]) resolve_path(parts, a.value[kAttrPath], end);
  }
  return 1;
}

int model_parts_read_part(ModelParts* parts, int index, const char* xml, uint64_t length) {
  if (index <= 0 || index >= parts->count) return 1;
  return read_objects(parts, index, xml, length) ? 1 : 0;
}

void model_parts_free(ModelParts* parts) {
  for (int k = 0; k < parts->count; k++) {
    PartTable* t = &parts->parts[k];
    for (int i = 0; i < t->count; i++) free_object_arrays(&t->objects[i]);
    free(t->objects);
    free(t->name);
  }
  free(parts->parts);
  memset(parts, 0, sizeof *parts);
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

// The instances placed so far.
struct InfoList {
  ObjectInfo* list;
  int count;
  int capacity;
};

// Places object (of part part) once with t and records it when it emitted a
// triangle. Returns false when the build must fail (no memory).
static bool place(const ModelParts* parts, int part, const ObjectDef* object, const Transform3x4* t,
                  Model* model, InstanceState* state, InfoList* infos) {
  const int32_t before = model->count;
  const int emitted = instantiate_object(parts, part, object, t, model, 0, state);
  if (state->failed) return false;
  if (emitted <= 0) return true;
  return append_info(&infos->list, &infos->count, &infos->capacity, object, before,
                     model->count - before, emitted);
}

static bool budget_reached(const Model* model, const BuildSettings* settings) {
  return settings->sampling && model->count >= settings->budget;
}

static int fail_build(Model* model, ObjectInfo* list, uint32_t* reported) {
  free(list);
  free(reported);
  model->count = 0;
  for (int a = 0; a < 3; a++) {
    model->min[a] = kFloatMax;
    model->max[a] = -kFloatMax;
  }
  model->source_count = 0;
  return 0;
}

int model_parts_build(const ModelParts* parts, const BuildSettings* settings, FILE* warnings,
                      Model* model, ObjectInfo** infos) {
  *infos = nullptr;
  if (model_init(model) != 0) return 0;
  const char* end = parts->root_xml + parts->root_length;
  int stored = 0;
  for (int k = 0; k < parts->count; k++) stored += parts->parts[k].count;
  if (stored == 0) return 0;

  InfoList placed = {static_cast<ObjectInfo*>(malloc(sizeof(ObjectInfo) * kFirstInfoCapacity)), 0,
                     kFirstInfoCapacity};
  if (!placed.list) return fail_build(model, nullptr, nullptr);
  uint32_t* reported = static_cast<uint32_t*>(
      calloc(static_cast<size_t>(parts->count) * kMaxObjects, sizeof(uint32_t)));
  if (!reported) return fail_build(model, placed.list, nullptr);
  InstanceState state = {*settings, warnings, 0, kMaxInstances, kMaxModelTriangles, 0, 0, reported};

  ItemCursor items;
  items_begin(&items, parts);
  AttrSet a;
  while (items_next(&items, &a)) {
    if (!a.value[kAttrObjectId]) continue;
    const int32_t id = static_cast<int32_t>(xml_read_uint(a.value[kAttrObjectId], end));
    const int part = a.value[kAttrPath] ? model_parts_find(parts, a.value[kAttrPath],
                                                           path_length(a.value[kAttrPath], end))
                                        : 0;
    const ObjectDef* object = find_object(parts, part, id);
    if (!object) {
      if (warnings) fprintf(warnings, "WARNING: <build> item references unknown object %d\n", id);
      continue;
    }
    Transform3x4 t = k_identity_transform;
    if (a.value[kAttrTransform]) {
      Transform3x4 read;
      if (mat3mf_parse(a.value[kAttrTransform], end, &read)) t = read;
    }
    if (!object->non_model && !place(parts, part, object, &t, model, &state, &placed)) {
      return fail_build(model, placed.list, reported);
    }
    if (budget_reached(model, settings) || state.limit_reached) break;
  }

  // Fallback: every model object once as it stands, parts of assemblies too,
  // the root part's first.
  bool stop = placed.count > 0;
  for (int k = 0; k < parts->count && !stop; k++) {
    const PartTable* table = &parts->parts[k];
    for (int i = 0; i < table->count && !state.limit_reached; i++) {
      const ObjectDef* object = &table->objects[i];
      if (!object->non_model &&
          !place(parts, k, object, &k_identity_transform, model, &state, &placed)) {
        return fail_build(model, placed.list, reported);
      }
      if (budget_reached(model, settings)) {
        stop = true;
        break;
      }
    }
    if (state.limit_reached) stop = true;
  }

  free(reported);
  int64_t vertices = 0;
  for (int i = 0; i < placed.count; i++) vertices += placed.list[i].vertex_count;
  model->source_count = vertices > INT32_MAX ? INT32_MAX : static_cast<int32_t>(vertices);
  *infos = placed.list;
  return placed.count;
}

int parse_3mf_xml_to_model(const char* xml, uint64_t length, const BuildSettings* settings,
                           FILE* warnings, Model* model, ObjectInfo** infos) {
  *infos = nullptr;
  ModelParts parts;
  if (!model_parts_read_root(&parts, xml, length, nullptr)) {
    model_init(model);
    return 0;
  }
  const int n = model_parts_build(&parts, settings, warnings, model, infos);
  model_parts_free(&parts);
  return n;
}
