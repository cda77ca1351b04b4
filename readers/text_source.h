// What the line readers (ASCII STL, OBJ) share: text in large blocks from a
// file or from a buffer the caller owns, read alike on every platform; line
// pieces; and appending triangles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "model.h"

// The text is [pos, end) for now; text_source_fill makes more of it
// available. A Ctrl-Z byte (or, in UTF-16, the character U+001A) ends the
// text, as in the Windows runtime's text mode. Everything else arrives as it
// is stored: CR LF is two bytes, so a reader treats CR as a line end.
struct TextSource {
  const char* pos;
  const char* end;
  bool ended;   // no text after end
  bool failed;  // a read error or no memory: the text ended early
  // Private to text_source.cpp.
  FILE* file;
  const uint8_t* data;
  size_t size;
  size_t offset;    // input bytes taken
  int utf16;        // 0: bytes as stored; 1: UTF-16LE; 2: UTF-16BE
  bool input_done;  // the input has no more bytes
  char* buffer;     // owned; null when the text is the caller's buffer
  size_t capacity;
  uint8_t* raw;  // owned UTF-16 input bytes not yet decoded
  size_t raw_length;
};

// Starts reading the open file (binary mode) from its current position, or
// the buffer [data, data + size), which must outlive the source. With
// utf16_bom, a text that starts with a UTF-16 byte-order mark (either order)
// is decoded into UTF-8 (unpaired surrogates become U+FFFD, a final odd byte
// is dropped). Returns 0, or -1 when no memory is left (release the source
// with text_source_close either way). The caller keeps and closes the file.
int text_source_open_file(TextSource* source, FILE* file, bool utf16_bom);
int text_source_open_memory(TextSource* source, const uint8_t* data, size_t size, bool utf16_bom);

// Makes at least want bytes (at most 4096) available from *pos unless the
// text ends first; the window may move, and *pos with it (pass &source->pos
// or a copy of it that is stored back).
void text_source_fill(TextSource* source, const char** pos, size_t want);

// Frees what the source allocated.
void text_source_close(TextSource* source);

// The end of the line piece that starts at p: just past the first LF or CR
// in [p, limit), else limit.
inline const char* text_piece_end(const char* p, const char* limit) {
#ifdef __SSE2__
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  while (limit - p >= 16) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(block, lf), _mm_cmpeq_epi8(block, cr));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask) return p + __builtin_ctz(mask) + 1;
    p += 16;
  }
#endif
  for (; p < limit; p++) {
    if (*p == '\n' || *p == '\r') return p + 1;
  }
  return limit;
}

// The first byte of [p, limit) that is neither a space nor a tab, or limit.
inline const char* text_skip_blanks(const char* p, const char* limit) {
#ifdef __SSE2__
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  while (limit - p >= 16) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(block, space), _mm_cmpeq_epi8(block, tab));
    unsigned mask = ~static_cast<unsigned>(_mm_movemask_epi8(blank)) & 0xffffu;
    if (mask) return p + __builtin_ctz(mask);
    p += 16;
  }
#endif
  while (p < limit && (*p == ' ' || *p == '\t')) p++;
  return p;
}

// A model's box kept apart while a reader appends, so that widening it is
// branch-free: (v < lo ? v : lo) is the test of model_widen_box (a NaN never
// moves the box) and compiles to minss/maxss.
struct TextBox {
  float lo[3];
  float hi[3];
};

inline void text_box_load(TextBox* box, const Model* model) {
  for (int a = 0; a < 3; a++) {
    box->lo[a] = model->min[a];
    box->hi[a] = model->max[a];
  }
}

inline void text_box_store(const TextBox* box, Model* model) {
  for (int a = 0; a < 3; a++) {
    model->min[a] = box->lo[a];
    model->max[a] = box->hi[a];
  }
}

// model_push with the box in *box. Returns 0, or -1 when the array cannot
// grow (the model and the box are then unchanged).
inline int text_push(Model* model, TextBox* box, const Triangle* tri) {
  if (model->count >= model->capacity && model_grow(model) != 0) return -1;
  model->triangles[model->count++] = *tri;
  for (int v = 0; v < 3; v++) {
    for (int a = 0; a < 3; a++) {
      const float value = tri->vertices[v][a];
      box->lo[a] = value < box->lo[a] ? value : box->lo[a];
      box->hi[a] = value > box->hi[a] ? value : box->hi[a];
    }
  }
  return 0;
}
