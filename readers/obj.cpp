// Wavefront OBJ reader: "v" and "f" lines, fan triangulation, flat normals.
#include "obj.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "scan.h"
#include "text_source.h"

// Lines are read the way fgets fills a 1024-byte buffer: at most 1023 bytes
// at a time, so a longer line arrives in pieces that are parsed on their own.
static const size_t kPieceChars = 1023;
static const int kMaxFaceIndices = 64;
static const int64_t kVertexInitialCapacity = 4096;

namespace {

struct VertexTable {
  float* xyz;
  int64_t count;
  int64_t capacity;
};

}  // namespace

static int table_push(VertexTable* t, const float xyz[3]) {
  if (t->count == t->capacity) {
    // source_count is an int32, and so is every face index.
    if (t->capacity >= INT32_MAX) return -1;
    int64_t capacity = t->capacity * 2;
    if (capacity > INT32_MAX) capacity = INT32_MAX;
    if (static_cast<uint64_t>(capacity) > SIZE_MAX / (3 * sizeof(float))) return -1;
    void* grown = realloc(t->xyz, static_cast<size_t>(capacity) * 3 * sizeof(float));
    if (!grown) return -1;
    t->xyz = static_cast<float*>(grown);
    t->capacity = capacity;
  }
  float* slot = t->xyz + t->count * 3;
  slot[0] = xyz[0];
  slot[1] = xyz[1];
  slot[2] = xyz[2];
  t->count++;
  return 0;
}

static bool ends_token(char c) {
  return c == ' ' || c == '\t' || c == '\0' || c == '\n' || c == '\r';
}

// Reads the indices of one face (the text after "f" and its separator, up
// to the end of its line or limit) and appends its fan. Each token's number
// is read as atoi reads it (whitespace, which inside a token can only be
// a vertical tab or form feed, a sign, digits, saturating at the int range),
// then the rest of the token is skipped. Sets *stop where the reading ended,
// never past an LF or CR. Returns -1 when the model cannot grow.
static int read_face(const char* p, const char* limit, const VertexTable* table, Model* model,
                     TextBox* box, const char** stop) {
  int64_t index[kMaxFaceIndices];
  int n = 0;
  const int64_t vertices = table->count;
  const int64_t saturated = static_cast<int64_t>(INT32_MAX) + 1;
  while (n < kMaxFaceIndices) {
    while (p < limit && (*p == ' ' || *p == '\t')) p++;
    if (p == limit || *p == '\0' || *p == '\n' || *p == '\r') break;
    while (p < limit && (*p == '\v' || *p == '\f')) p++;
    bool negative = false;
    if (p < limit && (*p == '-' || *p == '+')) negative = *p++ == '-';
    int64_t value = 0;
    int digits = 8;
    if (limit - p >= 8) value = scan_eight_digits(p, &digits);
    if (digits < 8) {
      p += digits;
    } else {
      value = 0;  // a long run, or near the end: one digit at a time
      for (; p < limit && *p >= '0' && *p <= '9'; p++) {
        if (value <= saturated) value = value * 10 + (*p - '0');
      }
    }
    while (p < limit && !ends_token(*p)) p++;
    if (negative) value = value >= saturated ? INT32_MIN : -value;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value > 0) {
      index[n++] = value - 1;
    } else if (value < 0) {
      index[n++] = vertices + value;  // relative: -1 is the latest vertex
    }
  }
  *stop = p;
  if (n < 3 || index[0] < 0 || index[0] >= vertices) return 0;
  const float* p0 = table->xyz + index[0] * 3;
  for (int k = 1; k + 1 < n; k++) {
    int64_t i1 = index[k];
    int64_t i2 = index[k + 1];
    if (i1 < 0 || i1 >= vertices || i2 < 0 || i2 >= vertices) continue;
    const float* p1 = table->xyz + i1 * 3;
    const float* p2 = table->xyz + i2 * 3;
    Triangle tri;
    for (int a = 0; a < 3; a++) {
      tri.vertices[0][a] = p0[a];
      tri.vertices[1][a] = p1[a];
      tri.vertices[2][a] = p2[a];
    }
    facet_normal(p0, p1, p2, tri.normal);
    if (text_push(model, box, &tri) != 0) return -1;
  }
  return 0;
}

// One line piece from p, at most up to limit: sets *stop where its reading
// ended (no LF or CR before it). Returns -1 when a table cannot grow.
static int read_piece(const char* p, const char* limit, VertexTable* table, Model* model,
                      TextBox* box, const char** stop) {
  while (p < limit && (*p == ' ' || *p == '\t')) p++;
  *stop = p;
  if (limit - p < 2) return 0;
  if (p[0] == 'v' && p[1] == ' ') {
    float xyz[3];
    if (scan_line_float3(p + 2, limit, xyz, stop) == 3) return table_push(table, xyz);
  } else if (p[0] == 'f' && (p[1] == ' ' || p[1] == '\t')) {
    return read_face(p + 2, limit, table, model, box, stop);
  }
  return 0;
}

// The whole reading: pieces of at most 1023 bytes that end after LF or CR.
static int read_obj(TextSource* source, Model* model) {
  int rc = model_init(model);
  VertexTable table = {
      static_cast<float*>(malloc(static_cast<size_t>(kVertexInitialCapacity) * 3 * sizeof(float))),
      0, kVertexInitialCapacity};
  if (!table.xyz) rc = -1;
  TextBox box;
  text_box_load(&box, model);
  const char* p = source->pos;
  while (rc == 0) {
    if (static_cast<size_t>(source->end - p) < kPieceChars) {
      text_source_fill(source, &p, kPieceChars);
      if (p == source->end) break;
    }
    const char* limit =
        source->end - p > static_cast<ptrdiff_t>(kPieceChars) ? p + kPieceChars : source->end;
    // The piece ends at the first LF or CR after what was read.
    const char* stop;
    rc = read_piece(p, limit, &table, model, &box, &stop);
    p = stop < limit && *stop == '\n' ? stop + 1 : text_piece_end(stop, limit);
  }
  text_box_store(&box, model);
  if (source->failed) rc = -1;

  if (rc == 0) {
    model->source_count = static_cast<int32_t>(table.count);
  } else {
    model_free(model);
  }
  free(table.xyz);
  return rc;
}

int parse_obj(const char* path, Model* model) {
  FILE* file = platform_fopen(path, "rb");
  if (!file) return -1;
  TextSource source;
  if (text_source_open_file(&source, file, true) != 0) source.failed = true;
  int rc = read_obj(&source, model);
  text_source_close(&source);
  fclose(file);
  return rc;
}

int parse_obj_bytes(const uint8_t* data, size_t size, Model* model) {
  TextSource source;
  if (text_source_open_memory(&source, data, size, true) != 0) source.failed = true;
  int rc = read_obj(&source, model);
  text_source_close(&source);
  return rc;
}
