// 2x2 supersampling downscale.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns a new (width/2) x (height/2) RGBA image, each channel the
// truncating average of a 2x2 block; the caller frees it. Null when the
// image cannot be allocated.
uint8_t* downscale_2x(const uint8_t* pixels, int width, int height);

// The same image written into out, output row y starting at out + y * stride
// (stride >= (width/2) * 4); nothing is allocated.
void downscale_2x_into(const uint8_t* pixels, int width, int height, uint8_t* out, size_t stride);

// downscale_2x_into for the output pixels [x0, x1) of the output rows [y0, y1)
// only, which must lie within the output image; the rest of out is left as
// it is.
void downscale_2x_rect(const uint8_t* pixels, int width, uint8_t* out, size_t stride, int x0,
                       int y0, int x1, int y1);
