// PNG writer: CRC, chunk bytes, and a round trip through libpng.
#include "png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/run.h"

TEST(Crc32, KnownValuesAndChaining) {
  struct Row {
    const char* text;
    uint32_t crc;
  } rows[] = {
      {"", 0x00000000u}, {"abc", 0x352441C2u}, {"IEND", 0xAE426082u}, {"123456789", 0xCBF43926u}};
  for (const Row& row : rows) {
    EXPECT_EQ(crc32_update(0, reinterpret_cast<const uint8_t*>(row.text), strlen(row.text)),
              row.crc)
        << row.text;
  }
  const uint8_t* digits = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(crc32_update(crc32_update(0, digits, 4), digits + 4, 5), 0xCBF43926u);
  EXPECT_EQ(crc32_update(0x1234u, digits, 0), 0x1234u);
}

// zlib's value for every length around the 16-byte steps and the runs
// between reductions, for bytes at their largest, and when chained.
TEST(Adler32, EqualsZlib) {
  std::vector<uint8_t> data(300000);
  uint32_t seed = 1;
  for (uint8_t& b : data) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  std::vector<uint8_t> full(1 << 20, 0xFF);
  for (const std::vector<uint8_t>* bytes : {&data, &full}) {
    for (size_t len : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{5535},
                       size_t{5536}, size_t{5537}, size_t{11088}, size_t{262400},
                       static_cast<size_t>(bytes->size())}) {
      if (len > bytes->size()) continue;
      const uint32_t want =
          static_cast<uint32_t>(adler32(1, bytes->data(), static_cast<uInt>(len)));
      EXPECT_EQ(adler32_update(1, bytes->data(), len), want) << len;
      const size_t half = len / 2 + 3 < len ? len / 2 + 3 : len;
      EXPECT_EQ(adler32_update(adler32_update(1, bytes->data(), half), bytes->data() + half,
                               len - half),
                want)
          << len;
    }
  }
}

static std::vector<uint8_t> encode(const std::vector<uint8_t>& pixels, int w, int h) {
  uint8_t* data = nullptr;
  size_t len = 0;
  EXPECT_EQ(png_encode(pixels.data(), w, h, &data, &len), 0);
  std::vector<uint8_t> out(data, data + len);
  free(data);
  return out;
}

TEST(Png, HeaderAndTrailerBytes) {
  std::vector<uint8_t> pixels(256 * 256 * 4, 200);
  std::vector<uint8_t> png = encode(pixels, 256, 256);
  const uint8_t head[] = {137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D',
                          'R', 0,  0,  1,  0,  0,  0,  1,  0, 8, 6, 0,  0,   0};
  ASSERT_GT(png.size(), sizeof head + 12);
  EXPECT_EQ(memcmp(png.data(), head, sizeof head), 0);
  EXPECT_EQ(crc32_update(0, png.data() + 12, 17),
            static_cast<uint32_t>(png[29]) << 24 | png[30] << 16 | png[31] << 8 | png[32]);
  const uint8_t iend[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  EXPECT_EQ(memcmp(png.data() + png.size() - 12, iend, 12), 0);
  // Exactly one IDAT, straight after IHDR, and nothing else.
  EXPECT_EQ(memcmp(png.data() + 37, "IDAT", 4), 0);
  uint32_t idat_len = static_cast<uint32_t>(png[33]) << 24 | png[34] << 16 | png[35] << 8 | png[36];
  EXPECT_EQ(33 + 12 + idat_len + 12, png.size());
}

TEST(Png, ScanlinesAreFilterNoneRows) {
  std::vector<uint8_t> pixels(32 * 32 * 4);
  for (size_t i = 0; i < pixels.size(); i++) pixels[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> png = encode(pixels, 32, 32);
  uint32_t idat_len = static_cast<uint32_t>(png[33]) << 24 | png[34] << 16 | png[35] << 8 | png[36];
  std::vector<uint8_t> raw(32 * 129 + 100);
  uLongf raw_len = raw.size();
  ASSERT_EQ(uncompress(raw.data(), &raw_len, png.data() + 41, idat_len), Z_OK);
  ASSERT_EQ(raw_len, 32u * 129u);
  for (int y = 0; y < 32; y++) {
    EXPECT_EQ(raw[y * 129], 0) << "row " << y;
    EXPECT_EQ(memcmp(&raw[y * 129 + 1], &pixels[y * 128], 128), 0) << "row " << y;
  }
  EXPECT_EQ(crc32_update(0, png.data() + 37, 4 + idat_len),
            static_cast<uint32_t>(png[41 + idat_len]) << 24 | png[42 + idat_len] << 16 |
                png[43 + idat_len] << 8 | png[44 + idat_len]);
}

TEST(Png, LopsidedImageRoundTripsThroughLibpng) {
  // An "F" so that a mirrored or transposed image fails.
  const int w = 7, h = 9;
  std::vector<uint8_t> pixels(w * h * 4, 255);
  auto set = [&](int x, int y) {
    uint8_t* p = &pixels[(y * w + x) * 4];
    p[0] = 10;
    p[1] = 20;
    p[2] = 30;
    p[3] = 128;
  };
  for (int y = 1; y < 8; y++) set(1, y);
  for (int x = 1; x < 6; x++) set(x, 1);
  for (int x = 1; x < 4; x++) set(x, 4);
  TempDir dir;
  const std::string path = dir.file("f.png");
  ASSERT_EQ(write_png(path.c_str(), pixels.data(), w, h), 0);
  Image image = decode_png(path);
  ASSERT_EQ(image.width, w);
  ASSERT_EQ(image.height, h);
  EXPECT_EQ(image.rgba, pixels);
}

TEST(Png, UnwritablePathFailsAndLeavesNoFile) {
  std::vector<uint8_t> pixels(4 * 4 * 4, 0);
  TempDir dir;
  const std::string path = dir.file("missing/dir/x.png");
  EXPECT_EQ(write_png(path.c_str(), pixels.data(), 4, 4), -1);
  EXPECT_FALSE(file_exists(path));
}

TEST(Png, FullDiskIsAFailure) {
  if (!file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<uint8_t> pixels(64 * 64 * 4, 0);
  EXPECT_EQ(write_png("/dev/full", pixels.data(), 64, 64), -1);
}

// A writer kept from image to image must give each image the bytes of a
// fresh level-6 zlib stream, as png_encode (compress2) does.
TEST(PngWriter, ReusedWriterGivesCompress2BytesForEveryImage) {
  struct Picture {
    const char* name;
    int w, h;
    uint8_t (*byte)(int x, int y, int c);
  } pictures[] = {
      {"uniform", 256, 256,
       [](int, int, int c) { return static_cast<uint8_t>(c == 3 ? 255 : 245); }},
      {"gradient", 64, 48,
       [](int x, int y, int c) { return static_cast<uint8_t>(x * 3 + y * 5 + c); }},
      {"noise", 100, 37,
       [](int x, int y, int c) {
         return static_cast<uint8_t>((x * 7919 + y * 104729 + c * 31) >> 3);
       }},
      {"uniform again, smaller", 32, 32, [](int, int, int) { return static_cast<uint8_t>(7); }},
      {"one pixel", 1, 1, [](int, int, int c) { return static_cast<uint8_t>(c * 60); }},
  };
  TempDir dir;
  PngWriter writer = {};
  for (const Picture& p : pictures) {
    SCOPED_TRACE(p.name);
    std::vector<uint8_t> pixels(static_cast<size_t>(p.w) * p.h * 4);
    for (int y = 0; y < p.h; y++) {
      for (int x = 0; x < p.w; x++) {
        for (int c = 0; c < 4; c++)
          pixels[(static_cast<size_t>(y) * p.w + x) * 4 + c] = p.byte(x, y, c);
      }
    }
    uint8_t* rows = png_writer_rows(&writer, p.w, p.h);
    ASSERT_NE(rows, nullptr);
    for (int y = 0; y < p.h; y++) {
      ASSERT_EQ(rows[static_cast<size_t>(y) * (p.w * 4 + 1)], 0);
      memcpy(rows + static_cast<size_t>(y) * (p.w * 4 + 1) + 1,
             &pixels[static_cast<size_t>(y) * p.w * 4], static_cast<size_t>(p.w) * 4);
    }
    // The scanlines compressed by zlib at level 6, as the IDAT must hold them.
    std::vector<uint8_t> raw(rows, rows + static_cast<size_t>(p.w * 4 + 1) * p.h);
    uLongf zlen = compressBound(raw.size());
    std::vector<uint8_t> z(zlen);
    ASSERT_EQ(compress2(z.data(), &zlen, raw.data(), raw.size(), 6), Z_OK);
    z.resize(zlen);

    const std::string path = dir.file("w.png");
    ASSERT_EQ(png_writer_write(&writer, path.c_str(), p.w, p.h), 0);
    const std::string written = read_file(path);
    const std::vector<uint8_t> fresh = encode(pixels, p.w, p.h);
    EXPECT_EQ(written, std::string(fresh.begin(), fresh.end()));
    ASSERT_GT(written.size(), 41 + z.size());
    EXPECT_EQ(written.compare(41, z.size(), std::string(z.begin(), z.end())), 0);
  }
  png_writer_free(&writer);
}
