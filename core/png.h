// PNG writer: 8-bit RGBA, filter None, one zlib IDAT at level 6.
#pragma once

#include <cstddef>
#include <cstdint>

// Running CRC-32 (PNG/zlib polynomial). Start with 0; feeding A then B gives
// the CRC of A followed by B.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, uint64_t len);

// Running Adler-32, as zlib's adler32: start with 1.
uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t len);

// Encodes the image into a new buffer owned by the caller (free). Returns 0,
// or -1 when memory runs out or compression fails.
int png_encode(const uint8_t* pixels, int width, int height, uint8_t** out, size_t* out_len);

// Writes the PNG file. Returns 0, or -1 when the file cannot be created, the
// image cannot be encoded, or any write or the close fails.
int write_png(const char* path, const uint8_t* pixels, int width, int height);

// The deflate state and buffers of PNG encoding, kept from one image to the
// next so that a batch sets them up once; each image still gets exactly the
// bytes of a fresh level-6 stream. Start from {}; release with
// png_writer_free.
struct PngWriter {
  void* stream;  // z_stream, made on first use
  uint8_t* rows;
  size_t rows_capacity;
  uint8_t* file;
  size_t file_capacity;
};

// The writer's scanline buffer for a width x height image: row y starts at
// rows + y * (width * 4 + 1) with its filter byte (0) already set, and the
// caller fills the width * 4 pixel bytes after it. Valid until the next call
// or png_writer_free. Null when the buffer cannot be allocated or the size is
// not positive.
uint8_t* png_writer_rows(PngWriter* writer, int width, int height);

// Encodes the scanlines the writer holds and writes the file, with
// write_png's results: 0, or -1 when the file cannot be created, the image
// cannot be encoded (the file then keeps signature and header only), or a
// write or the close fails.
int png_writer_write(PngWriter* writer, const char* path, int width, int height);

void png_writer_free(PngWriter* writer);
