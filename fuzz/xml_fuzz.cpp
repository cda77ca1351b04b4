// Fuzzes the XML scanner and the model builder on bare model XML, in parse
// mode (no sampling) and in render mode (sampling with a small budget); the
// first byte picks the mode, the budget and whether warnings are written.
// The rest holds the root part and, after each zero byte, one more model
// part: part k of those the root names reads chunk k (the last chunk when
// there are fewer), so references across parts are exercised too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "builder.h"
#include "fuzz_util.h"

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

  const BuildSettings settings = {mode & 1, (mode >> 1) % 64 + 1};
  FILE* warnings = mode & 0x80 ? sink : nullptr;
  Model model;
  ObjectInfo* infos = nullptr;
  int n = 0;
  ModelParts parts;
  if (model_parts_read_root(&parts, xml, length_of(0), "3D/3dmodel.model")) {
    for (int k = 1; k < parts.count; k++) {
      const size_t c = static_cast<size_t>(k) < chunks ? static_cast<size_t>(k) : chunks - 1;
      if (!model_parts_read_part(&parts, k, chunk[c], length_of(c))) break;
    }
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
