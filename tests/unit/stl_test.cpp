// STL flavour test and readers, raw triangle stream.
#include "stl.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "rawstream.h"
#include "support/run.h"

namespace {

// Binary STL with the given header start, declared count and records; each
// record is the triangle (i,0,0) (i+1,0,0) (i,1,0) with normal (0,0,i).
std::string binary_stl(const std::string& header, uint32_t declared, int records) {
  std::string s = header;
  s.resize(80, ' ');
  put_u32(&s, declared);
  for (int i = 0; i < records; i++) {
    const float f[12] = {0,
                         0,
                         static_cast<float>(i),
                         static_cast<float>(i),
                         0,
                         0,
                         static_cast<float>(i + 1),
                         0,
                         0,
                         static_cast<float>(i),
                         1,
                         0};
    for (float v : f) put_f32(&s, v);
    s.append(2, '\0');
  }
  return s;
}

struct Parsed {
  int rc;
  Model model;
};

// Bit for bit: the same triangles, counts, flavour and box.
void expect_same_model(const Parsed& a, const Parsed& b, const std::string& what) {
  EXPECT_EQ(a.rc, b.rc) << what;
  ASSERT_EQ(a.model.count, b.model.count) << what;
  EXPECT_EQ(a.model.source_count, b.model.source_count) << what;
  EXPECT_EQ(a.model.is_binary, b.model.is_binary) << what;
  EXPECT_EQ(memcmp(a.model.min, b.model.min, sizeof a.model.min), 0) << what;
  EXPECT_EQ(memcmp(a.model.max, b.model.max, sizeof a.model.max), 0) << what;
  if (a.model.count > 0) {
    EXPECT_EQ(memcmp(a.model.triangles, b.model.triangles, sizeof(Triangle) * a.model.count), 0)
        << what;
  }
}

using PathReader = int (*)(const char*, Model*);
using BytesReader = int (*)(const uint8_t*, size_t, Model*);

// Reads the content through a file and from memory; both must agree.
Parsed parse_text(const TempDir& dir, const std::string& content, PathReader reader = parse_stl,
                  BytesReader bytes_reader = parse_stl_bytes) {
  std::string path = dir.file("m.stl");
  write_file(path, content);
  Parsed p;
  EXPECT_EQ(model_init(&p.model), 0);
  p.rc = reader(path.c_str(), &p.model);
  Parsed m;
  EXPECT_EQ(model_init(&m.model), 0);
  m.rc = bytes_reader(reinterpret_cast<const uint8_t*>(content.data()), content.size(), &m.model);
  expect_same_model(p, m, "from memory");
  model_free(&m.model);
  return p;
}

const char* kFacet =
    "facet normal 0 0 1\n outer loop\n  vertex 0 0 0\n  vertex 1 0 0\n  vertex 0 1 0\n"
    " endloop\nendfacet\n";

}  // namespace

TEST(StlFlavour, Cases) {
  TempDir dir;
  std::string ascii = std::string("solid x\n") + kFacet + "endsolid x\n";
  std::string upper = "solid x\nFACET NORMAL 0 0 1\nOUTER LOOP\nVERTEX 0 0 0\nENDFACET\nendsolid\n";
  upper.resize(120, ' ');
  std::string upper_all = upper;
  upper_all.replace(0, 5, "SOLID");
  // A binary file whose header reads like text must stay binary when its
  // size fits its count, however much of it looks like STL text.
  std::string text_header = binary_stl("SOLID x\nfacet normal 0 0 1\nvertex 0 0 0", 2, 2);
  std::string blank_solid = " solid x\r\n  facet normal 0 0 1\r\n" + std::string(100, ' ');
  std::string solid_binary = binary_stl("solid but binary", 2, 2);
  std::string solid_wrong_size = binary_stl("solid but binary", 5, 2);
  std::string plain_wrong_size = binary_stl("plain", 5, 2);
  std::string near_size = binary_stl("solid", 2, 2) + "xy";  // two bytes over: still binary
  struct Row {
    const char* name;
    std::string content;
    int binary;
  } rows[] = {
      {"ascii", ascii, 0},
      {"upper-case keywords after lower-case solid", upper, 0},
      {"solid header with exact binary size", solid_binary, 1},
      {"solid header with the wrong size", solid_wrong_size, 0},
      {"other header with the wrong size", plain_wrong_size, 1},
      {"size within two bytes", near_size, 1},
      {"shorter than 84 bytes", "solid x\n", 1},
      {"upper-case SOLID with a facet line", upper_all, 0},
      {"blanks and CR LF before solid", "\r\n\t" + blank_solid, 0},
      {"CR-only lines", " SOLID x\r FACET NORMAL 0 0 1\r" + std::string(100, ' '), 0},
      {"text header, exact binary size", text_header, 1},
      {"text header, wrong size", text_header + "zzz", 0},
      {"upper-case SOLID without a facet line", binary_stl("SOLID x facet normal", 5, 2), 1},
      {"facet line after a NUL",
       " solid x" + std::string(1, '\0') + "\nfacet normal" + std::string(100, ' '), 1},
      {"facet line beyond 1023 bytes",
       " solid x" + std::string(1020, ' ') + "\nfacet normal 0 0 1\n", 1},
      {"no blank between the keywords", " solid x\nfacetnormal 0 0 1\n" + std::string(90, ' '), 1},
      {"facet normal on the solid line", " SOLID facet normal 0 0 1\n" + std::string(90, ' '), 1},
  };
  for (const Row& row : rows) {
    std::string path = dir.file("f.stl");
    write_file(path, row.content);
    EXPECT_EQ(is_binary_stl(path.c_str()), row.binary) << row.name;
    EXPECT_EQ(is_binary_stl_bytes(reinterpret_cast<const uint8_t*>(row.content.data()),
                                  row.content.size()),
              row.binary)
        << row.name;
  }
  EXPECT_EQ(is_binary_stl(dir.file("missing.stl").c_str()), 1);
  EXPECT_EQ(is_binary_stl_bytes(nullptr, 0), 1);
}

TEST(StlBinary, ReadsRecordsBitForBitWithBox) {
  TempDir dir;
  std::string data = binary_stl("x", 3, 3);
  const uint32_t nan_bits = 0x7fc01234u;  // a NaN with a payload survives the copy
  memcpy(&data[84 + 50 * 2 + 12], &nan_bits, 4);
  Parsed p = parse_text(dir, data);
  ASSERT_EQ(p.rc, 0);
  ASSERT_EQ(p.model.count, 3);
  EXPECT_EQ(p.model.is_binary, 1);
  EXPECT_EQ(p.model.source_count, 3);
  EXPECT_EQ(p.model.triangles[1].normal[2], 1.0f);
  EXPECT_EQ(p.model.triangles[1].vertices[1][0], 2.0f);
  uint32_t bits;
  memcpy(&bits, &p.model.triangles[2].vertices[0][0], 4);
  EXPECT_EQ(bits, nan_bits);
  EXPECT_EQ(p.model.min[0], 0.0f);  // the NaN left the box alone
  EXPECT_EQ(p.model.max[0], 3.0f);
  EXPECT_EQ(p.model.max[1], 1.0f);
  model_free(&p.model);
}

TEST(StlBinary, TruncatedBodyKeepsWholeRecords) {
  TempDir dir;
  // Declares 3, holds two records and 20 bytes of a third.
  Parsed p = parse_text(dir, binary_stl("x", 3, 2) + std::string(20, '\0'), parse_stl_binary,
                        parse_stl_binary_bytes);
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.model.count, 2);
  EXPECT_EQ(p.model.source_count, 2);
  model_free(&p.model);
  // 100 bytes declaring 3: 16 body bytes, no whole record.
  Parsed q = parse_text(dir, binary_stl("x", 3, 0) + std::string(16, '\0'), parse_stl_binary,
                        parse_stl_binary_bytes);
  EXPECT_EQ(q.rc, 0);
  EXPECT_EQ(q.model.count, 0);
  model_free(&q.model);
}

TEST(StlBinary, RefusesShortHeaderAndHugeCounts) {
  TempDir dir;
  Parsed a = parse_text(dir, std::string(83, 'x'), parse_stl_binary, parse_stl_binary_bytes);
  EXPECT_EQ(a.rc, -1);
  model_free(&a.model);
  Parsed b =
      parse_text(dir, binary_stl("x", 50000001, 1), parse_stl_binary, parse_stl_binary_bytes);
  EXPECT_EQ(b.rc, -1);
  EXPECT_EQ(b.model.count, 0);
  model_free(&b.model);
  Parsed c = parse_text(dir, binary_stl("x", 0, 0), parse_stl_binary, parse_stl_binary_bytes);
  EXPECT_EQ(c.rc, 0);
  EXPECT_EQ(c.model.is_binary, 0);  // an empty file leaves the model untouched
  model_free(&c.model);
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  EXPECT_EQ(parse_stl_binary(dir.file("missing").c_str(), &m), -1);
  EXPECT_EQ(parse_stl_ascii(dir.file("missing").c_str(), &m), -1);
  model_free(&m);
}

TEST(StlAscii, FacetRules) {
  TempDir dir;
  struct Row {
    const char* name;
    std::string text;
    int count;
  } rows[] = {
      {"one facet", std::string("solid a\n") + kFacet + "endsolid a\n", 1},
      {"fourth vertex ignored",
       "solid\nfacet normal 0 0 1\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nvertex 9 9 9\n"
       "endfacet\n",
       1},
      {"two endfacets append twice", std::string(kFacet) + "endfacet\n", 2},
      {"incomplete facet", "solid\nfacet normal 0 0 1\nvertex 0 0 0\nendfacet\n", 0},
      {"upper-case keywords",
       "SOLID\nFACET NORMAL 0 0 1\nVERTEX 0 0 0\nVERTEX 1 0 0\n"
       "VERTEX 0 1 0\nENDFACET\n",
       1},
      {"mixed case", "Facet Normal 0 0 1\nVerTex 0 0 0\nvErtex 1 0 0\nVERTEX 0 1 0\nEndFacet\n", 1},
      {"one blank between facet and normal", "FACET  NORMAL 0 0 1\nVERTEX 0 0 0\nENDFACET\n", 0},
      {"vertices before any facet line", "vertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendfacet\n", 1},
      {"tabs and spaces before keywords",
       "\t facet normal 0 0 1\n\tvertex 0 0 0\n  vertex 1 0 0\n \tvertex 0 1 0\n\t endfacet\n", 1},
      {"other indentation does not match", "facet normal 0 0 1\nxvertex 0 0 0\n", 0},
      {"CRLF lines",
       "facet normal 0 0 1\r\nvertex 0 0 0\r\nvertex 1 0 0\r\nvertex 0 1 0\r\n"
       "endfacet\r\n",
       1},
      {"CR-only lines",
       "solid\rfacet normal 0 0 1\rvertex 0 0 0\rvertex 1 0 0\rvertex 0 1 0\rendfacet\r"
       "facet normal 0 0 1\rvertex 0 0 0\rvertex 1 0 0\rvertex 0 1 0\rendfacet\rendsolid\r",
       2},
      {"Ctrl-Z ends the file", std::string(kFacet) + "\x1A" + kFacet + kFacet, 1},
      {"NUL ends what a line says, not the line",
       std::string("facet normal 0 0 1\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\0\0x\nendfacet\n",
                   69),
       1},
  };
  for (const Row& row : rows) {
    Parsed p = parse_text(dir, row.text, parse_stl_ascii, parse_stl_ascii_bytes);
    EXPECT_EQ(p.rc, 0) << row.name;
    EXPECT_EQ(p.model.count, row.count) << row.name;
    EXPECT_EQ(p.model.source_count, row.count) << row.name;
    EXPECT_EQ(p.model.is_binary, 0) << row.name;
    model_free(&p.model);
  }
}

TEST(StlAscii, MissingNumbersKeepPreviousValues) {
  TempDir dir;
  Parsed p = parse_text(dir,
                        "facet normal 1 2 3\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendfacet\n"
                        "facet normal\nvertex 5 5\nvertex\nvertex 7 7 7\nendfacet\n",
                        parse_stl_ascii, parse_stl_ascii_bytes);
  ASSERT_EQ(p.model.count, 2);
  const Triangle& t = p.model.triangles[1];
  EXPECT_EQ(t.normal[0], 1.0f);
  EXPECT_EQ(t.normal[2], 3.0f);
  EXPECT_EQ(t.vertices[0][0], 5.0f);
  EXPECT_EQ(t.vertices[0][1], 5.0f);
  EXPECT_EQ(t.vertices[0][2], 0.0f);  // the third number was missing
  EXPECT_EQ(t.vertices[1][0], 1.0f);  // no numbers: the previous facet's slot stays
  EXPECT_EQ(t.vertices[2][0], 7.0f);
  model_free(&p.model);
}

TEST(StlAscii, LongLinesAreReadInPieces) {
  TempDir dir;
  // 600 spaces, then a keyword: the second piece starts with spaces and the
  // keyword, so it still counts as a line of its own.
  std::string text = "facet normal 0 0 1\n" + std::string(600, ' ') + "vertex 1 2 3\n" +
                     "vertex 1 0 0\nvertex 0 1 0\nendfacet\n";
  Parsed p = parse_text(dir, text, parse_stl_ascii, parse_stl_ascii_bytes);
  ASSERT_EQ(p.model.count, 1);
  EXPECT_EQ(p.model.triangles[0].vertices[0][0], 1.0f);
  model_free(&p.model);
}

// Every real file reads the same from memory as through its path: flavour,
// triangles, counts and box.
TEST(StlBytes, CorpusReadsAlikeFromMemory) {
  TempDir dir;
  int files = 0;
  const std::string folder = std::string(ORRERY_CORPUS_DIR) + "/stl";
  DIR* d = opendir(folder.c_str());
  ASSERT_NE(d, nullptr) << folder;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string content = read_file(folder + "/" + e->d_name);
    Parsed p = parse_text(dir, content);
    EXPECT_EQ(is_binary_stl(dir.file("m.stl").c_str()),
              is_binary_stl_bytes(reinterpret_cast<const uint8_t*>(content.data()), content.size()))
        << e->d_name;
    model_free(&p.model);
    files++;
  }
  closedir(d);
  EXPECT_GE(files, 20);
}

namespace {

struct RawRead {
  RawStreamResult result;
  Model model;
};

RawRead read_raw(const std::string& bytes) {
  TempDir dir;
  std::string path = dir.file("raw");
  write_file(path, bytes);
  FILE* f = fopen(path.c_str(), "rb");
  RawRead r;
  EXPECT_EQ(model_init(&r.model), 0);
  r.result = read_raw_triangles(f, &r.model);
  fclose(f);
  return r;
}

}  // namespace

TEST(RawStream, ReadsTrianglesWithUnitNormals) {
  std::string s;
  put_u32(&s, 2);
  for (float v : {0.f, 0.f, 0.f, 2.f, 0.f, 0.f, 0.f, 2.f, 0.f}) put_f32(&s, v);
  for (float v : {1.f, 1.f, 1.f, 1.f, 1.f, 1.f, 1.f, 1.f, 1.f}) put_f32(&s, v);
  s += "tail";
  RawRead r = read_raw(s);
  ASSERT_EQ(r.result, kRawStreamOk);
  ASSERT_EQ(r.model.count, 2);
  EXPECT_EQ(r.model.source_count, 2);
  EXPECT_EQ(r.model.triangles[0].normal[2], 1.0f);
  EXPECT_EQ(r.model.triangles[1].normal[0], 0.0f);  // degenerate: zero normal, still stored
  model_free(&r.model);
}

TEST(RawStream, ShortAndOutOfRangeStreams) {
  struct Row {
    const char* name;
    uint32_t count;
    int body_bytes;
    bool has_count;
    RawStreamResult result;
    int triangles;
  } rows[] = {
      {"empty stream", 0, 0, false, kRawStreamCannotParse, 0},
      {"count 0", 0, 0, true, kRawStreamNoTriangles, 0},
      {"count 3, no body", 3, 0, true, kRawStreamNoTriangles, 0},
      {"count 2, 40 bytes", 2, 40, true, kRawStreamOk, 1},
      {"count above the limit", 50000001, 36, true, kRawStreamCannotParse, 0},
  };
  for (const Row& row : rows) {
    std::string s;
    if (row.has_count) put_u32(&s, row.count);
    for (int i = 0; i < row.body_bytes / 4; i++) put_f32(&s, static_cast<float>(i % 3));
    RawRead r = read_raw(s);
    EXPECT_EQ(r.result, row.result) << row.name;
    EXPECT_EQ(r.model.count, row.triangles) << row.name;
    model_free(&r.model);
  }
}
