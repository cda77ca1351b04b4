// Rasterize at twice the size, halve and write: the tail of every pipeline.
#include "thumbnail.h"

#include <cstddef>

#include "downscale.h"
#include "platform.h"

// A frame buffer up to this size stays with the buffers while the PNG is
// encoded; a larger one is released first, so that a big picture never holds
// both at once.
static const size_t kKeptFramePixels = size_t{1024} * 1024;

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
    if (rows) {
      downscale_2x_into(fb->pixels, 2 * size, 2 * size, rows + 1,
                        static_cast<size_t>(size) * 4 + 1);
    }
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
