// Fuzzes the OBJ reader, then the core pipeline.
#include <cstdint>

#include "fuzz_util.h"
#include "obj.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_temp_file(data, size);
  Model model;
  if (parse_obj(path.c_str(), &model) == 0) {
    fuzz_pipeline(&model);
    model_free(&model);
  }
  return 0;
}
