// Wavefront OBJ reader: "v" and "f" lines, fan triangulation, flat normals.
#include "obj.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "scan.h"
#include "util.h"

// Lines are read the way fgets fills a 1024-byte buffer: at most 1023 bytes
// at a time, so a longer line arrives in pieces that are parsed on their own.
static const size_t kPieceChars = 1023;
static const size_t kReadBlock = size_t{1} << 17;
static const int kMaxFaceIndices = 64;
static const int64_t kVertexInitialCapacity = 4096;
static const unsigned char kCtrlZ = 0x1a;

namespace {

// Pieces of lines out of a block buffer. The file is opened in binary mode
// and the one effect of text mode that changes what is read, a Ctrl-Z ending
// the file, is applied here, so every platform reads what the Windows runtime
// reads. (Text mode also turns CR LF into LF, but a CR before the LF ends a
// face and is blank to "%f", and it cannot move a piece boundary before it.)
struct PieceReader {
  FILE* file;
  char* buffer;  // kReadBlock bytes and one more for a terminating NUL
  size_t pos;
  size_t len;
  bool at_end;
  bool failed;
};

struct VertexTable {
  float* xyz;
  int64_t count;
  int64_t capacity;
};

}  // namespace

// Makes a whole piece available from pos unless the file ends first.
static void reader_fill(PieceReader* r) {
  if (r->at_end || r->len - r->pos >= kPieceChars) return;
  memmove(r->buffer, r->buffer + r->pos, r->len - r->pos);
  r->len -= r->pos;
  r->pos = 0;
  while (!r->at_end && r->len < kPieceChars) {
    size_t want = kReadBlock - r->len;
    size_t got = fread(r->buffer + r->len, 1, want, r->file);
    if (got < want) {
      r->at_end = true;
      r->failed = ferror(r->file) != 0;
    }
    const void* stop = memchr(r->buffer + r->len, kCtrlZ, got);
    if (stop) {
      got = static_cast<size_t>(static_cast<const char*>(stop) - (r->buffer + r->len));
      r->at_end = true;
    }
    r->len += got;
  }
}

// The next piece as fgets would return it: up to and including a newline,
// at most kPieceChars bytes. False at the end of the file.
static bool reader_next(PieceReader* r, char** start, char** stop) {
  reader_fill(r);
  size_t avail = r->len - r->pos;
  if (avail == 0) return false;
  if (avail > kPieceChars) avail = kPieceChars;
  char* s = r->buffer + r->pos;
  const void* newline = memchr(s, '\n', avail);
  size_t n = newline ? static_cast<size_t>(static_cast<const char*>(newline) - s) + 1 : avail;
  r->pos += n;
  *start = s;
  *stop = s + n;
  return true;
}

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

// Reads the indices of one face (the text after "f" and its separator) and
// appends its fan. The text is cut into tokens in place so that the number
// reader never looks past its own token. Returns -1 when the model cannot grow.
static int read_face(char* text, const VertexTable* table, Model* model) {
  int64_t index[kMaxFaceIndices];
  int n = 0;
  const int64_t vertices = table->count;
  char* p = text;
  while (n < kMaxFaceIndices) {
    while (*p == ' ' || *p == '\t') p++;
    if (*p == '\0' || *p == '\n' || *p == '\r') break;
    char* token = p;
    while (!ends_token(*p)) p++;
    char separator = *p;
    *p = '\0';
    int value = parse_int_atoi(token);
    *p = separator;
    if (value > 0) {
      index[n++] = static_cast<int64_t>(value) - 1;
    } else if (value < 0) {
      index[n++] = vertices + value;  // relative: -1 is the latest vertex
    }
  }
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
    if (model_push(model, &tri) != 0) return -1;
  }
  return 0;
}

// One piece, NUL-terminated. Returns -1 when a table cannot grow.
static int read_piece(char* line, VertexTable* table, Model* model) {
  char* p = line;
  while (*p == ' ' || *p == '\t') p++;
  if (p[0] == 'v' && p[1] == ' ') {
    float xyz[3];
    if (scan_float3(p + 2, xyz) == 3) return table_push(table, xyz);
  } else if (p[0] == 'f' && (p[1] == ' ' || p[1] == '\t')) {
    return read_face(p + 2, table, model);
  }
  return 0;
}

int parse_obj(const char* path, Model* model) {
  FILE* file = platform_fopen(path, "rb");
  if (!file) return -1;
  int rc = model_init(model);
  PieceReader reader = {file, static_cast<char*>(malloc(kReadBlock + 1)), 0, 0, false, false};
  VertexTable table = {
      static_cast<float*>(malloc(static_cast<size_t>(kVertexInitialCapacity) * 3 * sizeof(float))),
      0, kVertexInitialCapacity};
  if (!reader.buffer || !table.xyz) rc = -1;

  char* start;
  char* stop;
  while (rc == 0 && reader_next(&reader, &start, &stop)) {
    char after = *stop;
    *stop = '\0';
    rc = read_piece(start, &table, model);
    *stop = after;
  }
  if (reader.failed) rc = -1;

  if (rc == 0) {
    model->source_count = static_cast<int32_t>(table.count);
  } else {
    model_free(model);
  }
  free(table.xyz);
  free(reader.buffer);
  fclose(file);
  return rc;
}
