// vertexshot end to end: the real program on real and generated OBJ files.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

std::string vertexshot() {
  return program_path("vertexshot");
}

#define REQUIRE_VERTEXSHOT() \
  if (vertexshot().empty()) GTEST_SKIP() << "vertexshot not built"

const char kUsage[] =
    "OBJ Thumbnail Renderer \xE2\x80\x94 Korvane\n"
    "Usage: %s input.obj output.png [size] [--info] [--max-tris N]\n"
    "\n"
    "  size           Thumbnail pixel size (default: 256)\n"
    "  --info         Print JSON metadata to stdout\n"
    "  --max-tris     Max triangles for rendering (default: 500000)\n"
    "\n"
    "Build with -DUSE_ZLIB and link -lz for compressed PNGs.\n";

const std::regex kOkLine(
    "OK (.*): (\\d+) tris \\(dec 0\\), (\\d+)x(\\d+), parse=\\d+\\.\\dms decimate=\\d+\\.\\dms "
    "render=\\d+\\.\\dms write=\\d+\\.\\dms total=\\d+\\.\\dms\n");

struct ObjCount {
  long vertices = 0;
  long triangles = 0;
};

// An independent count, straight from the file format: UTF-16 with a
// byte-order mark narrowed to its ASCII characters, lines split after LF or
// CR in pieces of at most 1023 bytes, sscanf for vertices, strtoll for face
// numbers, fans from the first index.
ObjCount count_fans(const std::string& path) {
  ObjCount c;
  std::string text = read_file(path);
  const bool le = text.rfind("\xFF\xFE", 0) == 0, be = text.rfind("\xFE\xFF", 0) == 0;
  if (le || be) {
    std::string narrow;
    for (size_t i = 2; i + 1 < text.size(); i += 2) {
      const unsigned char lo = text[i + (be ? 1 : 0)], hi = text[i + (be ? 0 : 1)];
      narrow += hi == 0 ? static_cast<char>(lo) : '?';
    }
    text = narrow;
  }
  text = text.substr(0, text.find('\x1A'));
  for (size_t at = 0; at < text.size();) {
    const size_t eol = text.find_first_of("\r\n", at);
    std::string line =
        text.substr(at, std::min<size_t>(eol == std::string::npos ? 1023 : eol - at + 1, 1023));
    at += line.size();
    char* p = &line[0] + strspn(line.c_str(), " \t");
    if (p[0] == 'v' && p[1] == ' ') {
      float x, y, z;
      if (sscanf(p + 2, "%f %f %f", &x, &y, &z) == 3) c.vertices++;
    } else if (p[0] == 'f' && (p[1] == ' ' || p[1] == '\t')) {
      p[strcspn(p, "\r\n")] = '\0';
      std::vector<long long> index;
      char* save = nullptr;
      for (char* tok = strtok_r(p + 2, " \t", &save); tok && index.size() < 64;
           tok = strtok_r(nullptr, " \t", &save)) {
        long long v = std::clamp<long long>(strtoll(tok, nullptr, 10), INT_MIN, INT_MAX);
        if (v > 0) index.push_back(v - 1);
        if (v < 0) index.push_back(c.vertices + v);
      }
      auto ok = [&](long long i) { return i >= 0 && i < c.vertices; };
      if (index.size() < 3 || !ok(index[0])) continue;
      for (size_t k = 1; k + 1 < index.size(); k++) {
        if (ok(index[k]) && ok(index[k + 1])) c.triangles++;
      }
    }
  }
  return c;
}

std::vector<std::string> corpus_objs() {
  std::vector<std::string> files;
  std::string dir = std::string(ORRERY_CORPUS_DIR) + "/obj";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".obj")
        files.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Every pixel opaque, the corners background, something drawn.
void expect_thumbnail(const std::string& png, int size, const std::string& what) {
  Image image = decode_png(png);
  ASSERT_FALSE(image.rgba.empty()) << what;
  EXPECT_EQ(image.width, size) << what;
  EXPECT_EQ(image.height, size) << what;
  EXPECT_TRUE(image_shows_something(image)) << what;
  bool opaque = true;
  for (size_t i = 3; i < image.rgba.size(); i += 4) opaque = opaque && image.rgba[i] == 255;
  EXPECT_TRUE(opaque) << what;
  EXPECT_EQ(image.at(0, size - 1)[0], 245) << what;
}

std::string grid_obj(int cells) {
  std::string text;
  for (int y = 0; y <= cells; y++) {
    for (int x = 0; x <= cells; x++) {
      text += "v " + std::to_string(x) + " " + std::to_string((x * y) % 7) + " " +
              std::to_string(y) + "\n";
    }
  }
  for (int y = 0; y < cells; y++) {
    for (int x = 0; x < cells; x++) {
      int a = y * (cells + 1) + x + 1;
      text += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " +
              std::to_string(a + cells + 2) + " " + std::to_string(a + cells + 1) + "\n";
    }
  }
  return text;
}

TEST(VertexshotE2E, CorpusRendersOrReportsNoTriangles) {
  REQUIRE_VERTEXSHOT();
  std::vector<std::string> files = corpus_objs();
  ASSERT_FALSE(files.empty()) << ORRERY_CORPUS_DIR;
  TempDir dir;
  int rendered = 0;
  for (const std::string& obj : files) {
    ObjCount expected = count_fans(obj);
    std::string png = dir.file("out.png");
    remove(png.c_str());
    RunResult r = run_program(vertexshot(), {obj, png, "--info", "128"});
    if (expected.triangles == 0) {
      EXPECT_EQ(r.exit_code, 3) << obj;
      EXPECT_EQ(r.err, "ERROR: No triangles in " + obj + "\n");
      EXPECT_EQ(r.out, "") << obj;
      EXPECT_FALSE(file_exists(png)) << obj;
      continue;
    }
    rendered++;
    ASSERT_EQ(r.exit_code, 0) << obj << "\n" << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, kOkLine)) << r.err;
    EXPECT_EQ(m[1].str(), obj);
    EXPECT_EQ(m[2].str(), std::to_string(expected.triangles)) << obj;
    EXPECT_EQ(m[3].str(), "128");
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << obj;
    ASSERT_TRUE(json_is_valid(lines[0])) << lines[0];
    EXPECT_EQ(json_field(lines[0], "triangle_count"), std::to_string(expected.triangles)) << obj;
    EXPECT_EQ(json_field(lines[0], "vertex_count"), std::to_string(expected.vertices)) << obj;
    EXPECT_EQ(json_field(lines[0], "is_binary"), "0");
    expect_thumbnail(png, 128, obj);
  }
  EXPECT_GE(rendered, 9);
}

TEST(VertexshotE2E, JsonLineHasTheDocumentedKeysInOrder) {
  REQUIRE_VERTEXSHOT();
  TempDir dir;
  write_file(dir.file("t.obj"), "v 0 0 0\nv 2 0 0\nv 0 1 0\nv 0 0 4\nf 1 2 3\nf 1 3 4\n");
  RunResult r = run_program(vertexshot(), {dir.file("t.obj"), dir.file("t.png"), "--info"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // A model with no extent along an axis still frames; the mask is the
  // core's, so only its form is checked here.
  std::regex line(
      "\\{\"triangle_count\":2,\"vertex_count\":4,\"is_binary\":0,"
      "\"bbox\":\\[2\\.0000,1\\.0000,4\\.0000\\],\"center\":\\[1\\.0000,0\\.5000,2\\.0000\\],"
      "\"mins\":\\[0\\.0000,0\\.0000,0\\.0000\\],\"maxs\":\\[2\\.0000,1\\.0000,4\\.0000\\],"
      "\"voxel_grid\":\\d+\\}\n");
  EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
}

TEST(VertexshotE2E, NonFiniteBoxIsWrittenAsNull) {
  REQUIRE_VERTEXSHOT();
  TempDir dir;
  write_file(dir.file("t.obj"), "v 0 0 0\nv inf 0 0\nv 0 1 0\nv 1 1 1\nf 1 2 3\nf 1 3 4\n");
  RunResult r = run_program(vertexshot(), {dir.file("t.obj"), dir.file("t.png"), "--info"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_TRUE(json_is_valid(r.out)) << r.out;
  EXPECT_EQ(json_field(r.out, "maxs"), "[null,1.0000,1.0000]");
}

TEST(VertexshotE2E, UsageWithFewerThanTwoArguments) {
  REQUIRE_VERTEXSHOT();
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"only.obj"}}) {
    RunResult r = run_program(vertexshot(), args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_NE(r.err.find("Usage: "), std::string::npos) << r.err;
    // The program name stands where the usage text has %s.
    std::string prog = r.err.substr(r.err.find("Usage: ") + 7);
    prog = prog.substr(0, prog.find(" input.obj"));
    char expected[2048];
    snprintf(expected, sizeof expected, kUsage, prog.c_str());
    EXPECT_EQ(r.err, expected);
  }
}

TEST(VertexshotE2E, FailuresEndWithTheirMessageAndCode) {
  REQUIRE_VERTEXSHOT();
  TempDir dir;
  write_file(dir.file("verts.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\n");
  write_file(dir.file("tri.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  std::string missing = dir.file("missing.obj");
  std::string nowhere = dir.file("no/such/folder/t.png");
  struct Row {
    std::vector<std::string> args;
    int code;
    std::string err;
    bool json;
  } rows[] = {
      {{missing, dir.file("a.png")}, 2, "ERROR: Cannot parse " + missing + "\n", false},
      {{dir.path, dir.file("a.png"), "--info"}, 2, "ERROR: Cannot parse " + dir.path + "\n", false},
      {{dir.file("verts.obj"), dir.file("a.png"), "--info"},
       3,
       "ERROR: No triangles in " + dir.file("verts.obj") + "\n",
       false},
      {{dir.file("tri.obj"), nowhere, "--info"},
       2,
       "ERROR: Cannot write PNG: " + nowhere + "\n",
       true},
  };
  for (const Row& row : rows) {
    RunResult r = run_program(vertexshot(), row.args);
    EXPECT_EQ(r.exit_code, row.code) << row.err;
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(!r.out.empty(), row.json) << r.out;
    if (row.json) {
      EXPECT_TRUE(json_is_valid(split_lines(r.out).at(0))) << r.out;
    }
    EXPECT_FALSE(file_exists(dir.file("a.png")));
  }
}

TEST(VertexshotE2E, SizeArguments) {
  REQUIRE_VERTEXSHOT();
  TempDir dir;
  write_file(dir.file("t.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 2 3\nf 1 4 2\n");
  struct Row {
    std::vector<std::string> extra;
    int size;
  } rows[] = {
      {{}, 256},
      {{"16"}, 256},
      {{"4096"}, 256},
      {{"2049"}, 256},
      {{"64", "128"}, 128},
      {{"512px"}, 512},
      {{"big"}, 256},
      {{"--info", "32"}, 32},
      {{"48", "--info"}, 48},
      {{"--max-tris", "64"}, 256},
      {{"64", "--max-tris"}, 64},
      {{"2048"}, 2048},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {dir.file("t.obj"), dir.file("t.png")};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    RunResult r = run_program(vertexshot(), args);
    std::string what = "size row " + std::to_string(row.size);
    ASSERT_EQ(r.exit_code, 0) << what << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.err, m, kOkLine)) << r.err;
    EXPECT_EQ(m[3].str(), std::to_string(row.size)) << what;
    EXPECT_EQ(m[4].str(), std::to_string(row.size)) << what;
    Image image = decode_png(dir.file("t.png"));
    EXPECT_EQ(image.width, row.size) << what;
    EXPECT_EQ(image.height, row.size) << what;
    bool has_info = std::find(row.extra.begin(), row.extra.end(), "--info") != row.extra.end();
    EXPECT_EQ(!r.out.empty(), has_info) << what;
  }
}

TEST(VertexshotE2E, BudgetThinsTheRenderButNotTheCounts) {
  REQUIRE_VERTEXSHOT();
  TempDir dir;
  write_file(dir.file("grid.obj"), grid_obj(40));  // 1600 quads: 3200 triangles
  auto render = [&](const std::vector<std::string>& extra, const std::string& png) {
    std::vector<std::string> args = {dir.file("grid.obj"), dir.file(png), "--info"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult r = run_program(vertexshot(), args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(json_field(r.out, "triangle_count"), "3200");
    EXPECT_NE(r.err.find(": 3200 tris (dec 0),"), std::string::npos) << r.err;
    return read_file(dir.file(png));
  };
  std::string full = render({}, "full.png");
  std::string low = render({"--max-tris", "10"}, "low.png");
  std::string thousand = render({"--max-tris", "1000"}, "thousand.png");
  std::string trailing = render({"--max-tris"}, "trailing.png");
  EXPECT_EQ(low, thousand);  // a budget below 1000 is raised to 1000
  EXPECT_NE(low, full);
  EXPECT_EQ(trailing, full);  // a trailing --max-tris is ignored
}

TEST(VertexshotE2E, PngEndsWithTheIendChunk) {
  REQUIRE_VERTEXSHOT();
  TempDir dir;
  write_file(dir.file("t.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  RunResult r = run_program(vertexshot(), {dir.file("t.obj"), dir.file("t.png"), "64"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string png = read_file(dir.file("t.png"));
  ASSERT_GE(png.size(), 12u);
  EXPECT_EQ(png.substr(png.size() - 12), std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12));
  expect_thumbnail(dir.file("t.png"), 64, "triangle");
}

// A model that cannot grow must stop in order: "cannot parse", exit 2, no
// picture. The address space is capped so that the triangle array runs out.
TEST(VertexshotE2E, ModelThatCannotGrowIsAParseFailure) {
  REQUIRE_VERTEXSHOT();
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space cap does not work with the address sanitizer";
#endif
  if (getenv("ORRERY_RUNNER") && *getenv("ORRERY_RUNNER")) GTEST_SKIP() << "native runs only";
  TempDir dir;
  // Each line fans 62 triangles (2976 bytes of model) out of 190 bytes of text.
  std::string face = "f";
  for (int i = 1; i <= 64; i++) face += " " + std::to_string(i % 3 + 1);
  face += "\n";
  std::string text = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  for (int i = 0; i < 60000; i++) text += face;  // 3.7 million triangles, 178 MB
  write_file(dir.file("big.obj"), text);
  std::string cmd = "ulimit -v 160000 && exec '" + vertexshot() + "' '" + dir.file("big.obj") +
                    "' '" + dir.file("big.png") + "'";
  RunResult r = run_program("/bin/sh", {"-c", cmd});
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_EQ(r.err, "ERROR: Cannot parse " + dir.file("big.obj") + "\n");
  EXPECT_FALSE(file_exists(dir.file("big.png")));
}

}  // namespace
