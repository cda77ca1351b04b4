// Binary STL reading, rasterizing and PNG writing on a 1,000,000-triangle mesh,
// and a batch of 300 small files through the facetshot program.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "downscale.h"
#include "model.h"
#include "png.h"
#include "raster.h"
#include "stl.h"
#include "sphere_mesh.h"

namespace {

const int kTriangles = 1000000;

// A UV sphere of 500 x 1000 quads (two triangles each), radius 50.
Model& sphere() {
  static Model model;
  static bool built = false;
  if (!built) {
    model_init(&model);
    const int rings = 500, segments = 1000;
    auto point = [&](int r, int s, float* p) {
      float theta = 3.14159265f * r / rings, phi = 6.2831853f * s / segments;
      p[0] = 50.0f * sinf(theta) * cosf(phi);
      p[1] = 50.0f * cosf(theta);
      p[2] = 50.0f * sinf(theta) * sinf(phi);
    };
    push_uv_sphere(&model, rings, segments, point);
    built = true;
  }
  return model;
}

std::string stl_path() {
  static std::string path;
  if (path.empty()) {
    path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/orrery_bench_1m.stl";
    FILE* f = fopen(path.c_str(), "wb");
    char header[80] = {0};
    fwrite(header, 1, 80, f);
    uint32_t n = kTriangles;
    fwrite(&n, 4, 1, f);
    const Model& m = sphere();
    for (int i = 0; i < kTriangles; i++) {
      const Triangle& t = m.triangles[i];
      fwrite(t.normal, 4, 3, f);
      fwrite(t.vertices, 4, 9, f);
      uint16_t attr = 0;
      fwrite(&attr, 2, 1, f);
    }
    fclose(f);
  }
  return path;
}

void BM_ParseBinaryStl(benchmark::State& state) {
  std::string path = stl_path();
  for (auto _ : state) {
    Model m;
    model_init(&m);
    if (parse_stl_binary(path.c_str(), &m) != 0 || m.count != kTriangles)
      state.SkipWithError("read");
    model_free(&m);
  }
  state.SetItemsProcessed(state.iterations() * kTriangles);
}
BENCHMARK(BM_ParseBinaryStl)->Unit(benchmark::kMillisecond);

void BM_Render(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const Model& m = sphere();
  for (auto _ : state) {
    FrameBuffer fb;
    fb_create(&fb, 2 * size, 2 * size);
    render_thumbnail(&m, &fb);
    benchmark::DoNotOptimize(fb.pixels[0]);
    fb_free(&fb);
  }
}
BENCHMARK(BM_Render)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);

void BM_DownscaleAndWritePng(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  FrameBuffer fb;
  fb_create(&fb, 2 * size, 2 * size);
  render_thumbnail(&sphere(), &fb);
  std::string out = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/orrery_bench.png";
  for (auto _ : state) {
    uint8_t* image = downscale_2x(fb.pixels, 2 * size, 2 * size);
    if (write_png(out.c_str(), image, size, size) != 0) state.SkipWithError("write");
    free(image);
  }
  fb_free(&fb);
}
BENCHMARK(BM_DownscaleAndWritePng)->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);

#ifdef FACETSHOT_EXE
std::string temp_dir() {
  return getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
}

// A noisy sphere of 288 triangles (12 rings of 12 quads), written once.
std::string small_stl_path() {
  static std::string path;
  if (path.empty()) {
    Model m;
    model_init(&m);
    auto point = [&](int r, int s, float* p) {
      float theta = 3.14159265f * r / 12, phi = 6.2831853f * s / 12;
      float radius = 20.0f + 0.3f * ((r * 7 + s * 13) % 5);
      p[0] = 40.0f + radius * sinf(theta) * cosf(phi);
      p[1] = radius * cosf(theta);
      p[2] = -15.0f + radius * sinf(theta) * sinf(phi);
    };
    push_uv_sphere(&m, 12, 12, point);
    path = temp_dir() + "/orrery_bench_small.stl";
    FILE* f = fopen(path.c_str(), "wb");
    char header[80] = {0};
    fwrite(header, 1, 80, f);
    uint32_t n = static_cast<uint32_t>(m.count);
    fwrite(&n, 4, 1, f);
    for (int32_t i = 0; i < m.count; i++) {
      fwrite(m.triangles[i].normal, 4, 3, f);
      fwrite(m.triangles[i].vertices, 4, 9, f);
      uint16_t attr = 0;
      fwrite(&attr, 2, 1, f);
    }
    fclose(f);
    model_free(&m);
  }
  return path;
}

// The whole facetshot --batch process on 300 jobs of the small file, as a
// thumbnail farm runs it; items per second are files per second.
void BM_BatchOf300SmallStl(benchmark::State& state) {
  const int kJobs = 300;
  const std::string jobs = temp_dir() + "/orrery_bench_jobs.txt";
  FILE* f = fopen(jobs.c_str(), "w");
  for (int i = 0; i < kJobs; i++) {
    fprintf(f, "%s\t%s/orrery_bench_batch_%d.png\n", small_stl_path().c_str(), temp_dir().c_str(),
            i % 10);
  }
  fclose(f);
  const std::string command =
      std::string("'") + FACETSHOT_EXE + "' --batch <'" + jobs + "' >/dev/null 2>&1";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("facetshot --batch failed");
  }
  state.SetItemsProcessed(state.iterations() * kJobs);
}
BENCHMARK(BM_BatchOf300SmallStl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
#endif

}  // namespace

BENCHMARK_MAIN();
