// orrery-thumbnailer end to end: one table over the formats, sizes and
// failure kinds; its --opaque pictures against each renderer's over the
// corpus; the transparent picture's alpha rule.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

std::string thumbnailer() {
  if (const char* env = getenv("THUMBNAILER_EXE")) return env;
#ifdef THUMBNAILER_EXE
  return THUMBNAILER_EXE;
#else
  return "";
#endif
}

#define REQUIRE_THUMBNAILER() \
  if (thumbnailer().empty()) GTEST_SKIP() << "orrery-thumbnailer not built"

std::string corpus(const std::string& name) {
  return std::string(ORRERY_CORPUS_DIR) + "/" + name;
}

std::vector<std::string> corpus_files(const std::string& folder) {
  std::vector<std::string> files;
  if (DIR* d = opendir(corpus(folder).c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') files.push_back(folder + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// A tetrahedron as bare 3MF model XML.
const char kModelXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<model unit=\"millimeter\" "
    "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\">\n"
    " <resources><object id=\"1\" type=\"model\"><mesh><vertices>\n"
    "  <vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"10\" y=\"0\" z=\"0\"/>\n"
    "  <vertex x=\"0\" y=\"10\" z=\"0\"/><vertex x=\"0\" y=\"0\" z=\"10\"/>\n"
    " </vertices><triangles>\n"
    "  <triangle v1=\"0\" v2=\"2\" v3=\"1\"/><triangle v1=\"0\" v2=\"1\" v3=\"3\"/>\n"
    "  <triangle v1=\"0\" v2=\"3\" v3=\"2\"/><triangle v1=\"1\" v2=\"2\" v3=\"3\"/>\n"
    " </triangles></mesh></object></resources>\n"
    " <build><item objectid=\"1\"/></build>\n"
    "</model>\n";

const char kTetrahedronObj[] =
    "# a tetrahedron\n"
    "v 0 0 0\nv 10 0 0\nv 0 10 0\nv 0 0 10\n"
    "f 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n";

// One run: the input is a corpus file (source) or the given bytes, written
// under name; "@in" and "@out" in args stand for the input and output paths.
struct Case {
  const char* label;
  const char* source;  // corpus file, or null for content
  std::string content;
  const char* name;
  std::vector<std::string> args;
  int exit_code;
  const char* error;  // the one stderr line holds this; null on success
  int width, height;  // the picture on success
};

TEST(Thumbnailer, FormatsSizesAndFailures) {
  REQUIRE_THUMBNAILER();
  const std::string truncated_stl = read_file(corpus("stl/trimesh__soup.stl")).substr(0, 3000);
  const std::vector<Case> cases = {
      {"binary STL", "stl/trimesh__torus.STL", "", "a.stl", {"@in", "@out"}, 0, nullptr, 256, 256},
      {"ASCII STL",
       "stl/trimesh__multibody.stl",
       "",
       "a.stl",
       {"@in", "@out", "128"},
       0,
       nullptr,
       128,
       128},
      {"3MF package",
       "3mf/samples__core_cube_gears.3mf",
       "",
       "a.3mf",
       {"@in", "@out"},
       0,
       nullptr,
       256,
       256},
      {"bare model XML", nullptr, kModelXml, "a.model", {"@in", "@out", "64"}, 0, nullptr, 64, 64},
      {"OBJ",
       "obj/trimesh__rabbit.obj",
       "",
       "a.obj",
       {"--opaque", "@in", "@out"},
       0,
       nullptr,
       256,
       256},
      {"OBJ by its keywords",
       nullptr,
       kTetrahedronObj,
       "a.txt",
       {"@in", "@out"},
       0,
       nullptr,
       256,
       256},
      {"STL content beats .obj",
       "stl/trimesh__torus.STL",
       "",
       "a.obj",
       {"@in", "@out"},
       0,
       nullptr,
       256,
       256},
      {"cut binary STL by extension",
       nullptr,
       truncated_stl,
       "a.STL",
       {"@in", "@out"},
       0,
       nullptr,
       256,
       256},
      {"package thumbnail, no mesh",
       "3mf/samples__MUSTFAIL_Chapter3.4c_MissingResourceElement.3mf",
       "",
       "a.3mf",
       {"@in", "@out", "200"},
       0,
       nullptr,
       200,
       200},
      {"size below 32",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"@in", "@out", "16"},
       0,
       nullptr,
       16,
       16},
      {"size 1", "stl/trimesh__torus.STL", "", "a.stl", {"@in", "@out", "1"}, 0, nullptr, 1, 1},
      {"size above 2048",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"@in", "@out", "99999999999999"},
       0,
       nullptr,
       2048,
       2048},
      {"options after --",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"--", "@in", "@out", "40"},
       0,
       nullptr,
       40,
       40},
      {"missing input", nullptr, "", nullptr, {"@in", "@out"}, 2, "cannot read the file", 0, 0},
      {"folder as input", nullptr, "", nullptr, {"/", "@out"}, 2, "cannot read the file", 0, 0},
      {"unknown format",
       nullptr,
       "hello, world\n",
       "a.dat",
       {"@in", "@out"},
       2,
       "not an STL, 3MF or OBJ file",
       0,
       0},
      {"unparsable STL",
       nullptr,
       "tiny",
       "a.stl",
       {"@in", "@out"},
       2,
       "cannot parse the file",
       0,
       0},
      {"empty STL",
       "stl/trimesh__stl_empty_bin.stl",
       "",
       "a.stl",
       {"@in", "@out"},
       3,
       "no triangles to draw",
       0,
       0},
      {"OBJ without faces",
       nullptr,
       "v 0 0 0\nv 1 0 0\n",
       "a.obj",
       {"@in", "@out"},
       3,
       "no triangles to draw",
       0,
       0},
      {"3MF without mesh or thumbnail",
       "3mf/samples__beam_pyramid.3mf",
       "",
       "a.3mf",
       {"@in", "@out"},
       3,
       "no triangles to draw",
       0,
       0},
      {"broken ZIP",
       nullptr,
       std::string("PK\x03\x04garbage", 11),
       "a.3mf",
       {"@in", "@out"},
       3,
       "no triangles to draw",
       0,
       0},
      {"unwritable output",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"@in", "@out/none/x.png"},
       2,
       "Cannot write PNG",
       0,
       0},
      {"no arguments", nullptr, "", nullptr, {}, 1, "usage", 0, 0},
      {"one argument", nullptr, "", nullptr, {"@in"}, 1, "usage", 0, 0},
      {"SIZE not a number",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"@in", "@out", "12px"},
       1,
       "SIZE",
       0,
       0},
      {"SIZE zero", "stl/trimesh__torus.STL", "", "a.stl", {"@in", "@out", "0"}, 1, "SIZE", 0, 0},
      {"unknown option",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"--big", "@in", "@out"},
       1,
       "unknown option",
       0,
       0},
      {"too many arguments",
       "stl/trimesh__torus.STL",
       "",
       "a.stl",
       {"@in", "@out", "64", "x"},
       1,
       "too many arguments",
       0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const std::string in = dir.file(c.name ? c.name : "missing.stl");
    const std::string out = dir.file("out.png");
    if (c.source) {
      write_file(in, read_file(corpus(c.source)));
    } else if (c.name) {
      write_file(in, c.content);
    }
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
      if (a == "@in") {
        args.push_back(in);
      } else if (a.rfind("@out", 0) == 0) {
        args.push_back(dir.path + (a == "@out" ? "/out.png" : a.substr(4)));
      } else {
        args.push_back(a);
      }
    }
    const RunResult r = run_program(thumbnailer(), args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    if (c.error) {
      const std::vector<std::string> lines = split_lines(r.err);
      ASSERT_EQ(lines.size(), 1u) << r.err;
      EXPECT_NE(lines[0].find(c.error), std::string::npos) << lines[0];
      EXPECT_FALSE(file_exists(out));
    } else {
      EXPECT_TRUE(r.err.empty()) << r.err;
      const Image image = decode_png(out);
      EXPECT_EQ(image.width, c.width);
      EXPECT_EQ(image.height, c.height);
    }
  }
}

TEST(Thumbnailer, HelpAndVersion) {
  REQUIRE_THUMBNAILER();
  const RunResult help = run_program(thumbnailer(), {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_EQ(help.out.rfind("Usage: orrery-thumbnailer [--opaque] INPUT OUTPUT [SIZE]\n", 0), 0u);
  EXPECT_TRUE(help.err.empty());
  const RunResult version = run_program(thumbnailer(), {"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, "orrery-thumbnailer " ORRERY_VERSION "\n");
}

struct Renderer {
  const char* folder;
  const char* program;
};

// With --opaque the picture is the renderer's, pixel for pixel, for every
// corpus file the renderer draws; where the renderer finds nothing to draw
// the thumbnailer fails too, except for a 3MF package's own thumbnail.
TEST(Thumbnailer, OpaqueEqualsEachRenderer) {
  REQUIRE_THUMBNAILER();
  const Renderer renderers[] = {{"stl", "facetshot"}, {"obj", "vertexshot"}, {"3mf", "packshot"}};
  for (const Renderer& renderer : renderers) {
    const std::string program = program_path(renderer.program);
    if (program.empty()) continue;
    int index = 0;
    for (const std::string& file : corpus_files(renderer.folder)) {
      const char* size = index++ % 2 ? "77" : "256";  // an odd size for every other file
      SCOPED_TRACE(file + " at " + size);
      TempDir dir;
      const std::string expected = dir.file("renderer.png"), got = dir.file("thumbnailer.png");
      RunResult want;
      if (std::string(renderer.program) == "packshot") {
        want = run_program(program, {"--render-3mf", expected, size}, read_file(corpus(file)));
      } else {
        want = run_program(program, {corpus(file), expected, size});
      }
      const RunResult r = run_program(thumbnailer(), {"--opaque", corpus(file), got, size});
      if (want.exit_code != 0) {
        if (r.exit_code == 0) {
          EXPECT_EQ(std::string(renderer.folder), "3mf") << "renderer: " << want.err;
        }
        continue;
      }
      ASSERT_EQ(r.exit_code, 0) << r.err;
      const Image a = decode_png(expected), b = decode_png(got);
      ASSERT_FALSE(a.rgba.empty());
      EXPECT_EQ(a.width, b.width);
      EXPECT_EQ(a.height, b.height);
      EXPECT_TRUE(a.rgba == b.rgba) << "pixels differ";
    }
  }
}

// The transparent picture against the opaque one: alpha takes the five
// coverage levels; fully covered pixels keep the opaque colour, uncovered
// ones are where the opaque picture shows background, and edge pixels are
// the mean of their drawn part (the opaque edge mixes in the background).
TEST(Thumbnailer, TransparentAlphaRule) {
  REQUIRE_THUMBNAILER();
  TempDir dir;
  const std::string file = corpus("stl/trimesh__torus.STL");
  ASSERT_EQ(run_program(thumbnailer(), {"--opaque", file, dir.file("o.png"), "128"}).exit_code, 0);
  ASSERT_EQ(run_program(thumbnailer(), {file, dir.file("t.png"), "128"}).exit_code, 0);
  const Image opaque = decode_png(dir.file("o.png")), clear = decode_png(dir.file("t.png"));
  ASSERT_EQ(clear.width, 128);
  ASSERT_EQ(opaque.width, 128);
  int counts[5] = {0, 0, 0, 0, 0};
  for (int y = 0; y < 128; y++) {
    for (int x = 0; x < 128; x++) {
      const uint8_t* t = clear.at(x, y);
      const uint8_t* o = opaque.at(x, y);
      const int n = t[3] == 0 ? 0 : t[3] == 64 ? 1 : t[3] == 128 ? 2 : t[3] == 191 ? 3 : 4;
      ASSERT_TRUE(n < 4 || t[3] == 255) << "alpha " << int(t[3]) << " at " << x << "," << y;
      counts[n]++;
      for (int c = 0; c < 3; c++) {
        // opaque = floor((drawn sum + 245 (4 - n)) / 4), drawn sum within n of n t[c].
        const int low = (n * t[c] + 245 * (4 - n)) / 4;
        const int high = (n * t[c] + n + 245 * (4 - n)) / 4;
        EXPECT_TRUE(o[c] >= low && o[c] <= high)
            << "at " << x << "," << y << ": " << int(o[c]) << " vs " << int(t[c]) << " x" << n;
        if (n == 0) {
          EXPECT_EQ(t[c], 0);
        }
      }
    }
  }
  EXPECT_GT(counts[0], 0);
  EXPECT_GT(counts[4], 0);
  EXPECT_GT(counts[1] + counts[2] + counts[3], 0);
}

}  // namespace
