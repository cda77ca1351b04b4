// In-process thumbnails: the bytes of an STL, 3MF or OBJ file in, an RGBA
// picture out, drawn by the same readers, orientation, budget and rasterizer
// as the renderer for that format. Shared by orrery-thumbnailer and the
// desktop shell handlers.
//
// No globals of its own, no output on stdout or stderr, no exceptions; every
// call works on its own buffers, so calls may run on several threads at once.
#pragma once

#include <cstdint>

// Results; thumbs_status_text gives each a short text.
enum ThumbsStatus : int32_t {
  kThumbsOk = 0,
  kThumbsBadArgument = 1,    // a null pointer, or a size below 1
  kThumbsCannotRead = 2,     // the file cannot be opened or read (thumbs_render_file)
  kThumbsTooBig = 3,         // the file is larger than kThumbsMaxFileBytes (thumbs_render_file)
  kThumbsUnknownFormat = 4,  // neither the content nor the name says STL, 3MF or OBJ
  kThumbsCannotParse = 5,    // the STL reader refused the file (or ran out of memory)
  kThumbsNothingToDraw = 6,  // no triangles (3MF: and no package thumbnail)
  kThumbsOutOfMemory = 7,
};

// The reader a file goes to.
enum ThumbsFormat : int32_t {
  kThumbsFormatUnknown = 0,
  kThumbsFormatStl = 1,  // binary or ASCII; the STL reader's own test tells which
  kThumbsFormat3mf = 2,  // ZIP package or bare model XML
  kThumbsFormatObj = 3,
};

// Sizes: the core renders 32 to 2048 pixels. A smaller request is rendered
// at 32 and scaled down; a larger one gives 2048.
constexpr int32_t kThumbsMinRenderSize = 32;
constexpr int32_t kThumbsMaxSize = 2048;
// thumbs_render_file reads the whole file into memory; larger files are
// refused (kThumbsTooBig) before anything is read.
constexpr int64_t kThumbsMaxFileBytes = 536870912;  // 512 MiB

// A picture made by the library: width x height pixels of 8-bit RGBA with
// straight (not premultiplied) alpha, top row first, rows packed. Freed with
// thumbs_image_free.
struct ThumbsImage {
  uint8_t* rgba;
  int32_t width;
  int32_t height;
  int32_t format;                  // the ThumbsFormat that was read
  int32_t from_package_thumbnail;  // 1: the 3MF package's own picture, scaled
};

// The reader for the data: by content first (ZIP signature: 3MF; a first
// non-blank byte '<': 3MF model XML; the STL flavour test; OBJ keywords),
// then by the extension of name (".stl", ".3mf", ".obj", any case; name may
// be null). data may be null when length is 0.
ThumbsFormat thumbs_detect(const uint8_t* data, uint64_t length, const char* name);

// Draws the model in [data, data + length) (only read; the caller keeps it)
// into *out. size is the longest edge wanted: 32..2048 gives a size x size
// picture equal to the renderer's at that size; below 32 the 32-pixel
// picture is scaled down to size; above 2048 the picture is 2048. With
// opaque set the background is the renderers' light grey and every pixel
// has alpha 255; otherwise pixels where no triangle was drawn have alpha 0.
// A 3MF package without triangles gives its package thumbnail (PNG) instead,
// scaled so that its longest edge is size (or 2048). name (may be null)
// serves only as the extension hint.
// Returns kThumbsOk with out->rgba set, or another status with out->rgba
// null and both edges 0; out is always written.
ThumbsStatus thumbs_render(const uint8_t* data, uint64_t length, const char* name, int32_t size,
                           int32_t opaque, ThumbsImage* out);

// thumbs_render on the whole file at path (opened with platform_fopen, read
// and closed before drawing); the path is also the extension hint. Adds
// kThumbsCannotRead and kThumbsTooBig.
ThumbsStatus thumbs_render_file(const char* path, int32_t size, int32_t opaque, ThumbsImage* out);

// Releases the picture and clears the record. Safe on a cleared record.
void thumbs_image_free(ThumbsImage* image);

// A short lower-case text for the status ("cannot parse the file"), never null.
const char* thumbs_status_text(int32_t status);
