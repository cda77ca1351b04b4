// OBJ reading speed: parse_obj on a generated 1,000,000-face file, and the
// assimp command-line tool reading the same file for comparison.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "model.h"
#include "obj.h"

static const int kFaces = 1000000;

// A wavy grid with a position, texture coordinate and normal per vertex;
// cells alternate between one quad and two triangles, all as v/vt/vn tokens.
static std::string write_obj_file() {
  const char* base = getenv("TMPDIR");
  std::string path = std::string(base && *base ? base : "/tmp") + "/obj_bench_1m_faces.obj";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return "";
  const int side = 818;  // 817 x 817 cells give a little more than kFaces faces
  for (int y = 0; y < side; y++) {
    for (int x = 0; x < side; x++) {
      fprintf(f, "v %.6f %.6f %.6f\n", x * 0.01, ((x * 7 + y * 3) % 11) * 0.001, y * 0.01);
    }
  }
  for (int y = 0; y < side; y++) {
    for (int x = 0; x < side; x++) {
      fprintf(f, "vt %.6f %.6f\n", x / (side - 1.0), y / (side - 1.0));
    }
  }
  for (int i = 0; i < side * side; i++) fprintf(f, "vn 0.000000 1.000000 0.000000\n");
  int faces = 0;
  for (int cell = 0; faces < kFaces; cell++) {
    int x = cell % (side - 1), y = cell / (side - 1);
    int a = y * side + x + 1, b = a + 1, c = a + side + 1, d = a + side;
    if (cell % 2 == 0) {
      fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, b, b, b, c, c, c, d, d, d);
      faces++;
    } else {
      fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, b, b, b, c, c, c);
      faces++;
      if (faces < kFaces) {
        fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, c, c, c, d, d, d);
        faces++;
      }
    }
  }
  fclose(f);
  return path;
}

static std::string g_obj_path;  // written on first use, removed at exit

static const std::string& obj_file() {
  if (g_obj_path.empty()) g_obj_path = write_obj_file();
  return g_obj_path;
}

static void BM_ParseObj1MFaces(benchmark::State& state) {
  const std::string& path = obj_file();
  int64_t triangles = 0;
  for (auto _ : state) {
    Model model;
    if (parse_obj(path.c_str(), &model) != 0) {
      state.SkipWithError("parse_obj failed");
      return;
    }
    triangles = model.count;
    benchmark::DoNotOptimize(model.min[0]);
    model_free(&model);
  }
  state.counters["triangles"] = static_cast<double>(triangles);
  state.SetItemsProcessed(state.iterations() * kFaces);
}
BENCHMARK(BM_ParseObj1MFaces)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The whole process, start to exit; "-r" imports without post-processing.
static void run_assimp(benchmark::State& state, const char* options) {
  if (std::system("assimp version >/dev/null 2>&1") != 0) {
    state.SkipWithError("assimp command-line tool not installed");
    return;
  }
  std::string cmd = "assimp info '" + obj_file() + "'" + options + " >/dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("assimp info failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * kFaces);
}

static void BM_AssimpInfoRaw1MFaces(benchmark::State& state) {
  run_assimp(state, " -r");
}
BENCHMARK(BM_AssimpInfoRaw1MFaces)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

static void BM_AssimpInfo1MFaces(benchmark::State& state) {
  run_assimp(state, "");
}
BENCHMARK(BM_AssimpInfo1MFaces)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!g_obj_path.empty()) remove(g_obj_path.c_str());
  return 0;
}
