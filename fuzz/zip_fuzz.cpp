// Fuzzes the ZIP entry reader on an exactly sized buffer, so any read past
// the input is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "zip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* input = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!input) return 0;
  memcpy(input, data, size);
  looks_like_zip(input, size);
  for (const char* name : {"3D/3dmodel.model", "/3D/3dmodel.model"}) {
    uint8_t* out = nullptr;
    uint64_t out_length = 0;
    if (zip_extract_entry(input, size, name, &out, &out_length)) {
      if (out[out_length] != 0) abort();  // the promised terminator
      free(out);
    } else if (out || out_length) {
      abort();
    }
  }
  free(input);
  return 0;
}
