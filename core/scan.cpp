// Exact "%f" scanning without the C library, the same on every platform.
#include "scan.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

static bool is_c_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
static bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
static bool is_hex_digit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
static unsigned char to_lower(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

// from_chars reports a value beyond float range without a result; scanf
// stores inf or 0 there. The text is [first, last) after the sign (and
// after "0x" for hex); tells whether its magnitude is at least one, from
// the place of the leading non-zero digit and the exponent.
static bool magnitude_at_least_one(const char* first, const char* last, bool hex) {
  const unsigned char marker = hex ? 'p' : 'e';
  int64_t places = 0;  // digits before the point, counted from the leading non-zero one
  bool seen_nonzero = false;
  bool in_fraction = false;
  const char* p = first;
  for (; p < last && to_lower(*p) != marker; p++) {
    if (*p == '.') {
      in_fraction = true;
    } else if (!seen_nonzero && *p == '0') {
      if (in_fraction) places--;
    } else {
      seen_nonzero = true;
      if (!in_fraction) places++;
    }
  }
  int64_t exponent = 0;
  if (p < last) {
    p++;
    bool negative = false;
    if (p < last && (*p == '-' || *p == '+')) negative = *p++ == '-';
    // Saturate far beyond any float exponent; only the sign of the sum counts.
    for (; p < last && is_digit(static_cast<unsigned char>(*p)); p++) {
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return hex ? 4 * places + exponent > 0 : places + exponent > 0;
}

// Follows glibc's scanf: it gathers the longest run that may still become a
// number (so "1e+" is taken whole), fails when that run holds no digit, and
// converts the run with strtof, which reads its longest valid prefix.
bool scan_float(const char* text, const char** end, float* value) {
  const char* p = text;
  while (is_c_space(static_cast<unsigned char>(*p))) p++;
  if (*p == '\0') return false;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    p++;
    if (*p == '\0') return false;
  }
  const char* body = p;
  if (to_lower(*p) == 'n') {
    // "nan" only: a following "(chars)" is left for the next directive.
    if (to_lower(p[1]) != 'a' || to_lower(p[2]) != 'n') return false;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    *value = negative ? -nan : nan;
    *end = p + 3;
    return true;
  }
  if (to_lower(*p) == 'i') {
    if (to_lower(p[1]) != 'n' || to_lower(p[2]) != 'f') return false;
    p += 3;
    if (to_lower(*p) == 'i') {
      // Once past "infi" the whole word "infinity" is required.
      if (to_lower(p[1]) != 'n' || to_lower(p[2]) != 'i' || to_lower(p[3]) != 't' ||
          to_lower(p[4]) != 'y') {
        return false;
      }
      p += 5;
    }
    const float inf = std::numeric_limits<float>::infinity();
    *value = negative ? -inf : inf;
    *end = p;
    return true;
  }

  bool hex = false;
  bool got_digit = false;
  bool got_dot = false;
  bool got_exponent = false;
  bool after_marker = false;
  unsigned char marker = 'e';
  if (*p == '0') {
    p++;
    if (to_lower(*p) == 'x') {
      p++;
      hex = true;
      marker = 'p';
    } else {
      got_digit = true;
    }
  }
  const char* digits = p;  // hex digits start after "0x"
  for (;; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool sign_allowed = after_marker;
    after_marker = false;
    if (is_digit(c) || (hex && !got_exponent && is_hex_digit(c))) {
      got_digit = true;
    } else if (sign_allowed && (c == '-' || c == '+')) {
      // exponent sign
    } else if (got_digit && !got_exponent && to_lower(static_cast<char>(c)) == marker) {
      got_exponent = got_dot = after_marker = true;
    } else if (c == '.' && !got_dot) {
      got_dot = true;
    } else {
      break;
    }
  }
  if (p == body || (hex && p == body + 2)) return false;
  *end = p;

  float v = 0.0f;
  if (!got_digit) {
    // "." alone is no number; "0x." is read by strtof as the "0" before the x.
    if (!hex) return false;
  } else {
    const char* first = hex ? digits : body;
    std::from_chars_result r =
        std::from_chars(first, p, v, hex ? std::chars_format::hex : std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
      v = magnitude_at_least_one(first, p, hex) ? std::numeric_limits<float>::infinity() : 0.0f;
    } else if (r.ec != std::errc()) {
      return false;  // not reached: the run holds a digit where a number may start
    }
  }
  *value = negative ? -v : v;
  return true;
}

int scan_float3(const char* text, float xyz[3]) {
  const char* p = text;
  for (int i = 0; i < 3; i++) {
    if (!scan_float(p, &p, &xyz[i])) return i;
  }
  return 3;
}
