// PNG writer: encodes into memory, then a thin wrapper writes the file.
#include "png.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "platform.h"

uint32_t crc32_update(uint32_t crc, const uint8_t* data, uint64_t len) {
  // zlib's CRC-32 has the same polynomial and conditioning, and reads several
  // bytes a step; its length is an unsigned int, so long data goes in pieces.
  uLong r = crc;
  while (len > 0) {
    const uInt piece = len > 0x40000000u ? 0x40000000u : static_cast<uInt>(len);
    r = crc32(r, data, piece);
    data += piece;
    len -= piece;
  }
  return static_cast<uint32_t>(r);
}

// Adler-32 as zlib computes it, 16 bytes a step: the sum of the bytes and
// the sum of those sums, the second being, for a block, 16 times the first
// sum before it plus the bytes weighted 16 down to 1. zlib's own loop reads
// one byte a step, and the check covers every raw byte of the picture.
uint32_t adler32_update(uint32_t adler, const uint8_t* data, size_t len) {
  const uint32_t kBase = 65521;
  uint64_t a = adler & 0xFFFFu, b = adler >> 16;
#ifdef __SSE2__
  // 5536 bytes at most between reductions keeps every lane below 2^32.
  const size_t kRun = 5536;
  const __m128i zero = _mm_setzero_si128();
  const __m128i high = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
  const __m128i low = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
  while (len >= 16) {
    const size_t run = len < kRun ? len & ~size_t{15} : kRun;
    __m128i sums = zero, before = zero, weighted = zero;
    for (size_t k = 0; k < run; k += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k));
      before = _mm_add_epi32(before, sums);
      sums = _mm_add_epi32(sums, _mm_sad_epu8(block, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(block, zero), high));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(block, zero), low));
    }
    uint32_t lanes[3][4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes[0]), sums);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes[1]), before);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes[2]), weighted);
    uint64_t total[3] = {0, 0, 0};
    for (int i = 0; i < 3; i++) {
      for (int j = 0; j < 4; j++) total[i] += lanes[i][j];
    }
    b = (b + a * run + 16 * total[1] + total[2]) % kBase;
    a = (a + total[0]) % kBase;
    data += run;
    len -= run;
  }
#endif
  for (size_t k = 0; k < len; k++) {
    a += data[k];
    b += a;
  }
  return static_cast<uint32_t>(((b % kBase) << 16) | (a % kBase));
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
  if (length && data != p + 4) memmove(p + 4, data, length);
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

// Makes room for n bytes in *buffer (capacity *capacity). Returns false,
// keeping the old buffer, when memory runs out.
static bool reserve(uint8_t** buffer, size_t* capacity, size_t n) {
  if (n <= *capacity) return true;
  uint8_t* grown = static_cast<uint8_t*>(malloc(n));
  if (!grown) return false;
  free(*buffer);
  *buffer = grown;
  *capacity = n;
  return true;
}

static size_t row_bytes(int width) {
  return static_cast<size_t>(width) * 4 + 1;
}

uint8_t* png_writer_rows(PngWriter* writer, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  const size_t row = row_bytes(width);
  if (!reserve(&writer->rows, &writer->rows_capacity, row * static_cast<size_t>(height))) {
    return nullptr;
  }
  for (int y = 0; y < height; y++) writer->rows[static_cast<size_t>(y) * row] = 0;  // filter None
  return writer->rows;
}

// Copies the image into the writer's scanlines.
static bool fill_rows(PngWriter* writer, const uint8_t* pixels, int width, int height) {
  uint8_t* rows = png_writer_rows(writer, width, height);
  if (!rows) return false;
  const size_t row = static_cast<size_t>(width) * 4;
  for (int y = 0; y < height; y++) {
    memcpy(rows + static_cast<size_t>(y) * (row + 1) + 1, pixels + static_cast<size_t>(y) * row,
           row);
  }
  return true;
}

// Compresses the scanlines into the writer's file buffer, after room for
// signature, IHDR and the IDAT length and type. Returns the stream length,
// or 0 when memory runs out or compression fails. deflateReset leaves the
// state as deflateInit made it, so every image gets compress2's bytes.
static size_t deflate_rows(PngWriter* writer, int width, int height) {
  const size_t raw_len = row_bytes(width) * static_cast<size_t>(height);
  const uLong bound = compressBound(static_cast<uLong>(raw_len));
  if (!reserve(&writer->file, &writer->file_capacity, kHeadBytes + 8 + bound + 4 + kIendBytes)) {
    return 0;
  }
  z_stream* stream = static_cast<z_stream*>(writer->stream);
  if (!stream) {
    stream = static_cast<z_stream*>(calloc(1, sizeof(z_stream)));
    if (!stream) return 0;
    // A raw stream in zlib's wrapper written here: the compressed bytes are
    // deflateInit's, and the check is computed faster than zlib does.
    if (deflateInit2(stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      free(stream);
      return 0;
    }
    writer->stream = stream;
  } else if (deflateReset(stream) != Z_OK) {
    return 0;
  }
  uint8_t* out = writer->file + kHeadBytes + 8;
  out[0] = 0x78;  // deflate with a 32 KiB window; level 6 and the header check
  out[1] = 0x9C;
  stream->next_in = writer->rows;
  stream->avail_in = static_cast<uInt>(raw_len);
  stream->next_out = out + 2;
  stream->avail_out = static_cast<uInt>(bound - 6);
  if (deflate(stream, Z_FINISH) != Z_STREAM_END) return 0;
  const size_t body = static_cast<size_t>(stream->total_out);
  put_u32(out + 2 + body, adler32_update(1, writer->rows, raw_len));
  return body + 6;
}

// Encodes the writer's scanlines into its file buffer; returns the file
// length, or 0 on failure.
static size_t encode_rows(PngWriter* writer, int width, int height) {
  const size_t idat_len = deflate_rows(writer, width, height);
  if (idat_len == 0) return 0;
  uint8_t* file = writer->file;
  put_head(file, width, height);
  uint8_t* p =
      put_chunk(file + kHeadBytes, "IDAT", file + kHeadBytes + 8, static_cast<uint32_t>(idat_len));
  p = put_chunk(p, "IEND", nullptr, 0);
  return static_cast<size_t>(p - file);
}

// Encodes the writer's scanlines (when ready) and writes them to the open
// file f, which it closes.
static int write_encoded(FILE* f, PngWriter* writer, bool rows_ready, int width, int height) {
  const size_t len = rows_ready ? encode_rows(writer, width, height) : 0;
  if (len == 0) {
    // As when compression fails: the file keeps only signature and header.
    uint8_t head[kHeadBytes];
    put_head(head, width, height);
    fwrite(head, 1, sizeof head, f);
    fclose(f);
    return -1;
  }
  size_t written = fwrite(writer->file, 1, len, f);
  int close_rc = fclose(f);
  // A short write (full disk) or a failed close must not pass as success.
  return written == len && close_rc == 0 ? 0 : -1;
}

int png_writer_write(PngWriter* writer, const char* path, int width, int height) {
  FILE* f = platform_fopen(path, "wb");
  if (!f) return -1;
  return write_encoded(f, writer, true, width, height);
}

void png_writer_free(PngWriter* writer) {
  if (writer->stream) {
    deflateEnd(static_cast<z_stream*>(writer->stream));
    free(writer->stream);
  }
  free(writer->rows);
  free(writer->file);
  *writer = PngWriter{};
}

int png_encode(const uint8_t* pixels, int width, int height, uint8_t** out, size_t* out_len) {
  *out = nullptr;
  *out_len = 0;
  if (width <= 0 || height <= 0) return -1;
  PngWriter writer = {};
  size_t len = fill_rows(&writer, pixels, width, height) ? encode_rows(&writer, width, height) : 0;
  if (len == 0) {
    png_writer_free(&writer);
    return -1;
  }
  *out = writer.file;  // handed over to the caller
  *out_len = len;
  writer.file = nullptr;
  png_writer_free(&writer);
  return 0;
}

int write_png(const char* path, const uint8_t* pixels, int width, int height) {
  FILE* f = platform_fopen(path, "wb");
  if (!f) return -1;
  PngWriter writer = {};
  const bool ready = fill_rows(&writer, pixels, width, height);
  const int rc = write_encoded(f, &writer, ready, width, height);
  png_writer_free(&writer);
  return rc;
}
