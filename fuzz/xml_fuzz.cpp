// Fuzzes the XML scanner and the model builder on bare model XML, in parse
// mode (no sampling) and in render mode (sampling with a small budget); the
// first byte picks the mode and the budget.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "builder.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  data++;
  size--;
  // Like the real input buffer: one zero byte behind the XML.
  char* xml = static_cast<char*>(malloc(size + 1));
  if (!xml) return 0;
  memcpy(xml, data, size);
  xml[size] = 0;
  g_use_sampling = mode & 1;
  g_max_tris_budget = (mode >> 1) % 64 + 1;
  Model model;
  ObjectInfo* infos = nullptr;
  const int n = parse_3mf_xml_to_model(xml, size, &model, &infos);
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
  g_use_sampling = 1;
  g_max_tris_budget = 500000;
  return 0;
}
