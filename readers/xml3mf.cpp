// 3MF model XML lexical layer: no tree, no copies, no allocation.
#include "xml3mf.h"

#include <cstring>

const Transform3x4 k_identity_transform = {{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}};

// Digits that float sums exactly (10^7 < 2^24), and the powers of ten up to
// there, each exact in float.
static const int kExactDigits = 7;
static const float kExactPowers[kExactDigits + 1] = {1.0f,     10.0f,     100.0f,     1000.0f,
                                                     10000.0f, 100000.0f, 1000000.0f, 10000000.0f};

// The byte at p, or 0 at the document end: a value cut off by the end reads
// exactly as if the buffer carried a terminating zero byte there.
static inline unsigned char at(const char* p, const char* end) {
  return p < end ? static_cast<unsigned char>(*p) : 0;
}

static inline bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

static inline bool is_space(unsigned char c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || c == 0x20;
}

static int attr_slot(const char* name, size_t len) {
  switch (len) {
    case 1:
      if (name[0] == 'x') return kAttrX;
      if (name[0] == 'y') return kAttrY;
      if (name[0] == 'z') return kAttrZ;
      return -1;
    case 2:
      if (name[0] == 'v' && name[1] >= '1' && name[1] <= '3') return kAttrV1 + (name[1] - '1');
      if (name[0] == 'i' && name[1] == 'd') return kAttrId;
      return -1;
    case 4:
      if (memcmp(name, "name", 4) == 0) return kAttrName;
      if (memcmp(name, "type", 4) == 0) return kAttrType;
      if (memcmp(name, "Type", 4) == 0) return kAttrRelType;
      return -1;
    case 6:
      // Namespaces are not resolved: every known writer binds the production
      // extension to the prefix "p".
      if (memcmp(name, "p:path", 6) == 0) return kAttrPath;
      if (memcmp(name, "Target", 6) == 0) return kAttrTarget;
      return -1;
    case 8:
      return memcmp(name, "objectid", 8) == 0 ? kAttrObjectId : -1;
    case 9:
      return memcmp(name, "transform", 9) == 0 ? kAttrTransform : -1;
    default:
      return -1;
  }
}

AttrSet* scan_attrs(AttrSet* result, const char* start, const char* end) {
  for (int i = 0; i < kAttrCount; i++) result->value[i] = nullptr;
  const char* p = start;
  while (p < end) {
    while (p < end && is_space(static_cast<unsigned char>(*p))) p++;
    if (p >= end || *p == '>' || *p == '/') break;
    // A line feed or carriage return does not end a name.
    const char* name = p;
    while (p < end && *p != 0x09 && *p != 0x20 && *p != '/' && *p != '=' && *p != '>') p++;
    if (p >= end) break;
    const size_t name_len = static_cast<size_t>(p - name);
    while (p < end && *p != '=' && *p != '>' && *p != '/') p++;
    if (p >= end || *p != '=') break;
    p++;
    const char* value = p;
    if (p < end && (*p == '"' || *p == '\'')) {
      const char quote = *p++;
      value = p;
      while (p < end && *p != quote) p++;
      if (p < end) p++;  // the closing quote
    } else {
      while (p < end && *p != 0x09 && *p != 0x20 && *p != '/' && *p != '>') p++;
    }
    const int slot = attr_slot(name, name_len);
    if (slot >= 0) result->value[slot] = value;
  }
  return result;
}

static inline const char* skip_space(const char* p, const char* doc_end) {
  while (p < doc_end && is_space(static_cast<unsigned char>(*p))) p++;
  return p;
}

static inline const char* scan_uint(const char* p, const char* doc_end, uint32_t* out) {
  p = skip_space(p, doc_end);
  uint32_t value = 0;
  while (p < doc_end && is_digit(static_cast<unsigned char>(*p))) {
    value = value * 10u + static_cast<uint32_t>(*p - '0');
    p++;
  }
  *out = value;
  return p;
}

const char* xml_scan_uint(const char* p, const char* doc_end, uint32_t* out) {
  return scan_uint(p, doc_end, out);
}

uint32_t xml_read_uint(const char* p, const char* doc_end) {
  uint32_t value;
  scan_uint(p, doc_end, &value);
  return value;
}

void xml_read_name(const char* p, const char* doc_end, char out[256]) {
  int n = 0;
  while (n < 255 && p < doc_end) {
    const char c = *p++;
    if (c == 0 || c == '"' || c == '\'' || c == '>') break;
    out[n++] = c;
  }
  out[n] = 0;
}

int xml_is_model_type(const char* p, const char* doc_end) {
  if (!p) return 1;
  if (doc_end - p < 5) return 0;  // the zero byte at the end differs from "model"
  return memcmp(p, "model", 5) == 0;
}

static inline const char* scan_float(const char* p, const char* doc_end, float* out) {
  // Writers pad numbers to a fixed width ("    1.089429E+02").
  p = skip_space(p, doc_end);
  float sign = 1.0f;
  if (at(p, doc_end) == '-') {
    sign = -1.0f;
    p++;
  } else if (at(p, doc_end) == '+') {
    p++;
  }
  // The digits are summed in float, one step at a time. Up to seven digits
  // every step is exact (below 2^24), so an integer sum gives the same bits
  // faster; from the eighth on, the float steps go on from there.
  uint32_t whole = 0;
  int digits = 0;
  while (digits < kExactDigits && is_digit(at(p, doc_end))) {
    whole = whole * 10u + static_cast<uint32_t>(*p - '0');
    p++;
    digits++;
  }
  float ipart = static_cast<float>(whole);
  while (is_digit(at(p, doc_end))) {
    ipart = ipart * 10.0f + static_cast<float>(*p - '0');
    p++;
  }
  float f = 0.0f, s = 1.0f;
  if (at(p, doc_end) == '.') {
    p++;
    uint32_t fraction = 0;
    digits = 0;
    while (digits < kExactDigits && is_digit(at(p, doc_end))) {
      fraction = fraction * 10u + static_cast<uint32_t>(*p - '0');
      p++;
      digits++;
    }
    f = static_cast<float>(fraction);
    s = kExactPowers[digits];
    while (is_digit(at(p, doc_end))) {
      f = f * 10.0f + static_cast<float>(*p - '0');
      s = s * 10.0f;
      p++;
    }
  }
  const float mantissa = (f / s + ipart) * sign;
  *out = mantissa;
  if ((at(p, doc_end) & ~0x20u) != 'E') return p;
  p++;
  bool negative = false;
  if (at(p, doc_end) == '-') {
    negative = true;
    p++;
  } else if (at(p, doc_end) == '+') {
    p++;
  }
  if (!is_digit(at(p, doc_end))) return p;
  uint32_t count;
  p = scan_uint(p, doc_end, &count);
  const int32_t n = static_cast<int32_t>(count);
  if (n <= 0) return p;
  const float step = negative ? 0.1f : 10.0f;
  float factor = 1.0f;
  // Once the factor is 0 or infinite, further steps cannot change it, so a
  // hostile exponent such as 1e2000000000 ends after a few dozen steps.
  for (int32_t k = 0; k < n; k++) {
    factor = factor * step;
    if (factor == 0.0f || factor > 3.4028235e38f) break;
  }
  *out = mantissa * factor;
  return p;
}

const char* xml_scan_float(const char* p, const char* doc_end, float* out) {
  return scan_float(p, doc_end, out);
}

float fast_float(const char* p, const char* doc_end) {
  float value;
  scan_float(p, doc_end, &value);
  return value;
}

// After the last of three quoted values: XML whitespace, then '>' or "/>",
// as scan_attrs stops there. The tag's '>', or null.
static const char* plain_tag_end(const char* s, const char* lim) {
  while (s < lim && is_space(static_cast<unsigned char>(*s))) s++;
  if (s < lim && *s == '>') return s;
  if (lim - s >= 2 && s[0] == '/' && s[1] == '>') return s + 1;
  return nullptr;
}

const char* xml_plain_vertex(const char* s, const char* lim, float v[3]) {
  static const char kNames[3] = {'x', 'y', 'z'};
  for (int i = 0; i < 3; i++) {
    if (lim - s < 5 || s[0] != ' ' || s[1] != kNames[i] || s[2] != '=' || s[3] != '"') {
      return nullptr;
    }
    s = scan_float(s + 4, lim, &v[i]);
    if (s >= lim || *s != '"') return nullptr;
    s++;
  }
  return plain_tag_end(s, lim);
}

const char* xml_plain_triangle(const char* s, const char* lim, uint32_t v[3]) {
  for (int i = 0; i < 3; i++) {
    if (lim - s < 6 || s[0] != ' ' || s[1] != 'v' || s[2] != '1' + i || s[3] != '=' ||
        s[4] != '"') {
      return nullptr;
    }
    s = scan_uint(s + 5, lim, &v[i]);
    if (s >= lim || *s != '"') return nullptr;
    s++;
  }
  return plain_tag_end(s, lim);
}

static inline bool ends_transform(unsigned char c) {
  return c == 0 || c == '"' || c == '\'';
}

static inline bool in_number(unsigned char c) {
  return c == '+' || c == '-' || c == '.' || is_digit(c) || c == 'E' || c == 'e';
}

int mat3mf_parse(const char* p, const char* doc_end, Transform3x4* t) {
  int count = 0;
  bool separator_stage = true;
  for (;;) {
    if (separator_stage) {
      unsigned char c = at(p, doc_end);
      if (ends_transform(c)) return 0;
      if (is_space(c)) {
        p = skip_space(p, doc_end);
        if (ends_transform(at(p, doc_end))) return 0;
      }
    }
    t->m[count] = fast_float(p, doc_end);
    if (at(p, doc_end) == '+' || at(p, doc_end) == '-') p++;
    while (in_number(at(p, doc_end))) p++;
    if (++count == 12) return 1;
    // Bytes between '+' and 'e' are not stepped over: each one starts the
    // next number in place (so a comma reads as 0).
    const unsigned char c = at(p, doc_end);
    separator_stage = c < '+' || c > 'e';
  }
}

void transform_point(const Transform3x4* t, const float p[3], float out[3]) {
  const float* m = t->m;
  out[0] = m[0] * p[0] + m[3] * p[1] + m[6] * p[2] + m[9];
  out[1] = m[1] * p[0] + m[4] * p[1] + m[7] * p[2] + m[10];
  out[2] = m[2] * p[0] + m[5] * p[1] + m[8] * p[2] + m[11];
}

void transform_compose(const Transform3x4* c, const Transform3x4* m, Transform3x4* out) {
  const float* C = c->m;
  const float* M = m->m;
  for (int r = 0; r < 3; r++) {
    for (int j = 0; j < 3; j++) {
      out->m[r * 3 + j] =
          C[r * 3 + 0] * M[0 + j] + C[r * 3 + 1] * M[3 + j] + C[r * 3 + 2] * M[6 + j];
    }
  }
  for (int j = 0; j < 3; j++) {
    out->m[9 + j] = C[9] * M[0 + j] + C[10] * M[3 + j] + C[11] * M[6 + j] + M[9 + j];
  }
}

const char* xml_find_tag(const char* from, const char* doc_end, const char* pattern, int len,
                         int tail, int need_delimiter) {
  if (doc_end - from <= tail) return nullptr;
  const char* last = doc_end - tail;  // start positions stay below this
  const char* p = from;
  while (p < last) {
    p = static_cast<const char*>(memchr(p, pattern[0], static_cast<size_t>(last - p)));
    if (!p) return nullptr;
    // A match needs len bytes (plus the delimiter); tail >= len keeps them
    // inside the document.
    if (memcmp(p, pattern, static_cast<size_t>(len)) == 0 &&
        (!need_delimiter || p[len] == ' ' || p[len] == '>')) {
      return p;
    }
    p++;
  }
  return nullptr;
}

const char* gt_find(GtFinder* finder, const char* p, const char* limit) {
  if (finder->limit != limit || !finder->found || p > finder->found) {
    const void* hit = p < limit ? memchr(p, '>', static_cast<size_t>(limit - p)) : nullptr;
    finder->found = hit ? static_cast<const char*>(hit) : limit;
    finder->limit = limit;
  }
  return finder->found == limit ? nullptr : finder->found;
}
