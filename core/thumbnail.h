// The common tail of every renderer: rasterize at twice the size, halve, write.
#pragma once

#include "model.h"
#include "raster.h"

// Creates a 2*size framebuffer, renders the model into it, stores the time in
// *t_rendered (when not null), halves the image and writes the PNG. Returns 0,
// or -1 when a buffer cannot be allocated or the PNG cannot be written.
int render_thumbnail_png(const Model* model, int size, const char* path,
                         const Lighting* lights = &k_constant_lighting,
                         double* t_rendered = nullptr);
