// Exact "%f" scanning without the C library, the same on every platform.
#include "scan.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

// Powers of ten that a double holds exactly (5^22 < 2^53).
static const double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
static const int kMaxExactPower = 22;
static const uint64_t kMaxExactSignificand = uint64_t{1} << 53;
static const int kMaxSignificantDigits = 19;  // 10^19 - 1 fits a uint64
static const int kMaxExponentDigits = 4;

static bool is_c_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
static bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
static bool is_hex_digit(unsigned char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
static unsigned char to_lower(unsigned char u) {
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}
// The byte at p + k, or NUL at and past the end: the text then reads as if
// it were NUL-terminated there.
static unsigned char byte_at(const char* p, const char* end, ptrdiff_t k) {
  return end - p > k ? static_cast<unsigned char>(p[k]) : 0;
}

// Inlined into the number loop, as the hot path of every text reader.
#define SCAN_INLINE inline __attribute__((always_inline))

static const uint64_t kGroupScale[] = {1,      10,      100,      1000,     10000,
                                       100000, 1000000, 10000000, 100000000};

// A run of decimal digits from p: appends them to *significand and returns
// how many there were. Past 19 digits the significand is meaningless (the
// caller then gives up on it).
static SCAN_INLINE int read_digits(const char*& p, const char* end, uint64_t& significand) {
  const char* q = p;
  uint64_t value = significand;
  while (end - q >= 8) {
    int n;
    const uint32_t group = scan_eight_digits(q, &n);
    value = value * kGroupScale[n] + group;
    q += n;
    if (n < 8) break;
  }
  if (end - q < 8) {
    for (; q < end && is_digit(static_cast<unsigned char>(*q)); q++) {
      value = value * 10 + static_cast<uint64_t>(*q - '0');
    }
  }
  const int total = static_cast<int>(q - p);
  p = q;
  significand = value;
  return total;
}

// Up to 7 digits, a point and up to 7 more, read as two groups of eight
// bytes (16 readable at p): sets the significand, the digit counts and the
// length of the run; false when either group is all digits.
static SCAN_INLINE bool read_two_groups(const char* p, uint64_t* significand, int* digits,
                                        int* fraction, int* length) {
  int n;
  const uint32_t whole = scan_eight_digits(p, &n);
  if (n == 8) return false;
  if (p[n] != '.') {
    *significand = whole;
    *digits = n;
    *fraction = 0;
    *length = n;
    return true;
  }
  int m;
  const uint32_t after = scan_eight_digits(p + n + 1, &m);
  if (m == 8) return false;
  *significand = whole * kGroupScale[m] + after;
  *digits = n + m;
  *fraction = m;
  *length = n + 1 + m;
  return true;
}

// d, the correctly rounded double of a decimal, as the correctly rounded
// float: false when d lies exactly halfway between two floats (the decimal
// may lie on either side). d must lie in the normal float range, where a
// halfway point has its 29 lowest significand bits 100...0.
static SCAN_INLINE bool round_to_float(double d, float* value) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  if ((bits & ((uint64_t{1} << 29) - 1)) == uint64_t{1} << 28) return false;
  *value = static_cast<float>(d);
  return true;
}

// The common case, "[digits][.digits][e[sign]digits]" with at least one
// digit before the exponent and at most 19 digits in all: when the
// significand is below 2^53 and the power of ten at most 22, both are exact
// doubles and one division or multiplication gives the correctly rounded
// double (Clinger's fast path). Rounding that double to float is then the
// correctly rounded float too, unless the double lies exactly halfway between
// two floats (the decimal value may lie on either side of it). Returns false
// for everything else, which the general conversion reads; the characters
// taken are exactly the run the general scan gathers.
static SCAN_INLINE bool scan_plain_decimal(const char* p, const char* end, const char** stop,
                                           float* value) {
  uint64_t significand = 0;
  int digits = -1;
  int exponent = 0;
  int fraction = 0, length = 0;
  if (end - p >= 16 && read_two_groups(p, &significand, &digits, &fraction, &length)) {
    exponent = -fraction;
    p += length;
  }
  if (digits < 0) {
    digits = read_digits(p, end, significand);
    if (p < end && *p == '.') {
      p++;
      fraction = read_digits(p, end, significand);
      digits += fraction;
      exponent = -fraction;
    }
  }
  if (digits == 0 || digits > kMaxSignificantDigits) return false;
  if (p < end && (*p | 0x20) == 'e') {
    p++;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    if (p == end || !is_digit(static_cast<unsigned char>(*p))) return false;  // "1e", "1e+"
    int written = 0;
    int power = 0;
    for (; p < end && is_digit(static_cast<unsigned char>(*p)); p++) {
      if (++written > kMaxExponentDigits) return false;
      power = power * 10 + (*p - '0');
    }
    exponent += negative ? -power : power;
  }
  if (significand == 0) {
    *value = 0.0f;
    *stop = p;
    return true;
  }
  if (significand > kMaxExactSignificand || exponent < -kMaxExactPower ||
      exponent > kMaxExactPower) {
    return false;
  }
  double d = static_cast<double>(significand);
  d = exponent < 0 ? d / kExactPowers[-exponent] : d * kExactPowers[exponent];
  // d lies between 1e-22 and 2^53 * 1e22, inside the normal float range.
  if (!round_to_float(d, value)) return false;
  *stop = p;
  return true;
}

// "digits[.digits]" or ".digits" of at most 7 + 7 digits, followed by no
// exponent, with 16 bytes readable at p: the usual number of mesh files,
// read without the general scan's steps. The same value and stop as
// scan_plain_decimal; false for every other text.
static SCAN_INLINE bool scan_short_decimal(const char* p, const char** stop, float* value) {
  uint64_t significand;
  int digits, fraction, length;
  if (!read_two_groups(p, &significand, &digits, &fraction, &length) || digits == 0) return false;
  // An exponent, or the "x" of "0x", makes another number of the text.
  const int next = p[length] | 0x20;
  if (next == 'e' || next == 'x') return false;
  if (!round_to_float(static_cast<double>(significand) / kExactPowers[fraction], value)) {
    return false;
  }
  *stop = p + length;
  return true;
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
  for (; p < last && to_lower(static_cast<unsigned char>(*p)) != marker; p++) {
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

// Everything but the common decimal: nan, inf, hex, and the runs the fast
// path gives up on. body is the text after the sign. Follows glibc's scanf:
// it gathers the longest run that may still become a number (so "1e+" is
// taken whole), fails when that run holds no digit, and converts the run with
// strtof, which reads its longest valid prefix.
static bool scan_rest(const char* body, const char* end, bool negative, const char** stop,
                      float* value) {
  const char* p = body;
  const unsigned char lead = to_lower(static_cast<unsigned char>(*p));
  if (lead == 'n') {
    // "nan" only: a following "(chars)" is left for the next directive.
    if (to_lower(byte_at(p, end, 1)) != 'a' || to_lower(byte_at(p, end, 2)) != 'n') return false;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    *value = negative ? -nan : nan;
    *stop = p + 3;
    return true;
  }
  if (lead == 'i') {
    if (to_lower(byte_at(p, end, 1)) != 'n' || to_lower(byte_at(p, end, 2)) != 'f') return false;
    p += 3;
    if (to_lower(byte_at(p, end, 0)) == 'i') {
      // Once past "infi" the whole word "infinity" is required.
      if (to_lower(byte_at(p, end, 1)) != 'n' || to_lower(byte_at(p, end, 2)) != 'i' ||
          to_lower(byte_at(p, end, 3)) != 't' || to_lower(byte_at(p, end, 4)) != 'y') {
        return false;
      }
      p += 5;
    }
    const float inf = std::numeric_limits<float>::infinity();
    *value = negative ? -inf : inf;
    *stop = p;
    return true;
  }

  bool hex = false;
  bool got_digit = false;
  bool got_dot = false;
  bool got_exponent = false;
  bool after_marker = false;
  unsigned char marker = 'e';
  if (lead == '0') {
    p++;
    if (to_lower(byte_at(p, end, 0)) == 'x') {
      p++;
      hex = true;
      marker = 'p';
    } else {
      got_digit = true;
    }
  }
  const char* digits = p;  // hex digits start after "0x"
  for (; p < end; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool sign_allowed = after_marker;
    after_marker = false;
    if (is_digit(c) || (hex && !got_exponent && is_hex_digit(c))) {
      got_digit = true;
    } else if (sign_allowed && (c == '-' || c == '+')) {
      // exponent sign
    } else if (got_digit && !got_exponent && to_lower(c) == marker) {
      got_exponent = got_dot = after_marker = true;
    } else if (c == '.' && !got_dot) {
      got_dot = true;
    } else {
      break;
    }
  }
  if (p == body || (hex && p == body + 2)) return false;
  *stop = p;

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

// One "%f": blanks, a sign, then the common decimal inline and the rest out
// of line. In line mode (kLine) LF and CR end the text instead of being
// blanks.
template <bool kLine>
static SCAN_INLINE bool scan_one(const char* text, const char* end, const char** stop,
                                 float* value) {
  // Most numbers of a file follow one space or none, with or without a
  // minus. Each case takes its own branch, with the number at a fixed
  // place: a place computed from the bytes would make every number wait
  // for the loads before it, where a predicted branch does not.
  if (end - text >= 18) {
    float v;
    if (*text == ' ') {
      if (text[1] == '-') {
        if (scan_short_decimal(text + 2, stop, &v)) {
          *value = -v;
          return true;
        }
      } else if (scan_short_decimal(text + 1, stop, &v)) {
        *value = v;
        return true;
      }
    } else if (*text == '-') {
      if (scan_short_decimal(text + 1, stop, &v)) {
        *value = -v;
        return true;
      }
    } else if (scan_short_decimal(text, stop, &v)) {
      *value = v;
      return true;
    }
  }
  const char* p = text;
  for (; p < end; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == ' ') continue;  // by far the most common blank
    if (!is_c_space(c) || (kLine && (c == '\n' || c == '\r'))) break;
  }
  if (p == end || *p == '\0') return false;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    p++;
    if (p == end || *p == '\0') return false;
  }
  const bool hex = *p == '0' && (byte_at(p, end, 1) | 0x20) == 'x';
  if ((is_digit(static_cast<unsigned char>(*p)) && !hex) || *p == '.') {
    float v;
    if (scan_plain_decimal(p, end, stop, &v)) {
      *value = negative ? -v : v;
      return true;
    }
  }
  return scan_rest(p, end, negative, stop, value);
}

bool scan_float(const char* text, const char* end, const char** stop, float* value) {
  return scan_one<false>(text, end, stop, value);
}

int scan_float3(const char* text, const char* end, float xyz[3]) {
  const char* p = text;
  for (int i = 0; i < 3; i++) {
    if (!scan_one<false>(p, end, &p, &xyz[i])) return i;
  }
  return 3;
}

int scan_line_float3(const char* text, const char* limit, float xyz[3], const char** stop) {
  const char* p = text;
  int i = 0;
  while (i < 3 && scan_one<true>(p, limit, &p, &xyz[i])) i++;
  *stop = p;
  return i;
}

bool scan_float(const char* text, const char** stop, float* value) {
  return scan_float(text, text + strlen(text), stop, value);
}

int scan_float3(const char* text, float xyz[3]) {
  return scan_float3(text, text + strlen(text), xyz);
}
