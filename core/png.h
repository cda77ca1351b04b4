// PNG writer: 8-bit RGBA, filter None, one zlib IDAT at level 6.
#pragma once

#include <cstddef>
#include <cstdint>

// Running CRC-32 (PNG/zlib polynomial). Start with 0; feeding A then B gives
// the CRC of A followed by B. Builds its table on first use.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, uint64_t len);

// Encodes the image into a new buffer owned by the caller (free). Returns 0,
// or -1 when memory runs out or compression fails.
int png_encode(const uint8_t* pixels, int width, int height, uint8_t** out, size_t* out_len);

// Writes the PNG file. Returns 0, or -1 when the file cannot be created, the
// image cannot be encoded, or any write or the close fails.
int write_png(const char* path, const uint8_t* pixels, int width, int height);
