// Automatic orientation at scale: the indexed cluster search against a plain
// scan in creation order, on a 2,000,000-triangle noisy sphere away from the
// origin and on a 1,000,000-triangle mesh of more than 8192 distinct planes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "model.h"
#include "orient.h"
#include "orient_clusters.h"
#include "support/orient_reference.h"
#include "sphere_mesh.h"

namespace {

// Deterministic noise in [-1, 1] per grid point, so shared vertices agree.
float grid_noise(uint32_t a, uint32_t b, uint32_t axis) {
  uint32_t h = a * 0x9E3779B1u ^ b * 0x85EBCA77u ^ axis * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return static_cast<float>(h) * (2.0f / 4294967295.0f) - 1.0f;
}

// A UV sphere of 1000 x 1000 quads (2,000,000 triangles), radius 50, centred
// at (120, -40, 75), every vertex moved by up to 0.1 on each axis.
const Model& noisy_sphere() {
  static Model model;
  static bool built = false;
  if (!built) {
    model_init(&model);
    const int rings = 1000, segments = 1000;
    auto point = [&](int r, int s, float* p) {
      uint32_t sw = static_cast<uint32_t>(s % segments);
      float theta = 3.14159265f * r / rings, phi = 6.2831853f * s / segments;
      p[0] = 120.0f + 50.0f * sinf(theta) * cosf(phi) + 0.1f * grid_noise(r, sw, 0);
      p[1] = -40.0f + 50.0f * cosf(theta) + 0.1f * grid_noise(r, sw, 1);
      p[2] = 75.0f + 50.0f * sinf(theta) * sinf(phi) + 0.1f * grid_noise(r, sw, 2);
    };
    push_uv_sphere(&model, rings, segments, point);
    built = true;
  }
  return model;
}

// About 48,000 planes with some 21 small triangles on each, in shuffled
// order: 1,000,000 triangles. Plane normals lie on a Fibonacci sphere of 600
// points; along each, offsets run 3.6 apart across the cube [-100, 100]^3,
// whose corners two degenerate triangles fix (offset tolerance 3.46).
const Model& crowded_planes() {
  static Model model;
  static bool built = false;
  if (!built) {
    model_init(&model);
    struct Plane {
      float n[3], t1[3], t2[3], p[3];
    };
    std::vector<Plane> planes;
    const int directions = 600;
    for (int k = 0; k < directions; k++) {
      double z = 1.0 - (2.0 * k + 1.0) / directions, r = std::sqrt(1.0 - z * z);
      double phi = 2.399963229728653 * k;
      Plane plane;
      float* n = plane.n;
      n[0] = float(r * std::cos(phi)), n[1] = float(r * std::sin(phi)), n[2] = float(z);
      float a[3] = {1, 0, 0};
      if (fabsf(n[0]) > 0.6f) a[0] = 0, a[1] = 1;
      float* t1 = plane.t1;
      t1[0] = n[1] * a[2] - n[2] * a[1], t1[1] = n[2] * a[0] - n[0] * a[2],
      t1[2] = n[0] * a[1] - n[1] * a[0];
      vec3_normalize(t1);
      float* t2 = plane.t2;
      t2[0] = n[1] * t1[2] - n[2] * t1[1], t2[1] = n[2] * t1[0] - n[0] * t1[2],
      t2[2] = n[0] * t1[1] - n[1] * t1[0];
      // The plane through t times the corner (100, 100, 100) signed like n.
      const float reach = 95.0f * (fabsf(n[0]) + fabsf(n[1]) + fabsf(n[2]));
      for (float d = -reach; d <= reach; d += 3.6f) {
        const float t = d / reach;
        for (int c = 0; c < 3; c++) plane.p[c] = t * (n[c] < 0 ? -95.0f : 95.0f);
        planes.push_back(plane);
      }
    }
    std::mt19937 rng(31337);
    std::uniform_real_distribution<float> shift(-2.0f, 2.0f);
    const int total = 1000000;
    std::vector<Triangle> tris;
    tris.reserve(total);
    for (int i = 0; i < total - 2; i++) {
      const Plane& plane = planes[static_cast<size_t>(i) % planes.size()];
      const float su = shift(rng), sv = shift(rng);
      Triangle t;
      for (int c = 0; c < 3; c++) {
        float base = plane.p[c] + su * plane.t1[c] + sv * plane.t2[c];
        t.vertices[0][c] = base;
        t.vertices[1][c] = base + 0.5f * plane.t1[c];
        t.vertices[2][c] = base + 0.5f * plane.t2[c];
        t.normal[c] = plane.n[c];
      }
      tris.push_back(t);
    }
    std::shuffle(tris.begin(), tris.end(), rng);
    const Triangle corner[2] = {{{{-100, -100, -100}, {-100, -100, -100}, {-100, -100, -100}}, {}},
                                {{{100, 100, 100}, {100, 100, 100}, {100, 100, 100}}, {}}};
    model_push(&model, &corner[0]);
    model_push(&model, &corner[1]);
    for (const Triangle& t : tris) model_push(&model, &t);
    built = true;
  }
  return model;
}

// Distinct planes, counted as distinct (normal, offset) pairs of the stored
// facet normals, exact to the bit; degenerate triangles have none.
double planes_in(const Model& model) {
  std::vector<std::array<float, 4>> keys;
  keys.reserve(static_cast<size_t>(model.count));
  for (int32_t i = 0; i < model.count; i++) {
    const Triangle& t = model.triangles[i];
    if (t.normal[0] == 0 && t.normal[1] == 0 && t.normal[2] == 0) continue;
    float d = (t.vertices[0][0] * t.normal[0] + t.vertices[0][1] * t.normal[1]) +
              t.vertices[0][2] * t.normal[2];
    keys.push_back({t.normal[0], t.normal[1], t.normal[2], roundf(d * 8.0f)});
  }
  std::sort(keys.begin(), keys.end());
  return static_cast<double>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

void copy_model(const Model& from, Model* to) {
  memcpy(to->triangles, from.triangles, sizeof(Triangle) * static_cast<size_t>(from.count));
  to->count = from.count;
  memcpy(to->min, from.min, sizeof to->min);
  memcpy(to->max, from.max, sizeof to->max);
}

void run_orient(benchmark::State& state, const Model& source, bool plain) {
  Model work = source;
  work.triangles =
      static_cast<Triangle*>(malloc(sizeof(Triangle) * static_cast<size_t>(source.count)));
  std::vector<OrientCluster> table(kOrientMaxClusters);
  int32_t clusters = 0;
  for (auto _ : state) {
    state.PauseTiming();
    copy_model(source, &work);
    state.ResumeTiming();
    if (plain) {
      clusters = plain_clusters(work, table.data());
      if (clusters > 0) orient_apply_clusters(&work, table.data(), clusters);
    } else {
      auto_orient_model(&work);
    }
    benchmark::DoNotOptimize(work.triangles);
  }
  if (!plain) clusters = orient_build_clusters(&source, table.data());
  state.counters["clusters"] = clusters;
  state.counters["planes"] = planes_in(source);
  state.counters["triangles"] = source.count;
  free(work.triangles);
}

void run_clusters(benchmark::State& state, const Model& source) {
  std::vector<OrientCluster> table(kOrientMaxClusters);
  for (auto _ : state) benchmark::DoNotOptimize(orient_build_clusters(&source, table.data()));
}

void BM_OrientNoisySphere2M(benchmark::State& state) {
  run_orient(state, noisy_sphere(), false);
}
void BM_OrientCrowdedPlanes1M(benchmark::State& state) {
  run_orient(state, crowded_planes(), false);
}
void BM_ClustersNoisySphere2M(benchmark::State& state) {
  run_clusters(state, noisy_sphere());
}
void BM_ClustersCrowdedPlanes1M(benchmark::State& state) {
  run_clusters(state, crowded_planes());
}
void BM_PlainOrientNoisySphere2M(benchmark::State& state) {
  run_orient(state, noisy_sphere(), true);
}
void BM_PlainOrientCrowdedPlanes1M(benchmark::State& state) {
  run_orient(state, crowded_planes(), true);
}

}  // namespace

BENCHMARK(BM_OrientNoisySphere2M)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_OrientCrowdedPlanes1M)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ClustersNoisySphere2M)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ClustersCrowdedPlanes1M)->Unit(benchmark::kMillisecond)->Iterations(5);
// The plain scan takes seconds to minutes: one run each.
BENCHMARK(BM_PlainOrientNoisySphere2M)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PlainOrientCrowdedPlanes1M)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
