// Number scanning for the text readers: "%f" exactly as the C library's
// scanf performs it, but without the library, so every platform and runtime
// reads the same values.
#pragma once

// One "%f" conversion of the text [text, end), which also ends at a NUL
// byte: leading whitespace, sign, decimal or hex digits, "inf", "infinity"
// and "nan" in any case. On success stores the value, sets *stop past the
// characters consumed and returns true. Never reads at or past end.
bool scan_float(const char* text, const char* end, const char** stop, float* value);

// sscanf(text, "%f %f %f", ...) on [text, end), which also ends at a NUL:
// returns how many values converted (0 to 3); the first that many entries of
// xyz are set, the others are left as they were.
int scan_float3(const char* text, const char* end, float xyz[3]);

// The same on NUL-terminated text.
bool scan_float(const char* text, const char** stop, float* value);
int scan_float3(const char* text, float xyz[3]);
