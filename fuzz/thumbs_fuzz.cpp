// Fuzzes the thumbs library's own readers: the PNG decoder (then the area
// resampling of what it decoded, down and up), the decoder on the package
// thumbnail a 3MF package names, and the reader choice.
#include <cstdint>
#include <cstdlib>

#include "image.h"
#include "input3mf.h"
#include "png_decode.h"
#include "thumbs.h"
#include "zip.h"

static void decode_and_scale(const uint8_t* data, uint64_t size) {
  uint8_t* rgba = nullptr;
  int32_t w = 0, h = 0;
  if (png_decode_rgba(data, size, &rgba, &w, &h) != 0) {
    if (rgba || w || h) abort();
    return;
  }
  if (!rgba || w <= 0 || h <= 0) abort();
  free(image_resample(rgba, w, h, 1 + w % 37, 1 + h % 29));
  free(rgba);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (thumbs_detect(data, size, "x.bin") > kThumbsFormatObj) abort();
  decode_and_scale(data, size);
  // The package thumbnail as the library finds it.
  char* target = package_relationship_target(data, size, kRelationshipThumbnail);
  uint8_t* part = nullptr;
  uint64_t part_length = 0;
  if (target && zip_extract_part(data, size, target, &part, &part_length)) {
    decode_and_scale(part, part_length);
    free(part);
  }
  free(target);
  return 0;
}
