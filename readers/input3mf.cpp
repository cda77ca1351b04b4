// 3MF input: a whole stream held in memory, the package's parts found by
// name or relationship, and the model built from the package or bare XML.
#include "input3mf.h"

#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "xml3mf.h"
#include "zip.h"

const char kRelationship3dModel[] = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";
const char kRelationshipThumbnail[] =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/thumbnail";

static const size_t kFirstBlock = 16777216;  // 16 MiB: most inputs in one read
static const char kFixedModelName[] = "3D/3dmodel.model";
static const char kFixedModelNameRooted[] = "/3D/3dmodel.model";
static const char kPackageRelationships[] = "_rels/.rels";

int read_stream_all(FILE* stream, uint8_t** out, uint64_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  size_t capacity = kFirstBlock;
  uint8_t* block = static_cast<uint8_t*>(malloc(capacity));
  if (!block) return 0;
  size_t held = 0;
  for (;;) {
    const size_t got = fread(block + held, 1, capacity - held, stream);
    held += got;
    if (got == 0) break;
    if (held == capacity) {
      if (capacity > SIZE_MAX / 2) {
        free(block);
        return 0;
      }
      void* grown = realloc(block, capacity * 2);
      if (!grown) {
        free(block);
        return 0;
      }
      block = static_cast<uint8_t*>(grown);
      capacity *= 2;
    }
  }
  // A read error is not the end of the input: refuse rather than parse half.
  if (ferror(stream)) {
    free(block);
    return 0;
  }
  block[held] = 0;  // the spare byte: readers that run to the end stop here
  *out = block;
  *out_length = held;
  return 1;
}

int read_stdin_all(uint8_t** out, uint64_t* out_length) {
  stream_set_binary(stdin);
  return read_stream_all(stdin, out, out_length);
}

// Length of an attribute value: up to a quote, an apostrophe, '>' or end.
static size_t value_length(const char* p, const char* end) {
  const char* q = p;
  while (q < end && *q != '"' && *q != '\'' && *q != '>') q++;
  return static_cast<size_t>(q - p);
}

static bool equal_ignoring_case(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + ('a' - 'A'));
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + ('a' - 'A'));
    if (x != y) return false;
  }
  return true;
}

static bool is_xml_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char* package_relationship_target(const uint8_t* package, uint64_t length, const char* type) {
  if (!looks_like_zip(package, length)) return nullptr;
  uint8_t* rels = nullptr;
  uint64_t rels_length = 0;
  if (!zip_extract_part(package, length, kPackageRelationships, &rels, &rels_length)) {
    return nullptr;
  }
  const char* xml = reinterpret_cast<const char*>(rels);
  const char* end = xml + rels_length;
  const size_t type_length = strlen(type);
  static const char kTag[] = "<Relationship";
  const size_t tag_length = sizeof kTag - 1;
  char* target = nullptr;
  GtFinder gt = {nullptr, nullptr};
  for (const char* p = xml; !target && end - p > static_cast<ptrdiff_t>(tag_length);) {
    p = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(end - p)));
    if (!p || end - p <= static_cast<ptrdiff_t>(tag_length)) break;
    const char after = p[tag_length];
    if (memcmp(p, kTag, tag_length) != 0 ||
        !(is_xml_space(after) || after == '/' || after == '>')) {
      p++;
      continue;
    }
    const char* tag_end = gt_find(&gt, p + tag_length, end);
    if (!tag_end) break;
    AttrSet a;
    scan_attrs(&a, p + tag_length, tag_end);
    p = tag_end + 1;
    const char* t = a.value[kAttrRelType];
    const char* target_value = a.value[kAttrTarget];
    if (!t || !target_value || value_length(t, end) != type_length ||
        !equal_ignoring_case(t, type, type_length)) {
      continue;
    }
    const size_t n = value_length(target_value, end);
    target = static_cast<char*>(malloc(n + 1));
    if (!target) break;
    memcpy(target, target_value, n);
    target[n] = 0;
  }
  free(rels);
  return target;
}

// The root model part of a package: the fixed names first, as packages have
// always been read, then the part the model relationship names. Returns 1
// with *entry the part (malloc'd, zero byte after it) and *name its part
// name (malloc'd), or 0 with both null.
static int extract_root_part(const uint8_t* input, uint64_t length, uint8_t** entry,
                             uint64_t* entry_length, char** name) {
  *name = nullptr;
  const char* fixed = nullptr;
  if (zip_extract_entry(input, length, kFixedModelName, entry, entry_length)) {
    fixed = kFixedModelName;
  } else if (zip_extract_entry(input, length, kFixedModelNameRooted, entry, entry_length)) {
    fixed = kFixedModelNameRooted;
  }
  if (fixed) {
    *name = static_cast<char*>(malloc(sizeof kFixedModelNameRooted));
    if (*name) memcpy(*name, fixed, strlen(fixed) + 1);
    return 1;
  }
  char* target = package_relationship_target(input, length, kRelationship3dModel);
  if (target && zip_extract_part(input, length, target, entry, entry_length)) {
    *name = target;
    return 1;
  }
  free(target);
  return 0;
}

// True when the model XML may name other model parts: only then is the
// package needed once the root part is out.
static bool mentions_other_parts(const char* xml, uint64_t length) {
  static const char kPath[] = "p:path";
  const char* end = xml + length;
  for (const char* p = xml; end - p >= 6;) {
    p = static_cast<const char*>(memchr(p, 'p', static_cast<size_t>(end - p - 5)));
    if (!p) return false;
    if (memcmp(p, kPath, 6) == 0) return true;
    p++;
  }
  return false;
}

// Reads every registered part besides the root from the package: one walk
// over the directory finds them all (the first entry of each name counts).
// Parts that are missing or unreadable stay empty. Returns false when
// memory runs out.
static bool read_other_parts(const uint8_t* package, uint64_t length, ModelParts* parts) {
  if (parts->count <= 1) return true;
  uint64_t* headers = static_cast<uint64_t*>(calloc(static_cast<size_t>(parts->count), 8));
  if (!headers) return false;
  ZipDirectory dir;
  if (zip_open_directory(package, length, &dir)) {
    ZipEntryName e;
    while (zip_next_entry(package, &dir, &e)) {
      const int k = model_parts_find(parts, e.name, static_cast<size_t>(e.name_length));
      if (k > 0 && headers[k] == 0) headers[k] = e.header + 1;
    }
  }
  bool ok = true;
  for (int k = 1; k < parts->count && ok; k++) {
    uint8_t* xml = nullptr;
    uint64_t xml_length = 0;
    if (headers[k] == 0 || !zip_extract_at(package, length, headers[k] - 1, &xml, &xml_length)) {
      continue;
    }
    ok = model_parts_read_part(parts, k, reinterpret_cast<const char*>(xml), xml_length) != 0;
    free(xml);
  }
  free(headers);
  return ok;
}

// build_3mf_model; with owned non-null, *owned is the input, freed (and
// nulled) once no part of it is needed any more.
static int build_input(const uint8_t* input, uint64_t length, uint8_t** owned,
                       const BuildSettings* settings, FILE* warnings, Model* model,
                       ObjectInfo** infos, int* count) {
  *infos = nullptr;
  *count = 0;
  const char* xml = reinterpret_cast<const char*>(input);
  uint64_t xml_length = length;
  uint8_t* entry = nullptr;
  char* root_name = nullptr;
  const bool package = looks_like_zip(input, length) != 0;
  if (package) {
    if (!extract_root_part(input, length, &entry, &xml_length, &root_name)) {
      return kInput3mfNoModelPart;
    }
    xml = reinterpret_cast<const char*>(entry);
  }
  // Dropping the package before the build keeps the peak to the XML and the
  // mesh; it stays only while other parts are still to be read.
  if (package && owned && !mentions_other_parts(xml, xml_length)) {
    free(*owned);
    *owned = nullptr;
  }
  ModelParts parts;
  bool ok = model_parts_read_root(&parts, xml, xml_length, root_name) != 0;
  free(root_name);
  if (ok && package && (!owned || *owned)) ok = read_other_parts(input, length, &parts);
  if (package && owned && *owned) {
    free(*owned);
    *owned = nullptr;
  }
  if (ok) {
    *count = model_parts_build(&parts, settings, warnings, model, infos);
  } else {
    model_init(model);
  }
  model_parts_free(&parts);
  free(entry);
  if (!ok || *count == 0 || model->count == 0) {
    free(*infos);
    *infos = nullptr;
    *count = 0;
    model_free(model);
    return kInput3mfNoMesh;
  }
  return kInput3mfOk;
}

int build_3mf_model(const uint8_t* input, uint64_t length, const BuildSettings* settings,
                    FILE* warnings, Model* model, ObjectInfo** infos, int* count) {
  return build_input(input, length, nullptr, settings, warnings, model, infos, count);
}

int load_3mf_from_stdin(const BuildSettings* settings, Model* model, ObjectInfo** infos, int* count,
                        double* t_read) {
  *infos = nullptr;
  *count = 0;
  uint8_t* input = nullptr;
  uint64_t input_length = 0;
  if (!read_stdin_all(&input, &input_length)) {
    fputs("ERROR: malloc/read failed\n", stderr);
    return 2;
  }
  *t_read = get_time_ms();
  const int status =
      build_input(input, input_length, &input, settings, stderr, model, infos, count);
  free(input);
  if (status == kInput3mfNoModelPart) {
    fputs("ERROR: 3MF ZIP does not contain 3D/3dmodel.model\n", stderr);
    return 3;
  }
  if (status == kInput3mfNoMesh) {
    fputs("ERROR: No mesh data in 3MF XML\n", stderr);
    return 3;
  }
  return 0;
}
