// Fuzzes the 3MF input path: ZIP detection and extraction, the XML scanner
// and the model builder, in render mode with a small budget, then the core.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "builder.h"
#include "fuzz_util.h"
#include "input3mf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Like the real input buffer: one spare byte behind the data.
  uint8_t* input = static_cast<uint8_t*>(malloc(size + 1));
  if (!input) return 0;
  memcpy(input, data, size);
  input[size] = 0;
  const char* xml = nullptr;
  uint64_t xml_length = 0;
  uint8_t* entry = nullptr;
  if (input_model_xml(input, size, &xml, &xml_length, &entry)) {
    g_use_sampling = 1;
    g_max_tris_budget = 1000;
    Model model;
    ObjectInfo* infos = nullptr;
    if (parse_3mf_xml_to_model(xml, xml_length, &model, &infos) > 0) fuzz_pipeline(&model);
    free(infos);
    model_free(&model);
    free(entry);
  }
  free(input);
  return 0;
}
