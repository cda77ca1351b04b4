// STL readers: binary records in one read, ASCII line by line.
#include "stl.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "scan.h"

static const uint32_t kMaxBinaryTriangles = 50000000;
static const size_t kRecordBytes = 50;

static uint32_t read_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int is_binary_stl(const char* path) {
  FILE* f = platform_fopen(path, "rb");
  if (!f) return 1;
  uint8_t head[84];
  if (fread(head, 1, sizeof head, f) < sizeof head) {
    fclose(f);
    return 1;
  }
  const bool solid = memcmp(head, "solid", 5) == 0;
  if (solid) {
    char text[1024];
    rewind(f);
    size_t n = fread(text, 1, sizeof text - 1, f);
    text[n] = '\0';
    // ASCII-only lower-casing: the C locale leaves other bytes alone too.
    for (size_t i = 0; i < n; i++) {
      if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
    if (strstr(text, "facet") && strstr(text, "normal")) {
      fclose(f);
      return 0;
    }
  }
  const uint32_t count = read_u32_le(head + 80);
  const int64_t size = stream_size(f);
  fclose(f);
  // Within 2 bytes of 84 + 50 * count, in wrapping 32-bit arithmetic.
  const uint32_t slack = 50u * count - static_cast<uint32_t>(size) + 86u;
  if (slack <= 4) return 1;
  return solid ? 0 : 1;
}

int parse_stl_binary(const char* path, Model* model) {
  FILE* f = platform_fopen(path, "rb");
  if (!f) return -1;
  uint8_t head[84];
  if (fread(head, 1, sizeof head, f) < sizeof head) {
    fclose(f);
    return -1;
  }
  uint32_t count = read_u32_le(head + 80);
  if (count == 0) {
    fclose(f);
    return 0;
  }
  if (count > kMaxBinaryTriangles) {
    fclose(f);
    return -1;
  }
  // The declared count is only a promise: read the records in pieces, so a
  // short file that declares millions of triangles costs what it holds.
  // Growing once to what the file can hold gives the same capacity as one
  // doubling per overflow, with fewer copies.
  const int64_t size = stream_size(f);
  if (size >= 0 && fseek(f, 84, SEEK_SET) != 0) {
    fclose(f);
    return -1;
  }
  const uint64_t room = size > 84 ? static_cast<uint64_t>(size - 84) / kRecordBytes : 0;
  const uint32_t expected = room < count ? static_cast<uint32_t>(room) : count;
  while (static_cast<uint32_t>(model->capacity) - static_cast<uint32_t>(model->count) < expected) {
    if (model_grow(model) != 0) {
      fclose(f);
      return -1;
    }
  }
  model->is_binary = 1;
  static const uint32_t kChunkRecords = 4096;
  uint8_t* chunk = static_cast<uint8_t*>(malloc(kRecordBytes * kChunkRecords));
  if (!chunk) {
    fclose(f);
    return -1;
  }
  uint32_t done = 0;
  int rc = 0;
  while (done < count) {
    const uint32_t want = count - done < kChunkRecords ? count - done : kChunkRecords;
    // A final partial record is dropped.
    const uint32_t got =
        static_cast<uint32_t>(fread(chunk, 1, kRecordBytes * want, f) / kRecordBytes);
    for (uint32_t i = 0; i < got; i++) {
      if (model->count >= model->capacity && model_grow(model) != 0) {
        rc = -1;
        break;
      }
      const uint8_t* rec = chunk + i * kRecordBytes;
      Triangle* tri = &model->triangles[model->count++];
      memcpy(tri->vertices, rec + 12, 36);  // bit for bit, NaN payloads included
      memcpy(tri->normal, rec, 12);
      model_widen_box(model, tri);
      done++;
    }
    if (rc != 0) break;
    if (got < want) {
      if (ferror(f)) rc = -1;  // a read error is not the end of the file
      break;
    }
  }
  free(chunk);
  fclose(f);
  if (rc != 0) return -1;
  count = done;
  model->source_count = static_cast<int32_t>(count);
  return 0;
}

static bool starts_with(const char* s, const char* prefix, size_t n) {
  return strncmp(s, prefix, n) == 0;
}

int parse_stl_ascii(const char* path, Model* model) {
  FILE* f = platform_fopen(path, "r");
  if (!f) return -1;
  model->is_binary = 0;
  Triangle pending;
  memset(&pending, 0, sizeof pending);
  int k = 0;
  char line[512];
  int rc = 0;
  while (fgets(line, sizeof line, f)) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') p++;
    if (starts_with(p, "facet normal", 12)) {
      scan_float3(p + 12, pending.normal);
      k = 0;
    } else if (starts_with(p, "vertex", 6)) {
      if (k <= 2) {
        scan_float3(p + 6, pending.vertices[k]);
        k++;  // advances even when no number could be read
      }
    } else if (starts_with(p, "endfacet", 8) && k == 3) {
      if (model_push(model, &pending) != 0) {
        rc = -1;
        break;
      }
    }
  }
  if (rc == 0 && ferror(f)) rc = -1;
  fclose(f);
  model->source_count = model->count;
  return rc;
}

int parse_stl(const char* path, Model* model) {
  return is_binary_stl(path) ? parse_stl_binary(path, model) : parse_stl_ascii(path, model);
}
