// Fuzzes the XML number, name and attribute readers on an exactly sized
// buffer: a value that runs into the end must never be read past it. The
// number reader must give the bits of plain float steps (its integer sums
// are a shortcut), and the plain vertex and triangle readers the values
// that scan_attrs and the number readers find in the same tag.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "xml3mf.h"

namespace {

unsigned char at(const char* p, const char* end) {
  return p < end ? static_cast<unsigned char>(*p) : 0;
}

bool digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// The number reader as first written: every digit a float step.
float reference_float(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) p++;
  float sign = 1.0f;
  if (at(p, end) == '-') {
    sign = -1.0f;
    p++;
  } else if (at(p, end) == '+') {
    p++;
  }
  float ipart = 0.0f;
  while (digit(at(p, end))) ipart = ipart * 10.0f + static_cast<float>(*p++ - '0');
  float f = 0.0f, s = 1.0f;
  if (at(p, end) == '.') {
    p++;
    while (digit(at(p, end))) {
      f = f * 10.0f + static_cast<float>(*p++ - '0');
      s = s * 10.0f;
    }
  }
  const float mantissa = (f / s + ipart) * sign;
  if ((at(p, end) & ~0x20u) != 'E') return mantissa;
  p++;
  bool negative = false;
  if (at(p, end) == '-') {
    negative = true;
    p++;
  } else if (at(p, end) == '+') {
    p++;
  }
  if (!digit(at(p, end))) return mantissa;
  const int32_t n = static_cast<int32_t>(xml_read_uint(p, end));
  if (n <= 0) return mantissa;
  const float step = negative ? 0.1f : 10.0f;
  float factor = 1.0f;
  for (int32_t k = 0; k < n; k++) {
    factor = factor * step;
    if (factor == 0.0f || factor > 3.4028235e38f) break;
  }
  return mantissa * factor;
}

bool same_bits(float a, float b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

// A plain read of the tag after its name [s, end) must agree with
// scan_attrs up to the tag's first '>'.
void check_plain(const char* s, const char* end) {
  const char* gt = static_cast<const char*>(memchr(s, '>', static_cast<size_t>(end - s)));
  float v[3];
  if (const char* tag_end = xml_plain_vertex(s, end, v)) {
    if (tag_end != gt) abort();
    AttrSet a;
    scan_attrs(&a, s, gt);
    const int slots[3] = {kAttrX, kAttrY, kAttrZ};
    for (int i = 0; i < 3; i++) {
      if (!a.value[slots[i]] || !same_bits(fast_float(a.value[slots[i]], gt + 1), v[i])) abort();
    }
  }
  uint32_t t[3];
  if (const char* tag_end = xml_plain_triangle(s, end, t)) {
    if (tag_end != gt) abort();
    AttrSet a;
    scan_attrs(&a, s, gt);
    const int slots[3] = {kAttrV1, kAttrV2, kAttrV3};
    for (int i = 0; i < 3; i++) {
      if (!a.value[slots[i]] || xml_read_uint(a.value[slots[i]], gt + 1) != t[i]) abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(malloc(size ? size : 1));
  if (!text) return 0;
  memcpy(text, data, size);
  const char* end = text + size;
  volatile float sink = 0;
  for (size_t i = 0; i < size && i < 64; i++) {
    const float value = fast_float(text + i, end);
    if (!same_bits(value, reference_float(text + i, end))) abort();
    float scanned;
    xml_scan_float(text + i, end, &scanned);
    if (!same_bits(scanned, value)) abort();
    sink = sink + value;
    xml_read_uint(text + i, end);
    check_plain(text + i, end);
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
  for (const char* at_gt = text; at_gt < end; at_gt++) {
    const char* gt = gt_find(&finder, at_gt, end);
    if (!gt) break;
    at_gt = gt;
  }
  xml_find_tag(text, end, "<object", 7, 8, 1);
  free(text);
  return 0;
}
