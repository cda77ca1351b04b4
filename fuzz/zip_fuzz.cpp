// Fuzzes the ZIP reader on an exactly sized buffer, so any read past the
// input is caught: the directory walk (ZIP64 records and fields included),
// extraction by exact name, by part name and at each header (also read in
// small pieces, which must give the same bytes or the same refusal), and
// the package relationships.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "input3mf.h"
#include "zip.h"

// Entries extracted per input: each may inflate to 1032 x its data.
static const int kMaxExtracted = 8;

static void check(int ok, uint8_t* out, uint64_t out_length) {
  if (ok) {
    if (out[out_length] != 0) abort();  // the promised terminator
    free(out);
  } else if (out || out_length) {
    abort();
  }
}

// The entry at header read in pieces of piece bytes agrees with the whole
// extraction (ok, out, out_length).
static void check_pieces(const uint8_t* input, uint64_t size, uint64_t header, uint64_t piece,
                         int ok, const uint8_t* out, uint64_t out_length) {
  ZipEntryReader r;
  const int opened = zip_reader_open(&r, input, size, header);
  uint8_t buf[64];
  uint64_t held = 0;
  int64_t got = opened ? 1 : -1;
  while (got > 0) {
    got = zip_reader_read(&r, buf, piece);
    if (got <= 0) break;
    // A refused entry may give bytes before the refusal shows.
    if (ok && (held + static_cast<uint64_t>(got) > out_length ||
               memcmp(out + held, buf, static_cast<size_t>(got)) != 0))
      abort();
    held += static_cast<uint64_t>(got);
  }
  zip_reader_close(&r);
  if ((got == 0) != (ok == 1) || (ok && held != out_length)) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* input = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!input) return 0;
  memcpy(input, data, size);
  looks_like_zip(input, size);
  uint8_t* out = nullptr;
  uint64_t out_length = 0;
  for (const char* name : {"3D/3dmodel.model", "/3D/3dmodel.model"}) {
    check(zip_extract_entry(input, size, name, &out, &out_length), out, out_length);
  }
  check(zip_extract_part(input, size, "/3d/3DMODEL.model", &out, &out_length), out, out_length);
  ZipDirectory dir;
  if (zip_open_directory(input, size, &dir)) {
    ZipEntryName e;
    for (int n = 0; n < kMaxExtracted && zip_next_entry(input, &dir, &e); n++) {
      if (e.header >= size || e.name_length > size - e.header) abort();
      const int ok = zip_extract_at(input, size, e.header, &out, &out_length);
      check_pieces(input, size, e.header, 1 + e.header % 64, ok, out, out_length);
      check(ok, out, out_length);
    }
  }
  for (const char* type : {kRelationship3dModel, kRelationshipThumbnail}) {
    char* target = package_relationship_target(input, size, type);
    if (target) {
      check(zip_extract_part(input, size, target, &out, &out_length), out, out_length);
      free(target);
    }
  }
  free(input);
  return 0;
}
