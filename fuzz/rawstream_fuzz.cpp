// Fuzzes the raw triangle stream reader, then the core pipeline.
#include <cstdint>
#include <cstdio>

#include "fuzz_util.h"
#include "rawstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!in) return 0;
  Model model;
  if (model_init(&model) == 0 && read_raw_triangles(in, &model) == kRawStreamOk) {
    fuzz_pipeline(&model);
  }
  fclose(in);
  model_free(&model);
  return 0;
}
