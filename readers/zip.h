// Minimal ZIP reader for 3MF packages: walks the central directory (ZIP64
// records and fields included) and returns entries stored or deflated, found
// by exact name or by package part name, whole or piece by piece. No
// encryption, no checksum test.
#pragma once

#include <cstddef>
#include <cstdint>

// 1 when the input starts with 'P' 'K', byte 2 one of 3, 5, 7 and byte 3 one
// of 4, 6, 8 (tested independently); 0 otherwise, and for fewer than 4 bytes.
int looks_like_zip(const uint8_t* data, uint64_t length);

// Where the central directory lies and how many entries its end record
// declares (the ZIP64 values replace the 32-bit ones that hold markers).
struct ZipDirectory {
  uint64_t position;   // the next central header
  uint64_t end;        // the directory's end; every header lies inside it
  uint64_t remaining;  // entries still to visit
};

// Finds the end record (the last signature in the final 65,558 bytes) and,
// when it holds ZIP64 markers, the ZIP64 record through its locator. Returns
// 1 with *dir set, or 0 when there is no end record, the directory lies
// outside the input or holds no entry.
int zip_open_directory(const uint8_t* data, uint64_t length, ZipDirectory* dir);

// One central header as the walk meets it. The name points into the input
// and is not terminated.
struct ZipEntryName {
  const char* name;
  uint64_t name_length;
  uint64_t header;  // offset of the central header in the input
};

// Steps to the next central header. Returns 1 with *entry set, or 0 once the
// declared entries are all visited or at a header that is out of range or
// lacks its signature (the walk ends there).
int zip_next_entry(const uint8_t* data, ZipDirectory* dir, ZipEntryName* entry);

// Reads one entry piece by piece, so that a large part need not sit in
// memory whole: the checks and the bytes are exactly those of zip_extract_at.
struct ZipEntryReader {
  const uint8_t* stored;  // a stored entry's bytes inside the input; null when deflated
  uint64_t size;          // the entry's recorded size: the bytes it reads as
  uint64_t delivered;     // bytes handed out so far
  uint64_t in_left;       // compressed bytes not yet given to the inflater
  void* inflater;         // the inflater's state (malloc'd); null when stored
  int32_t ended;          // the deflate stream has ended: the rest reads as zeros
  int32_t failed;         // the data did not inflate as the entry says
};

// Checks the entry of the central header at offset header as zip_extract_at
// does before inflating (records in range, method, plausible sizes) and
// prepares *r. Returns 1, or 0 with nothing held. Close it either way.
int zip_reader_open(ZipEntryReader* r, const uint8_t* data, uint64_t length, uint64_t header);

// Writes the next bytes of the entry to out, at most capacity of them (at
// least 1 while bytes remain). Returns how many (> 0); 0 once all size
// bytes are out and the stream
// ended as zip_extract_at requires; -1 (then always) when zip_extract_at
// would refuse the entry: the data does not inflate, ends too late or runs
// out, or memory runs out.
int64_t zip_reader_read(ZipEntryReader* r, uint8_t* out, uint64_t capacity);

// Releases what *r holds. A reader that failed to open may be closed too.
void zip_reader_close(ZipEntryReader* r);

// Offset of the central header of the first entry whose name equals name
// byte for byte (exact) or is the part name (part_names_equal), or
// UINT64_MAX when there is none or no directory.
uint64_t zip_find_entry(const uint8_t* data, uint64_t length, const char* name);
uint64_t zip_find_part(const uint8_t* data, uint64_t length, const char* part_name);

// Extracts the entry of the central header at offset header (as found by
// zip_next_entry). Returns 1 with *out a malloc'd block of *out_length + 1
// bytes (the entry, then a zero byte) that the caller frees. Returns 0 with
// *out null and *out_length 0 when any record is out of range or malformed,
// the method is neither stored nor deflate, the sizes are implausible (stored
// sizes that differ; more than 1032 x the compressed size + 64 KiB), the data
// does not inflate, or memory runs out. The input is only read.
int zip_extract_at(const uint8_t* data, uint64_t length, uint64_t header, uint8_t** out,
                   uint64_t* out_length);

// zip_extract_at on the first entry whose name equals name byte for byte;
// 0 as above, and when there is none.
int zip_extract_entry(const uint8_t* data, uint64_t length, const char* name, uint8_t** out,
                      uint64_t* out_length);

// 1 when two package part names are the same part: one leading '/' on either
// is ignored and ASCII letters compare case-insensitively (no other folding,
// no percent-decoding).
int part_names_equal(const char* a, size_t a_length, const char* b, size_t b_length);

// zip_extract_at on the first entry whose name is the part part_name
// (part_names_equal); 0 as above, and when there is none.
int zip_extract_part(const uint8_t* data, uint64_t length, const char* part_name, uint8_t** out,
                     uint64_t* out_length);
