// Fuzzes the 3MF input path: ZIP detection, the root part by name or
// relationship, the other model parts it names, the XML scanner and the
// model builder, in render mode with a small budget, then the core.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builder.h"
#include "fuzz_util.h"
#include "input3mf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = fopen("/dev/null", "w");
  // Exactly sized: the entry point promises to read nothing beyond the input.
  uint8_t* input = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!input) return 0;
  memcpy(input, data, size);
  const BuildSettings settings = {1, 1000};
  Model model;
  ObjectInfo* infos = nullptr;
  int n = 0;
  if (build_3mf_model(input, size, &settings, sink, &model, &infos, &n) == kInput3mfOk) {
    if (n < 1 || model.count < 1) abort();
    fuzz_pipeline(&model);
    free(infos);
    model_free(&model);
  } else if (infos || n) {
    abort();
  }
  free(input);
  return 0;
}
