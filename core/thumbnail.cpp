// Rasterize at twice the size, halve and write: the tail of every pipeline.
#include "thumbnail.h"

#include <cstddef>
#include <cstring>

#include "downscale.h"
#include "platform.h"

// A frame buffer up to this size stays with the buffers while the PNG is
// encoded; a larger one is released first, so that a big picture never holds
// both at once.
static const size_t kKeptFramePixels = size_t{1024} * 1024;
static const int kClearPiece = 256;  // pixels copied at a time

// Writes n pixels copied from piece, kClearPiece pixels of the cleared
// colour (not aligned: scanlines start after a filter byte).
static void fill_clear(uint8_t* out, int n, const uint8_t* piece) {
  for (int done = 0; done < n; done += kClearPiece) {
    const int k = n - done < kClearPiece ? n - done : kClearPiece;
    memcpy(out + 4 * static_cast<size_t>(done), piece, static_cast<size_t>(k) * 4);
  }
}

// Halves the frame into the PNG scanlines: the drawn box is averaged, and
// the rest, clear in the frame, becomes the cleared colour, which is its
// average too.
static void halve_into_rows(const FrameBuffer* fb, int size, uint8_t* out, size_t stride) {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // output box [x0, x1) x [y0, y1)
  if (fb->x0 <= fb->x1) {
    x0 = fb->x0 / 2;
    y0 = fb->y0 / 2;
    x1 = fb->x1 / 2 + 1 < size ? fb->x1 / 2 + 1 : size;
    y1 = fb->y1 / 2 + 1 < size ? fb->y1 / 2 + 1 : size;
  }
  uint8_t piece[kClearPiece * 4];
  for (int x = 0; x < kClearPiece; x++) {
    piece[4 * x] = piece[4 * x + 1] = piece[4 * x + 2] = kBackground;
    piece[4 * x + 3] = 255;
  }
  for (int y = 0; y < size; y++) {
    uint8_t* row = out + static_cast<size_t>(y) * stride;
    if (y < y0 || y >= y1) {
      fill_clear(row, size, piece);
    } else {
      fill_clear(row, x0, piece);
      fill_clear(row + 4 * x1, size - x1, piece);
    }
  }
  downscale_2x_rect(fb->pixels, fb->width, out, stride, x0, y0, x1, y1);
}

int render_thumbnail_png(const Model* model, int size, const char* path, const Lighting* lights,
                         double* t_rendered, ThumbnailBuffers* buffers) {
  ThumbnailBuffers local = {};
  ThumbnailBuffers* b = buffers ? buffers : &local;
  FrameBuffer* fb = &b->frame;
  if (fb->pixels && fb->width == 2 * size && fb->height == 2 * size) {
    fb_clear(fb);
  } else {
    fb_free(fb);
    fb_create(fb, 2 * size, 2 * size);
  }
  if (fb->pixels) render_thumbnail(model, fb, lights);
  if (t_rendered) *t_rendered = get_time_ms();
  int rc = -1;
  if (fb->pixels) {
    uint8_t* rows = png_writer_rows(&b->png, size, size);
    if (rows) halve_into_rows(fb, size, rows + 1, static_cast<size_t>(size) * 4 + 1);
    const size_t pixels = static_cast<size_t>(fb->width) * static_cast<size_t>(fb->height);
    if (!buffers || pixels > kKeptFramePixels) fb_free(fb);
    if (rows) rc = png_writer_write(&b->png, path, size, size);
  }
  if (!buffers) thumbnail_buffers_free(&local);
  return rc;
}

void thumbnail_buffers_free(ThumbnailBuffers* buffers) {
  fb_free(&buffers->frame);
  png_writer_free(&buffers->png);
}
