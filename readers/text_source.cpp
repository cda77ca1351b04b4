// Text in large blocks for the line readers: files through one reused
// buffer, memory in place, UTF-16 decoded on the way.
#include "text_source.h"

#include <cstdlib>
#include <cstring>

// Large enough that reads cost little per byte, small enough to stay in the
// cache while it is parsed; the same step for a buffer in memory, whose
// Ctrl-Z search then runs just ahead of the parse.
static const size_t kBlockBytes = size_t{1} << 18;
static const size_t kRawBytes = size_t{1} << 16;
static const unsigned char kCtrlZ = 0x1a;
static const uint32_t kReplacement = 0xfffd;

// Appends up to want input bytes at dst; marks the input done (and a read
// error failed) when it has fewer.
static size_t take_input(TextSource* s, uint8_t* dst, size_t want) {
  size_t got;
  if (s->file) {
    got = fread(dst, 1, want, s->file);
    if (got < want && ferror(s->file)) s->failed = true;
  } else {
    got = s->size - s->offset < want ? s->size - s->offset : want;
    memcpy(dst, s->data + s->offset, got);
  }
  s->offset += got;
  if (got < want) s->input_done = true;
  return got;
}

// Bytes as stored: n more at end, cut at a Ctrl-Z.
static void accept_bytes(TextSource* s, size_t n) {
  const void* stop = memchr(s->end, kCtrlZ, n);
  if (stop) {
    n = static_cast<size_t>(static_cast<const char*>(stop) - s->end);
    s->ended = true;
  }
  s->end += n;
  if (s->input_done) s->ended = true;
}

static char* put_utf8(char* out, uint32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xc0 | c >> 6);
    *out++ = static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xe0 | c >> 12);
    *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3f));
    *out++ = static_cast<char>(0x80 | (c & 0x3f));
  } else {
    *out++ = static_cast<char>(0xf0 | c >> 18);
    *out++ = static_cast<char>(0x80 | (c >> 12 & 0x3f));
    *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3f));
    *out++ = static_cast<char>(0x80 | (c & 0x3f));
  }
  return out;
}

static uint32_t unit_at(const TextSource* s, size_t i) {
  const uint8_t* b = s->raw + i;
  return s->utf16 == 1 ? static_cast<uint32_t>(b[0] | b[1] << 8)
                       : static_cast<uint32_t>(b[0] << 8 | b[1]);
}

// Decodes what the staging bytes hold into the window (at most 4 bytes a
// code unit), after topping them up from the input.
static void decode_utf16(TextSource* s) {
  if (!s->input_done) {
    s->raw_length += take_input(s, s->raw + s->raw_length, kRawBytes - s->raw_length);
  }
  char* out = const_cast<char*>(s->end);
  char* const out_end = s->buffer + s->capacity;
  size_t i = 0;
  while (i + 2 <= s->raw_length && out_end - out >= 4) {
    uint32_t c = unit_at(s, i);
    size_t used = 2;
    if (c == kCtrlZ) {
      s->ended = true;
      break;
    }
    if (c >= 0xd800 && c < 0xdc00) {
      if (i + 4 > s->raw_length && !s->input_done) break;  // its pair may follow
      uint32_t low = i + 4 <= s->raw_length ? unit_at(s, i + 2) : 0;
      if (low >= 0xdc00 && low < 0xe000) {
        c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
        used = 4;
      } else {
        c = kReplacement;
      }
    } else if (c >= 0xdc00 && c < 0xe000) {
      c = kReplacement;
    }
    out = put_utf8(out, c);
    i += used;
  }
  memmove(s->raw, s->raw + i, s->raw_length - i);
  s->raw_length -= i;
  s->end = out;
  if (s->input_done && s->raw_length < 2) s->ended = true;
}

static int open_buffered(TextSource* s) {
  s->buffer = static_cast<char*>(malloc(kBlockBytes));
  if (!s->buffer) {
    s->failed = s->ended = true;
    return -1;
  }
  s->capacity = kBlockBytes;
  s->pos = s->end = s->buffer;
  return 0;
}

// Looks at the first two bytes (already in the window) for a byte-order mark.
static int start_text(TextSource* s, bool utf16_bom) {
  const size_t have = static_cast<size_t>(s->end - s->pos);
  const uint8_t* head = reinterpret_cast<const uint8_t*>(s->pos);
  int order = 0;
  if (utf16_bom && have == 2) {
    if (head[0] == 0xff && head[1] == 0xfe) order = 1;
    if (head[0] == 0xfe && head[1] == 0xff) order = 2;
  }
  if (order == 0) {
    // Bytes as stored: the head is text and is checked like the rest.
    s->end = s->pos;
    accept_bytes(s, have);
    return 0;
  }
  s->utf16 = order;
  if (!s->buffer && open_buffered(s) != 0) return -1;
  s->pos = s->end = s->buffer;
  s->raw = static_cast<uint8_t*>(malloc(kRawBytes));
  if (!s->raw) {
    s->failed = s->ended = true;
    return -1;
  }
  s->raw_length = 0;
  return 0;
}

static void clear(TextSource* s) {
  memset(s, 0, sizeof *s);
}

int text_source_open_file(TextSource* source, FILE* file, bool utf16_bom) {
  clear(source);
  source->file = file;
  if (open_buffered(source) != 0) return -1;
  // Two bytes at most, so a pipe never has to be rewound.
  const size_t head = take_input(source, reinterpret_cast<uint8_t*>(source->buffer), 2);
  source->end = source->buffer + head;
  return start_text(source, utf16_bom);
}

int text_source_open_memory(TextSource* source, const uint8_t* data, size_t size, bool utf16_bom) {
  clear(source);
  source->data = data;
  source->size = size;
  source->pos = reinterpret_cast<const char*>(data);
  if (!data) source->pos = "";
  const size_t head = size < 2 ? size : 2;
  source->offset = head;
  source->input_done = size <= 2;
  source->end = source->pos + head;
  return start_text(source, utf16_bom);
}

void text_source_fill(TextSource* source, const char** pos, size_t want) {
  TextSource* s = source;
  if (s->ended || static_cast<size_t>(s->end - *pos) >= want) return;
  if (!s->buffer) {
    // The caller's buffer: the window only grows.
    while (!s->ended && static_cast<size_t>(s->end - *pos) < want) {
      size_t n = s->size - s->offset < kBlockBytes ? s->size - s->offset : kBlockBytes;
      s->offset += n;
      if (s->offset == s->size) s->input_done = true;
      accept_bytes(s, n);
    }
    return;
  }
  const size_t keep = static_cast<size_t>(s->end - *pos);
  memmove(s->buffer, *pos, keep);
  *pos = s->buffer;
  s->end = s->buffer + keep;
  while (!s->ended && static_cast<size_t>(s->end - *pos) < want) {
    if (s->utf16) {
      decode_utf16(s);
    } else {
      char* at = const_cast<char*>(s->end);
      const size_t room = static_cast<size_t>(s->buffer + s->capacity - at);
      accept_bytes(s, take_input(s, reinterpret_cast<uint8_t*>(at), room));
    }
  }
}

void text_source_close(TextSource* source) {
  free(source->buffer);
  free(source->raw);
  source->buffer = nullptr;
  source->raw = nullptr;
}
