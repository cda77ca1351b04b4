// Pictures with alpha: the transparent 2x2 halving of a framebuffer, area
// resampling and flattening onto the background, all over premultiplied
// colour so that edges never take on the colour of transparent pixels.
#pragma once

#include <cstdint>

#include "raster.h"

// Halves fb into a new (width/2) x (height/2) RGBA block the caller frees.
// A framebuffer pixel counts as drawn when its depth is above kLowestDepth.
// For each 2x2 block with n drawn pixels: alpha = (255 n + 2) / 4 (0, 64,
// 128, 191, 255), colour = the truncated mean of the n drawn pixels (0 when
// n = 0). A fully drawn block thus equals downscale_2x's pixel. Null when
// the block cannot be allocated.
uint8_t* image_halve_transparent(const FrameBuffer* fb);

// Resamples a w x h RGBA picture (straight alpha) to out_w x out_h by area
// averaging: each output pixel is the mean over the source area it covers,
// every source pixel weighted by the part of it inside that area and by its
// alpha, so alpha = round(sum of w a / sum of w) and colour = round(sum of
// w a c / sum of w a) (0 where alpha is 0). Edges up to 16384. Returns a new
// block the caller frees, or null when it cannot be allocated.
uint8_t* image_resample(const uint8_t* rgba, int32_t w, int32_t h, int32_t out_w, int32_t out_h);

// Lays the picture over an opaque background of grey level background:
// c = (c a + background (255 - a) + 127) / 255, alpha 255.
void image_flatten(uint8_t* rgba, uint64_t pixels, uint8_t background);
