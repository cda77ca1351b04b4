// Decimation strides, the voxel mask and the mesh quality counts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "decimate.h"
#include "quality.h"
#include "voxel.h"

namespace {

Triangle tri(const float a[3], const float b[3], const float c[3], const float n[3] = nullptr) {
  Triangle t;
  memcpy(t.vertices[0], a, 12);
  memcpy(t.vertices[1], b, 12);
  memcpy(t.vertices[2], c, 12);
  t.normal[0] = n ? n[0] : 0;
  t.normal[1] = n ? n[1] : 0;
  t.normal[2] = n ? n[2] : 0;
  return t;
}

// A model whose triangle i carries i in its first coordinate.
Model numbered(int n) {
  Model m;
  EXPECT_EQ(model_init(&m), 0);
  for (int i = 0; i < n; i++) {
    float a[3] = {static_cast<float>(i), 0, 0}, b[3] = {0, 1, 0}, c[3] = {0, 0, 1};
    Triangle t = tri(a, b, c);
    EXPECT_EQ(model_push(&m, &t), 0);
  }
  return m;
}

// Closed cube from (0,0,0) to (s,s,s), outward winding and outward normals.
void push_cube(Model* m, float s, bool flip_first = false) {
  const float v[8][3] = {{0, 0, 0}, {s, 0, 0}, {s, s, 0}, {0, s, 0},
                         {0, 0, s}, {s, 0, s}, {s, s, s}, {0, s, s}};
  const int f[12][3] = {{0, 3, 2}, {0, 2, 1}, {4, 5, 6}, {4, 6, 7}, {0, 1, 5}, {0, 5, 4},
                        {3, 7, 6}, {3, 6, 2}, {0, 4, 7}, {0, 7, 3}, {1, 2, 6}, {1, 6, 5}};
  const float n[6][3] = {{0, 0, -1}, {0, 0, 1}, {0, -1, 0}, {0, 1, 0}, {-1, 0, 0}, {1, 0, 0}};
  for (int i = 0; i < 12; i++) {
    Triangle t = tri(v[f[i][0]], v[f[i][1]], v[f[i][2]], n[i / 2]);
    if (flip_first && i == 0) std::swap(t.vertices[1], t.vertices[2]);
    ASSERT_EQ(model_push(m, &t), 0);
  }
}

struct Counts {
  int non_manifold, flipped, degenerate;
};

Counts quality(const Model& m) {
  Counts c{-1, -1, -1};
  analyze_mesh_quality(&m, &c.non_manifold, &c.flipped, &c.degenerate);
  return c;
}

}  // namespace

TEST(Decimate, StridesAndBudgets) {
  struct Row {
    int n, budget, expect_count, expect_stride;
  } rows[] = {
      {10, 10, 10, 1},        {9, 10, 9, 1},          {1001, 1000, 501, 2}, {7500, 5000, 3750, 2},
      {15000, 5000, 5000, 3}, {14999, 5000, 5000, 2}, {5, 0, 0, 0},         {5, -3, 0, 0},
  };
  for (const Row& row : rows) {
    Model m = numbered(row.n);
    float min_before = m.min[0], max_before = m.max[0];
    decimate_inplace(&m, row.budget);
    ASSERT_EQ(m.count, row.expect_count) << row.n << "/" << row.budget;
    for (int i = 0; i < m.count; i++) {
      ASSERT_EQ(m.triangles[i].vertices[0][0], static_cast<float>(i * row.expect_stride))
          << row.n << "/" << row.budget << " at " << i;
    }
    EXPECT_EQ(m.min[0], min_before);
    EXPECT_EQ(m.max[0], max_before);  // the box keeps framing the full mesh
    model_free(&m);
  }
}

TEST(Decimate, StrideTwoLosesTheTailOfTheStorageOrder) {
  Model m = numbered(14999);
  decimate_inplace(&m, 5000);
  EXPECT_EQ(m.triangles[m.count - 1].vertices[0][0], 9998.0f);
  model_free(&m);
}

TEST(Voxel, SingleTriangleSetsSixCells) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  float a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 1, 0};
  Triangle t = tri(a, b, c);
  model_push(&m, &t);
  EXPECT_EQ(compute_voxel_grid(&m), 5389u);
  model_free(&m);
}

TEST(Voxel, EmptyPointAndCornerCases) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  EXPECT_EQ(compute_voxel_grid(&m), 0u);
  float p[3] = {2, 2, 2};
  Triangle point = tri(p, p, p);
  model_push(&m, &point);
  EXPECT_EQ(compute_voxel_grid(&m), 1u);
  float o[3] = {0, 0, 0}, x[3] = {1, 0, 0}, y[3] = {0, 1, 0}, far[3] = {4, 4, 4};
  Triangle body = tri(o, x, y);
  Triangle corner = tri(far, far, far);
  model_push(&m, &body);
  model_push(&m, &corner);
  EXPECT_NE(compute_voxel_grid(&m) & (uint64_t{1} << 63), 0u);
  model_free(&m);
}

TEST(Voxel, NanCoordinatesLandInCellZero) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  float a[3] = {NAN, NAN, NAN};
  float b[3] = {1, 1, 1}, c[3] = {2, 2, 2};
  Triangle t = tri(a, b, c);
  model_push(&m, &t);
  uint64_t mask = compute_voxel_grid(&m);
  EXPECT_NE(mask & 1u, 0u);
  model_free(&m);
}

TEST(Quality, ClosedCubeIsClean) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  push_cube(&m, 10);
  Counts c = quality(m);
  EXPECT_EQ(c.non_manifold, 0);
  EXPECT_EQ(c.flipped, 0);
  EXPECT_EQ(c.degenerate, 0);
  model_free(&m);
}

TEST(Quality, BordersFinsFlipsAndDegenerates) {
  float o[3] = {0, 0, 0}, x[3] = {1, 0, 0}, y[3] = {0, 1, 0}, z[3] = {0, 0, 1};
  float xy[3] = {1, 1, 0}, nz[3] = {0, 0, -1};
  float up[3] = {0, 0, 1}, down[3] = {0, 0, -1};
  struct Case {
    const char* name;
    std::vector<Triangle> tris;
    Counts expect;
  } cases[] = {
      {"single", {tri(o, x, y)}, {3, 0, 0}},
      {"two sharing an edge", {tri(o, x, y), tri(x, xy, y)}, {4, 0, 0}},
      {"three on one edge", {tri(o, x, y), tri(x, o, z), tri(o, x, nz)}, {7, 0, 0}},
      {"flipped against stored normal", {tri(o, x, y, down)}, {3, 1, 0}},
      {"agreeing stored normal", {tri(o, x, y, up)}, {3, 0, 0}},
      {"collinear", {tri(o, x, x), tri(o, x, y)}, {3, 0, 1}},
  };
  // Tables kept from model to model (as a batch keeps them), first filled by
  // a larger model, must count as fresh ones do.
  QualityTables kept = {};
  Model big = numbered(20000);
  Counts ignored;
  analyze_mesh_quality(&big, &ignored.non_manifold, &ignored.flipped, &ignored.degenerate, &kept);
  model_free(&big);
  for (const Case& k : cases) {
    Model m;
    ASSERT_EQ(model_init(&m), 0);
    for (const Triangle& t : k.tris) model_push(&m, &t);
    for (QualityTables* tables : {static_cast<QualityTables*>(nullptr), &kept}) {
      Counts c{-1, -1, -1};
      analyze_mesh_quality(&m, &c.non_manifold, &c.flipped, &c.degenerate, tables);
      EXPECT_EQ(c.non_manifold, k.expect.non_manifold) << k.name;
      EXPECT_EQ(c.flipped, k.expect.flipped) << k.name;
      EXPECT_EQ(c.degenerate, k.expect.degenerate) << k.name;
    }
    model_free(&m);
  }
  quality_tables_free(&kept);
}

TEST(Quality, QuantisationWeldsNearbyVertices) {
  // 0.00005 and -0.00005 both quantise to 0; 0.00009 and 0.00011 do not meet.
  float o[3] = {0, 0, 0}, x[3] = {1, 0, 0}, y[3] = {0, 1, 0}, xy[3] = {1, 1, 0};
  float y_near[3] = {0.00005f, 1, 0}, x_near[3] = {1, -0.00005f, 0};
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  Triangle a = tri(o, x, y), b = tri(x_near, xy, y_near);
  model_push(&m, &a);
  model_push(&m, &b);
  EXPECT_EQ(quality(m).non_manifold, 4);
  model_free(&m);
  float y_a[3] = {0.00009f, 1, 0}, y_b[3] = {0.00011f, 1, 0};
  ASSERT_EQ(model_init(&m), 0);
  a = tri(o, x, y_a);
  b = tri(x, xy, y_b);
  model_push(&m, &a);
  model_push(&m, &b);
  EXPECT_EQ(quality(m).non_manifold, 6);
  model_free(&m);
}

TEST(Quality, UseCountSaturatesAndStillCounts) {
  float o[3] = {0, 0, 0}, x[3] = {1, 0, 0};
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  for (int i = 0; i < 300; i++) {
    float apex[3] = {0.5f, std::cos(i * 0.02f), std::sin(i * 0.02f)};
    Triangle t = tri(o, x, apex);
    model_push(&m, &t);
  }
  // The shared edge plus two unshared edges per triangle.
  EXPECT_EQ(quality(m).non_manifold, 1 + 600);
  model_free(&m);
}

TEST(Quality, HugeAndNanCoordinatesDoNotTrap) {
  float a[3] = {NAN, 1e30f, -1e30f}, b[3] = {INFINITY, 0, 0}, c[3] = {0, -INFINITY, 5};
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  Triangle t = tri(a, b, c);
  model_push(&m, &t);
  quality(m);  // UBSan builds check that no conversion overflows
  model_free(&m);
}

TEST(Quality, ModelsAboveTheLimitAreNotAnalysed) {
  Model m = numbered(500001);
  Counts c = quality(m);
  EXPECT_EQ(c.non_manifold, 0);
  EXPECT_EQ(c.degenerate, 0);
  model_free(&m);
}
