// Fuzzes the STL flavour test and readers, through a file and from memory
// (which must agree bit for bit), then the core pipeline.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_util.h"
#include "stl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_temp_file(data, size);
  if (is_binary_stl(path.c_str()) != is_binary_stl_bytes(data, size)) abort();
  Model model, copy;
  if (model_init(&model) != 0 || model_init(&copy) != 0) {
    model_free(&model);
    model_free(&copy);
    return 0;
  }
  const int rc = parse_stl(path.c_str(), &model);
  // The memory reader gets an exactly sized buffer: a read past it faults.
  const int copy_rc = parse_stl_bytes(size ? data : nullptr, size, &copy);
  if (rc != copy_rc || model.count != copy.count || model.source_count != copy.source_count ||
      model.is_binary != copy.is_binary || memcmp(model.min, copy.min, sizeof model.min) != 0 ||
      memcmp(model.max, copy.max, sizeof model.max) != 0 ||
      (model.count > 0 &&
       memcmp(model.triangles, copy.triangles, sizeof(Triangle) * model.count) != 0)) {
    abort();
  }
  model_free(&copy);
  if (rc == 0) fuzz_pipeline(&model);
  model_free(&model);
  return 0;
}
