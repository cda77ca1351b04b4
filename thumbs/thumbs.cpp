// In-process thumbnails: choose the reader, build the model as that format's
// renderer does, rasterize at twice the size and halve (opaque or
// transparent), or fall back on a 3MF package's own picture.
#include "thumbs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builder.h"
#include "decimate.h"
#include "downscale.h"
#include "image.h"
#include "input3mf.h"
#include "model.h"
#include "obj.h"
#include "orient.h"
#include "platform.h"
#include "png_decode.h"
#include "raster.h"
#include "runtime_lighting.h"
#include "stl.h"
#include "zip.h"

// The renderers' default triangle budget.
static const int32_t kBudget = 500000;
// How much of the head the content tests look at.
static const uint64_t kObjHeadBytes = 65536;

static bool has_prefix(const uint8_t* data, uint64_t length, const char* prefix) {
  const size_t n = strlen(prefix);
  return length >= n && memcmp(data, prefix, n) == 0;
}

// The first non-blank byte (after a UTF-8 byte-order mark) opens a tag.
static bool looks_like_xml(const uint8_t* data, uint64_t length) {
  uint64_t i = has_prefix(data, length, "\xEF\xBB\xBF") ? 3 : 0;
  while (i < length && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
    i++;
  return i < length && data[i] == '<';
}

// The STL reader's own flavour test finds text evidence (ASCII), or the
// size is within 2 bytes of 84 + 50 x the count at offset 80 (binary): the
// binary reader's fallback for everything else does not count here.
static bool looks_like_stl(const uint8_t* data, uint64_t length) {
  if (length < 84) return false;
  if (is_binary_stl_bytes(data, static_cast<size_t>(length)) == 0) return true;
  const uint32_t count = static_cast<uint32_t>(data[80]) | static_cast<uint32_t>(data[81]) << 8 |
                         static_cast<uint32_t>(data[82]) << 16 |
                         static_cast<uint32_t>(data[83]) << 24;
  // The same wrapping 32-bit test as the reader's.
  const uint32_t slack = 50u * count - static_cast<uint32_t>(length) + 86u;
  return slack <= 4;
}

static bool is_blank(uint8_t c) {
  return c == ' ' || c == '\t';
}

// The first line in the head that is neither blank nor a comment starts with
// an OBJ statement keyword followed by a space or tab; no zero byte before it.
static bool looks_like_obj(const uint8_t* data, uint64_t length) {
  static const char* const kKeywords[] = {"v", "vt", "vn", "vp", "f",      "l",
                                          "p", "o",  "g",  "s",  "usemtl", "mtllib"};
  const uint64_t end = length < kObjHeadBytes ? length : kObjHeadBytes;
  uint64_t i = 0;
  while (i < end) {
    while (i < end && (is_blank(data[i]) || data[i] == '\r' || data[i] == '\n')) i++;
    if (i >= end || data[i] == 0) return false;
    if (data[i] == '#') {
      while (i < end && data[i] != '\n') {
        if (data[i] == 0) return false;
        i++;
      }
      continue;
    }
    uint64_t word_end = i;
    while (word_end < end && data[word_end] > ' ') word_end++;
    if (word_end >= end || !is_blank(data[word_end])) return false;
    const size_t word_length = static_cast<size_t>(word_end - i);
    for (const char* keyword : kKeywords) {
      if (strlen(keyword) == word_length && memcmp(data + i, keyword, word_length) == 0)
        return true;
    }
    return false;
  }
  return false;
}

// ".ext" at the end of name, compared without regard to ASCII case.
static bool has_extension(const char* name, const char* ext) {
  if (!name) return false;
  const size_t n = strlen(name), e = strlen(ext);
  if (n < e) return false;
  for (size_t i = 0; i < e; i++) {
    char c = name[n - e + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ext[i]) return false;
  }
  return true;
}

ThumbsFormat thumbs_detect(const uint8_t* data, uint64_t length, const char* name) {
  if (!data) length = 0;
  if (looks_like_zip(data, length) || looks_like_xml(data, length)) return kThumbsFormat3mf;
  if (looks_like_stl(data, length)) return kThumbsFormatStl;
  if (looks_like_obj(data, length)) return kThumbsFormatObj;
  if (has_extension(name, ".stl")) return kThumbsFormatStl;
  if (has_extension(name, ".3mf")) return kThumbsFormat3mf;
  if (has_extension(name, ".obj")) return kThumbsFormatObj;
  return kThumbsFormatUnknown;
}

static void clear_image(ThumbsImage* image) {
  image->rgba = nullptr;
  image->width = 0;
  image->height = 0;
  image->format = kThumbsFormatUnknown;
  image->from_package_thumbnail = 0;
}

// Edge of the picture handed out for a requested size.
static int32_t output_size(int32_t size) {
  return size > kThumbsMaxSize ? kThumbsMaxSize : size;
}

static int32_t render_size(int32_t size) {
  return size < kThumbsMinRenderSize ? kThumbsMinRenderSize : output_size(size);
}

// Orients, thins and draws the model as every renderer does, then halves the
// framebuffer: downscale_2x when opaque, else the transparent halving.
static ThumbsStatus draw_model(Model* model, const Lighting* lights, int32_t size, int32_t opaque,
                               ThumbsImage* out) {
  auto_orient_model(model);
  decimate_inplace(model, kBudget);
  const int32_t edge = render_size(size);
  FrameBuffer fb;
  fb_create(&fb, 2 * edge, 2 * edge);
  if (!fb.pixels) return kThumbsOutOfMemory;
  render_thumbnail(model, &fb, lights);
  uint8_t* picture =
      opaque ? downscale_2x(fb.pixels, fb.width, fb.height) : image_halve_transparent(&fb);
  fb_free(&fb);
  if (!picture) return kThumbsOutOfMemory;
  const int32_t wanted = output_size(size);
  if (wanted != edge) {
    uint8_t* scaled = image_resample(picture, edge, edge, wanted, wanted);
    free(picture);
    if (!scaled) return kThumbsOutOfMemory;
    picture = scaled;
  }
  out->rgba = picture;
  out->width = wanted;
  out->height = wanted;
  return kThumbsOk;
}

// The package's own picture (the part its thumbnail relationship names),
// scaled so that its longest edge is the size wanted (the other edge
// rounded, at least 1).
static ThumbsStatus draw_package_thumbnail(const uint8_t* data, uint64_t length, int32_t size,
                                           int32_t opaque, ThumbsImage* out) {
  char* target = package_relationship_target(data, length, kRelationshipThumbnail);
  uint8_t* part = nullptr;
  uint64_t part_length = 0;
  const int found = target && zip_extract_part(data, length, target, &part, &part_length);
  free(target);
  if (!found) return kThumbsNothingToDraw;
  uint8_t* picture = nullptr;
  int32_t w = 0, h = 0;
  const int rc = png_decode_rgba(part, part_length, &picture, &w, &h);
  free(part);
  if (rc != 0) return kThumbsNothingToDraw;
  const int64_t wanted = output_size(size);
  const int64_t longest = w > h ? w : h;
  int64_t out_w = (2 * wanted * w + longest) / (2 * longest);
  int64_t out_h = (2 * wanted * h + longest) / (2 * longest);
  if (out_w < 1) out_w = 1;
  if (out_h < 1) out_h = 1;
  uint8_t* scaled =
      image_resample(picture, w, h, static_cast<int32_t>(out_w), static_cast<int32_t>(out_h));
  free(picture);
  if (!scaled) return kThumbsOutOfMemory;
  if (opaque) image_flatten(scaled, static_cast<uint64_t>(out_w) * out_h, kBackground);
  out->rgba = scaled;
  out->width = static_cast<int32_t>(out_w);
  out->height = static_cast<int32_t>(out_h);
  out->from_package_thumbnail = 1;
  return kThumbsOk;
}

// packshot --render-3mf's model: the root model part (or the bare XML) and
// the parts it names, built under the sampling budget; no warnings.
static ThumbsStatus load_3mf(const uint8_t* data, uint64_t length, Model* model) {
  const BuildSettings settings = {1, kBudget};
  ObjectInfo* infos = nullptr;
  int count = 0;
  const int status = build_3mf_model(data, length, &settings, nullptr, model, &infos, &count);
  free(infos);
  if (status != kInput3mfOk) *model = Model{};  // a missing model part leaves it unset
  return status == kInput3mfOk ? kThumbsOk : kThumbsNothingToDraw;
}

static ThumbsStatus load_stl(const uint8_t* data, uint64_t length, Model* model) {
  if (model_init(model) != 0) return kThumbsOutOfMemory;
  if (parse_stl_bytes(data, static_cast<size_t>(length), model) != 0) return kThumbsCannotParse;
  return model->count == 0 ? kThumbsNothingToDraw : kThumbsOk;
}

static ThumbsStatus load_obj(const uint8_t* data, uint64_t length, Model* model) {
  // Only running out of memory fails here; the model is then released.
  if (parse_obj_bytes(data, static_cast<size_t>(length), model) != 0) return kThumbsOutOfMemory;
  return model->count == 0 ? kThumbsNothingToDraw : kThumbsOk;
}

static ThumbsStatus render_any(const uint8_t* data, uint64_t length, const char* name, int32_t size,
                               int32_t opaque, ThumbsImage* out) {
  const ThumbsFormat format = thumbs_detect(data, length, name);
  out->format = format;
  if (format == kThumbsFormatUnknown) return kThumbsUnknownFormat;
  Model model;
  ThumbsStatus status;
  Lighting lights = k_constant_lighting;
  if (format == kThumbsFormat3mf) {
    status = load_3mf(data, length, &model);
  } else if (format == kThumbsFormatStl) {
    status = load_stl(data, length, &model);
  } else {
    status = load_obj(data, length, &model);
    lights = build_runtime_lighting();
  }
  if (status == kThumbsOk) status = draw_model(&model, &lights, size, opaque, out);
  model_free(&model);
  if (status == kThumbsNothingToDraw && format == kThumbsFormat3mf &&
      looks_like_zip(data, length)) {
    status = draw_package_thumbnail(data, length, size, opaque, out);
  }
  return status;
}

ThumbsStatus thumbs_render(const uint8_t* data, uint64_t length, const char* name, int32_t size,
                           int32_t opaque, ThumbsImage* out) {
  if (!out) return kThumbsBadArgument;
  clear_image(out);
  if ((!data && length > 0) || size < 1) return kThumbsBadArgument;
  return render_any(data, length, name, size, opaque, out);
}

// Reads the whole file into a malloc'd block. Returns kThumbsOk, or the
// failure with *data null.
static ThumbsStatus read_whole_file(const char* path, uint8_t** data, uint64_t* length) {
  *data = nullptr;
  *length = 0;
  FILE* f = platform_fopen(path, "rb");
  if (!f) return kThumbsCannotRead;
  const int64_t size = stream_size(f);
  // A folder opens on POSIX and reports a size, but its first read fails.
  const int first = size >= 0 && fseek(f, 0, SEEK_SET) == 0 ? fgetc(f) : EOF;
  if (ferror(f) || size < 0 || (first == EOF && size > 0)) {
    fclose(f);
    return kThumbsCannotRead;
  }
  if (size > kThumbsMaxFileBytes) {
    fclose(f);
    return kThumbsTooBig;
  }
  // One byte more than the size: a file that grew meanwhile is noticed.
  uint8_t* block = static_cast<uint8_t*>(malloc(static_cast<size_t>(size) + 1));
  if (!block) {
    fclose(f);
    return kThumbsOutOfMemory;
  }
  size_t got = 0;
  if (first != EOF) {
    block[0] = static_cast<uint8_t>(first);
    got = 1 + fread(block + 1, 1, static_cast<size_t>(size), f);
  }
  const bool failed = ferror(f) != 0;
  fclose(f);
  if (failed || got != static_cast<size_t>(size)) {
    free(block);
    return kThumbsCannotRead;
  }
  *data = block;
  *length = got;
  return kThumbsOk;
}

ThumbsStatus thumbs_render_file(const char* path, int32_t size, int32_t opaque, ThumbsImage* out) {
  if (!out) return kThumbsBadArgument;
  clear_image(out);
  if (!path || size < 1) return kThumbsBadArgument;
  uint8_t* data = nullptr;
  uint64_t length = 0;
  ThumbsStatus status = read_whole_file(path, &data, &length);
  if (status == kThumbsOk) status = render_any(data, length, path, size, opaque, out);
  free(data);
  return status;
}

void thumbs_image_free(ThumbsImage* image) {
  if (!image) return;
  free(image->rgba);
  image->rgba = nullptr;
  image->width = 0;
  image->height = 0;
}

const char* thumbs_status_text(int32_t status) {
  switch (status) {
    case kThumbsOk:
      return "ok";
    case kThumbsBadArgument:
      return "invalid argument";
    case kThumbsCannotRead:
      return "cannot read the file";
    case kThumbsTooBig:
      return "file too big (over 512 MiB)";
    case kThumbsUnknownFormat:
      return "not an STL, 3MF or OBJ file";
    case kThumbsCannotParse:
      return "cannot parse the file";
    case kThumbsNothingToDraw:
      return "no triangles to draw";
    case kThumbsOutOfMemory:
      return "out of memory";
    default:
      return "unknown status";
  }
}
