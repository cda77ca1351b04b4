// Fuzzes the OBJ reader through a file and from memory (which must agree bit
// for bit), then the core pipeline.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_util.h"
#include "obj.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path = fuzz_temp_file(data, size);
  Model model, copy;
  const int rc = parse_obj(path.c_str(), &model);
  // The memory reader gets an exactly sized buffer: a read past it faults.
  const int copy_rc = parse_obj_bytes(size ? data : nullptr, size, &copy);
  if (rc != copy_rc) abort();
  if (rc != 0) return 0;
  if (model.count != copy.count || model.source_count != copy.source_count ||
      memcmp(model.min, copy.min, sizeof model.min) != 0 ||
      memcmp(model.max, copy.max, sizeof model.max) != 0 ||
      (model.count > 0 &&
       memcmp(model.triangles, copy.triangles, sizeof(Triangle) * model.count) != 0)) {
    abort();
  }
  model_free(&copy);
  fuzz_pipeline(&model);
  model_free(&model);
  return 0;
}
