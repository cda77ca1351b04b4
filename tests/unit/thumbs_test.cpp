// The thumbs library: the PNG decoder against pictures libpng encodes (every
// colour type, depth and interlace), cut and hostile PNGs, the premultiplied
// resampling, and the interface as an in-process caller uses it.
#include <gtest/gtest.h>
// libpng (core/png.h is the project's own writer and comes first on the path).
#include <libpng/png.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "image.h"
#include "png_decode.h"
#include "thumbs.h"

namespace {

struct PngCase {
  int colour;  // PNG colour type
  int depth;
  bool transparency;  // a tRNS chunk
};

int channels_of(int colour) {
  return colour == 2 ? 3 : colour == 4 ? 2 : colour == 6 ? 4 : 1;
}

void append_bytes(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

// Samples in PNG row order (packed below 8 bits, big-endian at 16) and the
// RGBA the decoder must make of them, by the documented rules.
struct TestPicture {
  std::vector<std::vector<uint8_t>> rows;
  std::vector<uint8_t> rgba;
  std::string png;
};

// filter: the one row filter libpng is to use (0 to 4: None, Sub, Up, Average, Paeth).
TestPicture make_picture(const PngCase& c, int w, int h, bool interlace, int filter) {
  TestPicture t;
  const int channels = channels_of(c.colour);
  const uint32_t max = (1u << c.depth) - 1;
  const int palette_size = c.colour == 3 ? static_cast<int>(max < 9 ? max + 1 : 9) : 0;
  std::vector<png_color> palette(static_cast<size_t>(palette_size));
  std::vector<png_byte> palette_alpha(static_cast<size_t>(palette_size));
  for (int i = 0; i < palette_size; i++) {
    palette[i] = {static_cast<png_byte>(20 * i), static_cast<png_byte>(255 - 7 * i),
                  static_cast<png_byte>(3 * i + 1)};
    palette_alpha[i] = static_cast<png_byte>(i * 31);
  }
  const int trns_count = palette_size > 1 ? palette_size - 1 : 1;  // the last entry stays opaque
  png_color_16 key = {0, 1, 2, 3, 1};                              // grey 1; RGB (1, 2, 3)
  uint32_t seed = 12345u + static_cast<uint32_t>(c.colour * 100 + c.depth);
  auto next = [&seed]() { return (seed = seed * 1103515245u + 12345u) >> 8; };
  t.rgba.resize(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; y++) {
    std::vector<uint8_t> row((static_cast<size_t>(w) * channels * c.depth + 7) / 8, 0);
    for (int x = 0; x < w; x++) {
      uint32_t s[4];
      for (int k = 0; k < channels; k++) {
        s[k] = c.colour == 3 ? next() % palette_size : next() & max;
        if (c.colour != 3 && next() % 4 == 0) s[k] = 1 + k;  // hit the tRNS key now and then
        if (c.colour == 0 && next() % 4 == 0) s[k] = 1;
        const size_t bit = (static_cast<size_t>(x) * channels + k) * c.depth;
        if (c.depth == 16) {
          row[bit / 8] = static_cast<uint8_t>(s[k] >> 8);
          row[bit / 8 + 1] = static_cast<uint8_t>(s[k]);
        } else {
          row[bit / 8] |= static_cast<uint8_t>(s[k] << (8 - c.depth - bit % 8));
        }
      }
      auto to8 = [&](uint32_t v) {
        return static_cast<uint8_t>(c.depth == 16 ? v >> 8 : v * (255 / max));
      };
      uint8_t* p = &t.rgba[(static_cast<size_t>(y) * w + x) * 4];
      if (c.colour == 3) {
        p[0] = palette[s[0]].red;
        p[1] = palette[s[0]].green;
        p[2] = palette[s[0]].blue;
        p[3] = c.transparency && static_cast<int>(s[0]) < trns_count ? palette_alpha[s[0]] : 255;
      } else if (c.colour == 0 || c.colour == 4) {
        p[0] = p[1] = p[2] = to8(s[0]);
        p[3] = c.colour == 4 ? to8(s[1]) : c.transparency && s[0] == 1 ? 0 : 255;
      } else {
        for (int k = 0; k < 3; k++) p[k] = to8(s[k]);
        const bool keyed = s[0] == 1 && s[1] == 2 && s[2] == 3;
        p[3] = c.colour == 6 ? to8(s[3]) : c.transparency && keyed ? 0 : 255;
      }
    }
    t.rows.push_back(row);
  }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    t.png.clear();
    return t;
  }
  png_set_write_fn(png, &t.png, append_bytes, nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), c.depth,
               c.colour, interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  static const int kFilters[5] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG,
                                  PNG_FILTER_PAETH};
  png_set_filter(png, PNG_FILTER_TYPE_BASE, kFilters[filter % 5]);
  if (c.colour == 3) png_set_PLTE(png, info, palette.data(), palette_size);
  if (c.transparency) {
    png_set_tRNS(png, info, palette_alpha.data(), c.colour == 3 ? trns_count : 0, &key);
  }
  png_write_info(png, info);
  std::vector<png_bytep> pointers;
  for (auto& row : t.rows) pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return t;
}

struct Decoded {
  int rc;
  std::vector<uint8_t> rgba;
  int32_t width, height;
};

Decoded decode(const std::string& png) {
  Decoded d;
  uint8_t* rgba = nullptr;
  d.rc = png_decode_rgba(reinterpret_cast<const uint8_t*>(png.data()), png.size(), &rgba, &d.width,
                         &d.height);
  if (rgba) d.rgba.assign(rgba, rgba + static_cast<size_t>(d.width) * d.height * 4);
  free(rgba);
  return d;
}

const PngCase kCases[] = {
    {0, 1, false}, {0, 2, false}, {0, 4, true},  {0, 8, false},  {0, 8, true},  {0, 16, true},
    {2, 8, false}, {2, 8, true},  {2, 16, true}, {3, 1, true},   {3, 2, false}, {3, 4, true},
    {3, 8, false}, {3, 8, true},  {4, 8, false}, {4, 16, false}, {6, 8, false}, {6, 16, false},
};

TEST(PngDecode, EveryColourTypeDepthAndInterlace) {
  int filter = 0;
  for (const PngCase& c : kCases) {
    for (bool interlace : {false, true}) {
      for (int size : {1, 13, 40}) {
        filter++;
        SCOPED_TRACE("colour " + std::to_string(c.colour) + " depth " + std::to_string(c.depth) +
                     (c.transparency ? " tRNS" : "") + (interlace ? " Adam7 " : " ") +
                     std::to_string(size) + "x" + std::to_string(size - size / 2) + " filter " +
                     std::to_string(filter % 5));
        const int w = size, h = size - size / 2;
        const TestPicture t = make_picture(c, w, h, interlace, filter);
        ASSERT_FALSE(t.png.empty());
        const Decoded d = decode(t.png);
        ASSERT_EQ(d.rc, 0);
        EXPECT_EQ(d.width, w);
        EXPECT_EQ(d.height, h);
        EXPECT_TRUE(d.rgba == t.rgba);
      }
    }
  }
}

// Every prefix of a file fails cleanly (the reads stay inside the buffer,
// which the sanitizer build checks); so do a header past the limits and a
// palette picture without its palette.
TEST(PngDecode, CutAndHostileFilesFail) {
  const TestPicture t = make_picture({3, 4, true}, 13, 7, true, 4);
  for (size_t cut = 0; cut + 12 < t.png.size(); cut++) {
    // Only the trailing IEND chunk may be missing.
    std::vector<uint8_t> copy(t.png.begin(), t.png.begin() + static_cast<long>(cut));
    uint8_t* rgba = nullptr;
    int32_t w = 1, h = 1;
    EXPECT_EQ(png_decode_rgba(copy.data(), copy.size(), &rgba, &w, &h), -1) << cut;
    EXPECT_EQ(rgba, nullptr);
    EXPECT_EQ(w, 0);
  }
  std::string wide = make_picture({0, 8, false}, 3, 3, false, 0).png;
  wide[16] = 1;  // width 16,777,219: past the edge limit
  EXPECT_EQ(decode(wide).rc, -1);
  std::string no_palette = t.png;
  const size_t plte = no_palette.find("PLTE");
  ASSERT_NE(plte, std::string::npos);
  no_palette.replace(plte, 4, "xxxx");  // an unknown chunk now
  EXPECT_EQ(decode(no_palette).rc, -1);
}

struct ResampleCase {
  const char* name;
  std::vector<uint8_t> source;
  int w, h, out_w, out_h;
  std::vector<uint8_t> expected;
};

TEST(ImageResample, AveragesPremultipliedColour) {
  const std::vector<ResampleCase> cases = {
      // A transparent white neighbour lends no colour: no light fringe.
      {"edge", {200, 10, 10, 255, 255, 255, 255, 0}, 2, 1, 1, 1, {200, 10, 10, 128}},
      {"all transparent", {9, 9, 9, 0, 7, 7, 7, 0}, 2, 1, 1, 1, {0, 0, 0, 0}},
      {"uneven weights",
       {0, 0, 0, 255, 30, 30, 30, 255, 90, 90, 90, 255},
       3,
       1,
       2,
       1,
       {10, 10, 10, 255, 70, 70, 70, 255}},
      {"upscale",
       {40, 50, 60, 70},
       1,
       1,
       2,
       2,
       {40, 50, 60, 70, 40, 50, 60, 70, 40, 50, 60, 70, 40, 50, 60, 70}},
  };
  for (const ResampleCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t* out = image_resample(c.source.data(), c.w, c.h, c.out_w, c.out_h);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(out, out + c.expected.size()), c.expected);
    free(out);
  }
}

std::string corpus_bytes(const std::string& name) {
  FILE* f = fopen((std::string(ORRERY_CORPUS_DIR) + "/" + name).c_str(), "rb");
  std::string data;
  if (!f) return data;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
  fclose(f);
  return data;
}

struct Rendered {
  ThumbsStatus status;
  int32_t format;
  std::vector<uint8_t> rgba;
};

Rendered render_bytes(const std::string& data, const char* name, int32_t size) {
  ThumbsImage image;
  Rendered r;
  r.status = thumbs_render(reinterpret_cast<const uint8_t*>(data.data()), data.size(), name, size,
                           0, &image);
  r.format = image.format;
  if (image.rgba) r.rgba.assign(image.rgba, image.rgba + 4 * image.width * image.height);
  thumbs_image_free(&image);
  return r;
}

// The interface as an in-process caller uses it: bytes in, the same picture
// as from the file, nothing on the standard streams (a 3MF build item naming
// a missing object warns in packshot), and the same pictures when several
// threads draw at once.
TEST(ThumbsRender, BytesInSilentAndOnThreads) {
  const char* const files[] = {"stl/trimesh__torus.STL", "3mf/samples__core_cube_gears.3mf",
                               "obj/trimesh__rabbit.obj"};
  std::vector<std::string> inputs;
  std::vector<Rendered> expected;
  for (const char* file : files) {
    SCOPED_TRACE(file);
    inputs.push_back(corpus_bytes(file));
    ThumbsImage image;
    ASSERT_EQ(
        thumbs_render_file((std::string(ORRERY_CORPUS_DIR) + "/" + file).c_str(), 96, 0, &image),
        kThumbsOk);
    expected.push_back(
        {kThumbsOk, image.format, std::vector<uint8_t>(image.rgba, image.rgba + 96 * 96 * 4)});
    thumbs_image_free(&image);
    const Rendered r = render_bytes(inputs.back(), nullptr, 96);
    EXPECT_EQ(r.status, kThumbsOk);
    EXPECT_EQ(r.format, expected.back().format);
    EXPECT_TRUE(r.rgba == expected.back().rgba);
  }

  const std::string warns =
      "<model><resources><object id=\"1\" type=\"model\"><mesh><vertices>"
      "<vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/>"
      "<vertex x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles>"
      "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh></object></resources>"
      "<build><item objectid=\"1\"/><item objectid=\"7\"/></build></model>";
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const Rendered quiet = render_bytes(warns, "x.model", 48);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(quiet.status, kThumbsOk);

  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; round++) {
        for (size_t i = 0; i < inputs.size(); i++) {
          const size_t k = (i + static_cast<size_t>(t)) % inputs.size();
          if (render_bytes(inputs[k], nullptr, 96).rgba != expected[k].rgba) mismatches[t]++;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; t++) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
