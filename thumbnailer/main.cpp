// orrery-thumbnailer: one STL, 3MF or OBJ file to one PNG thumbnail, as a
// freedesktop thumbnailer runs it (Exec=orrery-thumbnailer %i %o %s).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "png.h"
#include "thumbs.h"

#ifndef ORRERY_VERSION
#define ORRERY_VERSION "0"
#endif

static const char kProgram[] = "orrery-thumbnailer";
static const int32_t kDefaultSize = 256;
// Larger sizes saturate here before they are clamped to the picture limit.
static const long kSizeCeiling = 1000000;

static const char kUsageLine[] = "orrery-thumbnailer [--opaque] INPUT OUTPUT [SIZE]";

static void print_help() {
  printf(
      "Usage: %s\n"
      "       orrery-thumbnailer --help | --version\n"
      "\n"
      "Renders the STL, 3MF or OBJ file INPUT into the PNG file OUTPUT, SIZE pixels\n"
      "on the longest edge (default 256; below 32 the 32-pixel picture is scaled\n"
      "down, above 2048 the picture is 2048). The background is transparent.\n"
      "\n"
      "  --opaque   light grey background, as the renderers draw it\n"
      "  --help     this text\n"
      "  --version  the version\n"
      "\n"
      "Exit codes: 0 written, 1 usage error, 2 input unreadable or unknown or\n"
      "PNG not written, 3 nothing to draw. Failures write one line on standard\n"
      "error and leave no OUTPUT file.\n",
      kUsageLine);
}

static int usage_error(const char* what, const char* arg) {
  fprintf(stderr, "ERROR: %s%s%s (usage: %s)\n", what, arg ? ": " : "", arg ? arg : "", kUsageLine);
  return 1;
}

// SIZE: decimal digits only, at least 1; large values saturate.
static bool parse_size(const char* text, int32_t* size) {
  if (!text[0]) return false;
  long value = 0;
  for (const char* p = text; *p; p++) {
    if (*p < '0' || *p > '9') return false;
    if (value < kSizeCeiling) value = value * 10 + (*p - '0');
  }
  if (value < 1) return false;
  *size = static_cast<int32_t>(value < kSizeCeiling ? value : kSizeCeiling);
  return true;
}

// Encodes the picture and writes it to path; on any failure after the file
// was created it is removed again. Returns 0 or -1.
static int write_picture(const char* path, const ThumbsImage* image) {
  uint8_t* png = nullptr;
  size_t png_length = 0;
  if (png_encode(image->rgba, image->width, image->height, &png, &png_length) != 0) return -1;
  FILE* f = platform_fopen(path, "wb");
  if (!f) {
    free(png);
    return -1;
  }
  const size_t written = fwrite(png, 1, png_length, f);
  free(png);
  const int close_rc = fclose(f);
  if (written != png_length || close_rc != 0) {
    remove(path);
    return -1;
  }
  return 0;
}

int main(int argc, char** argv) {
  const char* positional[3] = {nullptr, nullptr, nullptr};
  int count = 0;
  int32_t opaque = 0;
  bool options_end = false;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (!options_end && arg[0] == '-' && arg[1] != 0) {
      if (strcmp(arg, "--") == 0) {
        options_end = true;
      } else if (strcmp(arg, "--opaque") == 0) {
        opaque = 1;
      } else if (strcmp(arg, "--help") == 0) {
        print_help();
        return 0;
      } else if (strcmp(arg, "--version") == 0) {
        printf("%s %s\n", kProgram, ORRERY_VERSION);
        return 0;
      } else {
        return usage_error("unknown option", arg);
      }
      continue;
    }
    if (count == 3) return usage_error("too many arguments", arg);
    positional[count++] = arg;
  }
  if (count < 2) return usage_error("INPUT and OUTPUT are needed", nullptr);
  int32_t size = kDefaultSize;
  if (count == 3 && !parse_size(positional[2], &size)) {
    return usage_error("SIZE must be a whole number of pixels from 1", positional[2]);
  }
  const char* input = positional[0];
  const char* output = positional[1];

  ThumbsImage image;
  const ThumbsStatus status = thumbs_render_file(input, size, opaque, &image);
  if (status != kThumbsOk) {
    fprintf(stderr, "ERROR: %s: %s\n", input, thumbs_status_text(status));
    return status == kThumbsNothingToDraw ? 3 : 2;
  }
  const int written = write_picture(output, &image);
  thumbs_image_free(&image);
  if (written != 0) {
    fprintf(stderr, "ERROR: Cannot write PNG: %s\n", output);
    return 2;
  }
  return 0;
}
