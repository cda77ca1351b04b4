// 3MF input: a whole stream held in memory, the package's parts found by
// name or relationship, and the model built from the package or bare XML.
#include "input3mf.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "blocks.h"
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

int read_stream_all(FILE* stream, InputBlock* out) {
  memset(out, 0, sizeof *out);
  size_t capacity = kFirstBlock;
  uint8_t* block = static_cast<uint8_t*>(big_block_alloc(capacity));
  if (!block) return 0;
  size_t held = 0;
  for (;;) {
    const size_t got = fread(block + held, 1, capacity - held, stream);
    held += got;
    if (got == 0) break;
    if (held == capacity) {
      if (capacity > SIZE_MAX / 2) {
        big_block_free(block, capacity);
        return 0;
      }
      void* grown = big_block_grow(block, capacity, capacity * 2);
      if (!grown) {
        big_block_free(block, capacity);
        return 0;
      }
      block = static_cast<uint8_t*>(grown);
      capacity *= 2;
    }
  }
  // A read error is not the end of the input: refuse rather than parse half.
  if (ferror(stream)) {
    big_block_free(block, capacity);
    return 0;
  }
  block[held] = 0;  // the spare byte: readers that run to the end stop here
  out->data = block;
  out->length = held;
  out->capacity = capacity;
  return 1;
}

void input_block_free(InputBlock* block) {
  big_block_free(block->data, block->capacity);
  memset(block, 0, sizeof *block);
}

int read_stdin_all(InputBlock* out) {
  stream_set_binary(stdin);
  return read_stream_all(stdin, out);
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

// Reads the root model part of a package into parts: the fixed names
// first, as packages have always been read, then the part the model
// relationship names; a candidate that cannot be extracted passes to the
// next. Returns kPartRead, kPartNoMemory, or kPartUnreadable when there is
// no readable candidate (parts then holds nothing).
static int read_root_part(const uint8_t* input, uint64_t length, ModelParts* parts) {
  memset(parts, 0, sizeof *parts);
  for (const char* fixed : {kFixedModelName, kFixedModelNameRooted}) {
    const uint64_t header = zip_find_entry(input, length, fixed);
    if (header == UINT64_MAX) continue;
    const int status = model_parts_read_root_entry(parts, input, length, header, fixed, 0);
    if (status != kPartUnreadable) return status;
  }
  char* target = package_relationship_target(input, length, kRelationship3dModel);
  int status = kPartUnreadable;
  const uint64_t header = target ? zip_find_part(input, length, target) : UINT64_MAX;
  if (header != UINT64_MAX) {
    status = model_parts_read_root_entry(parts, input, length, header, target, 0);
  }
  free(target);
  return status;
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
    if (headers[k] == 0) continue;
    ok = model_parts_read_part_entry(parts, k, package, length, headers[k] - 1, 0) != kPartNoMemory;
  }
  free(headers);
  return ok;
}

// build_3mf_model; with release non-null, release(owner) is called once no
// part of the input is needed any more.
static int build_input(const uint8_t* input, uint64_t length, void (*release)(void*), void* owner,
                       const BuildSettings* settings, FILE* warnings, Model* model,
                       ObjectInfo** infos, int* count) {
  *infos = nullptr;
  *count = 0;
  const bool package = looks_like_zip(input, length) != 0;
  ModelParts parts;
  bool ok;
  if (package) {
    const int status = read_root_part(input, length, &parts);
    if (status == kPartUnreadable) {
      model_parts_free(&parts);
      return kInput3mfNoModelPart;
    }
    ok = status == kPartRead;
    // The root part's build element is copied, so the package is needed
    // only while other parts are still to be read: dropping it before the
    // build keeps the peak to the package or the mesh.
    if (ok) ok = read_other_parts(input, length, &parts);
    if (release) {
      release(owner);
      release = nullptr;
    }
  } else {
    ok = model_parts_read_root(&parts, reinterpret_cast<const char*>(input), length, nullptr) != 0;
  }
  if (ok) {
    *count = model_parts_build(&parts, settings, warnings, model, infos);
  } else {
    model_init(model);
  }
  model_parts_free(&parts);
  if (release) release(owner);
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
  return build_input(input, length, nullptr, nullptr, settings, warnings, model, infos, count);
}

static void release_input(void* owner) {
  input_block_free(static_cast<InputBlock*>(owner));
}

int load_3mf_from_stdin(const BuildSettings* settings, Model* model, ObjectInfo** infos, int* count,
                        double* t_read) {
  *infos = nullptr;
  *count = 0;
  InputBlock input;
  if (!read_stdin_all(&input)) {
    fputs("ERROR: malloc/read failed\n", stderr);
    return 2;
  }
  *t_read = get_time_ms();
  const int status = build_input(input.data, input.length, release_input, &input, settings, stderr,
                                 model, infos, count);
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
