// Rasterize at twice the size, halve and write: the tail of every pipeline.
#include "thumbnail.h"

#include <cstdlib>

#include "downscale.h"
#include "platform.h"
#include "png.h"

int render_thumbnail_png(const Model* model, int size, const char* path, const Lighting* lights,
                         double* t_rendered) {
  FrameBuffer fb;
  fb_create(&fb, 2 * size, 2 * size);
  if (fb.pixels) render_thumbnail(model, &fb, lights);
  if (t_rendered) *t_rendered = get_time_ms();
  if (!fb.pixels) return -1;
  uint8_t* image = downscale_2x(fb.pixels, 2 * size, 2 * size);
  fb_free(&fb);
  if (!image) return -1;
  int rc = write_png(path, image, size, size);
  free(image);
  return rc;
}
