// Text in large blocks for the line readers (ASCII STL, OBJ), from a file or
// from a buffer the caller owns, read alike on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

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
const char* text_piece_end(const char* p, const char* limit);
