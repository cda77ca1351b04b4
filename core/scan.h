// Number scanning for the text readers: "%f" exactly as the C library's
// scanf performs it, but without the library, so every platform and runtime
// reads the same values.
#pragma once

// One "%f" conversion of the NUL-terminated text: leading whitespace, sign,
// decimal or hex digits, "inf", "infinity" and "nan" in any case. On success
// stores the value, sets *end past the characters consumed and returns true.
bool scan_float(const char* text, const char** end, float* value);

// sscanf(text, "%f %f %f", ...): returns how many values converted (0 to 3);
// the first that many entries of xyz are set, the others are left as they were.
int scan_float3(const char* text, float xyz[3]);
