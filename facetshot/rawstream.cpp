// Raw triangle stream reader: one read for the body, one pass to convert.
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
  uint8_t* body = static_cast<uint8_t*>(malloc(kTriangleBytes * count));
  if (!body) return kRawStreamCannotParse;
  const size_t n = fread(body, 1, kTriangleBytes * count, in) / kTriangleBytes;
  if (n == 0) {
    free(body);
    return kRawStreamNoTriangles;
  }
  for (size_t i = 0; i < n; i++) {
    Triangle tri;
    memcpy(tri.vertices, body + i * kTriangleBytes, kTriangleBytes);
    facet_normal(tri.vertices[0], tri.vertices[1], tri.vertices[2], tri.normal);
    if (model_push(model, &tri) != 0) {
      free(body);
      return kRawStreamCannotParse;
    }
  }
  free(body);
  model->source_count = static_cast<int32_t>(n);
  model->is_binary = 0;
  return kRawStreamOk;
}
