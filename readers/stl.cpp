// STL readers: binary records in large blocks, ASCII line pieces from a
// block text source; files and memory go through the same code.
#include "stl.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <xmmintrin.h>
#endif

#include "platform.h"
#include "scan.h"
#include "text_source.h"

static const uint32_t kMaxBinaryTriangles = 50000000;
static const size_t kHeaderBytes = 84;
static const size_t kRecordBytes = 50;
static const uint32_t kChunkRecords = 4096;  // 200 KB a read, which stays in the cache
// The flavour test looks at this much of the file, as a 1024-byte C string.
static const size_t kFlavourBytes = 1023;
// ASCII lines are read the way fgets fills a 512-byte buffer: a longer line
// arrives in pieces that are parsed on their own.
static const size_t kPieceChars = 511;

static uint32_t read_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Whether the n bytes at p spell word in any ASCII letter case; the word's
// other characters (the blank of "facet normal") must match exactly.
static bool matches_folded(const char* p, const char* word, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const char w = word[i];
    const char c = w >= 'a' && w <= 'z' ? static_cast<char>(p[i] | 0x20) : p[i];
    if (c != w) return false;
  }
  return true;
}

static bool starts_with_folded(const char* p, const char* end, const char* word, size_t n) {
  return static_cast<size_t>(end - p) >= n && matches_folded(p, word, n);
}

static bool contains_folded(const char* text, const char* end, const char* word, size_t n) {
  for (const char* p = text; end - p >= static_cast<ptrdiff_t>(n); p++) {
    if (matches_folded(p, word, n)) return true;
  }
  return false;
}

// A keyword of the ASCII reader as 8-byte words for one comparison each:
// letters fold to lower case (or-ing 0x20 maps exactly 'A'..'Z' onto
// 'a'..'z' among the bytes that can equal a lower-case letter); the blank
// of "facet normal" must match as it is.
struct Keyword {
  const char* text;
  size_t length;  // at most 16
  uint64_t word[2];
  uint64_t fold[2];
  uint64_t mask[2];
};

static constexpr uint64_t keyword_bits(const char* text, size_t length, size_t from, int what) {
  uint64_t bits = 0;
  for (size_t i = from; i < from + 8 && i < length; i++) {
    const uint64_t c = static_cast<unsigned char>(text[i]);
    const uint64_t v = what == 0 ? c : what == 1 ? (c >= 'a' && c <= 'z' ? 0x20 : 0) : 0xff;
    bits |= v << (8 * (i - from));
  }
  return bits;
}

static constexpr Keyword make_keyword(const char* text, size_t length) {
  return {text,
          length,
          {keyword_bits(text, length, 0, 0), keyword_bits(text, length, 8, 0)},
          {keyword_bits(text, length, 0, 1), keyword_bits(text, length, 8, 1)},
          {keyword_bits(text, length, 0, 2), keyword_bits(text, length, 8, 2)}};
}

static constexpr Keyword kFacetNormal = make_keyword("facet normal", 12);
static constexpr Keyword kVertex = make_keyword("vertex", 6);
static constexpr Keyword kEndfacet = make_keyword("endfacet", 8);

static bool starts_with_keyword(const char* p, const char* end, const Keyword& k) {
  if (end - p < 16) return starts_with_folded(p, end, k.text, k.length);
  for (int i = 0; i < 2; i++) {
    uint64_t v;
    memcpy(&v, p + 8 * i, sizeof v);  // little-endian, as every target is
    if (((v | k.fold[i]) & k.mask[i]) != k.word[i]) return false;
  }
  return true;
}

// Whether a line of [text, end) after the first starts, after spaces and
// tabs, with a facet line as the ASCII reader recognises it.
static bool has_facet_line(const char* text, const char* end) {
  const char* p = text;
  while (p < end) {
    while (p < end && *p != '\n' && *p != '\r') p++;
    if (p < end) p++;
    while (p < end && (*p == ' ' || *p == '\t')) p++;
    if (starts_with_folded(p, end, "facet normal", 12)) return true;
  }
  return false;
}

// The flavour from the first bytes of the file (head_length of them, at most
// kFlavourBytes) and its size (-1 when unknown). The text evidence stops at
// the first NUL, as the C string search it once was did.
static int stl_flavour(const uint8_t* head, size_t head_length, int64_t size) {
  if (head_length < kHeaderBytes) return 1;
  const char* text = reinterpret_cast<const char*>(head);
  const void* nul = memchr(text, 0, head_length);
  const char* text_end = nul ? static_cast<const char*>(nul) : text + head_length;
  const bool solid = memcmp(text, "solid", 5) == 0;
  if (solid && contains_folded(text, text_end, "facet", 5) &&
      contains_folded(text, text_end, "normal", 6)) {
    return 0;
  }
  const uint32_t count = read_u32_le(head + 80);
  // Within 2 bytes of 84 + 50 * count, in wrapping 32-bit arithmetic.
  const uint32_t slack = 50u * count - static_cast<uint32_t>(size) + 86u;
  if (slack <= 4) return 1;
  if (solid) return 0;
  // Other tools' text files: "solid" in any case after blanks, with a facet
  // line to prove it. Only files that are no whole binary STL get here, so a
  // binary file whose header merely starts like text keeps its reading.
  const char* p = text;
  while (p < text_end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) p++;
  if (starts_with_folded(p, text_end, "solid", 5) && has_facet_line(p, text_end)) return 0;
  return 1;
}

int is_binary_stl(const char* path) {
  FILE* f = platform_fopen(path, "rb");
  if (!f) return 1;
  uint8_t head[kFlavourBytes];
  const size_t n = fread(head, 1, sizeof head, f);
  if (n < kHeaderBytes) {
    fclose(f);
    return 1;
  }
  const int64_t size = stream_size(f);
  fclose(f);
  return stl_flavour(head, n, size);
}

int is_binary_stl_bytes(const uint8_t* data, size_t size) {
  if (size < kHeaderBytes) return 1;
  return stl_flavour(data, size < kFlavourBytes ? size : kFlavourBytes, static_cast<int64_t>(size));
}

// Copies n records into out and widens the box. The box tests are those of
// model_widen_box: minps/maxps keep their second operand unless the first is
// strictly smaller/larger, so a NaN never moves the box either.
static void copy_records(const uint8_t* rec, uint32_t n, Triangle* out, Model* model) {
#ifdef __SSE2__
  __m128 lo = _mm_setr_ps(model->min[0], model->min[1], model->min[2], 0.0f);
  __m128 hi = _mm_setr_ps(model->max[0], model->max[1], model->max[2], 0.0f);
  for (uint32_t i = 0; i < n; i++, rec += kRecordBytes) {
    Triangle* tri = out + i;
    memcpy(tri->vertices, rec + 12, 36);  // bit for bit, NaN payloads included
    memcpy(tri->normal, rec, 12);
    // Lanes x, y, z, read from the record (not from the copy just stored,
    // which a wide load could not take from the store buffer); the fourth
    // lane carries another coordinate and is dropped.
    const float* xyz = reinterpret_cast<const float*>(rec + 12);
    const __m128 a = _mm_loadu_ps(xyz);
    const __m128 b = _mm_loadu_ps(xyz + 3);
    const __m128 z1_c = _mm_loadu_ps(xyz + 5);  // z1 x2 y2 z2: stays inside the record
    const __m128 c = _mm_shuffle_ps(z1_c, z1_c, _MM_SHUFFLE(0, 3, 2, 1));
    lo = _mm_min_ps(a, lo);
    hi = _mm_max_ps(a, hi);
    lo = _mm_min_ps(b, lo);
    hi = _mm_max_ps(b, hi);
    lo = _mm_min_ps(c, lo);
    hi = _mm_max_ps(c, hi);
  }
  float low[4], high[4];
  _mm_storeu_ps(low, lo);
  _mm_storeu_ps(high, hi);
  for (int a = 0; a < 3; a++) {
    model->min[a] = low[a];
    model->max[a] = high[a];
  }
#else
  for (uint32_t i = 0; i < n; i++, rec += kRecordBytes) {
    Triangle* tri = out + i;
    memcpy(tri->vertices, rec + 12, 36);
    memcpy(tri->normal, rec, 12);
    model_widen_box(model, tri);
  }
#endif
}

// Appends n whole records, growing the model as it fills. Returns how many
// were appended: fewer when the model cannot grow.
static uint32_t append_records(const uint8_t* records, uint32_t n, Model* model) {
  uint32_t done = 0;
  while (done < n) {
    if (model->count >= model->capacity && model_grow(model) != 0) break;
    const uint32_t room =
        static_cast<uint32_t>(model->capacity) - static_cast<uint32_t>(model->count);
    const uint32_t take = n - done < room ? n - done : room;
    copy_records(records + static_cast<size_t>(done) * kRecordBytes, take,
                 model->triangles + model->count, model);
    model->count += static_cast<int32_t>(take);
    done += take;
  }
  return done;
}

// The declared count is only a promise: memory follows the records the file
// holds (body_bytes of them after the header; -1 when unknown). Growing once
// to that gives the same capacity as one doubling per overflow, with fewer
// copies. Returns -1 when the model cannot grow.
static int reserve_records(uint32_t count, int64_t body_bytes, Model* model) {
  const uint64_t room = body_bytes > 0 ? static_cast<uint64_t>(body_bytes) / kRecordBytes : 0;
  const uint32_t expected = room < count ? static_cast<uint32_t>(room) : count;
  while (static_cast<uint32_t>(model->capacity) - static_cast<uint32_t>(model->count) < expected) {
    if (model_grow(model) != 0) return -1;
  }
  return 0;
}

int parse_stl_binary(const char* path, Model* model) {
  FILE* f = platform_fopen(path, "rb");
  if (!f) return -1;
  uint8_t head[kHeaderBytes];
  if (fread(head, 1, sizeof head, f) < sizeof head) {
    fclose(f);
    return -1;
  }
  const uint32_t count = read_u32_le(head + 80);
  if (count == 0) {
    fclose(f);
    return 0;
  }
  if (count > kMaxBinaryTriangles) {
    fclose(f);
    return -1;
  }
  const int64_t size = stream_size(f);
  if (size >= 0 && fseek(f, static_cast<long>(kHeaderBytes), SEEK_SET) != 0) {
    fclose(f);
    return -1;
  }
  if (reserve_records(count, size - static_cast<int64_t>(kHeaderBytes), model) != 0) {
    fclose(f);
    return -1;
  }
  model->is_binary = 1;
  const uint32_t chunk_records = count < kChunkRecords ? count : kChunkRecords;
  uint8_t* chunk = static_cast<uint8_t*>(malloc(kRecordBytes * chunk_records));
  if (!chunk) {
    fclose(f);
    return -1;
  }
  uint32_t done = 0;
  int rc = 0;
  while (done < count) {
    const uint32_t want = count - done < chunk_records ? count - done : chunk_records;
    // A final partial record is dropped.
    const uint32_t got =
        static_cast<uint32_t>(fread(chunk, 1, kRecordBytes * want, f) / kRecordBytes);
    if (append_records(chunk, got, model) < got) {
      rc = -1;
      break;
    }
    done += got;
    if (got < want) {
      if (ferror(f)) rc = -1;  // a read error is not the end of the file
      break;
    }
  }
  free(chunk);
  fclose(f);
  if (rc != 0) return -1;
  model->source_count = static_cast<int32_t>(done);
  return 0;
}

int parse_stl_binary_bytes(const uint8_t* data, size_t size, Model* model) {
  if (size < kHeaderBytes) return -1;
  const uint32_t count = read_u32_le(data + 80);
  if (count == 0) return 0;
  if (count > kMaxBinaryTriangles) return -1;
  const uint64_t body = size - kHeaderBytes;
  if (reserve_records(count, static_cast<int64_t>(body), model) != 0) return -1;
  model->is_binary = 1;
  const uint64_t held = body / kRecordBytes;
  const uint32_t records = held < count ? static_cast<uint32_t>(held) : count;
  if (append_records(data + kHeaderBytes, records, model) < records) return -1;
  model->source_count = static_cast<int32_t>(records);
  return 0;
}

// Reads line pieces: "facet normal", "vertex" and "endfacet" in any letter
// case after spaces or tabs; a piece ends after LF or CR, or after 511 bytes.
static int read_ascii(TextSource* source, Model* model) {
  model->is_binary = 0;
  Triangle pending;
  memset(&pending, 0, sizeof pending);
  int k = 0;
  int rc = 0;
  TextBox box;
  text_box_load(&box, model);
  const char* p = source->pos;
  for (;;) {
    if (static_cast<size_t>(source->end - p) < kPieceChars) {
      text_source_fill(source, &p, kPieceChars);
      if (p == source->end) break;
    }
    const char* limit =
        source->end - p > static_cast<ptrdiff_t>(kPieceChars) ? p + kPieceChars : source->end;
    // The keywords and numbers never take an LF or CR, so the piece ends at
    // the first one after what they took.
    const char* q = text_skip_blanks(p, limit);
    const char* stop = q;
    if (starts_with_keyword(q, limit, kFacetNormal)) {
      scan_line_float3(q + 12, limit, pending.normal, &stop);
      k = 0;
    } else if (starts_with_keyword(q, limit, kVertex)) {
      if (k <= 2) {
        scan_line_float3(q + 6, limit, pending.vertices[k], &stop);
        k++;  // advances even when no number could be read
      }
    } else if (k == 3 && starts_with_keyword(q, limit, kEndfacet)) {
      if (text_push(model, &box, &pending) != 0) {
        rc = -1;
        break;
      }
    }
    p = stop < limit && *stop == '\n' ? stop + 1 : text_piece_end(stop, limit);
  }
  text_box_store(&box, model);
  if (source->failed) rc = -1;
  model->source_count = model->count;
  return rc;
}

int parse_stl_ascii(const char* path, Model* model) {
  // Binary mode on every platform; the text source applies the one rule of
  // text mode that changes what is read (Ctrl-Z ends the file).
  FILE* f = platform_fopen(path, "rb");
  if (!f) return -1;
  TextSource source;
  int rc = text_source_open_file(&source, f, false);
  if (rc == 0) rc = read_ascii(&source, model);
  text_source_close(&source);
  fclose(f);
  return rc;
}

int parse_stl_ascii_bytes(const uint8_t* data, size_t size, Model* model) {
  TextSource source;
  int rc = text_source_open_memory(&source, data, size, false);
  if (rc == 0) rc = read_ascii(&source, model);
  text_source_close(&source);
  return rc;
}

int parse_stl(const char* path, Model* model) {
  return is_binary_stl(path) ? parse_stl_binary(path, model) : parse_stl_ascii(path, model);
}

int parse_stl_bytes(const uint8_t* data, size_t size, Model* model) {
  return is_binary_stl_bytes(data, size) ? parse_stl_binary_bytes(data, size, model)
                                         : parse_stl_ascii_bytes(data, size, model);
}
