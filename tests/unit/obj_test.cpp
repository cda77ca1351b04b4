// OBJ reader: "%f" scanning against the C library, face rules, line pieces,
// and the run-time light directions.
#include "obj.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "raster.h"
#include "runtime_lighting.h"
#include "support/run.h"

namespace {

uint32_t bits_of(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof b);
  return b;
}

struct Parsed {
  int rc = -1;
  Model model{};
  std::vector<std::array<int, 3>> fans;  // 1-based numbers of kGrid vertices
};

// Distinct positions, so each stored corner maps back to one vertex number.
const float kGrid[][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                          {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
const char kGridText[] = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n";

int grid_number(const float p[3]) {
  for (int i = 0; i < 8; i++) {
    if (p[0] == kGrid[i][0] && p[1] == kGrid[i][1] && p[2] == kGrid[i][2]) return i + 1;
  }
  return 0;
}

// Reads the text through a file and from memory; both must agree bit for bit.
Parsed parse_text(const std::string& text) {
  TempDir dir;
  std::string path = dir.file("m.obj");
  write_file(path, text);
  Parsed p;
  p.rc = parse_obj(path.c_str(), &p.model);
  Model m{};
  EXPECT_EQ(parse_obj_bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &m), p.rc);
  if (p.rc == 0) {
    EXPECT_EQ(m.count, p.model.count);
    EXPECT_EQ(m.source_count, p.model.source_count);
    EXPECT_EQ(memcmp(m.min, p.model.min, sizeof m.min), 0);
    EXPECT_EQ(memcmp(m.max, p.model.max, sizeof m.max), 0);
    if (m.count == p.model.count && m.count > 0) {
      EXPECT_EQ(memcmp(m.triangles, p.model.triangles, sizeof(Triangle) * m.count), 0);
    }
    model_free(&m);
  }
  if (p.rc == 0) {
    for (int t = 0; t < p.model.count; t++) {
      const Triangle& tri = p.model.triangles[t];
      p.fans.push_back({grid_number(tri.vertices[0]), grid_number(tri.vertices[1]),
                        grid_number(tri.vertices[2])});
    }
  }
  return p;
}

using Fans = std::vector<std::array<int, 3>>;

TEST(ObjParse, FaceRules) {
  // 70 indices cycling through the eight vertices: the fan of the first 64.
  std::string faces_70 = "f";
  Fans fans_64;
  for (int i = 0; i < 70; i++) faces_70 += " " + std::to_string(i % 8 + 1);
  for (int k = 1; k <= 62; k++) fans_64.push_back({1, k % 8 + 1, (k + 1) % 8 + 1});
  struct Row {
    const char* name;
    std::string text;
    Fans fans;
    int vertices;
  } rows[] = {
      {"plain", std::string(kGridText) + "f 1 2 3\n", {{1, 2, 3}}, 8},
      {"relative", std::string(kGridText) + "f -8 -7 -6\n", {{1, 2, 3}}, 8},
      {"v/vt/vn tokens", std::string(kGridText) + "f 1/1/1 2/2/2 3/3/3\n", {{1, 2, 3}}, 8},
      {"v//vn tokens", std::string(kGridText) + "f 1//1 2//2 3//3\n", {{1, 2, 3}}, 8},
      {"trailing slash", std::string(kGridText) + "f 1/1/ 2/2/ 3/3/\n", {{1, 2, 3}}, 8},
      {"quad fans from the first",
       std::string(kGridText) + "f 1 2 3 4\n",
       {{1, 2, 3}, {1, 3, 4}},
       8},
      {"out of range drops its fans",
       "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 9 4\n",
       {{1, 2, 3}},
       4},
      {"face before its vertices", "f 1 2 3\n" + std::string(kGridText), {}, 8},
      {"zero is not counted", std::string(kGridText) + "f 0 1 2 3\n", {{1, 2, 3}}, 8},
      {"trailing comment", std::string(kGridText) + "f 1 2 3 # note\n", {{1, 2, 3}}, 8},
      {"70 indices use 64", std::string(kGridText) + faces_70 + "\n", fans_64, 8},
      {"leading blanks and tab separator",
       std::string(kGridText) + " \t f\t1\t2  3\n",
       {{1, 2, 3}},
       8},
      {"relative before the first vertex, first", std::string(kGridText) + "f -9 1 2 3\n", {}, 8},
      {"relative before the first vertex, later",
       std::string(kGridText) + "f 1 2 -9 3 4\n",
       {{1, 3, 4}},
       8},
      {"CR ends the line", std::string(kGridText) + "f 1 2 3\r4 5\n", {{1, 2, 3}}, 8},
      {"NUL ends the line",
       std::string(kGridText) + std::string("f 1 2 3\0 4 5\n", 13),
       {{1, 2, 3}},
       8},
      {"fewer than three", std::string(kGridText) + "f 1// 2//\nf 1 2\n", {}, 8},
      // Numbers saturate like the Windows atoi; no relative index overflows.
      {"saturated first index", std::string(kGridText) + "f 99999999999 1 2 3\n", {}, 8},
      {"saturated later index", std::string(kGridText) + "f 1 2 3 99999999999\n", {{1, 2, 3}}, 8},
      {"most negative relative",
       std::string(kGridText) + "f 1 2 -99999999999 3 4\n",
       {{1, 3, 4}},
       8},
      // A token's number ends with the token, even after a vertical tab.
      {"vertical tab token", std::string(kGridText) + "f \v 1 2 3\n", {{1, 2, 3}}, 8},
      {"vertical tab before digits", std::string(kGridText) + "f \v1 2 3\n", {{1, 2, 3}}, 8},
      {"f followed by a letter", std::string(kGridText) + "fo 1 2 3\nf1 2 3\n", {}, 8},
      // Runs of 7, 8 and 9 digits, and a token cut by the end of the file.
      {"long digit runs",
       std::string(kGridText) + "f 0000001 00000002 000000003/0/0\n",
       {{1, 2, 3}},
       8},
      {"last token at the end", std::string(kGridText) + "f 1 2 3 4", {{1, 2, 3}, {1, 3, 4}}, 8},
  };
  for (Row& row : rows) {
    Parsed p = parse_text(row.text);
    ASSERT_EQ(p.rc, 0) << row.name;
    EXPECT_EQ(p.fans, row.fans) << row.name;
    EXPECT_EQ(p.model.source_count, row.vertices) << row.name;
    EXPECT_EQ(p.model.is_binary, 0) << row.name;
    model_free(&p.model);
  }
}

// UTF-16 text of an ASCII string, with its byte-order mark.
std::string utf16(const std::string& text, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) {
    out += big_endian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
  }
  return out;
}

TEST(ObjParse, VertexLines) {
  struct Row {
    const char* name;
    std::string text;
    int vertices;
  } rows[] = {
      {"tab after v", "v\t1 2 3\n", 0},
      {"vn and vt", "vn 0 0 1\nvt 0.5 0.5\nvp 1 2 3\n", 0},
      {"two numbers", "v 1 2\n", 0},
      {"w and colours ignored", "v 1 2 3 1\nv 1 2 3 0.5 0.5 0.5\n", 2},
      {"leading blanks", "  \tv 1 2 3\n", 1},
      {"byte-order mark hides the first line", "\xEF\xBB\xBFv 1 2 3\nv 4 5 6\n", 1},
      {"exponent without digits", "v 1e 2 3\n", 1},
      {"sign after a complete exponent sign", "v 1e+-5 3\n", 1},
      {"nan with chars fails", "v nan(1) 2 3\n", 0},
      {"CRLF", "v 1 2 3\r\nv 4 5 6\r\n", 2},
      {"no final newline", "v 1 2 3\nv 4 5 6", 2},
      {"UTF-16BE", utf16("v 1 2 3\r\nv 4 5 6", true), 2},
      {"UTF-16LE", utf16("# c\nv 1 2 3\n", false), 1},
      {"UTF-16 U+001A ends the file", utf16("v 1 2 3\n\x1Av 4 5 6\n", false), 1},
      {"UTF-16 with a final odd byte", utf16("v 1 2 3\n", true) + "\x76", 1},
      {"byte-order mark alone", "\xFF\xFE", 0},
      {"CR alone ends a line", "v 1 2 3\rv 4 5 6\r", 2},
      {"CR ends a vertex line early", "v 1 2\r3\n", 0},
  };
  for (Row& row : rows) {
    Parsed p = parse_text(row.text);
    ASSERT_EQ(p.rc, 0) << row.name;
    EXPECT_EQ(p.model.source_count, row.vertices) << row.name;
    EXPECT_EQ(p.model.count, 0) << row.name;
    model_free(&p.model);
  }
}

// What other tools write: UTF-16 in either order, with CR LF, CR or LF line
// ends; letters outside ASCII (a surrogate pair, a lone surrogate) in
// comments change nothing.
TEST(ObjParse, Utf16AndOldMacLineEnds) {
  const std::string box = std::string(kGridText) + "f 1 2 3 4\nf 5 6 7 8\n";
  std::string crlf, cr;
  for (char c : box) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  std::string with_letters =
      utf16("# ", false) + "\x3D\xD8\x00\xDE" + "\x00\xDC" + utf16("\n" + box, false).substr(2);
  const std::string texts[] = {utf16(box, true), utf16(crlf, false), utf16(cr, true), cr,
                               with_letters};
  for (const std::string& text : texts) {
    Parsed p = parse_text(text);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.model.source_count, 8);
    EXPECT_EQ(p.fans, (Fans{{1, 2, 3}, {1, 3, 4}, {5, 6, 7}, {5, 7, 8}}));
    model_free(&p.model);
  }
}

// Every real file reads the same from memory as through its path.
TEST(ObjParse, CorpusReadsAlikeFromMemory) {
  int files = 0;
  const std::string folder = std::string(ORRERY_CORPUS_DIR) + "/obj";
  DIR* d = opendir(folder.c_str());
  ASSERT_NE(d, nullptr) << folder;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    SCOPED_TRACE(e->d_name);
    Parsed p = parse_text(read_file(folder + "/" + e->d_name));
    EXPECT_EQ(p.rc, 0);
    model_free(&p.model);
    files++;
  }
  closedir(d);
  EXPECT_GE(files, 10);
}

TEST(ObjParse, TriangleCarriesPositionsUnitNormalAndBox) {
  Parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nv 9 9 9\nf 1 2 3\n");
  ASSERT_EQ(p.rc, 0);
  ASSERT_EQ(p.model.count, 1);
  const Triangle& t = p.model.triangles[0];
  const float expected[3][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  for (int v = 0; v < 3; v++) {
    for (int a = 0; a < 3; a++) EXPECT_EQ(t.vertices[v][a], expected[v][a]);
  }
  EXPECT_EQ(t.normal[0], 0.0f);
  EXPECT_EQ(t.normal[1], 0.0f);
  EXPECT_EQ(t.normal[2], 1.0f);
  // The unused vertex 4 counts as read but stays out of the box.
  EXPECT_EQ(p.model.source_count, 4);
  for (int a = 0; a < 3; a++) {
    EXPECT_EQ(p.model.min[a], 0.0f);
    EXPECT_EQ(p.model.max[a], a < 2 ? 1.0f : 0.0f);
  }
  model_free(&p.model);
}

TEST(ObjParse, CollinearTriangleIsStoredWithZeroNormal) {
  Parsed p = parse_text("v 0 0 0\nv 1 1 1\nv 2 2 2\nf 1 2 3\n");
  ASSERT_EQ(p.model.count, 1);
  for (int a = 0; a < 3; a++) EXPECT_EQ(p.model.triangles[0].normal[a], 0.0f);
  model_free(&p.model);
}

TEST(ObjParse, OnlyVerticesLeavesTheBoxEmpty) {
  Parsed p = parse_text("v 1 2 3\nv 4 5 6\n");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.model.count, 0);
  EXPECT_EQ(p.model.source_count, 2);
  for (int a = 0; a < 3; a++) {
    EXPECT_EQ(p.model.min[a], 3.4028235e38f);
    EXPECT_EQ(p.model.max[a], -3.4028235e38f);
  }
  model_free(&p.model);
}

TEST(ObjParse, LongLinesArriveIn1023BytePieces) {
  // A comment of exactly 1023 bytes: what follows on its line is a line of
  // its own, here a vertex.
  std::string comment = "#" + std::string(1022, 'x') + "v 0.5 0.5 0.5\n";
  // A face piece of 1023 bytes (62 fans from its first 64 indices), then a
  // piece that starts with "f ": a face of its own.
  std::string face = "f 1 2 3";
  while (face.size() < 1023) face += " 3";
  face += "f 5 6 7\n";
  // A piece that starts with a number is no face.
  std::string cut = "f 1 2 3" + std::string(1016, ' ') + "4 5 6 7\n";
  ASSERT_EQ(face.size(), 1023u + 8u);
  Parsed p = parse_text(std::string(kGridText) + comment + face + cut);
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.model.source_count, 9);
  ASSERT_EQ(p.fans.size(), 64u);
  EXPECT_EQ(p.fans[0], (std::array<int, 3>{1, 2, 3}));
  EXPECT_EQ(p.fans[61], (std::array<int, 3>{1, 3, 3}));
  EXPECT_EQ(p.fans[62], (std::array<int, 3>{5, 6, 7}));
  EXPECT_EQ(p.fans[63], (std::array<int, 3>{1, 2, 3}));
  model_free(&p.model);
}

TEST(ObjParse, CtrlZEndsTheFileAsInTextMode) {
  Parsed p = parse_text(std::string(kGridText) + "f 1 2 3\n\x1A" + "f 1 3 4\nv 1 2 3\n");
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.model.count, 1);
  EXPECT_EQ(p.model.source_count, 8);
  model_free(&p.model);
}

TEST(ObjParse, ManyVerticesAndFacesGrowBothTables) {
  std::string text;
  for (int i = 0; i < 10000; i++) text += "v " + std::to_string(i) + " 0 0\nv 0 1 0\nf -1 -2 1\n";
  Parsed p = parse_text(text);
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.model.source_count, 20000);
  ASSERT_EQ(p.model.count, 10000);
  EXPECT_EQ(p.model.triangles[9999].vertices[1][0], 9999.0f);
  EXPECT_EQ(p.model.max[0], 9999.0f);
  model_free(&p.model);
}

TEST(ObjParse, UnreadableInputFailsAndLeavesModel) {
  Model m;
  memset(&m, 0x5a, sizeof m);
  Model before = m;
  EXPECT_EQ(parse_obj("/nonexistent/folder/m.obj", &m), -1);
  EXPECT_EQ(memcmp(&m, &before, sizeof m), 0);
  // A folder opens on some systems but cannot be read: a failure, not an
  // empty model.
  TempDir dir;
  Model d;
  EXPECT_EQ(parse_obj(dir.path.c_str(), &d), -1);
  if (FILE* f = fopen(dir.path.c_str(), "rb")) {
    fclose(f);
    EXPECT_EQ(d.triangles, nullptr);
    EXPECT_EQ(d.count, 0);
  }
}

TEST(RuntimeLighting, DiffersFromTheConstantsInKeyXOnly) {
  const Lighting run = build_runtime_lighting();
  const Lighting& fixed = k_constant_lighting;
  EXPECT_EQ(bits_of(run.key[0]), bits_of(0.42562822f));
  EXPECT_EQ(bits_of(fixed.key[0]), bits_of(0.4256282f));
  EXPECT_EQ(bits_of(run.key[0]) - bits_of(fixed.key[0]), 1u);
  const float* run_rest[] = {&run.key[1], &run.key[2], run.fill, run.top_back, run.half};
  const float* fixed_rest[] = {&fixed.key[1], &fixed.key[2], fixed.fill, fixed.top_back,
                               fixed.half};
  const int lengths[] = {1, 1, 3, 3, 3};
  for (int r = 0; r < 5; r++) {
    for (int i = 0; i < lengths[r]; i++) {
      EXPECT_EQ(bits_of(run_rest[r][i]), bits_of(fixed_rest[r][i])) << r << "," << i;
    }
  }
  // The published constants, to the bit.
  const float expected[12] = {0.4256282f,  0.5958795f, 0.6810052f,  -0.71713716f,
                              0.35856858f, 0.5976143f, 0.0f,        0.83205026f,
                              -0.5547002f, 0.2321298f, 0.32498172f, 0.91678935f};
  const float* fixed_all[4] = {fixed.key, fixed.fill, fixed.top_back, fixed.half};
  for (int i = 0; i < 12; i++) EXPECT_EQ(bits_of(fixed_all[i / 3][i % 3]), bits_of(expected[i]));
}

}  // namespace
