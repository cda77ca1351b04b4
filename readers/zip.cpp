// Minimal ZIP entry reader: records are read in place, the entry is inflated
// in one call straight into a block of its recorded size.
#include "zip.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

static const uint64_t kEndRecordSize = 22;
static const uint64_t kMaxCommentSearch = 65558;  // 22-byte record + 65,535 comment + 1
static const uint64_t kCentralHeaderSize = 46;
static const uint64_t kLocalHeaderSize = 30;
// Deflate cannot expand beyond about 1032:1 (a 258-byte match per 2 bits);
// the extra 64 KiB covers small entries.
static const uint64_t kMaxDeflateRatio = 1032;
static const uint64_t kDeflateSlack = 65536;

static uint32_t read_u16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

static uint32_t read_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static bool has_signature(const uint8_t* p, uint8_t b2, uint8_t b3) {
  return p[0] == 0x50 && p[1] == 0x4B && p[2] == b2 && p[3] == b3;
}

int looks_like_zip(const uint8_t* data, uint64_t length) {
  if (length < 4) return 0;
  return data[0] == 0x50 && data[1] == 0x4B && (data[2] == 3 || data[2] == 5 || data[2] == 7) &&
         (data[3] == 4 || data[3] == 6 || data[3] == 8);
}

// Offset of the end-of-central-directory record: the first signature found
// searching backwards from length - 4; earlier hits are never tried.
static bool find_end_record(const uint8_t* data, uint64_t length, uint64_t* at) {
  if (length < 4) return false;
  const uint64_t lowest = length > kMaxCommentSearch ? length - kMaxCommentSearch : 0;
  for (uint64_t i = length - 4;; i--) {
    if (has_signature(data + i, 5, 6)) {
      *at = i;
      return true;
    }
    if (i == lowest) return false;
  }
}

static uint8_t* inflate_entry(const uint8_t* src, uint32_t compressed, uint32_t size) {
  uint8_t* buf = static_cast<uint8_t*>(malloc(static_cast<size_t>(size) + 1));
  if (!buf) return nullptr;
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  zs.next_in = const_cast<Bytef*>(src);
  zs.avail_in = compressed;
  zs.next_out = buf;
  zs.avail_out = size;
  if (inflateInit2(&zs, -15) != Z_OK) {
    free(buf);
    return nullptr;
  }
  const int rc = inflate(&zs, Z_FINISH);
  const uint64_t produced = zs.total_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) {
    free(buf);
    return nullptr;
  }
  // A stream that ends early still counts with its recorded size; the tail
  // is zeros rather than whatever the allocator left there.
  if (produced < size) memset(buf + produced, 0, static_cast<size_t>(size - produced));
  buf[size] = 0;
  return buf;
}

int zip_extract_entry(const uint8_t* data, uint64_t length, const char* name, uint8_t** out,
                      uint64_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  if (!data || length == 0) return 0;

  uint64_t eocd;
  if (!find_end_record(data, length, &eocd)) return 0;
  if (eocd + kEndRecordSize > length) return 0;
  const uint64_t total = read_u16(data + eocd + 10);
  const uint64_t dir_size = read_u32(data + eocd + 12);
  const uint64_t dir_offset = read_u32(data + eocd + 16);
  if (dir_offset + dir_size > length || total == 0) return 0;

  const uint64_t name_len = strlen(name);
  const uint64_t dir_end = dir_offset + dir_size;
  uint64_t pos = dir_offset;
  const uint8_t* header = nullptr;
  for (uint64_t seen = 0;;) {
    if (pos + kCentralHeaderSize > dir_end) return 0;
    const uint8_t* h = data + pos;
    if (!has_signature(h, 1, 2)) return 0;
    const uint64_t n = read_u16(h + 28);
    if (pos + kCentralHeaderSize + n > dir_end) return 0;
    if (n == name_len && memcmp(h + kCentralHeaderSize, name, n) == 0) {
      header = h;
      break;
    }
    pos += kCentralHeaderSize + n + read_u16(h + 30) + read_u16(h + 32);
    if (++seen == total) return 0;
  }

  const uint32_t method = read_u16(header + 10);
  const uint32_t compressed = read_u32(header + 20);
  const uint32_t size = read_u32(header + 24);
  const uint64_t local = read_u32(header + 42);
  if (local + kLocalHeaderSize > length) return 0;
  if (!has_signature(data + local, 3, 4)) return 0;
  const uint64_t start =
      local + kLocalHeaderSize + read_u16(data + local + 26) + read_u16(data + local + 28);
  if (start + compressed > length) return 0;

  uint8_t* buf = nullptr;
  if (method == 0) {
    // The copy reads size bytes while the range check covers compressed:
    // only equal sizes keep the copy inside the input.
    if (size != compressed) return 0;
    buf = static_cast<uint8_t*>(malloc(static_cast<size_t>(size) + 1));
    if (!buf) return 0;
    memcpy(buf, data + start, size);
    buf[size] = 0;
  } else if (method == 8) {
    // Refuse sizes deflate cannot reach before allocating anything, so a tiny
    // package cannot claim gigabytes.
    if (size > static_cast<uint64_t>(compressed) * kMaxDeflateRatio + kDeflateSlack) return 0;
    buf = inflate_entry(data + start, compressed, size);
    if (!buf) return 0;
  } else {
    return 0;
  }
  *out = buf;
  *out_length = size;
  return 1;
}
