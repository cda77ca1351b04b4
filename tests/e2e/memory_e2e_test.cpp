// Peak memory of each renderer on a 1,000,000-triangle mesh: about twice
// what the mesh itself takes in memory (48 bytes a triangle), at most.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/run.h"

namespace {

const long kTriangles = 1000000;
const long kMeshKib = kTriangles * 48 / 1024;

bool measurable() {
  if (getenv("ORRERY_RUNNER")) return false;
#ifdef __SANITIZE_ADDRESS__
  return false;  // shadow memory and quarantine are not the program's
#else
  return true;
#endif
}

// Generates the mesh; returns what the generator printed.
std::string generate(const char* format, const std::string& path) {
  RunResult r = run_program(MAKE_BIG_MESH_EXE, {format, std::to_string(kTriangles), path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out;
}

long peak(const char* program, const std::vector<std::string>& args, const std::string& in = "") {
  int code = -1;
  long kib = run_peak_kib(program_path(program), args, in, &code);
  EXPECT_EQ(code, 0) << program;
  return kib;
}

}  // namespace

TEST(Memory, RenderersStayWithinTwiceTheMesh) {
  if (!measurable()) GTEST_SKIP() << "measured on the native build";
  for (const char* p : {"facetshot", "vertexshot", "packshot"}) {
    if (program_path(p).empty()) GTEST_SKIP() << p << " is absent";
  }
  TempDir dir;
  generate("stl-binary", dir.file("m.stl"));
  long kib = peak("facetshot", {dir.file("m.stl"), dir.file("a.png")});
  EXPECT_LE(kib, 2 * kMeshKib) << "binary STL";
  unlink(dir.file("m.stl").c_str());

  generate("stl-ascii", dir.file("a.stl"));
  kib = peak("facetshot", {dir.file("a.stl"), dir.file("b.png")});
  EXPECT_LE(kib, 2 * kMeshKib) << "ASCII STL";
  unlink(dir.file("a.stl").c_str());

  generate("obj", dir.file("m.obj"));
  kib = peak("vertexshot", {dir.file("m.obj"), dir.file("c.png")});
  EXPECT_LE(kib, 2 * kMeshKib) << "OBJ";
  unlink(dir.file("m.obj").c_str());

  // packshot scans the model XML in memory, so the XML counts as its mesh
  // when it is the larger of the two.
  const long xml_kib = atol(generate("3mf", dir.file("m.3mf")).c_str()) / 1024;
  kib = peak("packshot", {"--render-3mf", dir.file("d.png")}, dir.file("m.3mf"));
  EXPECT_LE(kib, 2 * (xml_kib > kMeshKib ? xml_kib : kMeshKib)) << "3MF, XML " << xml_kib << " KiB";
}
