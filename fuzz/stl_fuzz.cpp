// Fuzzes the STL flavour test and readers, then the core pipeline.
#include <cstdint>

#include "fuzz_util.h"
#include "stl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_temp_file(data, size);
  Model model;
  if (model_init(&model) == 0 && parse_stl(path.c_str(), &model) == 0) fuzz_pipeline(&model);
  model_free(&model);
  return 0;
}
