// Reader speed on the benchmark's noisy sphere of 1,000,000 triangles
// (tests/tools/meshgen.py): binary STL (50 MB), ASCII STL (194 MB) and OBJ
// as quads (32 MB), each through its path and from a buffer in memory.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "model.h"
#include "obj.h"
#include "stl.h"

namespace {

const int kTriangles = 1000000;

struct Input {
  const char* format;  // meshgen.py's name
  std::string path;    // written on first use, removed at exit
};

Input g_inputs[] = {{"binstl", ""}, {"asciistl", ""}, {"obj", ""}};

const std::string& input_path(int which) {
  Input& in = g_inputs[which];
  if (in.path.empty()) {
    const char* base = getenv("TMPDIR");
    std::string path = std::string(base && *base ? base : "/tmp") + "/reader_bench_" + in.format;
    std::string source = __FILE__;
    std::string tool = source.substr(0, source.rfind('/')) + "/../tests/tools/meshgen.py";
    std::string cmd = "python3 '" + tool + "' sphere " + std::to_string(kTriangles) + " " +
                      in.format + " '" + path + "' >/dev/null";
    if (std::system(cmd.c_str()) == 0) in.path = path;
  }
  return in.path;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    uint8_t block[1 << 16];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) bytes.insert(bytes.end(), block, block + n);
    fclose(f);
  }
  return bytes;
}

int read_path(int which, const std::string& path, Model* model) {
  if (which == 2) return parse_obj(path.c_str(), model);
  if (model_init(model) != 0) return -1;
  return which == 0 ? parse_stl_binary(path.c_str(), model) : parse_stl_ascii(path.c_str(), model);
}

int read_bytes(int which, const std::vector<uint8_t>& bytes, Model* model) {
  if (which == 2) return parse_obj_bytes(bytes.data(), bytes.size(), model);
  if (model_init(model) != 0) return -1;
  return which == 0 ? parse_stl_binary_bytes(bytes.data(), bytes.size(), model)
                    : parse_stl_ascii_bytes(bytes.data(), bytes.size(), model);
}

// state.range(0): 0 binary STL, 1 ASCII STL, 2 OBJ; range(1): 0 path, 1 memory.
void BM_Read(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const bool memory = state.range(1) != 0;
  const std::string& path = input_path(which);
  if (path.empty()) {
    state.SkipWithError("meshgen.py failed");
    return;
  }
  std::vector<uint8_t> bytes = file_bytes(path);
  for (auto _ : state) {
    Model model;
    int rc = memory ? read_bytes(which, bytes, &model) : read_path(which, path, &model);
    if (rc != 0 || model.count != kTriangles) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(model.min[0]);
    model_free(&model);
  }
  state.SetLabel(std::string(g_inputs[which].format) + (memory ? " memory" : " path"));
  state.SetItemsProcessed(state.iterations() * kTriangles);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Read)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const Input& in : g_inputs) {
    if (!in.path.empty()) remove(in.path.c_str());
  }
  return 0;
}
