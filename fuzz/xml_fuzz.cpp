// Fuzzes the XML scanner and the model builder on bare model XML, in parse
// mode (no sampling) and in render mode (sampling with a small budget); the
// first byte picks the mode, the budget and whether warnings are written.
// The rest holds the root part and, after each zero byte, one more model
// part: part k of those the root names reads chunk k (the last chunk when
// there are fewer), so references across parts are exercised too.
//
// Every part is read three ways that must agree in every field: from memory,
// deflated in a package and read in pieces of a few bytes (so elements are
// cut at every place), and by a plain reference scanner that searches the
// whole document for each element, as the reader once did.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builder.h"
#include "fuzz_util.h"
#include "zip.h"

namespace {

// ---- The reference: each object found by a search for "<object" and the
// first "</object>" after it, its children by a search for '<' up to there,
// the build element by a search from the document's start.

struct RefObject {
  ObjectDef def;  // arrays unused
  std::vector<float> vertices;
  std::vector<int32_t> triangles;
  std::string paths[kMaxComponents];  // p:path values, "" when none
  bool has_path[kMaxComponents];
};

struct RefPart {
  std::vector<RefObject> objects;
  const char* build = nullptr;
  const char* build_close = nullptr;
};

size_t ref_path_length(const char* p, const char* doc_end) {
  const char* q = p;
  while (q < doc_end && *q != '"' && *q != '\'' && *q != '>' && *q != 0) q++;
  return static_cast<size_t>(q - p);
}

void ref_read_object(RefObject* o, const char* open, const char* close, const char* doc_end,
                     bool root) {
  memset(&o->def, 0, sizeof o->def);
  for (bool& h : o->has_path) h = false;
  const char* elem_end = close + 9;
  GtFinder gt = {nullptr, nullptr};
  AttrSet a;
  const char* tag_end = gt_find(&gt, open, elem_end);
  scan_attrs(&a, open + 7, tag_end);
  ObjectDef* d = &o->def;
  if (a.value[kAttrId]) d->id = static_cast<int32_t>(xml_read_uint(a.value[kAttrId], doc_end));
  if (a.value[kAttrName]) xml_read_name(a.value[kAttrName], doc_end, d->name);
  if (d->name[0] == 0) snprintf(d->name, sizeof d->name, "Objekt %d", d->id);
  d->non_model = !xml_is_model_type(a.value[kAttrType], doc_end);
  const char* p = open;
  while (close - p > 7) {
    p = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(close - 7 - p)));
    if (!p) break;
    const ptrdiff_t remain = elem_end - p;
    int kind = 0, name_len = 0;
    if (remain >= 9 && memcmp(p, "<vertex", 7) == 0) {
      kind = 1;
      name_len = 7;
    } else if (remain >= 11 && memcmp(p, "<triangle", 9) == 0) {
      kind = 2;
      name_len = 9;
    } else if (remain >= 12 && memcmp(p, "<component", 10) == 0) {
      kind = 3;
      name_len = 10;
    }
    const char* end_of_tag = kind ? gt_find(&gt, p, elem_end) : nullptr;
    if (!end_of_tag) {
      p++;
      continue;
    }
    scan_attrs(&a, p + name_len, end_of_tag);
    p = end_of_tag + 1;
    if (kind == 1) {
      if (!a.value[kAttrX] || !a.value[kAttrY] || !a.value[kAttrZ]) continue;
      o->vertices.push_back(fast_float(a.value[kAttrX], doc_end));
      o->vertices.push_back(fast_float(a.value[kAttrY], doc_end));
      o->vertices.push_back(fast_float(a.value[kAttrZ], doc_end));
    } else if (kind == 2) {
      if (!a.value[kAttrV1] || !a.value[kAttrV2] || !a.value[kAttrV3]) continue;
      for (int slot : {kAttrV1, kAttrV2, kAttrV3}) {
        o->triangles.push_back(static_cast<int32_t>(xml_read_uint(a.value[slot], doc_end)));
      }
    } else {
      if (!d->has_components) {
        d->has_components = 1;
        d->component_count = 0;
      }
      if (d->component_count >= kMaxComponents || !a.value[kAttrObjectId]) continue;
      const int i = d->component_count++;
      ComponentRef* ref = &d->components[i];
      ref->object_id = static_cast<int32_t>(xml_read_uint(a.value[kAttrObjectId], doc_end));
      if (root && a.value[kAttrPath]) {
        o->has_path[i] = true;
        o->paths[i].assign(a.value[kAttrPath], ref_path_length(a.value[kAttrPath], doc_end));
      }
      ref->has_transform = 0;
      if (a.value[kAttrTransform]) {
        ref->has_transform = mat3mf_parse(a.value[kAttrTransform], doc_end, &ref->transform);
      }
    }
  }
  d->vertex_count = static_cast<int32_t>(o->vertices.size() / 3);
  d->triangle_count = static_cast<int32_t>(o->triangles.size() / 3);
  d->has_mesh = d->vertex_count > 0 && d->triangle_count > 0;
}

RefPart ref_read(const char* xml, uint64_t length, bool root) {
  RefPart part;
  const char* end = xml + length;
  const char* pos = xml;
  while (end - pos > 10 && part.objects.size() < static_cast<size_t>(kMaxObjects)) {
    const char* open = xml_find_tag(pos, end, "<object", 7, 8, 1);
    if (!open) break;
    const char* close = xml_find_tag(open + 7, end, "</object>", 9, 9, 0);
    if (!close) break;
    RefObject o;
    ref_read_object(&o, open, close, end, root);
    if (o.def.has_mesh || o.def.has_components) {
      part.objects.push_back(o);
      if (o.def.id == 0) part.objects.back().def.id = static_cast<int32_t>(part.objects.size());
    }
    pos = close + 9;
  }
  if (root) {
    part.build = xml_find_tag(xml, end, "<build", 6, 7, 1);
    if (part.build) part.build_close = xml_find_tag(part.build + 6, end, "</build>", 8, 8, 0);
  }
  return part;
}

bool same_bits(const void* a, const void* b, size_t n) {
  return n == 0 || memcmp(a, b, n) == 0;
}

// Checks a part as read against the reference, field by field; parts names
// what each component's part index stands for.
void expect_part(const ModelParts* parts, int index, const RefPart& ref) {
  const PartTable* t = &parts->parts[index];
  if (t->count != static_cast<int>(ref.objects.size())) abort();
  for (int i = 0; i < t->count; i++) {
    const ObjectDef* o = &t->objects[i];
    const RefObject& r = ref.objects[static_cast<size_t>(i)];
    const ObjectDef* d = &r.def;
    if (o->id != d->id || strcmp(o->name, d->name) != 0 || o->non_model != d->non_model ||
        o->has_mesh != d->has_mesh || o->has_components != d->has_components ||
        o->component_count != d->component_count)
      abort();
    if (o->has_mesh) {
      if (o->vertex_count != d->vertex_count || o->triangle_count != d->triangle_count ||
          !same_bits(o->vertices, r.vertices.data(), r.vertices.size() * sizeof(float)) ||
          !same_bits(o->triangles, r.triangles.data(), r.triangles.size() * sizeof(int32_t)))
        abort();
    } else if (o->vertices || o->triangles) {
      abort();
    }
    for (int c = 0; c < o->component_count; c++) {
      const ComponentRef& a = o->components[c];
      const ComponentRef& b = d->components[c];
      if (a.object_id != b.object_id || a.has_transform != b.has_transform) abort();
      if (a.has_transform && !same_bits(a.transform.m, b.transform.m, sizeof a.transform.m)) {
        abort();
      }
      if (!r.has_path[c]) {
        if (a.part != index) abort();
      } else if (r.paths[c].size() > 65535) {
        if (a.part != -1) abort();
      } else if (a.part >= 0) {
        const char* name = parts->parts[a.part].name;
        if (!name || !part_names_equal(name, strlen(name), r.paths[c].data(), r.paths[c].size())) {
          abort();
        }
      }
    }
  }
}

// The parts the root's components name are registered in the order of
// their first reference, objects in document order, up to the limit; the
// build items' references come after them.
void expect_registration(const ModelParts* parts, const RefPart& root) {
  std::vector<std::string> names;
  for (const RefObject& o : root.objects) {
    for (int c = 0; c < o.def.component_count; c++) {
      if (!o.has_path[c] || o.paths[c].size() > 65535) continue;
      const std::string& path = o.paths[c];
      bool known = part_names_equal(path.data(), path.size(), "3D/3dmodel.model", 16);
      for (const std::string& n : names) {
        known = known || part_names_equal(n.data(), n.size(), path.data(), path.size());
      }
      if (!known && names.size() < static_cast<size_t>(kMaxOtherParts)) names.push_back(path);
    }
  }
  if (parts->count < 1 + static_cast<int>(names.size())) abort();
  for (size_t k = 0; k < names.size(); k++) {
    if (names[k] != parts->parts[k + 1].name) abort();
  }
}

// The same text, or both absent.
void expect_build(const ModelParts* parts, const RefPart& ref) {
  const bool has = ref.build && ref.build_close;
  if ((parts->build != nullptr) != has || (parts->build_close != nullptr) != has) abort();
  if (!has) return;
  const size_t n = static_cast<size_t>(ref.build_close + 8 - ref.build);
  if (static_cast<size_t>(parts->build_close + 8 - parts->build) != n ||
      memcmp(parts->build, ref.build, n) != 0)
    abort();
}

// Two reads of the same parts agree in every field.
void expect_same(const ModelParts* a, const ModelParts* b) {
  if (a->count != b->count) abort();
  for (int k = 0; k < a->count; k++) {
    const PartTable* x = &a->parts[k];
    const PartTable* y = &b->parts[k];
    if ((x->name == nullptr) != (y->name == nullptr) ||
        (x->name && strcmp(x->name, y->name) != 0) || x->count != y->count)
      abort();
    for (int i = 0; i < x->count; i++) {
      const ObjectDef* o = &x->objects[i];
      const ObjectDef* p = &y->objects[i];
      if (o->id != p->id || strcmp(o->name, p->name) != 0 || o->non_model != p->non_model ||
          o->has_mesh != p->has_mesh || o->vertex_count != p->vertex_count ||
          o->triangle_count != p->triangle_count || o->has_components != p->has_components ||
          o->component_count != p->component_count ||
          !same_bits(o->vertices, p->vertices,
                     3 * static_cast<size_t>(o->vertex_count) * sizeof(float)) ||
          !same_bits(o->triangles, p->triangles,
                     3 * static_cast<size_t>(o->triangle_count) * sizeof(int32_t)) ||
          !same_bits(o->components, p->components,
                     static_cast<size_t>(o->component_count) * sizeof(ComponentRef)))
        abort();
    }
  }
  const bool has = a->build != nullptr;
  if (has != (b->build != nullptr)) abort();
  if (has && (a->build_close - a->build != b->build_close - b->build ||
              memcmp(a->build, b->build, static_cast<size_t>(a->build_close + 8 - a->build))))
    abort();
}

// A package of one deflated entry named name holding text.
std::string deflated_package(const char* name, const char* text, size_t size) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  if (deflateInit2(&zs, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) abort();
  std::string data(deflateBound(&zs, size) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text));
  zs.avail_in = static_cast<uInt>(size);
  zs.next_out = reinterpret_cast<Bytef*>(&data[0]);
  zs.avail_out = static_cast<uInt>(data.size());
  if (deflate(&zs, Z_FINISH) != Z_STREAM_END) abort();
  data.resize(zs.total_out);
  deflateEnd(&zs);
  auto u16 = [](std::string* s, uint32_t v) {
    s->push_back(static_cast<char>(v));
    s->push_back(static_cast<char>(v >> 8));
  };
  auto u32 = [&](std::string* s, uint32_t v) {
    u16(s, v & 0xFFFF);
    u16(s, v >> 16);
  };
  const uint32_t n = static_cast<uint32_t>(strlen(name));
  std::string zip;
  u32(&zip, 0x04034b50);
  for (uint32_t v : {20u, 0u, 8u, 0u, 0u}) u16(&zip, v);
  u32(&zip, 0);
  u32(&zip, static_cast<uint32_t>(data.size()));
  u32(&zip, static_cast<uint32_t>(size));
  u16(&zip, n);
  u16(&zip, 0);
  zip += name;
  zip += data;
  const uint32_t directory = static_cast<uint32_t>(zip.size());
  u32(&zip, 0x02014b50);
  for (uint32_t v : {20u, 20u, 0u, 8u, 0u, 0u}) u16(&zip, v);
  u32(&zip, 0);
  u32(&zip, static_cast<uint32_t>(data.size()));
  u32(&zip, static_cast<uint32_t>(size));
  u16(&zip, n);
  for (uint32_t v : {0u, 0u, 0u, 0u}) u16(&zip, v);
  u32(&zip, 0);
  u32(&zip, 0);
  zip += name;
  const uint32_t directory_size = static_cast<uint32_t>(zip.size()) - directory;
  u32(&zip, 0x06054b50);
  for (uint32_t v : {0u, 0u, 1u, 1u}) u16(&zip, v);
  u32(&zip, directory_size);
  u32(&zip, directory);
  u16(&zip, 0);
  return zip;
}

// Reads the root and its other parts again, each from a package entry in
// pieces of piece bytes; they must agree with the memory read.
void read_in_pieces(const ModelParts* memory, const std::vector<const char*>& chunk,
                    const std::vector<uint64_t>& lengths, size_t piece) {
  const std::string root = deflated_package("3D/3dmodel.model", chunk[0], lengths[0]);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(root.data());
  ModelParts parts;
  const uint64_t header = zip_find_entry(bytes, root.size(), "3D/3dmodel.model");
  const int status =
      model_parts_read_root_entry(&parts, bytes, root.size(), header, "3D/3dmodel.model", piece);
  if (status != kPartRead) abort();  // memory does not run out here
  for (int k = 1; k < parts.count; k++) {
    const size_t c =
        static_cast<size_t>(k) < lengths.size() ? static_cast<size_t>(k) : lengths.size() - 1;
    const std::string other = deflated_package("3D/other.model", chunk[c], lengths[c]);
    const uint8_t* b = reinterpret_cast<const uint8_t*>(other.data());
    const uint64_t at = zip_find_entry(b, other.size(), "3D/other.model");
    if (model_parts_read_part_entry(&parts, k, b, other.size(), at, piece) != kPartRead) {
      abort();
    }
  }
  expect_same(memory, &parts);
  model_parts_free(&parts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static FILE* sink = fopen("/dev/null", "w");
  const uint8_t mode = data[0];
  data++;
  size--;
  // Like the real input buffer: one zero byte behind the XML.
  char* xml = static_cast<char*>(malloc(size + 1));
  if (!xml) return 0;
  memcpy(xml, data, size);
  xml[size] = 0;
  std::vector<const char*> chunk = {xml};
  for (size_t i = 0; i < size; i++) {
    if (xml[i] == 0) chunk.push_back(xml + i + 1);
  }
  chunk.push_back(xml + size + 1);  // the end of the last chunk, past its zero byte
  const size_t chunks = chunk.size() - 1;
  auto length_of = [&](size_t c) { return static_cast<uint64_t>(chunk[c + 1] - 1 - chunk[c]); };
  std::vector<uint64_t> lengths;
  for (size_t c = 0; c < chunks; c++) lengths.push_back(length_of(c));

  const BuildSettings settings = {mode & 1, (mode >> 1) % 64 + 1};
  FILE* warnings = mode & 0x80 ? sink : nullptr;
  Model model;
  ObjectInfo* infos = nullptr;
  int n = 0;
  ModelParts parts;
  if (model_parts_read_root(&parts, xml, length_of(0), "3D/3dmodel.model")) {
    const RefPart root = ref_read(xml, length_of(0), true);
    expect_part(&parts, 0, root);
    expect_build(&parts, root);
    expect_registration(&parts, root);
    for (int k = 1; k < parts.count; k++) {
      const size_t c = static_cast<size_t>(k) < chunks ? static_cast<size_t>(k) : chunks - 1;
      if (!model_parts_read_part(&parts, k, chunk[c], length_of(c))) break;
      expect_part(&parts, k, ref_read(chunk[c], length_of(c), false));
    }
    // Pieces of 1 to 61 bytes, and the default.
    read_in_pieces(&parts, chunk, lengths, 1 + static_cast<size_t>(length_of(0) % 61));
    read_in_pieces(&parts, chunk, lengths, 0);
    n = model_parts_build(&parts, &settings, warnings, &model, &infos);
    model_parts_free(&parts);
  } else {
    model_init(&model);
  }
  int32_t total = 0;
  for (int i = 0; i < n; i++) {
    if (infos[i].first_triangle < 0 || infos[i].triangle_count < 0 ||
        infos[i].first_triangle > model.count - infos[i].triangle_count ||
        memchr(infos[i].name, 0, sizeof infos[i].name) == nullptr)
      abort();
    total += infos[i].triangle_count;
  }
  if (n > 0 && total != model.count) abort();
  if (n > 0 && model.count > 0 && model.count <= 20000) fuzz_pipeline(&model);
  free(infos);
  model_free(&model);
  free(xml);
  return 0;
}
