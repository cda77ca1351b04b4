// Fuzzes the XML number, name and attribute readers on an exactly sized
// buffer: a value that runs into the end must never be read past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "xml3mf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(malloc(size ? size : 1));
  if (!text) return 0;
  memcpy(text, data, size);
  const char* end = text + size;
  volatile float sink = 0;
  for (size_t i = 0; i < size && i < 64; i++) {
    sink = sink + fast_float(text + i, end);
    xml_read_uint(text + i, end);
  }
  Transform3x4 t;
  mat3mf_parse(text, end, &t);
  char name[256];
  xml_read_name(text, end, name);
  if (memchr(name, 0, sizeof name) == nullptr) abort();
  xml_is_model_type(text, end);
  AttrSet attrs;
  scan_attrs(&attrs, text, end);
  for (const char* value : attrs.value) {
    if (value && (value < text || value > end)) abort();
  }
  float p[3] = {t.m[0], t.m[1], t.m[2]}, q[3];
  transform_point(&t, p, q);
  Transform3x4 c;
  transform_compose(&t, &t, &c);
  GtFinder finder = {nullptr, nullptr};
  for (const char* at = text; at < end; at++) {
    const char* gt = gt_find(&finder, at, end);
    if (!gt) break;
    at = gt;
  }
  xml_find_tag(text, end, "<object", 7, 8, 1);
  free(text);
  return 0;
}
