// Minimal ZIP reader: records are read in place, the entry is inflated
// straight into a block of its recorded size.
#include "zip.h"

#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <cstring>

static const uint64_t kEndRecordSize = 22;
static const uint64_t kMaxCommentSearch = 65558;  // 22-byte record + 65,535 comment + 1
static const uint64_t kCentralHeaderSize = 46;
static const uint64_t kLocalHeaderSize = 30;
static const uint64_t kZip64LocatorSize = 20;
static const uint64_t kZip64RecordSize = 56;  // without its extensible data
static const uint32_t kZip64ExtraId = 0x0001;
// 32-bit fields holding these values are found in the ZIP64 record or field.
static const uint32_t kMarker16 = 0xFFFF;
static const uint32_t kMarker32 = 0xFFFFFFFF;
// Deflate cannot expand beyond about 1032:1 (a 258-byte match per 2 bits);
// the extra 64 KiB covers small entries.
static const uint64_t kMaxDeflateRatio = 1032;
static const uint64_t kDeflateSlack = 65536;
// zlib counts its buffers in 32 bits: larger entries go through in pieces.
static const uint64_t kInflateChunk = UINT_MAX;

static uint32_t read_u16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

static uint32_t read_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static uint64_t read_u64(const uint8_t* p) {
  return static_cast<uint64_t>(read_u32(p)) | static_cast<uint64_t>(read_u32(p + 4)) << 32;
}

static bool has_signature(const uint8_t* p, uint8_t b2, uint8_t b3) {
  return p[0] == 0x50 && p[1] == 0x4B && p[2] == b2 && p[3] == b3;
}

// True when [offset, offset + size) lies inside [0, length), without overflow.
static bool in_range(uint64_t offset, uint64_t size, uint64_t length) {
  return offset <= length && size <= length - offset;
}

static unsigned char ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
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

// The ZIP64 end record named by the locator right before the end record, or
// null when either is missing or out of place.
static const uint8_t* find_zip64_record(const uint8_t* data, uint64_t eocd) {
  if (eocd < kZip64LocatorSize) return nullptr;
  const uint64_t locator = eocd - kZip64LocatorSize;
  if (!has_signature(data + locator, 6, 7)) return nullptr;
  const uint64_t record = read_u64(data + locator + 8);
  if (!in_range(record, kZip64RecordSize, locator)) return nullptr;
  if (!has_signature(data + record, 6, 6)) return nullptr;
  return data + record;
}

int zip_open_directory(const uint8_t* data, uint64_t length, ZipDirectory* dir) {
  if (!data || length == 0) return 0;
  uint64_t eocd;
  if (!find_end_record(data, length, &eocd)) return 0;
  if (eocd + kEndRecordSize > length) return 0;
  uint64_t total = read_u16(data + eocd + 10);
  uint64_t dir_size = read_u32(data + eocd + 12);
  uint64_t dir_offset = read_u32(data + eocd + 16);
  // Only fields that hold markers are taken from the ZIP64 record, so an
  // archive without ZIP64 values reads exactly as its 32-bit fields say.
  if (total == kMarker16 || dir_size == kMarker32 || dir_offset == kMarker32) {
    if (const uint8_t* record = find_zip64_record(data, eocd)) {
      if (total == kMarker16) total = read_u64(record + 32);
      if (dir_size == kMarker32) dir_size = read_u64(record + 40);
      if (dir_offset == kMarker32) dir_offset = read_u64(record + 48);
    }
  }
  if (!in_range(dir_offset, dir_size, length) || total == 0) return 0;
  dir->position = dir_offset;
  dir->end = dir_offset + dir_size;
  dir->remaining = total;
  return 1;
}

int zip_next_entry(const uint8_t* data, ZipDirectory* dir, ZipEntryName* entry) {
  if (dir->remaining == 0) return 0;
  const uint64_t pos = dir->position;
  if (!in_range(pos, kCentralHeaderSize, dir->end) || !has_signature(data + pos, 1, 2)) {
    dir->remaining = 0;
    return 0;
  }
  const uint8_t* h = data + pos;
  const uint64_t n = read_u16(h + 28);
  if (!in_range(pos + kCentralHeaderSize, n, dir->end)) {
    dir->remaining = 0;
    return 0;
  }
  entry->name = reinterpret_cast<const char*>(h + kCentralHeaderSize);
  entry->name_length = n;
  entry->header = pos;
  dir->position = pos + kCentralHeaderSize + n + read_u16(h + 30) + read_u16(h + 32);
  dir->remaining--;
  return 1;
}

// Sizes and local header offset of a central header, the 32-bit values
// replaced from its ZIP64 extra field where they hold markers. The field
// holds, in this order, only the values whose 32-bit fields are markers; a
// field cut short or beyond the input leaves the rest as they are.
struct CentralSizes {
  uint64_t compressed;
  uint64_t size;
  uint64_t local;
};

static void read_central_sizes(const uint8_t* data, uint64_t length, uint64_t header,
                               CentralSizes* s) {
  const uint8_t* h = data + header;
  const uint32_t compressed = read_u32(h + 20);
  const uint32_t size = read_u32(h + 24);
  const uint32_t local = read_u32(h + 42);
  s->compressed = compressed;
  s->size = size;
  s->local = local;
  if (compressed != kMarker32 && size != kMarker32 && local != kMarker32) return;
  const uint64_t extra = header + kCentralHeaderSize + read_u16(h + 28);
  const uint64_t extra_end = extra + read_u16(h + 30);
  if (extra_end > length) return;
  for (uint64_t p = extra; p + 4 <= extra_end;) {
    const uint32_t id = read_u16(data + p);
    const uint64_t field_end = p + 4 + read_u16(data + p + 2);
    if (field_end > extra_end) return;
    if (id == kZip64ExtraId) {
      uint64_t q = p + 4;
      uint64_t* targets[3] = {size == kMarker32 ? &s->size : nullptr,
                              compressed == kMarker32 ? &s->compressed : nullptr,
                              local == kMarker32 ? &s->local : nullptr};
      for (uint64_t* target : targets) {
        if (!target) continue;
        if (q + 8 > field_end) return;
        *target = read_u64(data + q);
        q += 8;
      }
      return;
    }
    p = field_end;
  }
}

// Where an entry's data lies and how it is stored, with every check that
// comes before inflating. False when the entry is not to be read.
static bool locate_entry(const uint8_t* data, uint64_t length, uint64_t header, uint32_t* method,
                         uint64_t* start, CentralSizes* s) {
  if (!data || !in_range(header, kCentralHeaderSize, length)) return false;
  *method = read_u16(data + header + 10);
  read_central_sizes(data, length, header, s);
  if (!in_range(s->local, kLocalHeaderSize, length)) return false;
  if (!has_signature(data + s->local, 3, 4)) return false;
  *start =
      s->local + kLocalHeaderSize + read_u16(data + s->local + 26) + read_u16(data + s->local + 28);
  if (!in_range(*start, s->compressed, length)) return false;
  // One byte more than the entry must fit in size_t.
  if (s->size >= SIZE_MAX) return false;
  if (*method == 0) {
    // A copy reads size bytes while the range check covers compressed:
    // only equal sizes keep it inside the input.
    return s->size == s->compressed;
  }
  if (*method != 8) return false;
  // Refuse sizes deflate cannot reach before allocating anything, so a tiny
  // package cannot claim gigabytes.
  const uint64_t reachable = s->compressed > (UINT64_MAX - kDeflateSlack) / kMaxDeflateRatio
                                 ? UINT64_MAX
                                 : s->compressed * kMaxDeflateRatio + kDeflateSlack;
  return s->size <= reachable;
}

int zip_reader_open(ZipEntryReader* r, const uint8_t* data, uint64_t length, uint64_t header) {
  memset(r, 0, sizeof *r);
  uint32_t method;
  uint64_t start;
  CentralSizes s;
  if (!locate_entry(data, length, header, &method, &start, &s)) return 0;
  r->size = s.size;
  if (method == 0) {
    r->stored = data + start;
    return 1;
  }
  z_stream* zs = static_cast<z_stream*>(calloc(1, sizeof(z_stream)));
  if (!zs) return 0;
  zs->next_in = const_cast<Bytef*>(data + start);
  if (inflateInit2(zs, -15) != Z_OK) {
    free(zs);
    return 0;
  }
  r->inflater = zs;
  r->in_left = s.compressed;
  return 1;
}

// Gives the inflater its next input once it has used up what it had.
static void feed(ZipEntryReader* r, z_stream* zs) {
  if (zs->avail_in == 0 && r->in_left > 0) {
    zs->avail_in = static_cast<uInt>(r->in_left < kInflateChunk ? r->in_left : kInflateChunk);
    r->in_left -= zs->avail_in;
  }
}

int64_t zip_reader_read(ZipEntryReader* r, uint8_t* out, uint64_t capacity) {
  if (r->failed) return -1;
  uint64_t want = r->size - r->delivered;
  if (want > capacity) want = capacity;
  if (want > kInflateChunk) want = kInflateChunk;
  if (r->stored) {
    memcpy(out, r->stored + r->delivered, static_cast<size_t>(want));
    r->delivered += want;
    return static_cast<int64_t>(want);
  }
  z_stream* zs = static_cast<z_stream*>(r->inflater);
  if (want == 0) {
    if (r->ended) return 0;
    // Every byte is out: the stream must end here, without more output.
    uint8_t spare;
    zs->next_out = &spare;
    zs->avail_out = 0;
    int rc;
    do {
      feed(r, zs);
      rc = inflate(zs, r->in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
    } while (rc == Z_OK);
    if (rc != Z_STREAM_END) {
      r->failed = 1;
      return -1;
    }
    r->ended = 1;
    return 0;
  }
  uint64_t produced = 0;
  if (!r->ended) {
    zs->next_out = out;
    zs->avail_out = static_cast<uInt>(want);
    for (;;) {
      feed(r, zs);
      const int rc = inflate(zs, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        r->ended = 1;
        break;
      }
      // Z_OK means progress was made; anything else ends the stream.
      if (rc != Z_OK) {
        r->failed = 1;
        return -1;
      }
      if (zs->avail_out == 0) break;
    }
    produced = want - zs->avail_out;
  }
  // A stream that ends early still counts with its recorded size; the tail
  // is zeros.
  if (produced < want) memset(out + produced, 0, static_cast<size_t>(want - produced));
  r->delivered += want;
  return static_cast<int64_t>(want);
}

void zip_reader_close(ZipEntryReader* r) {
  if (r->inflater) {
    inflateEnd(static_cast<z_stream*>(r->inflater));
    free(r->inflater);
  }
  memset(r, 0, sizeof *r);
}

int zip_extract_at(const uint8_t* data, uint64_t length, uint64_t header, uint8_t** out,
                   uint64_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  ZipEntryReader r;
  if (!zip_reader_open(&r, data, length, header)) {
    zip_reader_close(&r);
    return 0;
  }
  uint8_t* buf = static_cast<uint8_t*>(malloc(static_cast<size_t>(r.size) + 1));
  int64_t got = buf ? 1 : -1;
  // Entries below 4 GiB inflate in one call, straight into the block.
  uint64_t held = 0;
  while (got > 0) {
    got = zip_reader_read(&r, buf + held, r.size - held);
    if (got > 0) held += static_cast<uint64_t>(got);
  }
  const uint64_t size = r.size;
  zip_reader_close(&r);
  if (got < 0) {
    free(buf);
    return 0;
  }
  buf[size] = 0;
  *out = buf;
  *out_length = size;
  return 1;
}

uint64_t zip_find_entry(const uint8_t* data, uint64_t length, const char* name) {
  ZipDirectory dir;
  if (!zip_open_directory(data, length, &dir)) return UINT64_MAX;
  const uint64_t name_len = strlen(name);
  ZipEntryName e;
  while (zip_next_entry(data, &dir, &e)) {
    if (e.name_length == name_len && memcmp(e.name, name, name_len) == 0) return e.header;
  }
  return UINT64_MAX;
}

uint64_t zip_find_part(const uint8_t* data, uint64_t length, const char* part_name) {
  ZipDirectory dir;
  if (!zip_open_directory(data, length, &dir)) return UINT64_MAX;
  const size_t name_len = strlen(part_name);
  ZipEntryName e;
  while (zip_next_entry(data, &dir, &e)) {
    if (part_names_equal(e.name, static_cast<size_t>(e.name_length), part_name, name_len)) {
      return e.header;
    }
  }
  return UINT64_MAX;
}

int zip_extract_entry(const uint8_t* data, uint64_t length, const char* name, uint8_t** out,
                      uint64_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  const uint64_t header = zip_find_entry(data, length, name);
  return header == UINT64_MAX ? 0 : zip_extract_at(data, length, header, out, out_length);
}

int part_names_equal(const char* a, size_t a_length, const char* b, size_t b_length) {
  if (a_length > 0 && a[0] == '/') {
    a++;
    a_length--;
  }
  if (b_length > 0 && b[0] == '/') {
    b++;
    b_length--;
  }
  if (a_length != b_length) return 0;
  for (size_t i = 0; i < a_length; i++) {
    if (ascii_lower(static_cast<unsigned char>(a[i])) !=
        ascii_lower(static_cast<unsigned char>(b[i]))) {
      return 0;
    }
  }
  return 1;
}

int zip_extract_part(const uint8_t* data, uint64_t length, const char* part_name, uint8_t** out,
                     uint64_t* out_length) {
  *out = nullptr;
  *out_length = 0;
  const uint64_t header = zip_find_part(data, length, part_name);
  return header == UINT64_MAX ? 0 : zip_extract_at(data, length, header, out, out_length);
}
