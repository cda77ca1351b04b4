// packshot end to end: the real program on bare XML, built packages and the
// corpus; exit codes, messages, the mesh stream, JSON and decoded PNGs.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

std::string exe() {
  return program_path("packshot");
}

#define REQUIRE_PROGRAM()                                 \
  do {                                                    \
    if (exe().empty()) GTEST_SKIP() << "packshot absent"; \
  } while (0)

const char* kNoEntry = "ERROR: 3MF ZIP does not contain 3D/3dmodel.model\n";
const char* kNoMesh = "ERROR: No mesh data in 3MF XML\n";
const char* kLimitWarning = "WARNING: 3MF instance limit reached\n";

// Text streams of the Windows build end lines with CR LF; the mesh stream
// on standard output of --parse-3mf is binary and stays as it is.
std::string without_cr(const std::string& text) {
  std::string s;
  for (size_t i = 0; i < text.size(); i++) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) s += text[i];
  }
  return s;
}

RunResult run(const std::vector<std::string>& args, const std::string& in = "",
              const std::string& cwd = "") {
  RunResult r = run_program(exe(), args, in, cwd);
  r.err = without_cr(r.err);
  if (args.empty() || args[0] != "--parse-3mf") r.out = without_cr(r.out);
  return r;
}

// Twelve triangles of an axis-aligned cube from (x0, y0, z0) with edge e.
std::string cube_mesh(float e = 10.0f) {
  const char* corners[8] = {"0 0 0", "1 0 0", "1 1 0", "0 1 0", "0 0 1", "1 0 1", "1 1 1", "0 1 1"};
  std::string s = "<mesh><vertices>";
  for (const char* c : corners) {
    float v[3];
    sscanf(c, "%f %f %f", &v[0], &v[1], &v[2]);
    char buf[160];
    snprintf(buf, sizeof buf, "<vertex x=\"%g\" y=\"%g\" z=\"%g\"/>\n", v[0] * e, v[1] * e,
             v[2] * e);
    s += buf;
  }
  s += "</vertices><triangles>\n";
  const int tris[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                           {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
  for (const auto& t : tris) {
    s += "<triangle v1=\"" + std::to_string(t[0]) + "\" v2=\"" + std::to_string(t[1]) + "\" v3=\"" +
         std::to_string(t[2]) + "\"/>\n";
  }
  return s + "</triangles></mesh>";
}

std::string model_xml(const std::string& objects, const std::string& items) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<model unit=\"millimeter\" xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/"
         "2015/02\">\n<resources>\n" +
         objects + "</resources>\n<build>\n" + items + "</build>\n</model>\n";
}

std::string cube_object(int id, const std::string& name, float e = 10.0f) {
  return "<object id=\"" + std::to_string(id) + "\" name=\"" + name + "\" type=\"model\">" +
         cube_mesh(e) + "</object>\n";
}

int32_t get_i32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++)
    v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + i])) << (8 * i);
  return static_cast<int32_t>(v);
}

float get_f32(const std::string& s, size_t at) {
  const uint32_t v = static_cast<uint32_t>(get_i32(s, at));
  float f;
  memcpy(&f, &v, 4);
  return f;
}

struct StreamObject {
  std::string name;
  std::vector<float> vertices;
  std::vector<int32_t> indices;
};

// Decodes an object mesh stream; false when it is not exactly well formed.
bool decode_stream(const std::string& s, std::vector<StreamObject>* objects) {
  size_t at = 0;
  auto need = [&](size_t n) { return at + n <= s.size(); };
  if (!need(4)) return false;
  const int32_t n = get_i32(s, at);
  at += 4;
  if (n < 1) return false;
  for (int i = 0; i < n; i++) {
    StreamObject o;
    if (!need(4)) return false;
    const int32_t len = get_i32(s, at);
    at += 4;
    if (len < 1 || len > 255 || !need(static_cast<size_t>(len))) return false;
    o.name = s.substr(at, static_cast<size_t>(len));
    at += static_cast<size_t>(len);
    if (!need(4)) return false;
    const int32_t vcount = get_i32(s, at);
    at += 4;
    if (vcount < 0 || vcount % 3 != 0 || !need(static_cast<size_t>(vcount) * 12)) return false;
    for (int32_t k = 0; k < vcount * 3; k++, at += 4) o.vertices.push_back(get_f32(s, at));
    if (!need(4)) return false;
    const int32_t tcount = get_i32(s, at);
    at += 4;
    if (tcount * 3 != vcount || !need(static_cast<size_t>(tcount) * 12)) return false;
    for (int32_t k = 0; k < tcount * 3; k++, at += 4) {
      o.indices.push_back(get_i32(s, at));
      if (o.indices.back() != k) return false;
    }
    objects->push_back(o);
  }
  return at == s.size();
}

// The "key=value" figure of the closing line, as text.
std::string figure(const std::string& line, const std::string& key) {
  const size_t at = line.find(key);
  if (at == std::string::npos) return "";
  size_t end = at + key.size();
  while (end < line.size() &&
         (isdigit(static_cast<unsigned char>(line[end])) || line[end] == '-')) {
    end++;
  }
  return line.substr(at + key.size(), end - at - key.size());
}

std::string last_line(const std::string& text) {
  std::vector<std::string> lines = split_lines(text);
  return lines.empty() ? "" : lines.back();
}

std::vector<std::string> corpus_packages() {
  std::vector<std::string> files;
  const std::string dir = std::string(ORRERY_CORPUS_DIR) + "/3mf";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".3mf")
        files.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

TEST(PackshotCli, UsageForMissingOrUnknownModes) {
  REQUIRE_PROGRAM();
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--render-3mf"}, {"--render"}, {"--PARSE-3MF"}, {"out.png"}, {"--info", "x"}};
  for (const auto& args : cases) {
    RunResult r = run(args);
    EXPECT_EQ(r.exit_code, 1) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("3MF Thumbnail Renderer \xE2\x80\x94 Korvane\nUsage: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(" --parse-3mf  (reads XML or 3MF ZIP from stdin, writes binary mesh to "
                         "stdout)\n       "),
              std::string::npos);
    EXPECT_NE(r.err.find(" --render-3mf output.png [size] [--max-tris N] [--per-object prefix]\n"
                         "\n  size           Thumbnail pixel size (default: 256)\n"),
              std::string::npos);
    const std::string tail =
        "                 --per-object prefix: also render prefix_obj0.png, prefix_obj1.png, "
        "...\n\nBuild with -DUSE_ZLIB and link -lz for 3MF ZIP (deflate) support.\n";
    ASSERT_GE(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
  }
}

TEST(PackshotParse, StreamOfTwoObjects) {
  REQUIRE_PROGRAM();
  const std::string one =
      "<object id=\"1\" name=\"A\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/>"
      "<vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices>"
      "<triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh></object>\n";
  const std::string two =
      "<object id=\"2\" name=\"Bee\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/>"
      "<vertex x=\"2\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"2\" z=\"0\"/>"
      "<vertex x=\"0\" y=\"0\" z=\"2\"/></vertices><triangles>"
      "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/><triangle v1=\"0\" v2=\"1\" v3=\"3\"/>"
      "</triangles></mesh></object>\n";
  const std::string xml = model_xml(one + two,
                                    "<item objectid=\"1\"/><item objectid=\"2\" "
                                    "transform=\"1 0 0 0 1 0 0 0 1 0 0 5\"/>");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--parse-3mf"}, {"--parse-3mf", "ignored", "--max-tris"}}) {
    RunResult r = run(args, xml);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string expected;
    put_u32(&expected, 2);
    put_u32(&expected, 1);
    expected += "A";
    put_u32(&expected, 3);
    for (float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f}) {
      uint32_t v;
      memcpy(&v, &f, 4);
      put_u32(&expected, v);
    }
    put_u32(&expected, 1);
    for (uint32_t i : {0u, 1u, 2u}) put_u32(&expected, i);
    put_u32(&expected, 3);
    expected += "Bee";
    put_u32(&expected, 6);
    for (float f : {0.f, 0.f, 5.f, 2.f, 0.f, 5.f, 0.f, 2.f, 5.f, 0.f, 0.f, 5.f, 2.f, 0.f, 5.f, 0.f,
                    0.f, 7.f}) {
      uint32_t v;
      memcpy(&v, &f, 4);
      put_u32(&expected, v);
    }
    put_u32(&expected, 2);
    for (uint32_t i : {0u, 1u, 2u, 3u, 4u, 5u}) put_u32(&expected, i);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err.rfind("3MF-parse: 2 objects, 3 tris, read=", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("ms total="), std::string::npos);
  }
}

TEST(PackshotParse, LongNamesAreCutTo255Bytes) {
  REQUIRE_PROGRAM();
  RunResult r = run({"--parse-3mf"}, model_xml(cube_object(1, std::string(300, 'n')), ""));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<StreamObject> objects;
  ASSERT_TRUE(decode_stream(r.out, &objects));
  ASSERT_EQ(objects.size(), 1u);
  EXPECT_EQ(objects[0].name, std::string(255, 'n'));
  EXPECT_EQ(objects[0].vertices.size(), 12u * 9u);
}

TEST(PackshotErrors, DocumentedFailuresLeaveStdoutEmpty) {
  REQUIRE_PROGRAM();
  const std::string cube = model_xml(cube_object(1, "c"), "<item objectid=\"1\"/>");
  struct Case {
    const char* what;
    std::string input;
    const char* message;
  } cases[] = {
      {"empty input", "", kNoMesh},
      {"no objects", model_xml("", ""), kNoMesh},
      {"vertices only",
       model_xml("<object id=\"1\"><mesh><vertices><vertex x=\"1\" y=\"1\" z=\"1\"/></vertices>"
                 "</mesh></object>",
                 ""),
       kNoMesh},
      {"package without model", zip_package("3D/other.model", cube), kNoEntry},
      {"model in other case", zip_package("3D/3DModel.model", cube), kNoEntry},
      {"zip signature only", std::string("PK\x03\x04garbage", 11), kNoEntry},
      {"deflate method 9", zip_package("3D/3dmodel.model", cube, 9), kNoEntry},
      {"stored sizes disagree", zip_package("3D/3dmodel.model", cube, 0, 1 << 30), kNoEntry},
      {"impossible deflate size", zip_package("3D/3dmodel.model", cube, 8, 0xFFFFFF00u), kNoEntry},
  };
  for (const Case& c : cases) {
    for (bool render : {false, true}) {
      TempDir dir;
      std::vector<std::string> args = {"--parse-3mf"};
      if (render) args = {"--render-3mf", dir.file("out.png")};
      RunResult r = run(args, c.input);
      EXPECT_EQ(r.exit_code, 3) << c.what << (render ? " (render)" : " (parse)");
      EXPECT_EQ(r.err, c.message) << c.what;
      EXPECT_EQ(r.out, "") << c.what;
      EXPECT_FALSE(file_exists(dir.file("out.png"))) << c.what;
    }
  }
  // The second lookup finds a model entry stored with a leading slash.
  RunResult slash = run({"--parse-3mf"}, zip_package("/3D/3dmodel.model", cube));
  EXPECT_EQ(slash.exit_code, 0) << slash.err;
}

TEST(PackshotRender, JsonLineAndThumbnailOfATranslatedCube) {
  REQUIRE_PROGRAM();
  TempDir dir;
  const std::string xml = model_xml(
      cube_object(1, "Cube"), "<item objectid=\"1\" transform=\"1 0 0 0 1 0 0 0 1 100 0 0\"/>");
  RunResult r = run({"--render-3mf", dir.file("t.png"), "128"}, xml);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 1u);
  const std::string& json = lines[0];
  std::string error;
  EXPECT_TRUE(json_is_valid(json, &error)) << error << "\n" << json;
  EXPECT_EQ(
      json.rfind("{\"triangle_count\":12,\"vertex_count\":36,\"object_count\":1,\"bbox\":[", 0), 0u)
      << json;
  EXPECT_EQ(json_field(json, "bbox"), "[10.0000,10.0000,10.0000]");
  EXPECT_NE(
      json.find(",\"objects\":[{\"name\":\"Cube\",\"triangle_count\":12,\"vertex_count\":36}],"
                "\"voxel_grid\":"),
      std::string::npos);
  EXPECT_EQ(json_field(json, "voxel_grid").find_first_not_of("0123456789"), std::string::npos);
  const std::string timing = last_line(r.err);
  EXPECT_EQ(timing.rfind("3MF-render: 1 obj, 12 tris (dec 12), 128x128, read=", 0), 0u) << timing;
  EXPECT_EQ(figure(timing, "perobj="), "0");
  Image image = decode_png(dir.file("t.png"));
  ASSERT_EQ(image.width, 128);
  ASSERT_EQ(image.height, 128);
  EXPECT_TRUE(image_shows_something(image));
}

TEST(PackshotRender, NamesAreEscapedInTheJson) {
  REQUIRE_PROGRAM();
  TempDir dir;
  const std::string xml =
      model_xml(cube_object(1, "tab\there \\ &quot;") + cube_object(2, "ctl\x01 \xC3\xA9t\xC3\xA9"),
                "<item objectid=\"1\"/><item objectid=\"2\"/>");
  RunResult r = run({"--render-3mf", dir.file("t.png")}, xml);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(json_is_valid(r.out));
  EXPECT_NE(r.out.find("{\"name\":\"tab\\there \\\\ &quot;\","), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"name\":\"ctl\\u0001 \xC3\xA9t\xC3\xA9\","), std::string::npos) << r.out;
}

TEST(PackshotRender, PerObjectThumbnailsForSeveralInstances) {
  REQUIRE_PROGRAM();
  TempDir dir;
  const std::string three = model_xml(
      cube_object(1, "a") + cube_object(2, "b", 4.0f),
      "<item objectid=\"1\"/><item objectid=\"2\" transform=\"1 0 0 0 1 0 0 0 1 20 0 0\"/>"
      "<item objectid=\"1\" transform=\"1 0 0 0 1 0 0 0 1 0 30 0\"/>");
  RunResult r =
      run({"--render-3mf", "main.png", "64", "--per-object", "sub/thumb"}, three, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The prefix's folder does not exist: the object files are lost silently.
  EXPECT_EQ(figure(last_line(r.err), "perobj="), "3");
  RunResult ok = run({"--render-3mf", "main.png", "64", "--per-object", "thumb"}, three, dir.path);
  ASSERT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(figure(last_line(ok.err), "perobj="), "3");
  for (int i = 0; i < 3; i++) {
    Image image = decode_png(dir.file("thumb_obj" + std::to_string(i) + ".png"));
    EXPECT_EQ(image.width, 64) << i;
    EXPECT_TRUE(image_shows_something(image)) << i;
  }
  EXPECT_FALSE(file_exists(dir.file("thumb_obj3.png")));

  // One instance never gets its own file; a trailing --per-object is no prefix.
  TempDir single;
  const std::string one = model_xml(cube_object(1, "a"), "<item objectid=\"1\"/>");
  RunResult s = run({"--render-3mf", "main.png", "--per-object", "thumb"}, one, single.path);
  ASSERT_EQ(s.exit_code, 0);
  EXPECT_FALSE(file_exists(single.file("thumb_obj0.png")));
  RunResult t = run({"--render-3mf", "main.png", "--per-object"}, three, single.path);
  ASSERT_EQ(t.exit_code, 0);
  EXPECT_EQ(figure(last_line(t.err), "perobj="), "0");
}

TEST(PackshotRender, UnwritableOutputStillPrintsJson) {
  REQUIRE_PROGRAM();
  TempDir dir;
  RunResult r = run({"--render-3mf", dir.file("missing/out.png")},
                    model_xml(cube_object(1, "c"), "<item objectid=\"1\"/>"));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(json_is_valid(r.out));
  EXPECT_EQ(last_line(r.err).rfind("3MF-render: 1 obj, 12 tris", 0), 0u) << r.err;
}

TEST(PackshotRender, SizeAndBudgetArguments) {
  REQUIRE_PROGRAM();
  // 2,500 triangles in one object: a budget of 1000 samples every third.
  std::string body = "<mesh><vertices>";
  for (int k = 0; k < 2500; k++) {
    const std::string x = std::to_string(k % 50), y = std::to_string(k / 50);
    body += "<vertex x=\"" + x + "\" y=\"" + y + "\" z=\"0\"/><vertex x=\"" + x + ".5\" y=\"" + y +
            "\" z=\"1\"/><vertex x=\"" + x + "\" y=\"" + y + ".5\" z=\"0.5\"/>";
  }
  body += "</vertices><triangles>";
  for (int k = 0; k < 2500; k++) {
    body += "<triangle v1=\"" + std::to_string(3 * k) + "\" v2=\"" + std::to_string(3 * k + 1) +
            "\" v3=\"" + std::to_string(3 * k + 2) + "\"/>";
  }
  const std::string xml = model_xml("<object id=\"1\">" + body + "</triangles></mesh></object>",
                                    "<item objectid=\"1\"/>");
  struct Case {
    std::vector<std::string> args;
    int size;
    const char* tris;
  } cases[] = {
      {{}, 256, "2500"},
      {{"5000"}, 256, "2500"},
      {{"64abc"}, 64, "2500"},
      {{"abc"}, 256, "2500"},
      {{"31"}, 256, "2500"},
      {{"32"}, 32, "2500"},
      {{"2048", "--max-tris", "10"}, 2048, "834"},
      {{"--max-tris", "1000", "100"}, 100, "834"},
      {{"512", "--max-tris"}, 512, "2500"},
      {{"--max-tris", "2000", "--max-tris", "600000"}, 256, "2500"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {"--render-3mf", dir.file("t.png")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run(args, xml);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(decode_png(dir.file("t.png")).width, c.size) << args.size();
    EXPECT_EQ(json_field(r.out, "triangle_count"), c.tris) << r.out.substr(0, 60);
    EXPECT_EQ(figure(last_line(r.err), " obj, "), c.tris);
  }
  // The output path is taken literally, and the next argument is a size.
  TempDir cwd;
  RunResult r = run({"--render-3mf", "--max-tris", "40"}, xml, cwd.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(decode_png(cwd.file("--max-tris")).width, 40);
}

TEST(PackshotHostile, ComponentFanOutEndsWithOneWarning) {
  REQUIRE_PROGRAM();
  std::string comps = "<components>";
  for (int i = 0; i < 32; i++) comps += "<component objectid=\"1\"/>";
  const std::string xml =
      model_xml("<object id=\"1\">" + cube_mesh() + comps + "</components></object>",
                "<item objectid=\"1\"/>");
  TempDir dir;
  // A small budget keeps the picture cheap; the expansion goes on to the cap.
  RunResult r = run({"--render-3mf", dir.file("t.png"), "--max-tris", "1000"}, xml);
  ASSERT_EQ(r.exit_code, 0);
  size_t warnings = 0;
  for (size_t at = r.err.find(kLimitWarning); at != std::string::npos;
       at = r.err.find(kLimitWarning, at + 1)) {
    warnings++;
  }
  EXPECT_EQ(warnings, 1u);
  EXPECT_TRUE(json_is_valid(r.out));
  EXPECT_TRUE(image_shows_something(decode_png(dir.file("t.png"))));
}

TEST(PackshotHostile, BrokenNumbersAndCutOffDocumentsDoNotCrash) {
  REQUIRE_PROGRAM();
  const std::string good = model_xml(cube_object(1, "c"), "<item objectid=\"1\"/>");
  std::vector<std::string> inputs = {
      model_xml("<object id=\"1\"><mesh><vertices><vertex x=\"1e2000000000\" y=\"1e-2000000000\" "
                "z=\"-1e2000000000\"/><vertex x=\"0\" y=\"1\" z=\"0\"/><vertex x=\"1\" y=\"0\" "
                "z=\"0\"/></vertices><triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/>"
                "</triangles></mesh></object>",
                "<item objectid=\"1\"/>"),
      good.substr(0, good.find("z=\"10\"") + 4),  // ends inside a value
      good.substr(0, good.rfind("</object>") + 9),
      std::string("PK\x03\x04", 4) + std::string(5000, '\xFF'),
      std::string("PK\x05\x06", 4) + std::string(18, '\0'),
  };
  for (const std::string& in : inputs) {
    TempDir dir;
    RunResult r = run({"--render-3mf", dir.file("t.png")}, in);
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 3) << r.exit_code << " " << r.err;
    if (r.exit_code == 0) {
      EXPECT_TRUE(json_is_valid(r.out)) << r.out;  // non-finite box values are null
    }
    RunResult p = run({"--parse-3mf"}, in);
    EXPECT_TRUE(p.exit_code == 0 || p.exit_code == 3) << p.exit_code << " " << p.err;
  }
}

// A package relationships part naming target as the part of type.
std::string rels(const std::string& target,
                 const std::string& type =
                     "http://schemas.microsoft.com/3dmanufacturing/2013/01/"
                     "3dmodel") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Relationships xmlns=\"http://"
         "schemas.openxmlformats.org/package/2006/relationships\">\n\t<Relationship Type=\"" +
         type + "\" Target=\"" + target + "\" Id=\"rel0\" />\n</Relationships>\n";
}

// The cube of cube_mesh, every number written as Fusion does: blank-padded
// to a fixed width ("    1.000000E+01"), in every kind of attribute.
std::string padded_cube_model() {
  const char* corners[8] = {"0 0 0", "1 0 0", "1 1 0", "0 1 0", "0 0 1", "1 0 1", "1 1 1", "0 1 1"};
  std::string s = "<object id=\"  1\" name=\"body\" type=\"model\"><mesh><vertices>\n";
  for (const char* c : corners) {
    float v[3];
    sscanf(c, "%f %f %f", &v[0], &v[1], &v[2]);
    char buf[160];
    snprintf(buf, sizeof buf, "<vertex x=\"%16.6E\" y=\"%16.6E\" z=\"\t%16.6E \"/>\n", v[0] * 10,
             v[1] * 10, v[2] * 10);
    s += buf;
  }
  s += "</vertices><triangles>\n";
  const int tris[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                           {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
  for (const auto& t : tris) {
    char buf[160];
    snprintf(buf, sizeof buf, "<triangle v1=\"%4d\" v2=\" %d \" v3=\"\r\n%d\"/>\n", t[0], t[1],
             t[2]);
    s += buf;
  }
  s += "</triangles></mesh></object>\n<object id=\" 2 \" name=\"assembly\"><components>"
       "<component objectid=\"    1\" transform=\"  1.000000E+00  0.000000E+00  0.000000E+00\n"
       "  0.000000E+00  1.000000E+00  0.000000E+00\n  0.000000E+00  0.000000E+00  1.000000E+00\n"
       "  5.000000E+00  0.000000E+00  0.000000E+00 \"/></components></object>\n";
  return model_xml(s, "<item objectid=\"2  \" transform=\"\t1 0 0 0 1 0 0 0 1 0 0 0\"/>\n");
}

TEST(PackshotFromOtherTools, PackagesRenderTheirModel) {
  REQUIRE_PROGRAM();
  const std::string cube = model_xml(cube_object(1, "Cube"), "<item objectid=\"1\"/>");
  const std::string types = "<?xml version=\"1.0\"?><Types/>";
  const std::string p =
      "xmlns:p=\"http://schemas.microsoft.com/3dmanufacturing/production/2015/06\"";
  // BambuStudio's layout: one part per object, placed through components.
  std::string root = model_xml(
      "<object id=\"2\" name=\"plate\"><components>"
      "<component p:path=\"/3D/Objects/object_1.model\" objectid=\"1\"/>"
      "<component p:path=\"/3D/Objects/object_2.model\" objectid=\"1\" "
      "transform=\"1 0 0 0 1 0 0 0 1 20 0 0\"/></components></object>\n",
      "<item objectid=\"2\"/>");
  root.replace(root.find("<model "), 7, "<model " + p + " ");
  // The production samples' layout: build items name objects in other parts.
  std::string items = model_xml("",
                                "<item objectid=\"1\" p:path=\"/3D/Objects/object_1.model\"/>"
                                "<item objectid=\"1\" p:path=\"/3D/Objects/object_2.model\" "
                                "transform=\"1 0 0 0 1 0 0 0 1 0 20 0\"/>");
  const std::vector<ZipItem> objects = {
      {"3D/Objects/object_1.model", model_xml(cube_object(1, "left"), "")},
      {"3D/Objects/object_2.model", model_xml(cube_object(1, "right", 5.0f), "")}};
  auto with = [&](std::vector<ZipItem> front, std::vector<ZipItem> back) {
    front.insert(front.end(), back.begin(), back.end());
    return front;
  };
  struct Case {
    const char* what;
    std::string input;
    int triangles;
    std::string names;  // the objects' names, comma-separated
    float extent[3];    // of the model in build coordinates
  } cases[] = {
      {"ZIP64 end record (lib3mf)",
       zip_archive({{"[Content_Types].xml", types},
                    {"_rels/.rels", rels("/3D/3dmodel.model")},
                    {"3D/3dmodel.model", cube}},
                   Zip64::kFull),
       12,
       "Cube",
       {10, 10, 10}},
      {"ZIP64 fields (Python's zipfile)",
       zip_archive({{"3D/3dmodel.model", cube}}, Zip64::kFields),
       12,
       "Cube",
       {10, 10, 10}},
      {"model part named by the relationship (assimp)",
       zip_archive({{"_rels/.rels", rels("/3D/3DModel.model")}, {"3D/3DModel.model", cube}}),
       12,
       "Cube",
       {10, 10, 10}},
      {"relative target in another case",
       zip_archive({{"_rels/.RELS", rels("3d/MODEL.custom")}, {"3D/model.custom", cube}}),
       12,
       "Cube",
       {10, 10, 10}},
      {"objects in parts of their own, by components",
       zip_archive(
           with({{"_rels/.rels", rels("/3D/3dmodel.model")}, {"3D/3dmodel.model", root}}, objects)),
       24,
       "plate",
       {25, 10, 10}},
      {"objects in parts of their own, by build items",
       zip_archive(with(objects, {{"3D/3dmodel.model", items}}), Zip64::kFull),
       24,
       "left,right",
       {10, 25, 10}},
      {"blank-padded numbers (Fusion)",
       zip_archive({{"3D/3dmodel.model", padded_cube_model()}}),
       12,
       "assembly",
       {10, 10, 10}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    RunResult r = run({"--render-3mf", dir.file("t.png"), "64"}, c.input);
    ASSERT_EQ(r.exit_code, 0) << c.what << "\n" << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << c.what << "\n" << r.err;  // no warnings
    EXPECT_EQ(json_field(r.out, "triangle_count"), std::to_string(c.triangles)) << c.what;
    std::string names;
    for (size_t at = r.out.find("{\"name\":\""); at != std::string::npos;
         at = r.out.find("{\"name\":\"", at + 1)) {
      const size_t start = at + 9;
      names += (names.empty() ? "" : ",") + r.out.substr(start, r.out.find('"', start) - start);
    }
    EXPECT_EQ(names, c.names) << c.what;
    EXPECT_TRUE(image_shows_something(decode_png(dir.file("t.png")))) << c.what;
    RunResult parse = run({"--parse-3mf"}, c.input);
    ASSERT_EQ(parse.exit_code, 0) << c.what;
    std::vector<StreamObject> stream;
    ASSERT_TRUE(decode_stream(parse.out, &stream)) << c.what;
    size_t triangles = 0;
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (const StreamObject& o : stream) {
      triangles += o.indices.size() / 3;
      for (size_t k = 0; k < o.vertices.size(); k++) {
        lo[k % 3] = std::min(lo[k % 3], o.vertices[k]);
        hi[k % 3] = std::max(hi[k % 3], o.vertices[k]);
      }
    }
    EXPECT_EQ(triangles, static_cast<size_t>(c.triangles)) << c.what;
    for (int a = 0; a < 3; a++) EXPECT_EQ(hi[a] - lo[a], c.extent[a]) << c.what << " axis " << a;
  }
}

TEST(PackshotCorpus, EveryPackageRendersOrEndsWithADocumentedError) {
  REQUIRE_PROGRAM();
  const std::vector<std::string> files = corpus_packages();
  if (files.empty()) GTEST_SKIP() << "no 3MF corpus";
  // Packages of other tools that must render: ZIP64, the model part named by
  // the relationship, objects in other model parts.
  const char* must_render[] = {"lib3mf__Volumetric_SphereInACage.3mf",
                               "trimesh__pyramids.3mf",
                               "assimp__test.3mf",
                               "lib3mf__Box_ExtensionCustom.3mf",
                               "assimp__production_components.3mf",
                               "samples__production_cube_gears_prod_req.3mf"};
  int rendered = 0;
  for (const std::string& path : files) {
    const std::string input = read_file(path);
    TempDir dir;
    RunResult r = run({"--render-3mf", dir.file("t.png"), "128"}, input);
    ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 3) << path << " exit " << r.exit_code;
    for (const char* name : must_render) {
      if (path.size() > strlen(name) &&
          path.compare(path.size() - strlen(name), std::string::npos, name) == 0) {
        EXPECT_EQ(r.exit_code, 0) << path << ": " << r.err;
      }
    }
    RunResult p = run({"--parse-3mf"}, input);
    EXPECT_EQ(p.exit_code, r.exit_code) << path;
    if (r.exit_code == 3) {
      const std::string error = last_line(r.err) + "\n";
      EXPECT_TRUE(error == kNoEntry || error == kNoMesh) << path << ": " << r.err;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(p.out, "");
      continue;
    }
    rendered++;
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 1u) << path;
    std::string error;
    EXPECT_TRUE(json_is_valid(lines[0], &error)) << path << ": " << error;
    Image image = decode_png(dir.file("t.png"));
    EXPECT_EQ(image.width, 128) << path;
    // A model without area (lib3mf's N_XXX_0422_01 writes decimal commas, so
    // its transform reads as a projection onto the x axis) shows nothing.
    const std::string bbox = json_field(lines[0], "bbox");
    size_t flat = 0;
    for (size_t at = bbox.find("0.0000"); at != std::string::npos;
         at = bbox.find("0.0000", at + 1)) {
      if (bbox[at - 1] == '[' || bbox[at - 1] == ',') flat++;
    }
    if (flat < 2) {
      EXPECT_TRUE(image_shows_something(image)) << path;
    }
    // Parse mode keeps every triangle: at least the sampled count, and the
    // same objects in the same order.
    std::vector<StreamObject> objects;
    ASSERT_TRUE(decode_stream(p.out, &objects)) << path;
    EXPECT_EQ(json_field(lines[0], "object_count"), std::to_string(objects.size())) << path;
    size_t triangles = 0;
    for (const StreamObject& o : objects) triangles += o.indices.size() / 3;
    EXPECT_EQ(figure(last_line(p.err), " objects, "), std::to_string(triangles)) << path;
    EXPECT_GE(triangles, static_cast<size_t>(atol(json_field(lines[0], "triangle_count").c_str())));
  }
  EXPECT_GT(rendered, 10);
}

TEST(PackshotCorpus, TriangleCountsAgreeWithLib3mf) {
#ifndef LIB3MF_COUNT_EXE
  GTEST_SKIP() << "lib3mf reference reader not built";
#else
  REQUIRE_PROGRAM();
  const char* runner = getenv("ORRERY_RUNNER");
  if (runner && *runner) GTEST_SKIP() << "the reference reader is a native program";
  const char* files[] = {
      "samples__core_box.3mf", "samples__core_cube_gears.3mf", "numpystl__Moon.3mf",
      "lib3mf__GEN-C-ADA-COMPONENT-TRANSFORM-0.3mf", "lib3mf__GEN-M-ADA-ITEM-TRANSFORM-0.3mf",
      "lib3mf__3mfbase13_holed_cube_support.3mf",
      "samples__MUSTPASS_Chapter4.1_ExplicitSupport.3mf", "samples__slices_cube_gears_sliced.3mf",
      // ZIP64, the model part by relationship, p:path
      "trimesh__pyramids.3mf", "assimp__test.3mf", "lib3mf__Box_ExtensionCustom.3mf",
      "assimp__production_components.3mf", "samples__production_cube_gears_prod_req.3mf"};
  for (const char* name : files) {
    const std::string path = std::string(ORRERY_CORPUS_DIR) + "/3mf/" + name;
    if (!file_exists(path)) continue;
    RunResult ref = run_program(LIB3MF_COUNT_EXE, {path});
    ASSERT_EQ(ref.exit_code, 0) << name << ": " << ref.err;
    RunResult p = run({"--parse-3mf"}, read_file(path));
    ASSERT_EQ(p.exit_code, 0) << name;
    std::vector<StreamObject> objects;
    ASSERT_TRUE(decode_stream(p.out, &objects));
    size_t triangles = 0;
    for (const StreamObject& o : objects) triangles += o.indices.size() / 3;
    EXPECT_EQ(std::to_string(triangles) + "\n", ref.out) << name;
  }
  // lib3mf 1.8 refuses the implicit extension this package requires. Its
  // build item names a level-set object without a mesh, so every object
  // is placed: the pyramid mesh the level set is bounded by, 10 triangles.
  const std::string volumetric =
      std::string(ORRERY_CORPUS_DIR) + "/3mf/lib3mf__Volumetric_SphereInACage.3mf";
  if (file_exists(volumetric)) {
    RunResult p = run({"--parse-3mf"}, read_file(volumetric));
    EXPECT_EQ(p.exit_code, 0);
    EXPECT_EQ(figure(last_line(p.err), " objects, "), "10") << p.err;
  }
#endif
}
