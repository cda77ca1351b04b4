// Helpers shared by the programs: command-line numbers and JSON output.
#pragma once

#include <cstdio>

// Reads a number like the Windows runtime's atoi on every platform: leading
// whitespace, an optional sign, then digits; trailing text is ignored and the
// value saturates at INT_MAX / INT_MIN instead of overflowing. Stops at the
// first byte that is not a digit, so it can read tokens inside a longer text.
int parse_int_atoi(const char* text);

// Writes s as a JSON string literal, quotes included. Quote, backslash, LF,
// CR and tab get their short escapes, other bytes below 0x20 are written as
// \u00xx, and every other byte (UTF-8 included) passes unchanged.
void json_write_string(FILE* out, const char* s);

// Writes a float widened to double with "%.4f", or null when not finite.
void json_write_number(FILE* out, float value);

// Writes "bbox":[...],"center":[...],"mins":[...],"maxs":[...] for a box:
// the extents max - min and the centre (min + max) * 0.5 in single precision.
void json_write_box(FILE* out, const float min[3], const float max[3]);
