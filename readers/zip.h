// Minimal ZIP entry reader: finds one named entry through the central
// directory and returns its bytes, stored or deflated. No ZIP64, no
// encryption, no checksum test.
#pragma once

#include <cstdint>

// 1 when the input starts with 'P' 'K', byte 2 one of 3, 5, 7 and byte 3 one
// of 4, 6, 8 (tested independently); 0 otherwise, and for fewer than 4 bytes.
int looks_like_zip(const uint8_t* data, uint64_t length);

// Extracts the entry whose name equals name byte for byte. Returns 1 with
// *out a malloc'd block of *out_length + 1 bytes (the entry, then a zero
// byte) that the caller frees. Returns 0 with *out null and *out_length 0
// when the entry is absent, any record is out of range or malformed, the
// method is neither stored nor deflate, the sizes are implausible, the data
// does not inflate, or memory runs out. The input is only read.
int zip_extract_entry(const uint8_t* data, uint64_t length, const char* name, uint8_t** out,
                      uint64_t* out_length);
