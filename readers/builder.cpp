// 3MF model builder: collect up to 128 object definitions per model part,
// then place them through the root part's build items (or each once, as a
// fallback), expanding components.
#include "builder.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "blocks.h"
#include "zip.h"

// Bytes of a package entry inflated at a time: the window and the
// inflater's output stay in cache while the scan reads them.
static const size_t kWindowBytes = 262144;
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
  big_block_free(o->vertices, o->vertex_capacity * sizeof(float));
  big_block_free(o->triangles, o->triangle_capacity * sizeof(int32_t));
  o->vertices = nullptr;
  o->triangles = nullptr;
  o->vertex_capacity = 0;
  o->triangle_capacity = 0;
  o->vertex_count = 0;
  o->triangle_count = 0;
}

// Makes room for three more values at count, doubling from first. Refuses
// (leaving the block as it was) when memory runs out or the count would
// leave int32 range.
template <typename T>
static bool grow_for_three(T** block, size_t* capacity, int32_t count, size_t first) {
  if (count >= kMaxObjectElements) return false;
  const size_t need = 3 * (static_cast<size_t>(count) + 1);
  if (need <= *capacity) return true;
  size_t cap = *capacity ? *capacity : first;
  while (cap < need) cap *= 2;
  void* grown = big_block_grow(*block, *capacity * sizeof(T), cap * sizeof(T));
  if (!grown) return false;
  *block = static_cast<T*>(grown);
  *capacity = cap;
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

// The document as the reader sees it: bytes [data, lim) from document
// offset base, the whole document at once, or a window over a package entry
// that moves on as the reader asks for more, keeping the element it is in.
struct Window {
  const char* data;
  const char* lim;
  uint64_t base;
  uint64_t length;        // the document's
  ZipEntryReader* entry;  // where more comes from; null: everything is in data
  char* buf;              // the window's block (malloc'd) over an entry
  size_t cap;
  int32_t failed;  // the entry does not extract
  // The build element's copy while it is read: every byte from
  // copy_from on is appended before the window lets it go.
  int32_t copying;
  uint64_t copy_from;
  char* copy;
  size_t copy_length;
  size_t copy_capacity;
  // The first '>' at or after the last search start, and how far no '>'
  // was found: with searches from rising positions, each byte is searched
  // once however many tags lack their '>' (UINT64_MAX: none found yet;
  // length: none until the document's end).
  uint64_t gt_at;
  uint64_t gt_clear;
};

static uint64_t offset_of(const Window* w, const char* p) {
  return w->base + static_cast<uint64_t>(p - w->data);
}

static const char* pointer_at(const Window* w, uint64_t offset) {
  return w->data + (offset - w->base);
}

static bool append_copy(Window* w, const char* from, size_t n) {
  if (n > w->copy_capacity - w->copy_length) {
    size_t cap = w->copy_capacity ? w->copy_capacity : 256;
    while (cap - w->copy_length < n) cap *= 2;
    char* grown = static_cast<char*>(realloc(w->copy, cap));
    if (!grown) return false;
    w->copy = grown;
    w->copy_capacity = cap;
  }
  memcpy(w->copy + w->copy_length, from, n);
  w->copy_length += n;
  return true;
}

// Appends the bytes before to that the copy does not hold yet.
static bool copy_up_to(Window* w, const char* to) {
  if (!w->copying) return true;
  const uint64_t from = w->copy_from > w->base ? w->copy_from : w->base;
  const uint64_t end = offset_of(w, to);
  if (end <= from) return true;
  if (!append_copy(w, pointer_at(w, from), static_cast<size_t>(end - from))) return false;
  w->copy_from = end;
  return true;
}

// Moves the window on past what comes before keep and adds at least one
// more byte of the document. False at the document's end, when the entry
// fails to extract (w->failed) or memory runs out (w->failed too: like an
// entry that cannot be extracted); the window is then as it was, except
// after a failure. Pointers into the window are invalid afterwards: keep
// offsets across the call.
static bool window_more(Window* w, const char* keep) {
  if (!w->entry || offset_of(w, w->lim) >= w->length || w->failed) return false;
  if (!copy_up_to(w, keep)) {
    w->failed = 1;
    return false;
  }
  const uint64_t keep_at = offset_of(w, keep);
  const size_t kept = static_cast<size_t>(w->lim - keep);
  // Grow while the element held fills more than half the block, so that
  // every refill reads at least half a block.
  if (kept > w->cap / 2) {
    if (w->cap > SIZE_MAX / 2) {
      w->failed = 1;
      return false;
    }
    char* grown = static_cast<char*>(malloc(w->cap * 2));
    if (!grown) {
      w->failed = 1;
      return false;
    }
    memcpy(grown, keep, kept);
    free(w->buf);
    w->buf = grown;
    w->cap *= 2;
  } else if (kept > 0) {
    memmove(w->buf, keep, kept);
  }
  w->base = keep_at;
  w->data = w->buf;
  w->lim = w->buf + kept;
  const int64_t got =
      zip_reader_read(w->entry, reinterpret_cast<uint8_t*>(w->buf + kept), w->cap - kept);
  if (got <= 0) {
    // The entry ends before its recorded size: it cannot extract.
    w->failed = 1;
    return false;
  }
  w->lim += got;
  return true;
}

// The first '>' at or after *q, moving the window on (keeping *q, which is
// updated) until it holds one. Null when the document has none after *q.
static const char* find_gt(Window* w, const char** q) {
  const uint64_t start = offset_of(w, *q);
  if (w->gt_at != UINT64_MAX && start <= w->gt_at) {
    return w->gt_at >= w->length ? nullptr : pointer_at(w, w->gt_at);
  }
  uint64_t from = start > w->gt_clear ? start : w->gt_clear;
  for (;;) {
    const char* s = pointer_at(w, from);
    const void* hit = s < w->lim ? memchr(s, '>', static_cast<size_t>(w->lim - s)) : nullptr;
    if (hit) {
      w->gt_at = offset_of(w, static_cast<const char*>(hit));
      w->gt_clear = w->gt_at;
      *q = pointer_at(w, start);
      return static_cast<const char*>(hit);
    }
    from = offset_of(w, w->lim);
    w->gt_clear = from;
    if (!window_more(w, pointer_at(w, start))) {
      *q = pointer_at(w, start);
      if (!w->failed) w->gt_at = w->length;
      return nullptr;
    }
  }
}

// Reads the rest of the entry, unused, so that the part counts as read only
// when it extracts in full.
static void window_drain(Window* w) {
  if (!w->entry || w->failed) return;
  for (;;) {
    const int64_t got = zip_reader_read(w->entry, reinterpret_cast<uint8_t*>(w->buf),
                                        static_cast<uint64_t>(w->cap));
    if (got == 0) return;
    if (got < 0) {
      w->failed = 1;
      return;
    }
  }
}

// The bytes of pattern at p, when [p, bound) holds them.
static inline bool has_text(const char* p, const char* bound, const char* pattern, size_t n) {
  return static_cast<size_t>(bound - p) >= n && memcmp(p, pattern, n) == 0;
}

// At a '<', whether the test for "<vertex" and its kin can see their name
// and delimiter without reaching the window's end.
static const ptrdiff_t kLookahead = 16;

static inline const char* next_lt(const char* p, const char* lim) {
  // Between the elements of a mesh there are only a few blanks.
  for (int i = 0; i < 8 && p < lim; i++, p++) {
    if (*p == '<') return p;
  }
  return p < lim ? static_cast<const char*>(memchr(p, '<', static_cast<size_t>(lim - p))) : nullptr;
}

enum BuildSearch { kFindBuild, kFindBuildClose, kBuildFound, kNoBuildWanted };

// One pass over a model part: its objects, and for the root the build
// element, found exactly where whole-document searches find them. An object
// runs from "<object" + (' ' or '>') to the first "</object>" after it
// (which must not end the document); inside it every '<' is looked at in
// turn, except inside the vertex, triangle and component tags read, which
// end at their first '>'. An object without its "</object>" is not read,
// and nothing after it either; so its parts named with p:path are
// registered only once it closes.
struct PartReader {
  ModelParts* parts;
  int index;
  Window* w;
  ObjectDef object;  // the object being read, when reading_object
  int32_t reading_object;
  int32_t object_failed;        // its arrays could not grow
  char* paths[kMaxComponents];  // its components' p:path values (malloc'd), in the root
  size_t path_lengths[kMaxComponents];
  int32_t objects_done;
  int32_t no_memory;
  BuildSearch build;
  uint64_t build_at;  // offset of "<build"
  uint64_t build_close_at;
};

static void drop_paths(PartReader* r) {
  for (int i = 0; i < kMaxComponents; i++) {
    free(r->paths[i]);
    r->paths[i] = nullptr;
  }
}

// Tests the '<' at q for the build element's start tag, or its end tag from
// six bytes after the start on; [q, bound) holds what the test reads.
static void check_build(PartReader* r, const char* q, const char* bound) {
  Window* w = r->w;
  const uint64_t at = offset_of(w, q);
  if (r->build == kFindBuild) {
    if (at + 7 < w->length && has_text(q, bound, "<build", 6) && bound - q >= 7 &&
        (q[6] == ' ' || q[6] == '>')) {
      r->build = kFindBuildClose;
      r->build_at = at;
      if (w->entry) {
        w->copying = 1;
        w->copy_from = at;
      }
    }
  } else if (r->build == kFindBuildClose) {
    if (at >= r->build_at + 6 && at + 8 < w->length && has_text(q, bound, "</build>", 8)) {
      r->build = kBuildFound;
      r->build_close_at = at;
      if (w->entry) {
        if (!copy_up_to(w, q + 8)) r->no_memory = 1;
        w->copying = 0;
      }
    }
  }
}

static void add_vertex(PartReader* r, const float v[3]) {
  ObjectDef* o = &r->object;
  if (r->object_failed) return;
  if (!grow_for_three(&o->vertices, &o->vertex_capacity, o->vertex_count, kFirstVertexFloats)) {
    free_object_arrays(o);
    r->object_failed = 1;
    return;
  }
  float* at = o->vertices + 3 * static_cast<size_t>(o->vertex_count);
  at[0] = v[0];
  at[1] = v[1];
  at[2] = v[2];
  o->vertex_count++;
}

static void add_triangle(PartReader* r, const uint32_t v[3]) {
  ObjectDef* o = &r->object;
  if (r->object_failed) return;
  if (!grow_for_three(&o->triangles, &o->triangle_capacity, o->triangle_count,
                      kFirstTriangleInts)) {
    free_object_arrays(o);
    r->object_failed = 1;
    return;
  }
  int32_t* at = o->triangles + 3 * static_cast<size_t>(o->triangle_count);
  at[0] = static_cast<int32_t>(v[0]);
  at[1] = static_cast<int32_t>(v[1]);
  at[2] = static_cast<int32_t>(v[2]);
  o->triangle_count++;
}

// Reads the object's start tag [open, end] (end its first '>').
static void begin_object(PartReader* r, const char* open, const char* end) {
  ObjectDef* o = &r->object;
  memset(o, 0, sizeof *o);
  AttrSet a;
  scan_attrs(&a, open + 7, end);
  // Every value ends at the tag's '>' at the latest.
  const char* tag_end = end + 1;
  if (a.value[kAttrId]) o->id = static_cast<int32_t>(xml_read_uint(a.value[kAttrId], tag_end));
  if (a.value[kAttrName]) xml_read_name(a.value[kAttrName], tag_end, o->name);
  if (o->name[0] == 0) snprintf(o->name, sizeof o->name, "Objekt %d", o->id);
  o->non_model = !xml_is_model_type(a.value[kAttrType], tag_end);
  r->reading_object = 1;
  r->object_failed = 0;
}

// Ends the object at its "</object>": stored when it has a mesh or
// components, its p:path references registered.
static void end_object(PartReader* r) {
  ObjectDef* o = &r->object;
  r->reading_object = 0;
  PartTable* t = &r->parts->parts[r->index];
  ObjectDef* slot = r->object_failed ? nullptr : next_object_slot(t);
  if (!slot) {
    free_object_arrays(o);
    drop_paths(r);
    r->no_memory = 1;
    return;
  }
  for (int i = 0; i < o->component_count; i++) {
    if (r->paths[i]) {
      o->components[i].part = resolve_path(r->parts, r->paths[i], r->paths[i] + r->path_lengths[i]);
    }
  }
  drop_paths(r);
  if (o->vertex_count > 0 && o->triangle_count > 0) {
    o->has_mesh = 1;
  } else {
    free_object_arrays(o);
  }
  if (o->has_mesh || o->has_components) {
    *slot = *o;
    t->count++;
    if (slot->id == 0) slot->id = t->count;
  }
  if (t->count >= kMaxObjects) r->objects_done = 1;
}

enum ChildTag { kTagVertex, kTagTriangle, kTagComponent };

// Reads a vertex, triangle or component tag by its attributes, [q, end]
// (end its first '>').
static void read_child(PartReader* r, ChildTag kind, const char* q, int name_length,
                       const char* end) {
  ObjectDef* o = &r->object;
  AttrSet a;
  scan_attrs(&a, q + name_length, end);
  const char* tag_end = end + 1;
  if (kind == kTagVertex) {
    if (!a.value[kAttrX] || !a.value[kAttrY] || !a.value[kAttrZ]) return;
    const float v[3] = {fast_float(a.value[kAttrX], tag_end), fast_float(a.value[kAttrY], tag_end),
                        fast_float(a.value[kAttrZ], tag_end)};
    add_vertex(r, v);
  } else if (kind == kTagTriangle) {
    if (!a.value[kAttrV1] || !a.value[kAttrV2] || !a.value[kAttrV3]) return;
    const uint32_t v[3] = {xml_read_uint(a.value[kAttrV1], tag_end),
                           xml_read_uint(a.value[kAttrV2], tag_end),
                           xml_read_uint(a.value[kAttrV3], tag_end)};
    add_triangle(r, v);
  } else {
    // The container tag "<components" matches too and only sets the flag.
    if (!o->has_components) {
      o->has_components = 1;
      o->component_count = 0;
    }
    if (o->component_count >= kMaxComponents || !a.value[kAttrObjectId]) return;
    const int i = o->component_count++;
    ComponentRef* ref = &o->components[i];
    ref->object_id = static_cast<int32_t>(xml_read_uint(a.value[kAttrObjectId], tag_end));
    ref->part = r->index;
    if (r->index == 0 && a.value[kAttrPath]) {
      const size_t n = path_length(a.value[kAttrPath], tag_end);
      if (n > kMaxPartName) {
        ref->part = -1;
      } else {
        r->paths[i] = static_cast<char*>(malloc(n + 1));
        if (r->paths[i]) {
          memcpy(r->paths[i], a.value[kAttrPath], n);
          r->paths[i][n] = 0;
          r->path_lengths[i] = n;
        } else {
          r->object_failed = 1;
        }
      }
    }
    ref->has_transform = 0;
    if (a.value[kAttrTransform]) {
      ref->has_transform = mat3mf_parse(a.value[kAttrTransform], tag_end, &ref->transform);
    }
  }
}

// A child tag of the object at q read by its attributes. Returns where the
// search goes on, or null when reading ends.
static const char* general_child(PartReader* r, const char* q, ChildTag kind, int name_length) {
  Window* w = r->w;
  const char* end = find_gt(w, &q);
  // No '>' up to the end: the object never closes, and no build element
  // can end after here.
  if (!end) return nullptr;
  // A "</object>" inside the tag closes the object: the tag's '>' is its '>'.
  const char* close =
      end - q > 8 && memcmp(end - 8, "</object>", 9) == 0 && offset_of(w, end - 8) + 9 < w->length
          ? end - 8
          : nullptr;
  if (r->build == kFindBuild || r->build == kFindBuildClose) {
    for (const char* s = q + 1; s <= end; s++) {
      s = static_cast<const char*>(memchr(s, '<', static_cast<size_t>(end + 1 - s)));
      if (!s) break;
      check_build(r, s, end + 1);
    }
  }
  // A "<vertex" right before "</object>" is not read.
  if (!close || close - q > 7) read_child(r, kind, q, name_length, end);
  if (close) end_object(r);
  return end + 1;
}

// At the '<' q inside an object. Returns where the search goes on, or null
// when reading ends.
static const char* in_object(PartReader* r, const char* q) {
  const char* lim = r->w->lim;
  const ptrdiff_t avail = lim - q;
  if (avail >= 7 && q[1] == 'v' && memcmp(q, "<vertex", 7) == 0) {
    float v[3];
    if (const char* end = xml_plain_vertex(q + 7, lim, v)) {
      add_vertex(r, v);
      return end + 1;
    }
    return general_child(r, q, kTagVertex, 7);
  }
  if (avail >= 9 && q[1] == 't' && memcmp(q, "<triangle", 9) == 0) {
    uint32_t v[3];
    if (const char* end = xml_plain_triangle(q + 9, lim, v)) {
      add_triangle(r, v);
      return end + 1;
    }
    return general_child(r, q, kTagTriangle, 9);
  }
  if (avail >= 10 && q[1] == 'c' && memcmp(q, "<component", 10) == 0) {
    return general_child(r, q, kTagComponent, 10);
  }
  if (avail >= 9 && q[1] == '/' && memcmp(q, "</object>", 9) == 0 &&
      offset_of(r->w, q) + 9 < r->w->length) {
    end_object(r);
    return q + 9;
  }
  if (r->build == kFindBuild || r->build == kFindBuildClose) check_build(r, q, lim);
  return q + 1;
}

// At the '<' q between objects. Returns where the search goes on, or null
// when reading ends.
static const char* between_objects(PartReader* r, const char* q) {
  Window* w = r->w;
  if (r->build == kFindBuild || r->build == kFindBuildClose) check_build(r, q, w->lim);
  if (r->objects_done || w->lim - q < 8 || memcmp(q, "<object", 7) != 0 ||
      (q[7] != ' ' && q[7] != '>') || offset_of(w, q) + 8 >= w->length) {
    return q + 1;
  }
  const char* end = find_gt(w, &q);
  if (!end) return nullptr;
  begin_object(r, q, end);
  // Its children are searched from the start, its start tag included.
  return q + 1;
}

// Reads the part through the window to its end, or until nothing more can
// be found.
static void read_part(PartReader* r) {
  Window* w = r->w;
  const char* p = w->data;
  while (!r->no_memory && !w->failed) {
    if (r->objects_done && !r->reading_object &&
        (r->build == kBuildFound || r->build == kNoBuildWanted)) {
      break;
    }
    const char* q = next_lt(p, w->lim);
    if (!q) {
      if (!window_more(w, w->lim)) break;
      p = w->data;
      continue;
    }
    while (w->lim - q < kLookahead) {
      const uint64_t at = offset_of(w, q);
      if (!window_more(w, q)) break;
      q = pointer_at(w, at);
    }
    if (w->failed) break;
    p = r->reading_object ? in_object(r, q) : between_objects(r, q);
    if (!p) break;
  }
  if (r->reading_object) {
    free_object_arrays(&r->object);
    drop_paths(r);
    r->reading_object = 0;
  }
}

// Reads part index of parts through w, for the root with its build element
// (copied when copy_build is set, else pointing into the document).
static int read_through(ModelParts* parts, int index, Window* w, bool copy_build) {
  PartReader* r = static_cast<PartReader*>(calloc(1, sizeof(PartReader)));
  if (!r) return kPartNoMemory;
  r->parts = parts;
  r->index = index;
  r->w = w;
  r->build = index == 0 ? kFindBuild : kNoBuildWanted;
  read_part(r);
  window_drain(w);
  int status = w->failed ? kPartUnreadable : r->no_memory ? kPartNoMemory : kPartRead;
  if (status == kPartRead && r->build == kBuildFound) {
    const size_t n = static_cast<size_t>(r->build_close_at + 8 - r->build_at);
    if (w->entry == nullptr && copy_build) {
      // Read in place: the window still holds the whole document.
      w->copy = static_cast<char*>(malloc(n));
      if (w->copy) memcpy(w->copy, pointer_at(w, r->build_at), n);
    }
    if (!copy_build) {
      parts->build = pointer_at(w, r->build_at);
      parts->build_close = pointer_at(w, r->build_close_at);
    } else if (w->copy) {
      parts->build_copy = w->copy;
      w->copy = nullptr;
      parts->build = parts->build_copy;
      parts->build_close = parts->build_copy + (r->build_close_at - r->build_at);
    } else {
      status = kPartNoMemory;
    }
  }
  free(r);
  return status;
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

// Sets up parts with its root part named root_name, or returns false when
// memory runs out.
static bool parts_begin(ModelParts* parts, const char* root_name) {
  memset(parts, 0, sizeof *parts);
  parts->parts =
      static_cast<PartTable*>(malloc(sizeof(PartTable) * static_cast<size_t>(1 + kMaxOtherParts)));
  if (!parts->parts) return false;
  return add_part(parts, root_name, root_name ? strlen(root_name) : 0) == 0;
}

// Registers the parts that the build items name with p:path.
static void register_item_parts(ModelParts* parts) {
  if (!parts->build) return;
  // Every item value ends by the "</build>" at the latest.
  const char* end = parts->build_close + 8;
  ItemCursor items;
  items_begin(&items, parts);
  AttrSet a;
  while (items_next(&items, &a)) {
    if (a.value[kAttrObjectId] && a.value[kAttrPath]) resolve_path(parts, a.value[kAttrPath], end);
  }
}

static const char kNoDocument[] = "";

// A window holding [xml, xml + length) whole.
static void window_in_place(Window* w, const char* xml, uint64_t length) {
  memset(w, 0, sizeof *w);
  if (!xml) {
    xml = kNoDocument;
    length = 0;
  }
  w->data = xml;
  w->lim = xml + length;
  w->length = length;
  w->gt_at = UINT64_MAX;
}

// Reads part index from the package entry at header. Returns a PartReadStatus.
static int read_entry(ModelParts* parts, int index, const uint8_t* package, uint64_t length,
                      uint64_t header, size_t piece) {
  ZipEntryReader entry;
  if (!zip_reader_open(&entry, package, length, header)) {
    zip_reader_close(&entry);
    return kPartUnreadable;
  }
  Window w;
  if (entry.stored) {
    window_in_place(&w, reinterpret_cast<const char*>(entry.stored), entry.size);
  } else {
    window_in_place(&w, nullptr, 0);
    w.length = entry.size;
    w.entry = &entry;
    w.cap = piece ? piece : kWindowBytes;
    w.buf = static_cast<char*>(malloc(w.cap));
    w.data = w.buf;
    w.lim = w.buf;
  }
  // Like a failed extraction, a window that cannot be had leaves the part unread.
  int status = w.data ? read_through(parts, index, &w, true) : kPartUnreadable;
  free(w.buf);
  free(w.copy);
  zip_reader_close(&entry);
  return status;
}

int model_parts_read_root(ModelParts* parts, const char* xml, uint64_t length,
                          const char* root_name) {
  if (!parts_begin(parts, root_name)) {
    model_parts_free(parts);
    return 0;
  }
  Window w;
  window_in_place(&w, xml, length);
  if (read_through(parts, 0, &w, false) != kPartRead) {
    model_parts_free(parts);
    return 0;
  }
  register_item_parts(parts);
  return 1;
}

int model_parts_read_root_entry(ModelParts* parts, const uint8_t* package, uint64_t length,
                                uint64_t header, const char* root_name, size_t piece) {
  if (!parts_begin(parts, root_name)) {
    model_parts_free(parts);
    return kPartNoMemory;
  }
  const int status = read_entry(parts, 0, package, length, header, piece);
  if (status != kPartRead) {
    model_parts_free(parts);
    return status;
  }
  register_item_parts(parts);
  return kPartRead;
}

int model_parts_read_part(ModelParts* parts, int index, const char* xml, uint64_t length) {
  if (index <= 0 || index >= parts->count) return 1;
  Window w;
  window_in_place(&w, xml, length);
  return read_through(parts, index, &w, false) == kPartRead ? 1 : 0;
}

int model_parts_read_part_entry(ModelParts* parts, int index, const uint8_t* package,
                                uint64_t length, uint64_t header, size_t piece) {
  if (index <= 0 || index >= parts->count) return kPartRead;
  PartTable* t = &parts->parts[index];
  const int before = t->count;
  const int status = read_entry(parts, index, package, length, header, piece);
  if (status == kPartUnreadable) {
    for (int i = before; i < t->count; i++) free_object_arrays(&t->objects[i]);
    t->count = before;
  }
  return status;
}

void model_parts_free(ModelParts* parts) {
  for (int k = 0; k < parts->count; k++) {
    PartTable* t = &parts->parts[k];
    for (int i = 0; i < t->count; i++) free_object_arrays(&t->objects[i]);
    free(t->objects);
    free(t->name);
  }
  free(parts->parts);
  free(parts->build_copy);
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
  // Every item value ends by the "</build>" at the latest.
  const char* end = parts->build_close ? parts->build_close + 8 : nullptr;
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
