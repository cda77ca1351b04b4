// The common tail of every renderer: rasterize at twice the size, halve, write.
#pragma once

#include "model.h"
#include "png.h"
#include "raster.h"

// Buffers kept from one thumbnail to the next (a batch writes many): the
// frame buffer, while it stays small, and the PNG writer. Start from {};
// release with thumbnail_buffers_free.
struct ThumbnailBuffers {
  FrameBuffer frame;
  PngWriter png;
};

// Renders the model into a 2*size frame buffer, stores the time in
// *t_rendered (when not null), halves the image and writes the PNG. With
// buffers, their frame buffer and writer are used and kept; without, all is
// allocated here and released. Returns 0, or -1 when a buffer cannot be
// allocated (no file is then made) or the PNG cannot be written.
int render_thumbnail_png(const Model* model, int size, const char* path,
                         const Lighting* lights = &k_constant_lighting,
                         double* t_rendered = nullptr, ThumbnailBuffers* buffers = nullptr);

void thumbnail_buffers_free(ThumbnailBuffers* buffers);
