// Rasterizer colours and framing, downscale averaging.
#include "raster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "downscale.h"
#include "support/run.h"
#include "thumbnail.h"

namespace {

// Model-space directions of the view's x and y axes and of the viewer.
const float kViewX[3] = {0.70710677f, 0.0f, -0.70710677f};
const float kViewY[3] = {-0.40562f, 0.819152f, -0.40562f};
const float kViewDir[3] = {0.579228f, 0.5735765f, 0.579228f};

void add(Model* m, const float a[3], const float b[3], const float c[3]) {
  Triangle t{{{a[0], a[1], a[2]}, {b[0], b[1], b[2]}, {c[0], c[1], c[2]}}, {0, 0, 0}};
  ASSERT_EQ(model_push(m, &t), 0);
}

void combo(float out[3], float sx, const float x[3], float sy, const float y[3]) {
  for (int a = 0; a < 3; a++) out[a] = sx * x[a] + sy * y[a];
}

struct Rendered {
  std::vector<uint8_t> pixels;
  int size;
  const uint8_t* at(int x, int y) const { return &pixels[(y * size + x) * 4]; }
};

Rendered render(const Model& m, int size) {
  FrameBuffer fb;
  fb_create(&fb, size, size);
  EXPECT_NE(fb.pixels, nullptr);
  render_thumbnail(&m, &fb);
  Rendered r{std::vector<uint8_t>(fb.pixels, fb.pixels + size * size * 4), size};
  fb_free(&fb);
  return r;
}

int count_drawn(const Rendered& r) {
  int n = 0;
  for (int i = 0; i < r.size * r.size; i++) n += r.pixels[i * 4] != kBackground;
  return n;
}

// A face-on triangle spanning view coordinates (-1,-1), (2,-1), (-1,2).
void face_on(Model* m, bool reversed) {
  float a[3], b[3], c[3];
  combo(a, -1, kViewX, -1, kViewY);
  combo(b, 2, kViewX, -1, kViewY);
  combo(c, -1, kViewX, 2, kViewY);
  if (reversed) {
    add(m, a, c, b);
  } else {
    add(m, a, b, c);
  }
}

}  // namespace

TEST(FrameBuffer, StartsAsOpaqueBackgroundAtLowestDepth) {
  FrameBuffer fb;
  fb_create(&fb, 3, 2);
  ASSERT_NE(fb.pixels, nullptr);
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(fb.pixels[i * 4 + 0], 245);
    EXPECT_EQ(fb.pixels[i * 4 + 3], 255);
    EXPECT_EQ(fb.depth[i], -3.4028235e38f);
  }
  fb_free(&fb);
  fb_create(&fb, 0, 5);
  EXPECT_EQ(fb.pixels, nullptr);
}

TEST(Rasterizer, EmptyModelLeavesBackground) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  Rendered r = render(m, 32);
  EXPECT_EQ(count_drawn(r), 0);
  for (int i = 0; i < 32 * 32; i++) ASSERT_EQ(r.pixels[i * 4 + 3], 255);
  model_free(&m);
}

TEST(Rasterizer, FaceOnTriangleIsSlightlyBluishGreyBothWindings) {
  for (bool reversed : {false, true}) {
    Model m;
    ASSERT_EQ(model_init(&m), 0);
    face_on(&m, reversed);
    Rendered r = render(m, 64);
    ASSERT_GT(count_drawn(r), 100);
    for (int i = 0; i < 64 * 64; i++) {
      const uint8_t* p = &r.pixels[i * 4];
      if (p[0] == kBackground) continue;
      ASSERT_EQ(p[0], 127) << "reversed " << reversed;
      ASSERT_EQ(p[1], 127);
      ASSERT_EQ(p[2], 130);
      ASSERT_EQ(p[3], 255);
    }
    model_free(&m);
  }
}

TEST(Rasterizer, EdgeOnTriangleDrawsNothing) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  float a[3] = {0, 0, 0}, b[3], c[3];
  combo(b, 10, kViewDir, 0, kViewX);
  combo(c, 0, kViewDir, 10, kViewX);
  add(&m, a, b, c);
  EXPECT_EQ(count_drawn(render(m, 64)), 0);
  model_free(&m);
}

TEST(Rasterizer, ModelYIsUpAndBoxCentreIsPictureCentre) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  // A small face-on triangle at the top of a tall, otherwise empty box.
  float a[3], b[3], c[3];
  combo(a, -0.5f, kViewX, 9.5f, kViewY);
  combo(b, 0.5f, kViewX, 9.5f, kViewY);
  combo(c, 0.0f, kViewX, 10.5f, kViewY);
  add(&m, a, b, c);
  float d[3], e[3], f[3];
  combo(d, -0.5f, kViewX, -10.5f, kViewY);
  combo(e, 0.5f, kViewX, -10.5f, kViewY);
  combo(f, 0.0f, kViewX, -9.5f, kViewY);
  add(&m, d, e, f);
  Rendered r = render(m, 128);
  int top = 128, bottom = -1;
  long sum_x = 0, n = 0;
  for (int y = 0; y < 128; y++) {
    for (int x = 0; x < 128; x++) {
      if (r.at(x, y)[0] == kBackground) continue;
      top = std::min(top, y);
      bottom = std::max(bottom, y);
      sum_x += x;
      n++;
    }
  }
  ASSERT_GT(n, 0);
  EXPECT_LT(top, 40);  // the +y triangle is near the top edge
  EXPECT_GT(bottom, 88);
  EXPECT_NEAR(static_cast<double>(sum_x) / n, 64.0, 1.5);
  model_free(&m);
}

// A triangle between corners of its box, with its top rows at the right
// end of the picture, where the last few pixels of a row are tested one at
// a time: every pixel it draws has its one colour, whichever way its first
// pixel was found.
TEST(Rasterizer, FlatTriangleAtTheRightEdgeHasOneColour) {
  for (int size : {64, 65, 66, 67}) {
    Model m;
    ASSERT_EQ(model_init(&m), 0);
    const float a[3] = {1, 1, -1}, b[3] = {1, -1, -1}, c[3] = {-1, -1, 1};
    add(&m, a, b, c);
    Rendered r = render(m, size);
    ASSERT_GT(count_drawn(r), 0);
    const uint8_t* first = nullptr;
    bool right_edge = false;
    for (int y = 0; y < size; y++) {
      for (int x = 0; x < size; x++) {
        if (r.at(x, y)[0] == kBackground) continue;
        if (!first) first = r.at(x, y);
        right_edge = right_edge || x >= size - 3;
        EXPECT_EQ(memcmp(r.at(x, y), first, 4), 0) << size << ": " << x << "," << y;
      }
    }
    EXPECT_TRUE(right_edge) << size;
    model_free(&m);
  }
}

TEST(Rasterizer, NonFiniteCoordinatesDrawNothingAndDoNotCrash) {
  const float bad[] = {NAN, INFINITY, -INFINITY, 3e38f, -3e38f};
  for (float v : bad) {
    Model m;
    ASSERT_EQ(model_init(&m), 0);
    float a[3] = {v, 0, 0}, b[3] = {1, v, 0}, c[3] = {0, 1, v};
    add(&m, a, b, c);
    float p[3] = {0, 0, 0}, q[3] = {1, 0, 0}, s[3] = {0, 1, 0};
    add(&m, p, q, s);
    render(m, 64);  // must simply not crash or trap (UBSan builds check the casts)
    model_free(&m);
  }
}

TEST(Rasterizer, FirstOfTwoCoplanarTrianglesWins) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  face_on(&m, false);
  face_on(&m, true);
  Rendered once = render(m, 64);
  Model single;
  ASSERT_EQ(model_init(&single), 0);
  face_on(&single, false);
  EXPECT_EQ(once.pixels, render(single, 64).pixels);
  model_free(&m);
  model_free(&single);
}

TEST(Downscale, TruncatingAverageOfEachBlock) {
  // 2 x 2 input with red 0,1,1,1 -> 0 and green 255,255,255,254 -> 254.
  uint8_t in[16] = {0, 255, 9, 255, 1, 255, 9, 255, 1, 255, 9, 255, 1, 254, 9, 255};
  uint8_t* out = downscale_2x(in, 2, 2);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 254);
  EXPECT_EQ(out[2], 9);
  EXPECT_EQ(out[3], 255);
  free(out);
}

TEST(Downscale, OddSizesDropTheLastRowAndColumn) {
  // 5 x 3 input: pixel value = 10 * x + y in every channel.
  std::vector<uint8_t> in(5 * 3 * 4);
  for (int y = 0; y < 3; y++) {
    for (int x = 0; x < 5; x++) {
      for (int c = 0; c < 4; c++) in[(y * 5 + x) * 4 + c] = static_cast<uint8_t>(10 * x + y);
    }
  }
  uint8_t* out = downscale_2x(in.data(), 5, 3);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out[0], (0 + 10 + 1 + 11) / 4);
  EXPECT_EQ(out[4], (20 + 30 + 21 + 31) / 4);
  free(out);
  uint8_t* empty = downscale_2x(in.data(), 0, 0);
  EXPECT_NE(empty, nullptr);
  free(empty);
}

// Buffers kept from one thumbnail to the next leave no trace: each picture
// equals one drawn with fresh buffers, across models and sizes (up to 512 the
// frame buffer is kept, beyond it is made anew).
TEST(ThumbnailBuffers, ReusedBuffersDrawWhatFreshOnesDraw) {
  Model a, b;
  ASSERT_EQ(model_init(&a), 0);
  ASSERT_EQ(model_init(&b), 0);
  face_on(&a, false);
  float p[3] = {0, 0, 0}, q[3] = {1, 0, 0}, r[3] = {0, 1, 0}, s[3] = {0, 0, 1};
  add(&b, p, q, r);
  add(&b, p, r, s);
  add(&b, p, s, q);
  TempDir dir;
  ThumbnailBuffers buffers = {};
  const struct {
    const Model* model;
    int size;
  } steps[] = {{&a, 64}, {&b, 64}, {&a, 600}, {&b, 100}, {&b, 64}, {&a, 64}};
  for (const auto& step : steps) {
    const std::string kept = dir.file("kept.png"), fresh = dir.file("fresh.png");
    ASSERT_EQ(render_thumbnail_png(step.model, step.size, kept.c_str(), &k_constant_lighting,
                                   nullptr, &buffers),
              0);
    ASSERT_EQ(render_thumbnail_png(step.model, step.size, fresh.c_str()), 0);
    EXPECT_EQ(read_file(kept), read_file(fresh)) << "size " << step.size;
  }
  thumbnail_buffers_free(&buffers);
  model_free(&a);
  model_free(&b);
}
