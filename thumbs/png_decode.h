// PNG decoder for the pictures 3MF packages carry: every colour type and
// bit depth, with or without Adam7 interlacing, to 8-bit RGBA.
#pragma once

#include <cstdint>

// Limits against hostile files: the decoded picture holds at most 16 Mi
// pixels (64 MiB of RGBA) and neither edge passes 16384.
constexpr uint32_t kPngMaxEdge = 16384;
constexpr uint64_t kPngMaxPixels = 16777216;

// Decodes the PNG in [data, data + length) (only read) into a malloc'd block
// of *width x *height x 4 bytes, RGBA with straight alpha, top row first,
// that the caller frees. 16-bit samples keep their high byte; grey below 8
// bits is scaled to the full range; a tRNS chunk gives palette alpha or the
// transparent grey or RGB value. Chunk CRCs are not checked (the zlib
// stream's own checksum is). Returns 0, or -1 with *rgba null and both edges
// 0 when the data is not a PNG this reads, passes the limits, is cut short
// or corrupt, or memory runs out.
int png_decode_rgba(const uint8_t* data, uint64_t length, uint8_t** rgba, int32_t* width,
                    int32_t* height);
