// PNG decoding: chunk walk, one inflate over the IDAT chunks, unfiltering
// per (sub-)image, then each sample widened or narrowed to 8-bit RGBA.
#include "png_decode.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

static const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// Adam7: first column and row, column and row step of each pass; pass 0
// stands for the whole picture of a non-interlaced file.
static const uint32_t kPassX0[8] = {0, 0, 4, 0, 2, 0, 1, 0};
static const uint32_t kPassY0[8] = {0, 0, 0, 4, 0, 2, 0, 1};
static const uint32_t kPassDx[8] = {1, 8, 8, 4, 4, 2, 2, 1};
static const uint32_t kPassDy[8] = {1, 8, 8, 8, 4, 4, 2, 2};

struct PngInfo {
  uint32_t width;
  uint32_t height;
  uint32_t depth;     // bits per sample
  uint32_t colour;    // 0 grey, 2 RGB, 3 palette, 4 grey+alpha, 6 RGBA
  uint32_t channels;  // samples per pixel
  uint32_t interlace;
  uint8_t palette[256][4];
  uint32_t palette_count;
  int has_key;  // tRNS for grey or RGB: the sample values that are transparent
  uint32_t key[3];
};

static uint32_t read_u32_be(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

static bool depth_allowed(uint32_t colour, uint32_t depth) {
  switch (colour) {
    case 0:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
      return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
      return depth == 8 || depth == 16;
    default:
      return false;
  }
}

static uint32_t channels_of(uint32_t colour) {
  return colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
}

static bool read_header(const uint8_t* p, uint32_t length, PngInfo* info) {
  if (length != 13) return false;
  info->width = read_u32_be(p);
  info->height = read_u32_be(p + 4);
  info->depth = p[8];
  info->colour = p[9];
  info->interlace = p[12];
  if (info->width == 0 || info->height == 0 || info->width > kPngMaxEdge ||
      info->height > kPngMaxEdge)
    return false;
  if (static_cast<uint64_t>(info->width) * info->height > kPngMaxPixels) return false;
  if (!depth_allowed(info->colour, info->depth)) return false;
  if (p[10] != 0 || p[11] != 0 || info->interlace > 1) return false;
  info->channels = channels_of(info->colour);
  return true;
}

// Pixels across and down of pass pass (0: the whole picture).
static void pass_size(const PngInfo* info, int pass, uint32_t* w, uint32_t* h) {
  *w = info->width > kPassX0[pass]
           ? (info->width - kPassX0[pass] + kPassDx[pass] - 1) / kPassDx[pass]
           : 0;
  *h = info->height > kPassY0[pass]
           ? (info->height - kPassY0[pass] + kPassDy[pass] - 1) / kPassDy[pass]
           : 0;
}

static uint64_t row_bytes(const PngInfo* info, uint32_t w) {
  return (static_cast<uint64_t>(w) * info->channels * info->depth + 7) / 8;
}

// Bytes of filtered image data the header promises, filter bytes included.
static uint64_t raw_size(const PngInfo* info) {
  uint64_t total = 0;
  const int first = info->interlace ? 1 : 0, last = info->interlace ? 7 : 0;
  for (int pass = first; pass <= last; pass++) {
    uint32_t w, h;
    pass_size(info, pass, &w, &h);
    if (w && h) total += h * (1 + row_bytes(info, w));
  }
  return total;
}

static uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int p = a + b - c;
  const int pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Undoes the row's filter in place; prior is the unfiltered row above (all
// zero for the first row). bpp is the filter's byte distance (at least 1).
static bool unfilter_row(uint8_t type, uint8_t* row, const uint8_t* prior, uint64_t n,
                         uint32_t bpp) {
  switch (type) {
    case 0:
      return true;
    case 1:
      for (uint64_t i = bpp; i < n; i++) row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
      return true;
    case 2:
      for (uint64_t i = 0; i < n; i++) row[i] = static_cast<uint8_t>(row[i] + prior[i]);
      return true;
    case 3:
      for (uint64_t i = 0; i < n; i++) {
        const unsigned left = i >= bpp ? row[i - bpp] : 0;
        row[i] = static_cast<uint8_t>(row[i] + ((left + prior[i]) >> 1));
      }
      return true;
    case 4:
      for (uint64_t i = 0; i < n; i++) {
        const uint8_t left = i >= bpp ? row[i - bpp] : 0;
        const uint8_t upper_left = i >= bpp ? prior[i - bpp] : 0;
        row[i] = static_cast<uint8_t>(row[i] + paeth(left, prior[i], upper_left));
      }
      return true;
    default:
      return false;
  }
}

// Sample k (0-based, in row order) of an unfiltered row, at its own depth.
static uint32_t sample_at(const uint8_t* row, uint64_t k, uint32_t depth) {
  if (depth == 8) return row[k];
  if (depth == 16) return static_cast<uint32_t>(row[2 * k]) << 8 | row[2 * k + 1];
  const uint64_t bit = k * depth;
  const uint32_t shift = 8 - depth - static_cast<uint32_t>(bit % 8);
  return (row[bit / 8] >> shift) & ((1u << depth) - 1);
}

// A sample narrowed or widened to 8 bits: the high byte of 16, the full
// range for 1, 2 and 4 (x 255, 85, 17).
static uint8_t to8(uint32_t v, uint32_t depth) {
  if (depth == 16) return static_cast<uint8_t>(v >> 8);
  if (depth == 8) return static_cast<uint8_t>(v);
  return static_cast<uint8_t>(v * (255u / ((1u << depth) - 1)));
}

static void convert_pixel(const PngInfo* info, const uint8_t* row, uint32_t x, uint8_t* out) {
  const uint32_t d = info->depth;
  const uint64_t k = static_cast<uint64_t>(x) * info->channels;
  switch (info->colour) {
    case 0: {
      const uint32_t g = sample_at(row, k, d);
      out[0] = out[1] = out[2] = to8(g, d);
      out[3] = info->has_key && g == info->key[0] ? 0 : 255;
      break;
    }
    case 2: {
      const uint32_t r = sample_at(row, k, d), g = sample_at(row, k + 1, d),
                     b = sample_at(row, k + 2, d);
      out[0] = to8(r, d);
      out[1] = to8(g, d);
      out[2] = to8(b, d);
      out[3] =
          info->has_key && r == info->key[0] && g == info->key[1] && b == info->key[2] ? 0 : 255;
      break;
    }
    case 3: {
      const uint32_t index = sample_at(row, k, d);
      if (index < info->palette_count) {
        memcpy(out, info->palette[index], 4);
      } else {  // an index past the palette: opaque black, as most viewers show it
        out[0] = out[1] = out[2] = 0;
        out[3] = 255;
      }
      break;
    }
    case 4:
      out[0] = out[1] = out[2] = to8(sample_at(row, k, d), d);
      out[3] = to8(sample_at(row, k + 1, d), d);
      break;
    default:
      for (int c = 0; c < 4; c++) out[c] = to8(sample_at(row, k + c, d), d);
      break;
  }
}

// Unfilters each pass of raw (exactly raw_size bytes) and writes its pixels
// to their places in rgba. prior has room for one row of the widest pass.
static bool unfilter_image(const PngInfo* info, uint8_t* raw, uint8_t* prior, uint8_t* rgba) {
  const uint32_t bpp = (info->channels * info->depth + 7) / 8;
  const int first = info->interlace ? 1 : 0, last = info->interlace ? 7 : 0;
  uint8_t* p = raw;
  for (int pass = first; pass <= last; pass++) {
    uint32_t w, h;
    pass_size(info, pass, &w, &h);
    if (!w || !h) continue;
    const uint64_t n = row_bytes(info, w);
    memset(prior, 0, n);
    for (uint32_t y = 0; y < h; y++) {
      uint8_t* row = p + 1;
      if (!unfilter_row(p[0], row, prior, n, bpp)) return false;
      const uint64_t out_y = kPassY0[pass] + static_cast<uint64_t>(y) * kPassDy[pass];
      for (uint32_t x = 0; x < w; x++) {
        const uint64_t out_x = kPassX0[pass] + static_cast<uint64_t>(x) * kPassDx[pass];
        convert_pixel(info, row, x, rgba + (out_y * info->width + out_x) * 4);
      }
      memcpy(prior, row, n);
      p += 1 + n;
    }
  }
  return true;
}

// Inflates the next IDAT chunk's bytes into raw; *done is set at the end of
// the zlib stream or once raw is full (later data is ignored).
static bool inflate_chunk(z_stream* z, const uint8_t* data, uint32_t length, bool* done) {
  z->next_in = const_cast<Bytef*>(data);
  z->avail_in = length;
  while (z->avail_in > 0 && z->avail_out > 0) {
    const int rc = inflate(z, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      *done = true;
      return true;
    }
    if (rc != Z_OK) return false;
  }
  if (z->avail_out == 0) *done = true;
  return true;
}

static bool read_palette(PngInfo* info, const uint8_t* p, uint32_t length) {
  if (length % 3 != 0 || length / 3 > 256 || length == 0) return false;
  info->palette_count = length / 3;
  for (uint32_t i = 0; i < info->palette_count; i++) {
    memcpy(info->palette[i], p + 3 * i, 3);
    info->palette[i][3] = 255;
  }
  return true;
}

// Transparency: palette alphas (a shorter list leaves the rest opaque), or
// the grey or RGB value drawn transparent. A malformed chunk is ignored.
static void read_transparency(PngInfo* info, const uint8_t* p, uint32_t length) {
  if (info->colour == 3) {
    for (uint32_t i = 0; i < length && i < 256; i++) info->palette[i][3] = p[i];
  } else if (info->colour == 0 && length >= 2) {
    info->has_key = 1;
    info->key[0] = static_cast<uint32_t>(p[0]) << 8 | p[1];
  } else if (info->colour == 2 && length >= 6) {
    info->has_key = 1;
    for (int c = 0; c < 3; c++) info->key[c] = static_cast<uint32_t>(p[2 * c]) << 8 | p[2 * c + 1];
  }
}

int png_decode_rgba(const uint8_t* data, uint64_t length, uint8_t** rgba, int32_t* width,
                    int32_t* height) {
  *rgba = nullptr;
  *width = 0;
  *height = 0;
  if (!data || length < 8 || memcmp(data, kSignature, 8) != 0) return -1;

  PngInfo info;
  memset(&info, 0, sizeof info);
  bool have_header = false, done = false, started = false;
  uint8_t* raw = nullptr;
  uint64_t raw_length = 0;
  z_stream z;
  memset(&z, 0, sizeof z);
  bool ok = true;

  uint64_t at = 8;
  while (ok && !done) {
    if (length - at < 12) {
      ok = false;
      break;
    }
    const uint32_t chunk_length = read_u32_be(data + at);
    const uint8_t* type = data + at + 4;
    const uint8_t* body = data + at + 8;
    if (chunk_length > length - at - 12) {
      ok = false;
      break;
    }
    at += 12 + static_cast<uint64_t>(chunk_length);
    if (!have_header) {
      ok = memcmp(type, "IHDR", 4) == 0 && read_header(body, chunk_length, &info);
      have_header = ok;
      continue;
    }
    if (memcmp(type, "PLTE", 4) == 0) {
      if (info.colour == 3) ok = read_palette(&info, body, chunk_length);
    } else if (memcmp(type, "tRNS", 4) == 0) {
      read_transparency(&info, body, chunk_length);
    } else if (memcmp(type, "IDAT", 4) == 0) {
      if (!started) {
        if (info.colour == 3 && info.palette_count == 0) {
          ok = false;
          break;
        }
        raw_length = raw_size(&info);
        raw = static_cast<uint8_t*>(malloc(raw_length));
        if (!raw || inflateInit(&z) != Z_OK) {
          ok = false;
          break;
        }
        z.next_out = raw;
        z.avail_out = static_cast<uInt>(raw_length);
        started = true;
      }
      ok = inflate_chunk(&z, body, chunk_length, &done);
    } else if (memcmp(type, "IEND", 4) == 0) {
      break;
    }
  }
  if (started) {
    ok = ok && z.total_out == raw_length;
    inflateEnd(&z);
  }
  ok = ok && started;

  uint8_t* picture = nullptr;
  uint8_t* prior = nullptr;
  if (ok) {
    picture = static_cast<uint8_t*>(malloc(static_cast<size_t>(info.width) * info.height * 4));
    prior = static_cast<uint8_t*>(malloc(row_bytes(&info, info.width)));
    ok = picture && prior && unfilter_image(&info, raw, prior, picture);
  }
  free(prior);
  free(raw);
  if (!ok) {
    free(picture);
    return -1;
  }
  *rgba = picture;
  *width = static_cast<int32_t>(info.width);
  *height = static_cast<int32_t>(info.height);
  return 0;
}
