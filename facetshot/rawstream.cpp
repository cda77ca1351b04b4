// Raw triangle stream reader.
#include "rawstream.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static const uint32_t kMaxTriangles = 50000000;
static const size_t kTriangleBytes = 36;

RawStreamResult read_raw_triangles(FILE* in, Model* model) {
  uint8_t head[4];
  if (fread(head, 1, 4, in) < 4) return kRawStreamCannotParse;
  const uint32_t count = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8 |
                         static_cast<uint32_t>(head[2]) << 16 |
                         static_cast<uint32_t>(head[3]) << 24;
  if (count == 0) return kRawStreamNoTriangles;
  if (count > kMaxTriangles) return kRawStreamCannotParse;
  // Read in pieces: a stream that declares millions of triangles and ends
  // early costs only what it holds.
  static const uint32_t kChunkTriangles = 4096;
  uint8_t* chunk = static_cast<uint8_t*>(malloc(kTriangleBytes * kChunkTriangles));
  if (!chunk) return kRawStreamCannotParse;
  uint32_t n = 0;
  while (n < count) {
    const uint32_t want = count - n < kChunkTriangles ? count - n : kChunkTriangles;
    const size_t got = fread(chunk, 1, kTriangleBytes * want, in) / kTriangleBytes;
    for (size_t i = 0; i < got; i++) {
      Triangle tri;
      memcpy(tri.vertices, chunk + i * kTriangleBytes, kTriangleBytes);
      facet_normal(tri.vertices[0], tri.vertices[1], tri.vertices[2], tri.normal);
      if (model_push(model, &tri) != 0) {
        free(chunk);
        return kRawStreamCannotParse;
      }
    }
    n += static_cast<uint32_t>(got);
    if (got < want) break;
  }
  free(chunk);
  if (n == 0) return kRawStreamNoTriangles;
  model->source_count = static_cast<int32_t>(n);
  model->is_binary = 0;
  return kRawStreamOk;
}
