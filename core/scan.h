// Number scanning for the text readers: "%f" exactly as the C library's
// scanf performs it, but without the library, so every platform and runtime
// reads the same values.
#pragma once

#include <cstdint>
#include <cstring>

// One "%f" conversion of the text [text, end), which also ends at a NUL
// byte: leading whitespace, sign, decimal or hex digits, "inf", "infinity"
// and "nan" in any case. On success stores the value, sets *stop past the
// characters consumed and returns true. Never reads at or past end.
bool scan_float(const char* text, const char* end, const char** stop, float* value);

// sscanf(text, "%f %f %f", ...) on [text, end), which also ends at a NUL:
// returns how many values converted (0 to 3); the first that many entries of
// xyz are set, the others are left as they were.
int scan_float3(const char* text, const char* end, float xyz[3]);

// The same on one line of a text read in line pieces: the line ends at its
// first LF or CR (or NUL, or limit), which is never taken as a blank. Sets
// *stop where the scan ended (after the last number read, or where the
// first one failed), which is never past the line's end. The result equals
// scan_float3 on the line cut just after its LF or CR.
int scan_line_float3(const char* text, const char* limit, float xyz[3], const char** stop);

// The same on NUL-terminated text.
bool scan_float(const char* text, const char** stop, float* value);
int scan_float3(const char* text, float xyz[3]);

// The leading decimal digits among the 8 bytes at p (all 8 must be
// readable): returns their value and sets *count to how many (0 to 8).
// A byte b is a digit when b ^ '0' is below 10: adding 0x76 sets the high
// bit of every byte from 10 to 127, and or-ing the byte flags those from 128
// up; a carry out of such a byte only disturbs bytes after it, past the first
// non-digit. The digits are then moved to the top and joined in three
// multiplications (as in fast_float). Little-endian, as every target is.
inline uint32_t scan_eight_digits(const char* p, int* count) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  v ^= 0x3030303030303030u;
  const uint64_t flags = ((v + 0x7676767676767676u) | v) & 0x8080808080808080u;
  const int n = flags ? __builtin_ctzll(flags) / 8 : 8;
  *count = n;
  if (n == 0) return 0;
  v <<= 8 * (8 - n);  // the first digit is the lowest byte
  v = v * 10 + (v >> 8);
  v = (((v & 0x000000ff000000ffu) * (100 + (uint64_t{1000000} << 32))) +
       (((v >> 16) & 0x000000ff000000ffu) * (1 + (uint64_t{10000} << 32)))) >>
      32;
  return static_cast<uint32_t>(v);
}
