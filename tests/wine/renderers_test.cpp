// The cross-built renderers under Wine against the native Linux build: the
// same command lines on the same real files must give the same exit codes,
// the same JSON lines and messages (timings aside), the same binary streams
// and PNG files with the same pixels.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "windows_env.h"

namespace {

std::string corpus(const std::string& relative) {
  return env_or("ORRERY_CORPUS_DIR", source_path("tests/data/corpus")) + "/" + relative;
}

std::string base_name(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

struct SideRun {
  RunResult result;
  std::string dir;  // work folder: in/ with the inputs, out/ for the outputs
};

// Text streams of a Windows console program end their lines in CR LF; the
// content must be the same once that is undone. Timings differ from run to
// run and are masked, and the program's own path (in the usage text) too.
std::string normalise_text(std::string text, const std::string& program_path) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  if (!program_path.empty()) {
    for (size_t at; (at = out.find(program_path)) != std::string::npos;) {
      out.replace(at, program_path.size(), "PROGRAM");
    }
  }
  static const std::regex timing("[0-9]+(\\.[0-9]+)?ms");
  static const std::regex json_timing("(\"[a-z]+_ms\"):[0-9]+(\\.[0-9]+)?");
  out = std::regex_replace(out, timing, "#ms");
  return std::regex_replace(out, json_timing, "$1:#");
}

// The files under dir and its subfolders, as paths relative to dir.
std::vector<std::string> list_files(const std::string& dir, const std::string& prefix = "") {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      struct stat st;
      const std::string path = dir + "/" + e->d_name;
      if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        for (const std::string& name : list_files(path, prefix + e->d_name + "/")) {
          names.push_back(name);
        }
      } else {
        names.push_back(prefix + e->d_name);
      }
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Writes a file, creating the folders on its way.
void write_file_in_folders(const std::string& path, const std::string& data) {
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    mkdir(path.substr(0, at).c_str(), 0755);
  }
  write_file(path, data);
}

std::string replace_all(std::string text,
                        const std::vector<std::pair<std::string, std::string>>& map) {
  for (const auto& m : map) {
    for (size_t at = 0; (at = text.find(m.first, at)) != std::string::npos; at += m.second.size()) {
      text.replace(at, m.first.size(), m.second);
    }
  }
  return text;
}

struct Case {
  std::string name;
  std::vector<std::string> args;         // paths relative to the work folder
  std::vector<std::string> inputs = {};  // corpus files, copied to in/<base name>
  std::string stdin_data = "";
  bool binary_stdout = false;                                   // compared byte for byte
  std::vector<std::pair<std::string, std::string>> files = {};  // written to in/<name>
  std::vector<std::string> folders = {};  // made in the work folder before the run
  std::vector<std::string> outputs = {};  // files both runs must write, among others
  // Under Wine only: standard input when not empty, and the texts that stand
  // for others in its output (native text, Wine text).
  std::string wine_stdin = "";
  std::vector<std::pair<std::string, std::string>> wine_text = {};
};

class RenderersUnderWineTest : public ::testing::Test {
 protected:
  // Runs one case natively and under Wine in two fresh work folders and
  // compares everything the caller of the program can see.
  void compare(const std::string& program, const Case& c) {
    SCOPED_TRACE(program + ": " + c.name);
    const std::string native = native_exe(program), exe = mingw_exe(program);
    if (native.empty() || exe.empty()) {
      if (HasFailure()) FAIL() << program << " is in the tree but not built";
      GTEST_SKIP() << program << " is not in the tree";
    }
    SideRun runs[2];
    for (int k = 0; k < 2; k++) {
      runs[k].dir = tmp.path + "/" + std::to_string(counter++) + (k == 0 ? "-native" : "-wine");
      mkdir(runs[k].dir.c_str(), 0755);
      mkdir((runs[k].dir + "/in").c_str(), 0755);
      mkdir((runs[k].dir + "/out").c_str(), 0755);
      for (const std::string& input : c.inputs) {
        write_file(runs[k].dir + "/in/" + base_name(input), read_file(corpus(input)));
      }
      for (const auto& file : c.files) {
        write_file_in_folders(runs[k].dir + "/in/" + file.first, file.second);
      }
      for (const std::string& folder : c.folders) mkdir((runs[k].dir + "/" + folder).c_str(), 0755);
      RunOptions options;
      options.cwd = runs[k].dir;
      options.stdin_data = k == 1 && !c.wine_stdin.empty() ? c.wine_stdin : c.stdin_data;
      if (k == 0) {
        std::vector<std::string> argv = {native};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        runs[k].result = run_command(argv, options);
      } else {
        runs[k].result = run_wine(exe, c.args, options);
      }
    }
    const RunResult& n = runs[0].result;
    const RunResult& w = runs[1].result;
    ASSERT_NE(n.exit_code, -1) << n.err;
    EXPECT_EQ(n.exit_code, w.exit_code) << "native stderr: " << n.err << "\nwine stderr: " << w.err;
    if (c.binary_stdout) {
      EXPECT_EQ(n.out.size(), w.out.size());
      EXPECT_TRUE(n.out == w.out) << "binary standard output differs";
    } else {
      EXPECT_EQ(replace_all(normalise_text(n.out, native), c.wine_text),
                normalise_text(w.out, windows_path(exe)));
      for (const std::string& line : split_lines(w.out)) {
        std::string error;
        EXPECT_TRUE(json_is_valid(line, &error)) << line << ": " << error;
      }
    }
    EXPECT_EQ(replace_all(normalise_text(n.err, native), c.wine_text),
              normalise_text(w.err, windows_path(exe)));

    for (const std::string& output : c.outputs) {
      for (const SideRun& run : runs) EXPECT_TRUE(file_exists(run.dir + "/" + output)) << output;
    }
    const std::vector<std::string> outputs = list_files(runs[0].dir + "/out");
    EXPECT_EQ(outputs, list_files(runs[1].dir + "/out"));
    for (const std::string& name : outputs) {
      SCOPED_TRACE(name);
      const std::string native_png = runs[0].dir + "/out/" + name;
      const std::string wine_png = runs[1].dir + "/out/" + name;
      Image a = decode_png(native_png), b = decode_png(wine_png);
      ASSERT_FALSE(a.rgba.empty());
      ASSERT_EQ(a.width, b.width);
      ASSERT_EQ(a.height, b.height);
      size_t differing = 0, first = a.rgba.size();
      for (size_t i = 0; i < a.rgba.size(); i += 4) {
        if (memcmp(&a.rgba[i], &b.rgba[i], 4) != 0) {
          if (differing++ == 0) first = i / 4;
        }
      }
      EXPECT_EQ(differing, 0u) << "pixels differ, first at x=" << first % a.width
                               << " y=" << first / a.width;
      EXPECT_TRUE(read_file(native_png) == read_file(wine_png)) << "PNG bytes differ";
    }
  }

  TempDir tmp;
  int counter = 0;
};

// The raw triangle stream of a binary STL file, plus one triangle whose
// coordinates hold the bytes CR, LF and Ctrl-Z, which a text-mode standard
// input would translate or stop at.
std::string raw_stream_from_stl(const std::string& stl) {
  const std::string data = read_file(corpus(stl));
  uint32_t count = 0;
  memcpy(&count, data.data() + 80, 4);
  std::string body;
  for (uint32_t t = 0; t < count && 84 + (t + 1) * 50 <= data.size(); t++) {
    body.append(data, 84 + t * 50 + 12, 36);
  }
  const uint32_t tricky[9] = {0x3F0D0A1A, 0x3F1A0D0A, 0x3E0A0D1A, 0x3F0D0A1A, 0x3E0D1A0A,
                              0x3F0A1A0D, 0x3E1A0A0D, 0x3F0D0A1A, 0x3F0A0D1A};
  body.append(reinterpret_cast<const char*>(tricky), sizeof tricky);
  uint32_t n = static_cast<uint32_t>(body.size() / 36);
  return std::string(reinterpret_cast<const char*>(&n), 4) + body;
}

TEST_F(RenderersUnderWineTest, FacetshotFiles) {
  const Case cases[] = {
      {"binary STL with info",
       {"in/trimesh__torus.STL", "out/torus.png", "256", "--info"},
       {"stl/trimesh__torus.STL"}},
      {"large binary STL",
       {"in/trimesh__counter.unitsmm.STL", "out/counter.png", "--info", "320"},
       {"stl/trimesh__counter.unitsmm.STL"}},
      {"ASCII STL, mixed case",
       {"in/numpystl__ascii_HalfDonut.stl", "out/donut.png", "200", "--info"},
       {"stl/numpystl__ascii_HalfDonut.stl"}},
      {"ASCII STL, CRLF, two solids",
       {"in/trimesh__multibody.stl", "out/multi.png", "--info"},
       {"stl/trimesh__multibody.stl"}},
      {"decimated to the budget",
       {"in/assimp__Wuson.stl", "out/wuson.png", "300", "--max-tris", "1000", "--info"},
       {"stl/assimp__Wuson.stl"}},
      {"colour header, far from the origin",
       {"in/trimesh__large_block_obb.STL", "out/block.png", "64"},
       {"stl/trimesh__large_block_obb.STL"}},
      {"no triangles",
       {"in/trimesh__stl_empty_bin.stl", "out/empty.png"},
       {"stl/trimesh__stl_empty_bin.stl"}},
      {"missing input", {"in/missing.stl", "out/missing.png"}, {}},
      {"output folder missing",
       {"in/numpystl__binary_Cube.stl", "nowhere/cube.png"},
       {"stl/numpystl__binary_Cube.stl"}},
      {"usage", {}, {}},
  };
  for (const Case& c : cases) compare("facetshot", c);
}

TEST_F(RenderersUnderWineTest, FacetshotNanCoordinatesOfEitherSign) {
  // The C runtimes disagree on the sign bit of a NaN read from "-nan"; the
  // reader, the measures and the rasterizer must not let that show.
  std::string stl = "solid nan\n";
  const char* triangles[][3] = {{"0 0 0", "1 0 0", "0 1 0"},    {"1 0 0", "nan 1 0", "0 1 0"},
                                {"1 0 0", "-nan 1 0", "0 1 0"}, {"-nan 1 0", "nan 1 0", "0 0 1"},
                                {"-nan 1 0", "0 0 1", "0 1 0"}, {"0 0 1", "1 0 0", "0 -NAN 0"}};
  for (const auto& t : triangles) {
    stl += "facet normal -nan 0 1\nouter loop\n";
    for (const char* v : t) stl += std::string("vertex ") + v + "\n";
    stl += "endloop\nendfacet\n";
  }
  stl += "endsolid\n";
  Case c{"NaN coordinates", {"in/nan.stl", "out/nan.png", "64", "--info"}};
  c.files = {{"nan.stl", stl}};
  compare("facetshot", c);
  Case batch{"NaN coordinates in a batch", {"--batch", "48"}};
  batch.files = c.files;
  batch.stdin_data = "in/nan.stl\tout/batch.png\r\n";
  compare("facetshot", batch);
}

TEST_F(RenderersUnderWineTest, FacetshotRawStreamOnStandardInput) {
  Case c{"raw stream", {"--stdin", "out/stream.png", "160", "--info"}, {}, ""};
  c.stdin_data = raw_stream_from_stl("stl/trimesh__angle_block.STL");
  compare("facetshot", c);
}

TEST_F(RenderersUnderWineTest, FacetshotBatchWithCrLfJobLines) {
  Case c{"batch",
         {"--batch", "96"},
         {"stl/trimesh__torus.STL", "stl/numpystl__Moon_Chinese.stl", "stl/assimp__triangle.stl",
          "stl/trimesh__soup.stl"},
         "in/trimesh__torus.STL\tout/torus.png\r\n"
         "in/numpystl__Moon_Chinese.stl\tout/moon.png\r\n"
         "in/missing.stl\tout/missing.png\r\n"
         "a line without a tab\r\n"
         "in/assimp__triangle.stl\tout/triangle.png\r\n"
         "in/trimesh__soup.stl\tout/soup.png\n"
         "\r\n"
         "in/trimesh__torus.STL\tout/after-the-end.png\r\n"};
  compare("facetshot", c);
}

TEST_F(RenderersUnderWineTest, PackshotRenderAndParse) {
  const std::string bare_xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
      "<model unit=\"millimeter\" "
      "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\">\r\n"
      "<resources><object id=\"1\" name=\"tab\tquote\\\" \xc3\xa9\" type=\"model\"><mesh>\r\n"
      "<vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"10\" y=\"0\" z=\"0\"/>\r\n"
      "<vertex x=\"0\" y=\"10\" z=\"0\"/><vertex x=\"0\" y=\"0\" z=\"10\"/></vertices>\r\n"
      "<triangles><triangle v1=\"0\" v2=\"2\" v3=\"1\"/><triangle v1=\"0\" v2=\"1\" v3=\"3\"/>\r\n"
      "<triangle v1=\"0\" v2=\"3\" v3=\"2\"/><triangle v1=\"1\" v2=\"2\" v3=\"3\"/></triangles>\r\n"
      "</mesh></object></resources><build><item objectid=\"1\"/></build></model>\r\n";
  const struct {
    Case c;
    const char* input;  // corpus file on standard input, or null for c.stdin_data
  } cases[] = {
      {{"render a package", {"--render-3mf", "out/box.png", "128"}}, "3mf/samples__core_box.3mf"},
      {{"render with per-object images",
        {"--render-3mf", "out/gears.png", "96", "--per-object", "out/gears"}},
       "3mf/samples__core_cube_gears.3mf"},
      {{"render components", {"--render-3mf", "out/comp.png", "--max-tris", "2000"}},
       "3mf/lib3mf__GEN-C-ADA-COMPONENT-TRANSFORM-0.3mf"},
      {{"render bare XML with CRLF", {"--render-3mf", "out/xml.png", "64"}, {}, bare_xml}, nullptr},
      {{"parse a package", {"--parse-3mf"}, {}, "", true}, "3mf/samples__core_cube_gears.3mf"},
      {{"parse bare XML", {"--parse-3mf"}, {}, bare_xml, true}, nullptr},
      {{"parse a package without a model", {"--parse-3mf"}, {}, "", true},
       "3mf/samples__MUSTFAIL_Chapter2.1.1a_NonExist3DModelPart.3mf"},
      {{"usage", {"--render-3mf"}}, nullptr},
  };
  for (const auto& entry : cases) {
    Case c = entry.c;
    if (entry.input) c.stdin_data = read_file(corpus(entry.input));
    compare("packshot", c);
  }
}

TEST_F(RenderersUnderWineTest, VertexshotFiles) {
  const Case cases[] = {
      {"polygons and groups",
       {"in/trimesh__rabbit.obj", "out/rabbit.png", "--info", "256"},
       {"obj/trimesh__rabbit.obj"}},
      {"quads, CRLF",
       {"in/trimesh__quadknot.obj", "out/knot.png", "--info", "--max-tris", "1500"},
       {"obj/trimesh__quadknot.obj"}},
      {"negative indices",
       {"in/trimesh__negative_indices.obj", "out/neg.png", "--info", "64"},
       {"obj/trimesh__negative_indices.obj"}},
      {"concave polygon",
       {"in/assimp__concave_polygon.obj", "out/concave.png", "--info"},
       {"obj/assimp__concave_polygon.obj"}},
      {"UTF-16 file",
       {"in/assimp__box_UTF16BE.obj", "out/utf16.png", "--info"},
       {"obj/assimp__box_UTF16BE.obj"}},
      {"missing input", {"in/missing.obj", "out/missing.png"}, {}},
      {"usage", {"only-one-argument"}, {}},
  };
  for (const Case& c : cases) compare("vertexshot", c);
}

// The Windows-1252 bytes of a UTF-8 text of ASCII and Latin-1 letters, or
// empty when it holds any other character.
std::string windows_1252(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size(); i++) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    const unsigned char next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if ((c == 0xC2 && next >= 0xA0 && next <= 0xBF) ||
               (c == 0xC3 && next >= 0x80 && next <= 0xBF)) {
      out += static_cast<char>(c == 0xC2 ? next : next + 0x40);
      i++;
    } else {
      return "";
    }
  }
  return out;
}

// Every path a renderer takes (input, output, per-object prefix), named in
// characters the ANSI code page of the Wine prefix (1252) holds and in
// characters it lacks, in every mode. Messages show a name the code page
// holds in its bytes, as they always have, any other in UTF-8; a batch
// record shows its line's bytes.
TEST_F(RenderersUnderWineTest, FileNamesOfAnyCharacters) {
  // The long name's first folder passes MAX_PATH (260) on its own; with the
  // others the per-object names pass 1024 bytes.
  const std::string folder = "folder " + std::string(240, 'f');
  const std::string deep = folder + "/" + folder + "/" + folder + "/" + folder;
  const std::string names[] = {
      "模型",   "rocket🚀",   "Кубик łłł" /* best fit reads "????? lll" */,
      "Würfel", "two words", deep + "/Würfel " + std::string(220, 'x'),
  };
  const std::string stl = read_file(corpus("stl/trimesh__multibody.stl"));
  const std::string obj = read_file(corpus("obj/trimesh__negative_indices.obj"));
  const std::string package = read_file(corpus("3mf/samples__core_cube_gears.3mf"));
  for (const std::string& name : names) {
    const std::string ansi = windows_1252(name), in = "in/" + name, out = "out/" + name;
    const std::string label = name.substr(0, 24) + ": ";
    std::vector<std::string> folders;
    for (size_t at = 0; (at = name.find('/', at + 1)) != std::string::npos;) {
      folders.push_back("out/" + name.substr(0, at));
    }
    std::vector<std::pair<std::string, std::string>> shown;
    if (!ansi.empty()) shown = {{name, ansi}};

    Case file{label + "file", {in + ".stl", out + ".png", "64", "--info"}};
    Case missing{label + "missing file", {in + ".stl", out + ".png"}};
    Case unwritable{label + "output folder missing", {in + ".stl", "nowhere/" + name + ".png"}};
    Case batch{label + "batch, UTF-8 line", {"--batch", "64"}, {}, in + ".stl\t" + out + ".png\n"};
    file.files = unwritable.files = batch.files = {{name + ".stl", stl}};
    file.wine_text = missing.wine_text = unwritable.wine_text = shown;
    std::vector<Case> facetshot_cases = {file, missing, unwritable, batch};
    if (!ansi.empty() && ansi != name) {
      Case batch_ansi = batch;
      batch_ansi.name = label + "batch, Windows-1252 line";
      batch_ansi.wine_stdin = "in/" + ansi + ".stl\tout/" + ansi + ".png\n";
      batch_ansi.wine_text = shown;
      facetshot_cases.push_back(batch_ansi);
    }
    for (Case& c : facetshot_cases) {
      c.folders = folders;
      compare("facetshot", c);
    }

    Case render{label + "render with per-object images",
                {"--render-3mf", out + ".png", "64", "--per-object", out},
                {},
                package};
    render.folders = folders;
    render.outputs = {out + ".png", out + "_obj0.png", out + "_obj16.png"};
    compare("packshot", render);

    Case obj_file{label + "file", {in + ".obj", out + ".png", "64", "--info"}};
    obj_file.files = {{name + ".obj", obj}};
    obj_file.folders = folders;
    obj_file.wine_text = shown;
    compare("vertexshot", obj_file);
  }

  // A batch line is read as it always was first: UTF-8 bytes that name a
  // file in the code page open that file.
  Case first{
      "Windows-1252 reading first", {"--batch", "64"}, {}, "in/WÃ¼rfel.stl\tout/first.png\n"};
  first.files = {{"Würfel.stl", stl}, {"WÃ¼rfel.stl", read_file(corpus("stl/trimesh__soup.stl"))}};
  first.wine_stdin = "in/Würfel.stl\tout/first.png\n";
  first.wine_text = {{"WÃ¼rfel", "Würfel"}};
  compare("facetshot", first);
}

}  // namespace
