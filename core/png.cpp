// PNG writer: encodes into memory, then a thin wrapper writes the file.
#include "png.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

static uint32_t crc_table[256];
static int crc_table_init = 0;

uint32_t crc32_update(uint32_t crc, const uint8_t* data, uint64_t len) {
  if (!crc_table_init) {
    for (uint32_t n = 0; n < 256; n++) {
      uint32_t r = n;
      for (int k = 0; k < 8; k++) r = (r >> 1) ^ ((r & 1) ? 0xEDB88320u : 0u);
      crc_table[n] = r;
    }
    crc_table_init = 1;
  }
  uint32_t r = ~crc;
  for (uint64_t i = 0; i < len; i++) r = crc_table[(r ^ data[i]) & 0xFF] ^ (r >> 8);
  return ~r;
}

static const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
static const size_t kHeadBytes = 8 + 8 + 13 + 4;  // signature and IHDR chunk
static const size_t kIendBytes = 12;

static uint8_t* put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
  return p + 4;
}

// Writes length, type, data and the CRC over type and data.
static uint8_t* put_chunk(uint8_t* p, const char* type, const uint8_t* data, uint32_t length) {
  p = put_u32(p, length);
  memcpy(p, type, 4);
  if (length) memmove(p + 4, data, length);
  uint32_t crc = crc32_update(crc32_update(0, p, 4), p + 4, length);
  return put_u32(p + 4 + length, crc);
}

static void put_head(uint8_t* p, int width, int height) {
  memcpy(p, kSignature, 8);
  uint8_t ihdr[13];
  put_u32(ihdr, static_cast<uint32_t>(width));
  put_u32(ihdr + 4, static_cast<uint32_t>(height));
  const uint8_t rest[5] = {8, 6, 0, 0, 0};  // depth 8, RGBA, deflate, no filter set, no interlace
  memcpy(ihdr + 8, rest, 5);
  put_chunk(p + 8, "IHDR", ihdr, 13);
}

int png_encode(const uint8_t* pixels, int width, int height, uint8_t** out, size_t* out_len) {
  *out = nullptr;
  *out_len = 0;
  if (width <= 0 || height <= 0) return -1;
  const size_t row = static_cast<size_t>(width) * 4;
  const size_t raw_len = (row + 1) * static_cast<size_t>(height);
  uint8_t* raw = static_cast<uint8_t*>(malloc(raw_len));
  if (!raw) return -1;
  for (int y = 0; y < height; y++) {
    uint8_t* line = raw + static_cast<size_t>(y) * (row + 1);
    line[0] = 0;  // filter type None
    memcpy(line + 1, pixels + static_cast<size_t>(y) * row, row);
  }
  uLongf bound = compressBound(static_cast<uLong>(raw_len));
  // The compressed stream is written straight into its place in the file.
  uint8_t* file = static_cast<uint8_t*>(malloc(kHeadBytes + 8 + bound + 4 + kIendBytes));
  if (!file) {
    free(raw);
    return -1;
  }
  uint8_t* idat = file + kHeadBytes + 8;
  uLongf idat_len = bound;
  int rc = compress2(idat, &idat_len, raw, static_cast<uLong>(raw_len), 6);
  free(raw);
  if (rc != Z_OK) {
    free(file);
    return -1;
  }
  put_head(file, width, height);
  uint8_t* p = put_chunk(file + kHeadBytes, "IDAT", idat, static_cast<uint32_t>(idat_len));
  p = put_chunk(p, "IEND", nullptr, 0);
  *out = file;
  *out_len = static_cast<size_t>(p - file);
  return 0;
}

int write_png(const char* path, const uint8_t* pixels, int width, int height) {
  FILE* f = platform_fopen(path, "wb");
  if (!f) return -1;
  uint8_t* data = nullptr;
  size_t len = 0;
  if (png_encode(pixels, width, height, &data, &len) != 0) {
    // As when compression fails: the file keeps only signature and header.
    uint8_t head[kHeadBytes];
    put_head(head, width, height);
    fwrite(head, 1, sizeof head, f);
    fclose(f);
    return -1;
  }
  size_t written = fwrite(data, 1, len, f);
  free(data);
  int close_rc = fclose(f);
  // A short write (full disk) or a failed close must not pass as success.
  return written == len && close_rc == 0 ? 0 : -1;
}
