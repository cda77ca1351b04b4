// facetshot end to end: the real program, its exit codes, messages, JSON and PNGs.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

std::string exe() {
  return program_path("facetshot");
}

#define REQUIRE_PROGRAM()                                  \
  do {                                                     \
    if (exe().empty()) GTEST_SKIP() << "facetshot absent"; \
  } while (0)

std::string raw_stream(const std::vector<std::vector<float>>& tris) {
  std::string s;
  put_u32(&s, static_cast<uint32_t>(tris.size()));
  for (const auto& t : tris) {
    for (float v : t) put_f32(&s, v);
  }
  return s;
}

// A horizontal triangle whose winding faces down, so orientation leaves it
// alone; the camera sees it from above at 35 degrees.
std::vector<float> floor_triangle() {
  return {-1, 0, -1, 2, 0, -1, -1, 0, 2};
}

std::string usage(const std::string& prog) {
  return "STL Thumbnail Renderer \xE2\x80\x94 Korvane\nUsage: " + prog +
         " input.stl output.png [size] [--info] [--max-tris N]\n       " + prog +
         " --stdin  output.png [size] [--max-tris N]\n       " + prog +
         " --batch  [size] [--max-tris N]\n\n  size           Thumbnail pixel size (default: "
         "256)\n  --info         Print JSON metadata to stdout\n  --max-tris     Max triangles "
         "for rendering (default: 500000)\n  --stdin        Read raw triangles from stdin (for "
         "3MF support)\n                 Format: uint32 count + count x 9 x float32\n  --batch  "
         "      Read input\\toutput lines from stdin, output JSON-Lines\n\nBuild with -DUSE_ZLIB "
         "and link -lz for compressed PNGs.\n";
}

const std::regex kOkLine(
    "OK (.*): (\\d+) tris \\(dec 0\\), (\\d+)x(\\d+), parse=\\d+\\.\\dms decimate=\\d+\\.\\dms "
    "render=\\d+\\.\\dms write=\\d+\\.\\dms total=\\d+\\.\\dms\n");

std::vector<std::string> corpus_files(const std::string& sub) {
  std::vector<std::string> files;
  std::string dir = std::string(ORRERY_CORPUS_DIR) + "/" + sub;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// An independent triangle count: a binary file by its size and declared
// count, a text file by its facet blocks (lines split at CR or LF, keywords
// in any letter case, at least three vertex lines before "endfacet").
long count_stl_triangles(const std::string& bytes, bool binary) {
  if (binary) {
    if (bytes.size() < 84) return 0;
    uint32_t declared;
    memcpy(&declared, bytes.data() + 80, 4);
    return std::min<long>(declared, static_cast<long>((bytes.size() - 84) / 50));
  }
  long count = 0;
  int vertices = 0;
  std::string line;
  for (size_t i = 0; i <= bytes.size(); i++) {
    if (i < bytes.size() && bytes[i] != '\r' && bytes[i] != '\n') {
      line += static_cast<char>(tolower(static_cast<unsigned char>(bytes[i])));
      continue;
    }
    std::string word = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
    if (word.rfind("facet normal", 0) == 0) vertices = 0;
    if (word.rfind("vertex", 0) == 0) vertices++;
    if (word.rfind("endfacet", 0) == 0 && vertices >= 3) count++;
    line.clear();
  }
  return count;
}

// The twelve facets of a 20 x 10 x 5 block as a text STL in the given letter
// case and line end, numbers written like "%E".
std::string text_block(bool upper, const std::string& eol) {
  const float corner[8][3] = {{0, 0, 0}, {20, 0, 0}, {20, 10, 0}, {0, 10, 0},
                              {0, 0, 5}, {20, 0, 5}, {20, 10, 5}, {0, 10, 5}};
  const int faces[12][3] = {{0, 2, 1}, {0, 3, 2}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                            {1, 2, 6}, {1, 6, 5}, {2, 3, 7}, {2, 7, 6}, {3, 0, 4}, {3, 4, 7}};
  auto word = [&](std::string w) {
    if (upper) {
      for (char& c : w) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return w;
  };
  std::string s = word("solid block") + eol;
  char number[64];
  for (const auto& f : faces) {
    s += "  " + word("facet normal") + " 0.000000E+00 0.000000E+00 0.000000E+00" + eol;
    s += "    " + word("outer loop") + eol;
    for (int v : f) {
      snprintf(number, sizeof number, " %E %E %E", corner[v][0], corner[v][1], corner[v][2]);
      s += "      " + word("vertex") + number + eol;
    }
    s += "    " + word("endloop") + eol + "  " + word("endfacet") + eol;
  }
  return s + word("endsolid block") + eol;
}

}  // namespace

TEST(FacetshotCli, UsageAndExitCodeOne) {
  REQUIRE_PROGRAM();
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"--stdin"}, {"model.stl"}}) {
    RunResult r = run_program(exe(), args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out.empty());
    if (getenv("ORRERY_RUNNER") == nullptr) {
      EXPECT_EQ(r.err, usage(exe()));
    }
  }
}

TEST(FacetshotCli, InfoJsonLineIsExactAndDescribesTheFileAsRead) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("t.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  RunResult r = run_program(exe(), {dir.file("t.stl"), dir.file("t.png"), "--info"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"triangle_count\":1,\"vertex_count\":1,\"is_binary\":1,\"bbox\":[1.0000,1.0000,"
            "0.0000],\"center\":[0.5000,0.5000,0.0000],\"mins\":[0.0000,0.0000,0.0000],\"maxs\":"
            "[1.0000,1.0000,0.0000],\"non_manifold_edges\":3,\"flipped_normals\":0,"
            "\"degenerate_tris\":0,\"voxel_grid\":5389}\n");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(r.err, m, kOkLine)) << r.err;
  EXPECT_EQ(m[1], dir.file("t.stl"));
  EXPECT_EQ(m[2], "1");
  Image image = decode_png(dir.file("t.png"));
  EXPECT_EQ(image.width, 256);
  EXPECT_TRUE(image_shows_something(image));
}

TEST(FacetshotCli, FloorTriangleFromStdinHasItsLitColour) {
  REQUIRE_PROGRAM();
  TempDir dir;
  RunResult r = run_program(exe(), {"--stdin", dir.file("f.png"), "64", "--info"},
                            raw_stream({floor_triangle()}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.rfind("OK stdin: 1 tris (dec 0), 64x64, ", 0), 0u) << r.err;
  EXPECT_EQ(json_field(r.out, "is_binary"), "0");
  EXPECT_EQ(json_field(r.out, "vertex_count"), "1");
  Image image = decode_png(dir.file("f.png"));
  ASSERT_EQ(image.width, 64);
  ASSERT_EQ(image.height, 64);
  // Seen from 35 degrees above, the face is lit by all three lights:
  // I = 0.87694..., R = G = trunc(175 I + S) = 153, B = trunc(178 I + S) = 156.
  int interior = 0;
  for (int y = 0; y < 64; y++) {
    for (int x = 0; x < 64; x++) {
      const uint8_t* p = image.at(x, y);
      EXPECT_EQ(p[3], 255);
      if (p[0] == 153 && p[1] == 153 && p[2] == 156) interior++;
    }
  }
  EXPECT_GT(interior, 200);
}

TEST(FacetshotCli, SizeAndBudgetArguments) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("t.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  struct Row {
    std::vector<std::string> extra;
    int size;
  } rows[] = {
      {{"16"}, 256},
      {{"2049"}, 256},
      {{"64abc"}, 64},
      {{"64", "128"}, 128},
      {{"--max-tris", "10"}, 256},
      {{"512", "--max-tris"}, 512},
      {{"--bogus", "48"}, 48},
      {{"2048"}, 2048},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {dir.file("t.stl"), dir.file("o.png")};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    RunResult r = run_program(exe(), args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    Image image = decode_png(dir.file("o.png"));
    EXPECT_EQ(image.width, row.size) << row.extra[0];
    EXPECT_EQ(image.height, row.size) << row.extra[0];
  }
}

TEST(FacetshotCli, FailuresAndTheirExitCodes) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("empty.stl"), binary_stl({}));
  write_file(dir.file("t.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  std::string count0, count_huge, count3;
  put_u32(&count0, 0);
  put_u32(&count_huge, 50000001);
  put_u32(&count3, 3);
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int code;
    std::string err;
  } rows[] = {
      {"missing",
       {dir.file("none.stl"), dir.file("o.png")},
       "",
       2,
       "ERROR: Cannot parse " + dir.file("none.stl") + "\n"},
      {"empty",
       {dir.file("empty.stl"), dir.file("o.png")},
       "",
       3,
       "ERROR: No triangles in " + dir.file("empty.stl") + "\n"},
      {"unwritable",
       {dir.file("t.stl"), dir.file("no/such/dir.png")},
       "",
       2,
       "ERROR: Cannot write PNG: " + dir.file("no/such/dir.png") + "\n"},
      {"stdin empty", {"--stdin", dir.file("o.png")}, "", 2, "ERROR: Cannot parse stdin\n"},
      {"stdin count 0",
       {"--stdin", dir.file("o.png")},
       count0,
       3,
       "ERROR: No triangles in stdin\n"},
      {"stdin count 3, no body",
       {"--stdin", dir.file("o.png")},
       count3,
       3,
       "ERROR: No triangles in stdin\n"},
      {"stdin count too large",
       {"--stdin", dir.file("o.png")},
       count_huge,
       2,
       "ERROR: Cannot parse stdin\n"},
  };
  for (const Row& row : rows) {
    RunResult r = run_program(exe(), row.args, row.input);
    EXPECT_EQ(r.exit_code, row.code) << row.name;
    EXPECT_EQ(r.err, row.err) << row.name;
    EXPECT_TRUE(r.out.empty()) << row.name;
    EXPECT_FALSE(file_exists(dir.file("o.png"))) << row.name;
  }
}

TEST(FacetshotCli, NonFiniteCoordinatesGiveValidJson) {
  REQUIRE_PROGRAM();
  TempDir dir;
  const float inf = INFINITY;
  write_file(dir.file("bad.stl"),
             binary_stl({{NAN, 0, 0, inf, 1, 0, -inf, 0, 1}, {0, 0, 0, 1, 0, 0, 0, 1, NAN}}));
  RunResult r = run_program(exe(), {dir.file("bad.stl"), dir.file("o.png"), "--info"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(json_is_valid(r.out)) << r.out;
  EXPECT_EQ(json_field(r.out, "bbox"), "[null,1.0000,1.0000]");
}

TEST(FacetshotCorpus, EveryStlRendersOrEndsWithADocumentedError) {
  REQUIRE_PROGRAM();
  std::vector<std::string> files = corpus_files("stl");
  if (files.empty()) GTEST_SKIP() << "no corpus at " << ORRERY_CORPUS_DIR;
  TempDir dir;
  int rendered = 0;
  for (const std::string& file : files) {
    RunResult r = run_program(exe(), {file, dir.file("o.png"), "128", "--info"});
    // Text files written by other tools: upper-case keywords, blanks before
    // "solid", CR LF.
    const bool from_other_tools = file.find("numpystl__ascii_") != std::string::npos;
    EXPECT_TRUE(r.exit_code == 0 || !from_other_tools) << file;
    if (r.exit_code == 0) {
      rendered++;
      ASSERT_TRUE(json_is_valid(r.out)) << file << ": " << r.out;
      EXPECT_EQ(json_field(r.out, "triangle_count"), json_field(r.out, "vertex_count")) << file;
      const long expected =
          count_stl_triangles(read_file(file), json_field(r.out, "is_binary") == "1");
      EXPECT_EQ(json_field(r.out, "triangle_count"), std::to_string(expected)) << file;
      std::smatch m;
      EXPECT_TRUE(std::regex_match(r.err, m, kOkLine)) << file << ": " << r.err;
      Image image = decode_png(dir.file("o.png"));
      EXPECT_EQ(image.width, 128) << file;
      EXPECT_TRUE(image_shows_something(image)) << file;
    } else {
      EXPECT_TRUE(r.exit_code == 2 || r.exit_code == 3) << file << " exit " << r.exit_code;
      EXPECT_TRUE(r.err == "ERROR: Cannot parse " + file + "\n" ||
                  r.err == "ERROR: No triangles in " + file + "\n")
          << file << ": " << r.err;
      EXPECT_TRUE(r.out.empty()) << file;
    }
    unlink(dir.file("o.png").c_str());
  }
  EXPECT_GE(rendered, static_cast<int>(files.size()) - 4);
}

// Text STL as other tools write it: keywords in upper or mixed case, blanks
// before "solid", CR LF or old Mac CR line ends.
TEST(FacetshotCorpus, TextFromOtherToolsRenders) {
  REQUIRE_PROGRAM();
  TempDir dir;
  std::string mixed = text_block(false, "\n");
  mixed.replace(mixed.find("facet normal"), 12, "Facet Normal");
  struct Row {
    const char* name;
    std::string text;
  } rows[] = {
      {"upper case, as admesh's block.stl", text_block(true, "\n")},
      {"upper case, CR LF", text_block(true, "\r\n")},
      {"CR line ends", text_block(false, "\r")},
      {"upper case, CR line ends", text_block(true, "\r")},
      {"blanks before solid", " \t" + text_block(false, "\r\n")},
      {"mixed case", mixed},
  };
  for (const Row& row : rows) {
    write_file(dir.file("block.stl"), row.text);
    ASSERT_EQ(count_stl_triangles(row.text, false), 12) << row.name;
    RunResult r = run_program(exe(), {dir.file("block.stl"), dir.file("o.png"), "64", "--info"});
    ASSERT_EQ(r.exit_code, 0) << row.name << ": " << r.err;
    EXPECT_EQ(json_field(r.out, "triangle_count"), "12") << row.name;
    EXPECT_EQ(json_field(r.out, "is_binary"), "0") << row.name;
    EXPECT_EQ(json_field(r.out, "bbox"), "[20.0000,10.0000,5.0000]") << row.name;
    EXPECT_TRUE(image_shows_something(decode_png(dir.file("o.png")))) << row.name;
    unlink(dir.file("o.png").c_str());
  }
}

// ---- batch mode ----

namespace {

struct BatchRun {
  RunResult r;
  std::vector<std::string> records;
};

BatchRun batch(const std::string& input, std::vector<std::string> args = {"32"}) {
  args.insert(args.begin(), "--batch");
  BatchRun b{run_program(exe(), args, input), {}};
  b.records = split_lines(b.r.out);
  return b;
}

}  // namespace

TEST(FacetshotBatch, EmptyInputAndEndMarkers) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("a.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  BatchRun empty = batch("");
  EXPECT_EQ(empty.r.exit_code, 0);
  EXPECT_EQ(empty.r.out, "");
  EXPECT_EQ(empty.r.err, "BATCH: 0 files processed\n");

  std::string a = dir.file("a.stl") + "\t" + dir.file("a.png");
  std::string b = dir.file("a.stl") + "\t" + dir.file("b.png");
  BatchRun blank = batch(a + "\n\n" + b + "\n");
  EXPECT_EQ(blank.records.size(), 1u);
  EXPECT_EQ(blank.r.err, "BATCH: 1 files processed\n");
  EXPECT_FALSE(file_exists(dir.file("b.png")));

  BatchRun crlf = batch(a + "\r\n" + b + "\r\r\n\r\n");
  ASSERT_EQ(crlf.records.size(), 2u);
  EXPECT_EQ(json_field(crlf.records[1], "status"), "\"ok\"");
  EXPECT_TRUE(file_exists(dir.file("b.png")));
  EXPECT_EQ(crlf.r.err, "BATCH: 2 files processed\n");
}

TEST(FacetshotBatch, RecordKindsAndCounter) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("a.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  write_file(dir.file("empty.stl"), binary_stl({}));
  std::string input =
      "x.stl\n"                                                      // no tab
      "\t\n"                                                         // empty paths
      + dir.file("missing.stl") + "\t" + dir.file("m.png") + "\n" +  //
      dir.file("empty.stl") + "\t" + dir.file("e.png") + "\n" +      //
      dir.file("a.stl") + "\t" + dir.file("no/dir/a.png") + "\n" +   //
      dir.file("a.stl") + "\t" + dir.file("tab\tin name.png") + "\n";
  BatchRun b = batch(input);
  EXPECT_EQ(b.r.exit_code, 0);
  ASSERT_EQ(b.records.size(), 6u) << b.r.out;
  for (const std::string& rec : b.records) EXPECT_TRUE(json_is_valid(rec)) << rec;
  EXPECT_EQ(b.records[0],
            "{\"file\":\"x.stl\",\"status\":\"error\",\"error\":\"no_tab_separator\"}");
  EXPECT_EQ(b.records[1],
            "{\"file\":\"\",\"status\":\"error\",\"error\":\"parse_failed\",\"triangle_count\":0}");
  EXPECT_EQ(json_field(b.records[2], "error"), "\"parse_failed\"");
  EXPECT_EQ(json_field(b.records[3], "error"), "\"parse_failed\"");
  EXPECT_EQ(b.records[4], "{\"file\":\"" + dir.file("a.stl") +
                              "\",\"status\":\"error\",\"error\":\"write_png_failed\","
                              "\"triangle_count\":1}");
  EXPECT_EQ(json_field(b.records[5], "status"), "\"ok\"");
  EXPECT_TRUE(file_exists(dir.file("tab\tin name.png")));
  EXPECT_EQ(b.r.err, "BATCH: 2 files processed\n");
}

TEST(FacetshotBatch, OkRecordLayout) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("a.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  BatchRun b = batch(dir.file("a.stl") + "\t" + dir.file("a.png") + "\n");
  ASSERT_EQ(b.records.size(), 1u);
  const std::regex layout(
      "\\{\"file\":\"[^\"]*\",\"status\":\"ok\",\"triangle_count\":1,\"vertex_count\":1,"
      "\"is_binary\":1,\"bbox\":\\[[-0-9.,]+\\],\"center\":\\[[-0-9.,]+\\],\"mins\":\\[[-0-9.,]+"
      "\\],\"maxs\":\\[[-0-9.,]+\\],\"non_manifold_edges\":3,\"flipped_normals\":0,"
      "\"degenerate_tris\":0,\"voxel_grid\":5389,\"parse_ms\":\\d+\\.\\d,\"total_ms\":\\d+\\."
      "\\d\\}");
  EXPECT_TRUE(std::regex_match(b.records[0], layout)) << b.records[0];
  Image image = decode_png(dir.file("a.png"));
  EXPECT_EQ(image.width, 32);
  EXPECT_TRUE(image_shows_something(image));
}

TEST(FacetshotBatch, FileNamesAreAlwaysValidJson) {
  REQUIRE_PROGRAM();
  const char* names[] = {"q\"uote.stl", "back\\slash.stl", "C:\\m\\a.stl",
                         "cr\rin.stl",  "ctl\x01.stl",     "\x1f\x7f\xc3\xa9.stl"};
  std::string input;
  for (const char* n : names) input += std::string(n) + "\tout.png\n";
  TempDir dir;
  RunResult r = run_program(exe(), {"--batch"}, input, dir.path);
  std::vector<std::string> records = split_lines(r.out);
  // The CR inside a name is stripped only at the line end, so every name survives.
  ASSERT_EQ(records.size(), 6u) << r.out;
  for (const std::string& rec : records) EXPECT_TRUE(json_is_valid(rec)) << rec;
  EXPECT_EQ(json_field(records[2], "file"), "\"C:\\\\m\\\\a.stl\"");
  EXPECT_EQ(json_field(records[4], "file"), "\"ctl\\u0001.stl\"");
}

TEST(FacetshotBatch, LongLinesAreReadInPieces) {
  REQUIRE_PROGRAM();
  BatchRun b = batch(std::string(5000, 'a') + "\tb.png\n");
  // 4095 bytes without a tab, then the rest of the line with the tab.
  ASSERT_EQ(b.records.size(), 2u);
  EXPECT_EQ(json_field(b.records[0], "error"), "\"no_tab_separator\"");
  EXPECT_EQ(json_field(b.records[1], "error"), "\"parse_failed\"");
}

namespace {

// Starts facetshot --batch with pipes on both standard streams.
struct PipedBatch {
  pid_t pid = -1;
  int to_child = -1;
  int from_child = -1;
  std::string buffered;

  bool start(const std::string& program) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      close(in[1]);
      close(out[0]);
      std::vector<std::string> argv_s;
      if (const char* runner = getenv("ORRERY_RUNNER")) argv_s.push_back(runner);
      argv_s.push_back(program);
      argv_s.push_back("--batch");
      argv_s.push_back("32");
      std::vector<char*> argv;
      for (auto& s : argv_s) argv.push_back(const_cast<char*>(s.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_child = in[1];
    from_child = out[0];
    return pid > 0;
  }

  // One record, or "" when none arrives within the time limit.
  std::string read_record(int timeout_ms) {
    while (buffered.find('\n') == std::string::npos) {
      pollfd p{from_child, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return "";
      char buf[4096];
      ssize_t n = read(from_child, buf, sizeof buf);
      if (n <= 0) return "";
      buffered.append(buf, static_cast<size_t>(n));
    }
    size_t nl = buffered.find('\n');
    std::string line = buffered.substr(0, nl);
    buffered.erase(0, nl + 1);
    return line;
  }

  int finish() {
    close(to_child);
    close(from_child);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

}  // namespace

TEST(FacetshotBatch, EachRecordArrivesBeforeTheNextJobIsSent) {
  REQUIRE_PROGRAM();
  TempDir dir;
  write_file(dir.file("a.stl"), binary_stl({{0, 0, 0, 1, 0, 0, 0, 1, 0}}));
  PipedBatch p;
  ASSERT_TRUE(p.start(exe()));
  for (int i = 0; i < 3; i++) {
    std::string line = dir.file("a.stl") + "\t" + dir.file("p" + std::to_string(i) + ".png") + "\n";
    ASSERT_EQ(write(p.to_child, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    std::string record = p.read_record(60000);
    ASSERT_FALSE(record.empty()) << "no record for job " << i << " while the pipe stays open";
    EXPECT_EQ(json_field(record, "status"), "\"ok\"");
  }
  EXPECT_EQ(p.finish(), 0);
}

namespace {

// Peak resident memory in KiB of one batch run over `jobs` small jobs.
long batch_peak_kib(const std::string& stl, const std::string& png, int jobs) {
  TempDir io;
  std::string input;
  for (int i = 0; i < jobs; i++) input += stl + "\t" + png + "\n";
  write_file(io.file("in"), input);
  int code = 0;
  return run_peak_kib(exe(), {"--batch", "64"}, io.file("in"), &code);
}

}  // namespace

TEST(FacetshotBatch, LongBatchDoesNotGrow) {
  REQUIRE_PROGRAM();
  if (getenv("ORRERY_RUNNER")) GTEST_SKIP() << "measured on the native program";
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer keeps freed blocks in quarantine";
#endif
  TempDir dir;
  std::vector<std::vector<float>> tris;
  for (int i = 0; i < 2000; i++) {
    float x = static_cast<float>(i % 50), z = static_cast<float>(i / 50);
    tris.push_back({x, 0, z, x + 1, 0, z, x, 1, z + 1});
  }
  write_file(dir.file("m.stl"), binary_stl(tris));
  long ten = batch_peak_kib(dir.file("m.stl"), dir.file("m.png"), 10);
  long thousand = batch_peak_kib(dir.file("m.stl"), dir.file("m.png"), 1000);
  EXPECT_LE(thousand, ten + 512) << "10 jobs: " << ten << " KiB, 1000 jobs: " << thousand << " KiB";
}
