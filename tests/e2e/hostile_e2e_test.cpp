// Hostile inputs for every renderer: cut-off files, lying headers, bombs,
// wrong kinds of input and non-finite numbers, each with the exact outcome.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

struct Outcome {
  int exit_code;
  std::string err;  // the whole of standard error
  int triangles;    // from the OK line; -1 when there is none
};

// The triangle count of the "OK <file>: <n> tris ..." line on standard
// error, or -1.
int ok_triangles(const std::string& out) {
  if (out.compare(0, 3, "OK ") != 0) return -1;
  size_t at = out.find(": ");
  size_t end = out.find(" tris ");
  if (at == std::string::npos || end == std::string::npos || end < at) return -1;
  return atoi(out.substr(at + 2, end - at - 2).c_str());
}

Outcome run_file(const char* program, const std::string& input, const std::string& output,
                 const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {input, output, "32"};
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult r = run_program(program_path(program), args);
  return {r.exit_code, r.err, ok_triangles(r.err)};
}

#define REQUIRE(name)                                                     \
  do {                                                                    \
    if (program_path(name).empty()) GTEST_SKIP() << name << " is absent"; \
  } while (0)

bool native() {
  if (getenv("ORRERY_RUNNER")) return false;
#ifdef __SANITIZE_ADDRESS__
  return false;
#else
  return true;
#endif
}

// Expected outcome of a run: success with n triangles, or the failure line.
void expect_outcome(const Outcome& got, int exit_code, const std::string& err, int triangles,
                    const std::string& what) {
  EXPECT_EQ(got.exit_code, exit_code) << what << "\n" << got.err;
  if (exit_code == 0) {
    EXPECT_EQ(got.triangles, triangles) << what;
  } else {
    EXPECT_EQ(got.err, err) << what;
  }
}

const char kTriangleXml[] =
    "<?xml version=\"1.0\"?><model unit=\"millimeter\"><resources><object id=\"1\" "
    "name=\"a>b\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" "
    "z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles><triangle v1=\"0\" "
    "v2=\"1\" v3=\"2\"/></triangles></mesh></object></resources><build><item objectid=\"1\"/>"
    "</build></model>";

const std::string kNoEntry = "ERROR: 3MF ZIP does not contain 3D/3dmodel.model\n";
const std::string kNoMesh = "ERROR: No mesh data in 3MF XML\n";

RunResult render_3mf(const std::string& input, const std::string& png) {
  return run_program(program_path("packshot"), {"--render-3mf", png, "32"}, input);
}

}  // namespace

TEST(HostileStl, BinaryCutAtEveryRecordBoundary) {
  REQUIRE("facetshot");
  TempDir dir;
  const std::string whole = binary_stl(
      {{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 0, 1, 1, 0, 1, 0, 1, 1}, {0, 0, 2, 1, 0, 2, 0, 1, 2}});
  for (size_t cut : {0, 1, 80, 83, 84, 85, 133, 134, 135, 183, 184, 233, 234}) {
    const std::string in = dir.file("cut.stl"), png = dir.file("cut.png");
    write_file(in, whole.substr(0, cut));
    const int records = cut < 84 ? 0 : static_cast<int>((cut - 84) / 50);
    Outcome got = run_file("facetshot", in, png);
    if (cut < 84) {
      expect_outcome(got, 2, "ERROR: Cannot parse " + in + "\n", 0, "cut " + std::to_string(cut));
    } else if (records == 0) {
      expect_outcome(got, 3, "ERROR: No triangles in " + in + "\n", 0,
                     "cut " + std::to_string(cut));
    } else {
      expect_outcome(got, 0, "", records, "cut " + std::to_string(cut));
    }
    EXPECT_EQ(file_exists(png), got.exit_code == 0) << cut;
    unlink(png.c_str());
  }
}

TEST(HostileStl, AsciiCutAtEveryByte) {
  REQUIRE("facetshot");
  TempDir dir;
  std::string whole =
      "solid cut\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n"
      "   vertex 0 1 0\n  endloop\n endfacet\n facet normal 0 0 1\n  outer loop\n"
      "   vertex 0 0 1\n   vertex 1 0 1\n   vertex 0 1 1\n  endloop\n endfacet\nendsolid cut\n";
  std::string old_mac = whole;  // CR line ends
  for (char& c : old_mac) c = c == '\n' ? '\r' : c;
  for (const bool cr : {false, true}) {
    const std::string& text = cr ? old_mac : whole;
    for (size_t cut = 0; cut <= text.size(); cut++) {
      const std::string in = dir.file("cut.stl");
      const std::string part = text.substr(0, cut);
      write_file(in, part);
      // Under 84 bytes a file counts as binary and has no complete header.
      int facets = 0;
      for (size_t at = part.find("endfacet"); at != std::string::npos;
           at = part.find("endfacet", at + 1))
        facets++;
      Outcome got = run_file("facetshot", in, dir.file("cut.png"));
      const std::string what = "cut " + std::to_string(cut) + (cr ? " CR" : " LF");
      if (cut < 84) {
        expect_outcome(got, 2, "ERROR: Cannot parse " + in + "\n", 0, what);
      } else if (facets == 0) {
        expect_outcome(got, 3, "ERROR: No triangles in " + in + "\n", 0, what);
      } else {
        expect_outcome(got, 0, "", facets, what);
      }
    }
  }
}

TEST(HostileStl, DeclaredCountFarBeyondTheBody) {
  REQUIRE("facetshot");
  TempDir dir;
  std::string stl = binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 0, 1, 1, 0, 1, 0, 1, 1}});
  std::string declared = stl;
  declared.replace(80, 4, std::string("\x80\xF0\xFA\x02", 4));  // 50,000,000
  write_file(dir.file("fifty.stl"), declared);
  expect_outcome(run_file("facetshot", dir.file("fifty.stl"), dir.file("a.png")), 0, "", 2,
                 "50,000,000 declared");
  // The two records present are all that is held: no block for the promise.
  if (native()) {
    int code = 0;
    long kib = run_peak_kib(program_path("facetshot"), {dir.file("fifty.stl"), dir.file("a.png")},
                            "", &code);
    EXPECT_EQ(code, 0);
    EXPECT_LT(kib, 64 * 1024) << "peak " << kib << " KiB";
  }
  declared.replace(80, 4, std::string("\x81\xF0\xFA\x02", 4));  // 50,000,001
  write_file(dir.file("over.stl"), declared);
  expect_outcome(run_file("facetshot", dir.file("over.stl"), dir.file("b.png")), 2,
                 "ERROR: Cannot parse " + dir.file("over.stl") + "\n", 0, "over the cap");
  EXPECT_FALSE(file_exists(dir.file("b.png")));
}

TEST(HostileStl, RawStreamDeclaringMoreThanItHolds) {
  REQUIRE("facetshot");
  TempDir dir;
  std::string stream;
  put_u32(&stream, 50000000);
  for (float v : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 5.f}) put_f32(&stream, v);
  RunResult r =
      run_program(program_path("facetshot"), {"--stdin", dir.file("s.png"), "32"}, stream);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ok_triangles(r.err), 1);
}

TEST(HostileInput, TinyFilesAndFolders) {
  REQUIRE("facetshot");
  REQUIRE("vertexshot");
  REQUIRE("packshot");
  TempDir dir;
  write_file(dir.file("one"), "v");
  mkdir(dir.file("folder").c_str(), 0755);
  const std::string png = dir.file("x.png");
  expect_outcome(run_file("facetshot", dir.file("one"), png), 2,
                 "ERROR: Cannot parse " + dir.file("one") + "\n", 0, "STL of 1 byte");
  expect_outcome(run_file("vertexshot", dir.file("one"), png), 3,
                 "ERROR: No triangles in " + dir.file("one") + "\n", 0, "OBJ of 1 byte");
  expect_outcome(run_file("facetshot", dir.file("folder"), png), 2,
                 "ERROR: Cannot parse " + dir.file("folder") + "\n", 0, "STL folder");
  expect_outcome(run_file("vertexshot", dir.file("folder"), png), 2,
                 "ERROR: Cannot parse " + dir.file("folder") + "\n", 0, "OBJ folder");
  for (const std::string& input : {std::string(), std::string("P"), std::string("PK")}) {
    RunResult r = render_3mf(input, png);
    EXPECT_EQ(r.exit_code, 3) << input.size();
    EXPECT_EQ(r.err, kNoMesh) << input.size();
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(file_exists(png));
}

TEST(HostileInput, OutputsThatCannotBeWritten) {
  REQUIRE("facetshot");
  REQUIRE("vertexshot");
  TempDir dir;
  write_file(dir.file("t.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  write_file(dir.file("t.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  std::vector<std::string> outputs = {dir.file("missing/x.png"), dir.file("")};
  if (geteuid() != 0) {
    write_file(dir.file("locked.png"), "keep");
    chmod(dir.file("locked.png").c_str(), 0444);
    outputs.push_back(dir.file("locked.png"));
  } else if (file_exists("/proc/version")) {
    outputs.push_back("/proc/version");  // root writes read-only files, but not this one
  }
  for (const std::string& out : outputs) {
    for (const char* program : {"facetshot", "vertexshot"}) {
      const std::string in = dir.file(program[0] == 'f' ? "t.stl" : "t.obj");
      expect_outcome(run_file(program, in, out), 2, "ERROR: Cannot write PNG: " + out + "\n", 0,
                     std::string(program) + " to " + out);
    }
  }
  EXPECT_FALSE(file_exists(dir.file("missing")));
  if (geteuid() != 0) {
    EXPECT_EQ(read_file(dir.file("locked.png")), "keep");
  }
}

TEST(HostileObj, CutAtEveryByte) {
  REQUIRE("vertexshot");
  TempDir dir;
  const std::string whole = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  const size_t face_end = whole.find("f 1 2 3") + 7;
  // The same text in UTF-16LE: cuts fall inside code units too.
  std::string wide = "\xFF\xFE";
  for (char c : whole) wide += std::string(1, c) + '\0';
  for (const bool utf16 : {false, true}) {
    const std::string& text = utf16 ? wide : whole;
    const size_t complete = utf16 ? 2 + 2 * face_end : face_end;
    for (size_t cut = 0; cut <= text.size(); cut++) {
      const std::string in = dir.file("cut.obj");
      write_file(in, text.substr(0, cut));
      Outcome got = run_file("vertexshot", in, dir.file("cut.png"));
      const std::string what = "cut " + std::to_string(cut) + (utf16 ? " UTF-16" : "");
      if (cut >= complete) {
        expect_outcome(got, 0, "", 1, what);
      } else {
        expect_outcome(got, 3, "ERROR: No triangles in " + in + "\n", 0, what);
      }
    }
  }
}

TEST(HostileObj, TenMillionIndicesOnOneLine) {
  REQUIRE("vertexshot");
  TempDir dir;
  std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf ";
  obj.reserve(20000100);
  for (int i = 0; i < 10000000; i++) obj += "123"[i % 3], obj += ' ';
  obj += "\nf 1 2 3\n";
  write_file(dir.file("long.obj"), obj);
  // A face keeps its first 64 indices (62 fan triangles); the rest of the
  // line is read in pieces that are not faces; then the last face.
  expect_outcome(run_file("vertexshot", dir.file("long.obj"), dir.file("long.png")), 0, "", 63,
                 "10,000,000 indices");
}

TEST(Hostile3mf, PackageCutAtEveryRecord) {
  REQUIRE("packshot");
  TempDir dir;
  const std::string zip = zip_package("3D/3dmodel.model", kTriangleXml);
  const size_t data_end = 30 + 16 + sizeof kTriangleXml - 1;
  for (size_t cut : {4ul, 20ul, 30ul, 46ul, 100ul, data_end, data_end + 20, data_end + 62,
                     zip.size() - 10, zip.size() - 1}) {
    RunResult r = render_3mf(zip.substr(0, cut), dir.file("p.png"));
    EXPECT_EQ(r.exit_code, 3) << cut;
    EXPECT_EQ(r.err, kNoEntry) << cut;
    EXPECT_EQ(r.out, "") << cut;
  }
  RunResult whole = render_3mf(zip, dir.file("p.png"));
  EXPECT_EQ(whole.exit_code, 0) << whole.err;
  // The tag ends at the first '>', so a quoted '>' cuts the name there.
  EXPECT_EQ(json_field(whole.out, "objects"),
            "[{\"name\":\"a\",\"triangle_count\":1,\"vertex_count\":3}]");
}

TEST(Hostile3mf, ModelXmlCutInsideElements) {
  REQUIRE("packshot");
  TempDir dir;
  const std::string xml = kTriangleXml;
  struct Case {
    std::string cut_before;  // the document ends just before this text
    int exit_code;
  };
  for (const Case& c : std::vector<Case>{{"y=\"1\" z", 3},
                                         {"</triangles>", 3},
                                         {"</object>", 3},
                                         {"ject>", 3},
                                         // "</object>" must start before the last 9 bytes
                                         {"</resources>", 3},
                                         {"<build>", 0},
                                         {"objectid=\"1\"/>", 0},
                                         {"\"1\"/></build>", 0},
                                         {"/></build>", 0},
                                         {"</model>", 0}}) {
    const std::string part = xml.substr(0, xml.find(c.cut_before));
    RunResult r = render_3mf(part, dir.file("x.png"));
    EXPECT_EQ(r.exit_code, c.exit_code) << c.cut_before << "\n" << r.err;
    if (c.exit_code == 0) {
      EXPECT_EQ(json_field(r.out, "triangle_count"), "1") << c.cut_before;
    } else {
      EXPECT_EQ(r.err, kNoMesh) << c.cut_before;
    }
  }
  // A quoted '>' inside a number ends the vertex tag early: that vertex lacks
  // z and is dropped, so the triangle points past the vertices.
  std::string broken = xml;
  broken.replace(broken.find("x=\"1\" y=\"0\""), 11, "x=\"1\" y=\"0>\"");
  RunResult r = render_3mf(broken, dir.file("x.png"));
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.err, kNoMesh);
}

TEST(Hostile3mf, BombsAndBrokenStreams) {
  REQUIRE("packshot");
  TempDir dir;
  const std::string png = dir.file("b.png");
  // An honest bomb: 64 MiB of blanks behind a valid model, about 1000:1.
  std::string padded = kTriangleXml;
  padded.append(64u << 20, ' ');
  const std::string deflated = raw_deflate(padded, 9);
  RunResult honest = render_3mf(zip_package("3D/3dmodel.model", deflated, 8, padded.size()), png);
  EXPECT_EQ(honest.exit_code, 0) << honest.err;
  EXPECT_EQ(json_field(honest.out, "triangle_count"), "1");
  // The same stream claiming 1000 bytes: it does not fit, so the entry is
  // unreadable and nothing beyond the claim is ever produced.
  RunResult lying = render_3mf(zip_package("3D/3dmodel.model", deflated, 8, 1000), png);
  EXPECT_EQ(lying.exit_code, 3);
  EXPECT_EQ(lying.err, kNoEntry);
  // A corrupt stream: a block type that does not exist.
  std::string corrupt = raw_deflate(kTriangleXml, 9);
  corrupt[0] = static_cast<char>(0x07);
  RunResult bad =
      render_3mf(zip_package("3D/3dmodel.model", corrupt, 8, sizeof kTriangleXml - 1), png);
  EXPECT_EQ(bad.exit_code, 3);
  EXPECT_EQ(bad.err, kNoEntry);
  // A stream that stops half way.
  RunResult cut = render_3mf(
      zip_package("3D/3dmodel.model", deflated.substr(0, deflated.size() / 2), 8, padded.size()),
      png);
  EXPECT_EQ(cut.exit_code, 3);
  EXPECT_EQ(cut.err, kNoEntry);
}

TEST(Hostile3mf, CyclesWarnOncePerReference) {
  REQUIRE("packshot");
  TempDir dir;
  const std::string mesh =
      "<mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/><vertex "
      "x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/>"
      "</triangles></mesh>";
  // Object 2 names itself 31 times and object 1 once: fan-out over a cycle.
  std::string components;
  for (int i = 0; i < 31; i++) components += "<component objectid=\"2\"/>";
  components += "<component objectid=\"1\"/>";
  const std::string xml = "<model><resources><object id=\"1\">" + mesh +
                          "</object><object id=\"2\"><components>" + components +
                          "</components></object></resources><build><item objectid=\"2\"/>"
                          "</build></model>";
  RunResult r = render_3mf(xml, dir.file("c.png"));
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 300);
  std::vector<std::string> lines = split_lines(r.err);
  int depth = 0, limit = 0;
  for (const std::string& line : lines) {
    depth += line == "WARNING: 3MF component depth limit reached (cycle?)";
    limit += line == "WARNING: 3MF instance limit reached";
  }
  EXPECT_EQ(depth, 32);  // one per component reference
  EXPECT_EQ(limit, 1);
  EXPECT_EQ(lines.size(), 34u);  // and the timing line
}

TEST(Hostile3mf, BrokenRelationshipsZip64AndModelParts) {
  REQUIRE("packshot");
  TempDir dir;
  const std::string png = dir.file("m.png");
  const std::string model_type = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";
  const std::string good_rel =
      "<Relationships><Relationship Type=\"" + model_type + "\" Target=\"/3D/m.model\"/>";
  // A root whose one object the build places, and items naming other parts.
  auto root_naming = [](const std::string& items) {
    std::string xml = kTriangleXml;
    xml.insert(xml.find("</build>"), items);
    return xml;
  };
  std::string many;
  for (int i = 0; i < 2000; i++) {
    many += "<item objectid=\"1\" p:path=\"/3D/missing" + std::to_string(i) + ".model\"/>";
  }
  const std::string bomb = raw_deflate(std::string(1 << 20, ' '), 9);
  const std::string cycle =
      "<model><resources><object id=\"1\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/>"
      "<vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles>"
      "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh><components><component "
      "objectid=\"1\" p:path=\"/3D/3DMODEL.model\"/></components></object></resources><build>"
      "<item objectid=\"1\"/></build></model>";
  struct Case {
    const char* what;
    std::string input;
    int exit_code;
    int warnings;  // lines before the closing line, or the error line
  } cases[] = {
      {"relationship tag without its end",
       zip_archive({{"_rels/.rels", good_rel.substr(0, good_rel.size() - 2)},
                    {"3D/m.model", kTriangleXml}}),
       3, 0},
      {"relationship with an empty target",
       zip_archive({{"_rels/.rels", "<Relationship Type=\"" + model_type + "\" Target=\"\"/>"},
                    {"3D/m.model", kTriangleXml}}),
       3, 0},
      {"2000 parts that are missing", root_naming(many), 0, 2000},
      {"a part that is a lie",
       zip_archive(
           {{"3D/3dmodel.model", root_naming("<item objectid=\"1\" p:path=\"/3D/b.model\"/>")},
            {"3D/b.model", bomb, 8, 1 << 30}}),
       0, 1},
      {"a part cut inside its object",
       zip_archive(
           {{"3D/3dmodel.model", root_naming("<item objectid=\"1\" p:path=\"/3D/c.model\"/>")},
            {"3D/c.model", std::string(kTriangleXml).substr(0, 200)}}),
       0, 1},
      {"a component naming its own part", zip_archive({{"3D/3dmodel.model", cycle}}), 0, 1},
  };
  for (const Case& c : cases) {
    RunResult r = render_3mf(c.input, png);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << r.err.substr(0, 500);
    const std::vector<std::string> lines = split_lines(r.err);
    if (c.exit_code == 0) {
      EXPECT_EQ(lines.size(), static_cast<size_t>(c.warnings) + 1) << c.what;
      EXPECT_EQ(json_field(r.out, "object_count"), "1") << c.what;
    } else {
      EXPECT_EQ(r.err, kNoEntry) << c.what;
      EXPECT_EQ(r.out, "") << c.what;
    }
  }
}

TEST(HostileNumbers, NonFiniteCoordinatesInEveryFormat) {
  REQUIRE("facetshot");
  REQUIRE("vertexshot");
  REQUIRE("packshot");
  TempDir dir;
  write_file(dir.file("a.stl"),
             "solid nan\n facet normal 0 0 1\n  outer loop\n   vertex nan inf -inf\n"
             "   vertex 1e39 0 0\n   vertex 0 1 0\n  endloop\n endfacet\n facet normal 0 0 1\n"
             "  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n   vertex 0 1 0\n  endloop\n"
             " endfacet\nendsolid nan\n");
  write_file(
      dir.file("n.obj"),
      "v nan 0 0\nv 0 inf 0\nv 0 0 -infinity\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 4 5 6\n");
  std::string stream;
  put_u32(&stream, 2);
  for (float v : {NAN, INFINITY, -INFINITY, 3e38f, -3e38f, 1e-45f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f,
                  1.f, 0.f, 0.f, 0.f, 1.f, 0.f})
    put_f32(&stream, v);
  const std::string xml =
      "<model><resources><object id=\"1\"><mesh><vertices><vertex x=\"1e39\" y=\"-1e39\" "
      "z=\"nan\"/><vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices>"
      "<triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh></object></resources>"
      "<build><item objectid=\"1\" transform=\"1e39 0 0 0 1 0 0 0 1 0 0 0\"/></build></model>";
  std::vector<RunResult> runs = {
      run_program(program_path("facetshot"),
                  {dir.file("a.stl"), dir.file("a.png"), "32", "--info"}),
      run_program(program_path("vertexshot"),
                  {dir.file("n.obj"), dir.file("n.png"), "32", "--info"}),
      run_program(program_path("facetshot"), {"--stdin", dir.file("s.png"), "32"}, stream),
      run_program(program_path("packshot"), {"--render-3mf", dir.file("x.png"), "32"}, xml)};
  for (size_t i = 0; i < runs.size(); i++) {
    EXPECT_EQ(runs[i].exit_code, 0) << i << ": " << runs[i].err;
    // Every JSON line on standard output is valid JSON (null for non-finite).
    for (const std::string& line : split_lines(runs[i].out)) {
      if (line.empty() || line[0] != '{') continue;
      std::string error;
      EXPECT_TRUE(json_is_valid(line, &error)) << i << ": " << error << "\n" << line;
    }
  }
  for (const char* png : {"a.png", "n.png", "s.png", "x.png"}) {
    Image image = decode_png(dir.file(png));
    EXPECT_EQ(image.width, 32) << png;
    EXPECT_EQ(image.height, 32) << png;
  }
}
