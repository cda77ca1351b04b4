// Shared helpers: atoi-like number reading and JSON output.
#include "util.h"

#include <climits>
#include <cmath>
#include <cstdint>

int parse_int_atoi(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  // Accumulate in 64 bits and stop growing once past the int range, so a
  // long digit run saturates instead of overflowing.
  int64_t value = 0;
  const int64_t limit = static_cast<int64_t>(INT_MAX) + 1;
  while (*p >= '0' && *p <= '9') {
    if (value <= limit) value = value * 10 + (*p - '0');
    p++;
  }
  if (negative) return value >= limit ? INT_MIN : static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void json_write_string(FILE* out, const char* s) {
  fputc('"', out);
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; p++) {
    switch (*p) {
      case '"':
        fputs("\\\"", out);
        break;
      case '\\':
        fputs("\\\\", out);
        break;
      case '\n':
        fputs("\\n", out);
        break;
      case '\r':
        fputs("\\r", out);
        break;
      case '\t':
        fputs("\\t", out);
        break;
      default:
        if (*p < 0x20) {
          fprintf(out, "\\u%04x", *p);
        } else {
          fputc(*p, out);
        }
    }
  }
  fputc('"', out);
}

void json_write_number(FILE* out, float value) {
  if (std::isfinite(value)) {
    fprintf(out, "%.4f", static_cast<double>(value));
  } else {
    fputs("null", out);  // printf would write inf or nan, which is not JSON
  }
}

static void write_triple(FILE* out, const char* key, const float v[3]) {
  fprintf(out, "\"%s\":[", key);
  for (int a = 0; a < 3; a++) {
    if (a) fputc(',', out);
    json_write_number(out, v[a]);
  }
  fputc(']', out);
}

void json_write_box(FILE* out, const float min[3], const float max[3]) {
  float extent[3], center[3];
  for (int a = 0; a < 3; a++) {
    extent[a] = max[a] - min[a];
    center[a] = (min[a] + max[a]) * 0.5f;
  }
  write_triple(out, "bbox", extent);
  fputc(',', out);
  write_triple(out, "center", center);
  fputc(',', out);
  write_triple(out, "mins", min);
  fputc(',', out);
  write_triple(out, "maxs", max);
}
