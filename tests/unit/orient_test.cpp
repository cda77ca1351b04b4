// Automatic orientation: the resting-face cases, refusals, and the indexed
// cluster search checked against a plain scan in creation order.
#include "orient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "model.h"
#include "orient_clusters.h"
#include "support/orient_reference.h"

namespace {

struct Vec {
  float x, y, z;
};

Triangle make_tri(Vec a, Vec b, Vec c, Vec n = {0, 0, 0}) {
  return Triangle{{{a.x, a.y, a.z}, {b.x, b.y, b.z}, {c.x, c.y, c.z}}, {n.x, n.y, n.z}};
}

// A model that owns its array for the length of a test.
struct TestModel {
  Model m;
  TestModel() { model_init(&m); }
  ~TestModel() { model_free(&m); }
  TestModel(const TestModel&) = delete;
  TestModel& operator=(const TestModel&) = delete;
  void push(const Triangle& t) { ASSERT_EQ(model_push(&m, &t), 0); }
  void copy_from(const Model& other) {
    m.count = 0;
    for (int32_t i = 0; i < other.count; i++) push(other.triangles[i]);
    memcpy(m.min, other.min, sizeof m.min);
    memcpy(m.max, other.max, sizeof m.max);
  }
};

bool same_model(const Model& a, const Model& b) {
  return a.count == b.count && memcmp(a.min, b.min, sizeof a.min) == 0 &&
         memcmp(a.max, b.max, sizeof a.max) == 0 &&
         memcmp(a.triangles, b.triangles, sizeof(Triangle) * static_cast<size_t>(a.count)) == 0;
}

// One face of the box lo..hi: axis 0/1/2, high side or low side, two triangles
// wound so that the normal points outward (or inward), stored normal to match.
void push_box_face(TestModel* model, Vec lo, Vec hi, int axis, bool high, bool inward = false) {
  const float l[3] = {lo.x, lo.y, lo.z}, h[3] = {hi.x, hi.y, hi.z};
  const int b = (axis + 1) % 3, c = (axis + 2) % 3;
  auto corner = [&](bool bh, bool ch) {
    float p[3];
    p[axis] = high ? h[axis] : l[axis];
    p[b] = bh ? h[b] : l[b];
    p[c] = ch ? h[c] : l[c];
    return Vec{p[0], p[1], p[2]};
  };
  // (lo,lo) -> (hi,lo) -> (hi,hi) winds about +axis.
  const bool plus = high != inward;
  float nv[3] = {0, 0, 0};
  nv[axis] = plus ? 1.0f : -1.0f;
  Vec n{nv[0], nv[1], nv[2]};
  Vec q0 = corner(false, false), q1 = corner(true, false), q2 = corner(true, true),
      q3 = corner(false, true);
  if (plus) {
    model->push(make_tri(q0, q1, q2, n));
    model->push(make_tri(q0, q2, q3, n));
  } else {
    model->push(make_tri(q0, q2, q1, n));
    model->push(make_tri(q0, q3, q2, n));
  }
}

struct Face {
  int axis;
  bool high;
};

void push_box(TestModel* model, Vec lo, Vec hi, const std::vector<Face>& order,
              bool inward = false) {
  for (const Face& f : order) push_box_face(model, lo, hi, f.axis, f.high, inward);
}

// ---- The plain reference (tests/support/orient_reference.h).

float diagonal_of(const Model& m) {
  return reference_diagonal(m);
}

int32_t plain_clusters(const Model& model, std::vector<OrientCluster>* table) {
  table->assign(kOrientMaxClusters, OrientCluster{});
  return ::plain_clusters(model, table->data());
}

// The whole plain orientation, with the same refusals.
void plain_orient(Model* model) {
  if (model->count < 1 || model->count > 2000000 || diagonal_of(*model) < 1e-6f) return;
  std::vector<OrientCluster> table;
  int32_t count = plain_clusters(*model, &table);
  if (count > 0) plain_apply(model, table.data(), count);
}

// Indexed and plain tables must match bit for bit, and so must the turned models.
void expect_equivalent(const Model& model, const char* name) {
  SCOPED_TRACE(name);
  std::vector<OrientCluster> plain, indexed(kOrientMaxClusters);
  int32_t plain_count = plain_clusters(model, &plain);
  int32_t indexed_count = orient_build_clusters(&model, indexed.data());
  ASSERT_EQ(indexed_count, plain_count);
  for (int32_t c = 0; c < plain_count; c++) {
    ASSERT_EQ(memcmp(&indexed[c], &plain[c], sizeof(OrientCluster)), 0) << "cluster " << c;
  }
  TestModel a, b;
  a.copy_from(model);
  b.copy_from(model);
  auto_orient_model(&a.m);
  plain_orient(&b.m);
  EXPECT_TRUE(same_model(a.m, b.m));
}

// ---- Generators for the equivalence cases.

Vec normalized(Vec v) {
  double l = std::sqrt(double(v.x) * v.x + double(v.y) * v.y + double(v.z) * v.z);
  return {float(v.x / l), float(v.y / l), float(v.z / l)};
}

Vec random_direction(std::mt19937* rng) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  for (;;) {
    Vec v{g(*rng), g(*rng), g(*rng)};
    if (v.x * v.x + v.y * v.y + v.z * v.z > 1e-6f) return normalized(v);
  }
}

// Two unit vectors perpendicular to n and to each other, t1 x t2 = n.
void tangents(Vec n, Vec* t1, Vec* t2) {
  Vec a = std::fabs(n.x) < 0.6f ? Vec{1, 0, 0} : Vec{0, 1, 0};
  Vec c{n.y * a.z - n.z * a.y, n.z * a.x - n.x * a.z, n.x * a.y - n.y * a.x};
  *t1 = normalized(c);
  *t2 = {n.y * t1->z - n.z * t1->y, n.z * t1->x - n.x * t1->z, n.x * t1->y - n.y * t1->x};
}

// A small triangle of edge `size` in the plane with unit normal n at offset d
// (near the point d n, shifted within the plane by `shift`).
Triangle plane_tri(Vec n, float d, float size, float shift = 0.0f) {
  Vec t1, t2;
  tangents(n, &t1, &t2);
  Vec p0{d * n.x + shift * t1.x, d * n.y + shift * t1.y, d * n.z + shift * t1.z};
  Vec p1{p0.x + size * t1.x, p0.y + size * t1.y, p0.z + size * t1.z};
  Vec p2{p0.x + size * t2.x, p0.y + size * t2.y, p0.z + size * t2.z};
  return make_tri(p0, p1, p2, n);
}

// n turned by `angle` radians about a random axis perpendicular to it.
Vec tilt(Vec n, double angle, std::mt19937* rng) {
  Vec t1, t2;
  tangents(n, &t1, &t2);
  std::uniform_real_distribution<double> turn(0.0, 6.283185307179586);
  double phi = turn(*rng), c = std::cos(angle), s = std::sin(angle);
  double tx = std::cos(phi) * t1.x + std::sin(phi) * t2.x;
  double ty = std::cos(phi) * t1.y + std::sin(phi) * t2.y;
  double tz = std::cos(phi) * t1.z + std::sin(phi) * t2.z;
  return {float(c * n.x + s * tx), float(c * n.y + s * ty), float(c * n.z + s * tz)};
}

// Fixes the box to the cube [-h, h]^3 with two far corner triangles.
void push_frame(TestModel* model, float h) {
  model->push(make_tri({-h, -h, -h}, {-h, -h, -h}, {-h, -h, -h}));
  model->push(make_tri({h, h, h}, {h, h, h}, {h, h, h}));
}

const double kThresholdAngle = std::acos(0.98);  // about 11.48 degrees

}  // namespace

// ---- Resting-face cases.

TEST(Orient, MeshAlreadyRestingIsUntouchedBitForBit) {
  // A box tilted 1.5 degrees about z: its largest face is within the 0.999 limit.
  TestModel model;
  push_box(&model, {0, 0, 0}, {10, 2, 6},
           {{1, false}, {1, true}, {0, false}, {0, true}, {2, false}, {2, true}});
  const float c = cosf(0.0261799f), s = sinf(0.0261799f);
  for (int32_t i = 0; i < model.m.count; i++) {
    for (auto& v : model.m.triangles[i].vertices) {
      float x = v[0], y = v[1];
      v[0] = c * x - s * y;
      v[1] = s * x + c * y;
    }
  }
  // Box as model_push would have left it for the tilted vertices.
  TestModel pushed;
  for (int32_t i = 0; i < model.m.count; i++) pushed.push(model.m.triangles[i]);
  memcpy(model.m.min, pushed.m.min, sizeof model.m.min);
  memcpy(model.m.max, pushed.m.max, sizeof model.m.max);
  TestModel before;
  before.copy_from(model.m);
  auto_orient_model(&model.m);
  EXPECT_TRUE(same_model(model.m, before.m));
}

TEST(Orient, FlatPlateTopFirstIsTurnedHalfAboutX) {
  TestModel model;
  push_box(&model, {0, 0, 0}, {10, 0.5f, 10},
           {{1, true}, {1, false}, {0, false}, {0, true}, {2, false}, {2, true}});
  TestModel before;
  before.copy_from(model.m);
  auto_orient_model(&model.m);
  EXPECT_EQ(model.m.min[0], 0.0f);
  EXPECT_EQ(model.m.min[1], -0.5f);
  EXPECT_EQ(model.m.min[2], -10.0f);
  EXPECT_EQ(model.m.max[0], 10.0f);
  EXPECT_EQ(model.m.max[1], 0.0f);
  EXPECT_EQ(model.m.max[2], 0.0f);
  for (int32_t i = 0; i < model.m.count; i++) {
    const Triangle& t = model.m.triangles[i];
    const Triangle& o = before.m.triangles[i];
    for (int v = 0; v < 3; v++) {
      EXPECT_EQ(t.vertices[v][0], o.vertices[v][0]);
      EXPECT_EQ(t.vertices[v][1], -o.vertices[v][1]);
      EXPECT_EQ(t.vertices[v][2], -o.vertices[v][2]);
    }
    EXPECT_EQ(t.normal[0], o.normal[0]);
    EXPECT_EQ(t.normal[1], -o.normal[1]);
    EXPECT_EQ(t.normal[2], -o.normal[2]);
  }
}

TEST(Orient, CubeTurnsTheFaceOfItsFirstTriangleDown) {
  TestModel model;
  push_box(&model, {0, 0, 0}, {10, 10, 10},
           {{0, false}, {0, true}, {1, false}, {1, true}, {2, false}, {2, true}});
  TestModel before;
  before.copy_from(model.m);
  auto_orient_model(&model.m);
  // R maps (x, y, z) to (-y, x, z).
  for (int32_t i = 0; i < model.m.count; i++) {
    const Triangle& t = model.m.triangles[i];
    const Triangle& o = before.m.triangles[i];
    for (int v = 0; v < 3; v++) {
      EXPECT_EQ(t.vertices[v][0], -o.vertices[v][1]);
      EXPECT_EQ(t.vertices[v][1], o.vertices[v][0]);
      EXPECT_EQ(t.vertices[v][2], o.vertices[v][2]);
    }
  }
  const float* n = model.m.triangles[0].normal;
  EXPECT_EQ(n[0], 0.0f);
  EXPECT_EQ(n[1], -1.0f);
  EXPECT_EQ(n[2], 0.0f);
  const float min[3] = {-10, 0, 0}, max[3] = {0, 10, 10};
  for (int a = 0; a < 3; a++) {
    EXPECT_EQ(model.m.min[a], min[a]) << "axis " << a;
    EXPECT_EQ(model.m.max[a], max[a]) << "axis " << a;
  }
}

namespace {

// A dish built upright (inner floor 10 x 10 at y = 1 facing up, four flared
// inner walls up to a rim at y = 3, a foot of fw x fd at y = 0 facing down),
// then laid on its side so that the foot faces +x: (x, y, z) -> (-y, x, z).
void push_dish(TestModel* model, float fw, float fd) {
  std::vector<Triangle> tris;
  auto quad = [&](Vec a, Vec b, Vec c, Vec d, Vec n) {
    tris.push_back(make_tri(a, b, c, n));
    tris.push_back(make_tri(a, c, d, n));
  };
  quad({-5, 1, -5}, {-5, 1, 5}, {5, 1, 5}, {5, 1, -5}, {0, 1, 0});                // floor
  quad({5, 1, -5}, {5, 1, 5}, {7, 3, 7}, {7, 3, -7}, {-0.7071f, 0.7071f, 0});     // +x wall
  quad({-5, 1, 5}, {-5, 1, -5}, {-7, 3, -7}, {-7, 3, 7}, {0.7071f, 0.7071f, 0});  // -x wall
  quad({5, 1, 5}, {-5, 1, 5}, {-7, 3, 7}, {7, 3, 7}, {0, 0.7071f, -0.7071f});     // +z wall
  quad({-5, 1, -5}, {5, 1, -5}, {7, 3, -7}, {-7, 3, -7}, {0, 0.7071f, 0.7071f});  // -z wall
  float x = fw / 2, z = fd / 2;
  quad({-x, 0, -z}, {x, 0, -z}, {x, 0, z}, {-x, 0, z}, {0, -1, 0});  // foot
  for (Triangle t : tris) {
    for (auto& v : t.vertices) {
      float px = v[0], py = v[1];
      v[0] = -py;
      v[1] = px;
    }
    float nx = t.normal[0], ny = t.normal[1];
    t.normal[0] = -ny;
    t.normal[1] = nx;
    model->push(t);
  }
}

}  // namespace

TEST(Orient, DishStandsOnAFootAboveThreeTenthsOfItsFloor) {
  struct Case {
    const char* name;
    float foot_w, foot_d;
    bool foot_down;
  };
  const Case cases[] = {
      {"foot 36 of 100", 6, 6, true},
      {"foot 30 of 100", 6, 5, false},
      {"foot 25 of 100", 5, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestModel model;
    push_dish(&model, c.foot_w, c.foot_d);
    auto_orient_model(&model.m);
    // Triangles 0-1 are the inner floor, 10-11 the foot.
    const float* down = model.m.triangles[c.foot_down ? 10 : 0].normal;
    EXPECT_NEAR(down[0], 0.0f, 1e-5f);
    EXPECT_NEAR(down[1], -1.0f, 1e-5f);
    EXPECT_NEAR(down[2], 0.0f, 1e-5f);
    // The foot ends at the bottom of an upright dish, at the top otherwise.
    float foot_y = model.m.triangles[10].vertices[0][1];
    EXPECT_NEAR(foot_y, c.foot_down ? model.m.min[1] : model.m.max[1], 1e-4f);
  }
}

TEST(Orient, InsideOutConvexBodyPutsItsLargestFaceOnTop) {
  TestModel model;
  push_box(&model, {0, 0, 0}, {4, 10, 6},
           {{0, false}, {0, true}, {1, false}, {1, true}, {2, false}, {2, true}}, true);
  std::vector<OrientCluster> table(kOrientMaxClusters);
  int32_t count = orient_build_clusters(&model.m, table.data());
  ASSERT_EQ(count, 6);
  TestModel copy;
  copy.copy_from(model.m);
  orient_apply_clusters(&copy.m, table.data(), count);
  for (int32_t c = 0; c < count; c++) EXPECT_EQ(table[c].support, 0) << "cluster " << c;

  TestModel before;
  before.copy_from(model.m);
  auto_orient_model(&model.m);
  EXPECT_TRUE(same_model(model.m, copy.m));
  // The x = 0 face (inward normal +x) is turned up: R maps (x, y, z) to (y, -x, z).
  for (int32_t i = 0; i < model.m.count; i++) {
    for (int v = 0; v < 3; v++) {
      EXPECT_EQ(model.m.triangles[i].vertices[v][0], before.m.triangles[i].vertices[v][1]);
      EXPECT_EQ(model.m.triangles[i].vertices[v][1], -before.m.triangles[i].vertices[v][0]);
      EXPECT_EQ(model.m.triangles[i].vertices[v][2], before.m.triangles[i].vertices[v][2]);
    }
  }
  for (int v = 0; v < 3; v++) EXPECT_EQ(model.m.triangles[0].vertices[v][1], model.m.max[1]);
  EXPECT_EQ(model.m.min[1], -4.0f);
  EXPECT_EQ(model.m.max[0], 10.0f);
}

TEST(Orient, RefusalsLeaveTheModelUnchanged) {
  struct Case {
    const char* name;
    void (*build)(TestModel*);
  };
  const Case cases[] = {
      {"no triangles", [](TestModel*) {}},
      {"zero-area triangles only",
       [](TestModel* m) {
         m->push(make_tri({0, 0, 0}, {1, 2, 3}, {2, 4, 6}, {0, 1, 0}));
         m->push(make_tri({5, 0, 1}, {5, 0, 1}, {7, 3, 1}, {1, 0, 0}));
         m->push(make_tri({1e-6f, 0, 0}, {0, 1e-6f, 0}, {0, 0, 0}));  // area 5e-13
       }},
      {"point box",
       [](TestModel* m) {
         for (int i = 0; i < 3; i++) m->push(make_tri({3, 4, 5}, {3, 4, 5}, {3, 4, 5}, {0, 0, 1}));
       }},
      {"box diagonal below 1e-6",
       [](TestModel* m) {
         m->push(make_tri({0, 0, 0}, {5e-7f, 0, 0}, {0, 5e-7f, 0}, {0, 0, 1}));
       }},
      {"more than 2,000,000 triangles",
       [](TestModel* m) {
         push_box(m, {0, 0, 0}, {10, 10, 10}, {{0, false}});
         Triangle t = m->m.triangles[0];
         while (m->m.count < 2000001) m->push(t);
       }},
      {"areas that overflow give no rotation",
       [](TestModel* m) {
         m->push(make_tri({0, 0, 0}, {1e19f, 0, 0}, {0, 1e19f, 0}, {0, 0, 1}));
         m->push(make_tri({0, 0, 0}, {1e20f, 0, 0}, {0, 1e20f, 0}, {0, 0, 1}));
         m->push(make_tri({0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestModel model, before;
    c.build(&model);
    before.copy_from(model.m);
    auto_orient_model(&model.m);
    EXPECT_TRUE(same_model(model.m, before.m));
  }
}

TEST(Orient, TwoMillionTrianglesAreStillTurned) {
  TestModel model;
  push_box(&model, {0, 0, 0}, {10, 10, 10},
           {{0, false}, {0, true}, {1, false}, {1, true}, {2, false}, {2, true}});
  Triangle t = model.m.triangles[2];  // the x = 10 face becomes the largest
  while (model.m.count < 2000000) model.push(t);
  auto_orient_model(&model.m);
  EXPECT_EQ(model.m.triangles[2].normal[1], -1.0f);
  EXPECT_EQ(model.m.min[1], -10.0f);
}

namespace {

// Two large faces (x = 10 facing +x, area 400, first; x = -10 facing -x, area
// 200), then small triangles on more than 8192 distinct planes inside the
// cube [-10, 10]^3, then optionally one triangle in the plane x = 15.
void push_crowded(TestModel* model, bool late_triangle) {
  model->push(make_tri({10, -10, -10}, {10, 10, -10}, {10, 10, 10}, {1, 0, 0}));
  model->push(make_tri({10, -10, -10}, {10, 10, 10}, {10, -10, 10}, {1, 0, 0}));
  model->push(make_tri({-10, -10, -5}, {-10, 10, 5}, {-10, 10, -5}, {-1, 0, 0}));
  model->push(make_tri({-10, -10, -5}, {-10, -10, 5}, {-10, 10, 5}, {-1, 0, 0}));
  // Directions on a Fibonacci sphere, offsets 0.4 apart (the offset
  // tolerance here is 0.01 x 37.7).
  const int directions = 1000;
  for (int k = 0; k < directions; k++) {
    double z = 1.0 - (2.0 * k + 1.0) / directions, r = std::sqrt(1.0 - z * z);
    double phi = 2.399963229728653 * k;
    Vec n{float(r * std::cos(phi)), float(r * std::sin(phi)), float(z)};
    for (int j = -22; j <= 22; j++) model->push(plane_tri(n, 0.4f * j, 0.05f));
  }
  if (late_triangle) model->push(make_tri({15, 0, 0}, {15, 1, 0}, {15, 0, 1}, {1, 0, 0}));
  model->m.max[0] = 15;  // the same box, and so the same tolerances, either way
}

}  // namespace

TEST(Orient, TrianglesBeyondTheLastClusterAreTurnedAndCountForSupport) {
  TestModel with, without;
  push_crowded(&with, true);
  push_crowded(&without, false);
  std::vector<OrientCluster> a(kOrientMaxClusters), b(kOrientMaxClusters);
  int32_t count_a = orient_build_clusters(&with.m, a.data());
  int32_t count_b = orient_build_clusters(&without.m, b.data());
  ASSERT_EQ(count_a, kOrientMaxClusters);
  ASSERT_EQ(count_b, kOrientMaxClusters);
  // The late triangle joined no cluster.
  EXPECT_EQ(memcmp(a.data(), b.data(), sizeof(OrientCluster) * kOrientMaxClusters), 0);

  TestModel before;
  before.copy_from(with.m);
  auto_orient_model(&with.m);
  // Its vertex at x = 15 keeps the +x face from being a support face, so the
  // -x face goes down: R maps (x, y, z) to (-y, x, z), late triangle included.
  for (int32_t i : {0, 2, with.m.count - 1}) {
    for (int v = 0; v < 3; v++) {
      EXPECT_EQ(with.m.triangles[i].vertices[v][0], -before.m.triangles[i].vertices[v][1]);
      EXPECT_EQ(with.m.triangles[i].vertices[v][1], before.m.triangles[i].vertices[v][0]);
      EXPECT_EQ(with.m.triangles[i].vertices[v][2], before.m.triangles[i].vertices[v][2]);
    }
  }
  EXPECT_EQ(with.m.max[1], 15.0f);
  // Without it the +x face is a support face and goes down: (x, y, z) -> (y, -x, z).
  TestModel before_without;
  before_without.copy_from(without.m);
  auto_orient_model(&without.m);
  EXPECT_EQ(without.m.triangles[0].vertices[0][0], before_without.m.triangles[0].vertices[0][1]);
  EXPECT_EQ(without.m.triangles[0].vertices[0][1], -before_without.m.triangles[0].vertices[0][0]);
}

TEST(Orient, RotationKeepsCountOrderAndZeroNormalsAndTightensTheBox) {
  TestModel model;
  push_box(&model, {1, 2, 3}, {4, 9, 5},
           {{2, true}, {0, false}, {1, false}, {1, true}, {2, false}, {0, true}});
  memset(model.m.triangles[3].normal, 0, sizeof(float) * 3);  // a zero normal stays zero
  model.m.min[0] = -100;  // a loose box is replaced by a tight one
  TestModel before;
  before.copy_from(model.m);
  auto_orient_model(&model.m);
  ASSERT_EQ(model.m.count, before.m.count);
  EXPECT_EQ(model.m.triangles[3].normal[0], 0.0f);
  EXPECT_EQ(model.m.triangles[3].normal[1], 0.0f);
  EXPECT_EQ(model.m.triangles[3].normal[2], 0.0f);
  TestModel pushed;
  for (int32_t i = 0; i < model.m.count; i++) pushed.push(model.m.triangles[i]);
  EXPECT_EQ(memcmp(model.m.min, pushed.m.min, sizeof model.m.min), 0);
  EXPECT_EQ(memcmp(model.m.max, pushed.m.max, sizeof model.m.max), 0);
  // The largest face, z = 5 (first), went down.
  EXPECT_NEAR(model.m.triangles[0].normal[1], -1.0f, 1e-6f);
}

TEST(Orient, ClusterOrderEqualsForwardInsertionSortEvenWithNaNAreas) {
  // Areas with ties, infinities and NaNs; each cluster is tagged by its offset.
  const float areas[] = {2, 5, 2, NAN, 7, 5, INFINITY, 1,    7, NAN, 3, 3, 9, 2, 5,
                         1, 4, 4, NAN, 6, 8, 8,        0.5f, 2, 9,   3, 5, 1, 7, 2};
  const int32_t n = static_cast<int32_t>(sizeof areas / sizeof areas[0]);
  std::vector<OrientCluster> table(static_cast<size_t>(n));
  for (int32_t c = 0; c < n; c++) {
    table[c] = OrientCluster{{0, 1, 0}, {0, 1, 0}, static_cast<float>(c), areas[c], 0};
  }
  // The reference: move forward only past strictly smaller areas.
  std::vector<OrientCluster> expected = table;
  for (int32_t i = 1; i < n; i++) {
    OrientCluster key = expected[i];
    int32_t j = i - 1;
    while (j >= 0 && expected[j].area < key.area) {
      expected[j + 1] = expected[j];
      j--;
    }
    expected[j + 1] = key;
  }
  TestModel model;
  push_box(&model, {0, 0, 0}, {1, 1, 1}, {{1, false}});
  orient_apply_clusters(&model.m, table.data(), n);
  for (int32_t c = 0; c < n; c++) EXPECT_EQ(table[c].offset, expected[c].offset) << "place " << c;
}

// ---- The indexed search against the plain scan.

TEST(OrientIndex, RandomMeshesMatchThePlainScan) {
  std::mt19937 rng(12345);
  {
    TestModel model;
    std::uniform_real_distribution<float> coord(-50.0f, 50.0f);
    for (int i = 0; i < 20000; i++) {
      model.push(make_tri({coord(rng), coord(rng), coord(rng)},
                          {coord(rng), coord(rng), coord(rng)},
                          {coord(rng), coord(rng), coord(rng)}));
    }
    expect_equivalent(model.m, "random triangles");
  }
  {
    // A faceted solid: triangles on 60 planes with vertex noise, so most merge.
    TestModel model;
    push_frame(&model, 20);
    std::vector<Vec> normals;
    std::vector<float> offsets;
    std::uniform_real_distribution<float> off(-15.0f, 15.0f), jitter(-0.05f, 0.05f),
        shift(-3.0f, 3.0f);
    for (int k = 0; k < 60; k++) {
      normals.push_back(random_direction(&rng));
      offsets.push_back(off(rng));
    }
    std::uniform_int_distribution<int> pick(0, 59);
    for (int i = 0; i < 30000; i++) {
      int k = pick(rng);
      Triangle t = plane_tri(normals[k], offsets[k], 1.0f, shift(rng));
      for (auto& v : t.vertices) {
        for (float& x : v) x += jitter(rng);
      }
      model.push(t);
    }
    expect_equivalent(model.m, "noisy facets");
  }
  {
    // A noisy sphere away from the origin, in storage order ring by ring.
    TestModel model;
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    const int rings = 60, segments = 120;
    auto point = [&](int r, int s) {
      float theta = 3.14159265f * r / rings, phi = 6.2831853f * s / segments;
      return Vec{30 + 10 * sinf(theta) * cosf(phi) + noise(rng), -20 + 10 * cosf(theta),
                 5 + 10 * sinf(theta) * sinf(phi) + noise(rng)};
    };
    for (int r = 0; r < rings; r++) {
      for (int s = 0; s < segments; s++) {
        Vec a = point(r, s), b = point(r + 1, s), c = point(r + 1, s + 1), d = point(r, s + 1);
        model.push(make_tri(a, b, c));
        model.push(make_tri(a, c, d));
      }
    }
    expect_equivalent(model.m, "noisy sphere");
  }
}

TEST(OrientIndex, NormalsAtTheAgreementThresholdMatchThePlainScan) {
  std::mt19937 rng(777);
  TestModel model;
  push_frame(&model, 10);
  std::vector<Vec> bases;
  // Components on the grid's cell edges, and random directions.
  bases.push_back(normalized({0.5f, 0.5f, 0.70710678f}));
  bases.push_back({0.25f, 0.75f, 0.61237244f});
  bases.push_back({1, 0, 0});
  bases.push_back({0, 0, -1});
  bases.push_back(normalized({-0.75f, 0.5f, -0.4330127f}));
  for (int k = 0; k < 40; k++) bases.push_back(random_direction(&rng));
  // Every base plane passes through the origin, so every offset is 0 or a
  // rounding error away, and the normal test alone decides.
  for (const Vec& n : bases) model.push(plane_tri(n, 0.0f, 1.0f));
  std::uniform_real_distribution<double> near(-3e-6, 3e-6);
  std::uniform_int_distribution<size_t> pick(0, bases.size() - 1);
  for (int i = 0; i < 20000; i++) {
    Vec n = tilt(bases[pick(rng)], kThresholdAngle + near(rng), &rng);
    model.push(plane_tri(n, 0.0f, 1.0f));
  }
  expect_equivalent(model.m, "threshold normals");
}

TEST(OrientIndex, OffsetsAtTheToleranceMatchThePlainScan) {
  std::mt19937 rng(4242);
  TestModel model;
  push_frame(&model, 10);
  const float tol = 0.01f * diagonal_of(model.m);
  const float slice = 4 * tol;  // the index slices offsets this wide
  std::vector<Vec> normals = {{0, 1, 0}, {1, 0, 0}, normalized({1, 1, 1})};
  for (int k = 0; k < 5; k++) normals.push_back(random_direction(&rng));
  std::uniform_real_distribution<float> near(-2e-6f, 2e-6f);
  std::uniform_int_distribution<int> step(-4, 4), base(-5, 5);
  for (int i = 0; i < 20000; i++) {
    const Vec& n = normals[static_cast<size_t>(i) % normals.size()];
    // Offsets next to slice edges, and one or more tolerances away from them.
    float d = base(rng) * slice + step(rng) * tol * (1.0f + near(rng)) + near(rng);
    model.push(plane_tri(n, d, 0.5f));
  }
  expect_equivalent(model.m, "threshold offsets");
}

TEST(OrientIndex, MoreThan8192PlanesMatchThePlainScan) {
  std::mt19937 rng(99);
  TestModel model;
  push_frame(&model, 10);
  std::uniform_real_distribution<float> off(-9.0f, 9.0f);
  std::vector<Triangle> planes;
  for (int i = 0; i < 12000; i++)
    planes.push_back(plane_tri(random_direction(&rng), off(rng), 0.3f));
  for (const Triangle& t : planes) model.push(t);
  // Later triangles on earlier planes, found after the table is full.
  std::uniform_int_distribution<size_t> pick(0, planes.size() - 1);
  std::uniform_real_distribution<float> shift(-0.2f, 0.2f);
  for (int i = 0; i < 10000; i++) {
    Triangle t = planes[pick(rng)];
    for (auto& v : t.vertices) v[0] += shift(rng) * 0.01f;
    model.push(t);
  }
  expect_equivalent(model.m, "crowded planes");
}

TEST(OrientIndex, ExtremeValuesMatchThePlainScan) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  auto random_tris = [&](TestModel* m, int n, float scale, Vec at) {
    for (int i = 0; i < n; i++) {
      m->push(
          make_tri({at.x + scale * unit(rng), at.y + scale * unit(rng), at.z + scale * unit(rng)},
                   {at.x + scale * unit(rng), at.y + scale * unit(rng), at.z + scale * unit(rng)},
                   {at.x + scale * unit(rng), at.y + scale * unit(rng), at.z + scale * unit(rng)}));
    }
  };
  {
    // A stored box far smaller than the triangles: offsets lie some 1e18
    // slices out, beyond the integers a double holds exactly.
    TestModel model;
    random_tris(&model, 3000, 1e6f, {1e12f, -2e12f, 5e11f});
    random_tris(&model, 3000, 1.0f, {3.0f, 1.0f, -7.0f});
    for (int i = 0; i < 6000; i += 3) model.push(model.m.triangles[i]);  // exact repeats
    for (int a = 0; a < 3; a++) {
      model.m.min[a] = 0;
      model.m.max[a] = 1e-5f;
    }
    expect_equivalent(model.m, "tiny box, far offsets");
  }
  {
    TestModel model;  // areas and offsets that overflow
    random_tris(&model, 2000, 1e19f, {0, 0, 0});
    random_tris(&model, 2000, 3e38f, {0, 0, 0});
    random_tris(&model, 2000, 1.0f, {0, 0, 0});
    expect_equivalent(model.m, "overflowing values");
  }
  {
    TestModel model;  // NaN and infinite coordinates among ordinary ones
    random_tris(&model, 5000, 5.0f, {0, 0, 0});
    const float odd[] = {NAN, INFINITY, -INFINITY};
    for (int i = 0; i < 5000; i += 3) {
      model.m.triangles[i].vertices[i % 3][(i / 3) % 3] = odd[(i / 9) % 3];
    }
    expect_equivalent(model.m, "NaN and infinity");
  }
  {
    TestModel model;  // NaN box: no tolerance admits anything
    random_tris(&model, 5000, 5.0f, {0, 0, 0});
    model.m.min[1] = NAN;
    expect_equivalent(model.m, "NaN box");
  }
}

TEST(OrientIndex, WorkspaceKeptFromModelToModelChangesNothing) {
  std::mt19937 rng(8080);
  std::uniform_real_distribution<float> coord(-30.0f, 30.0f), near(-0.05f, 0.05f);
  auto random_model = [&](TestModel* m, int n) {
    for (int i = 0; i < n; i++) {
      m->push(make_tri({coord(rng), coord(rng), coord(rng)}, {coord(rng), coord(rng), coord(rng)},
                       {coord(rng), coord(rng), coord(rng)}));
    }
  };
  auto facets = [&](TestModel* m, int n) {  // few planes, many triangles each
    for (int i = 0; i < n; i++) {
      Vec d = normalized({1.0f + (i % 7), 2.0f - (i % 5), 0.5f + (i % 3)});
      Triangle t = plane_tri(d, 4.0f * (i % 4), 1.0f, near(rng) * 40);
      for (auto& v : t.vertices) v[0] += near(rng);
      m->push(t);
    }
  };
  const int sizes[] = {20000, 300, 9000, 30000, 5000};
  OrientWorkspace workspace = {};
  for (int round = 0; round < 5; round++) {
    TestModel model;
    if (round % 2 == 0) {
      random_model(&model, sizes[round]);
    } else {
      facets(&model, sizes[round]);
    }
    TestModel plain;
    plain.copy_from(model.m);
    auto_orient_model(&model.m, &workspace);
    auto_orient_model(&plain.m);
    EXPECT_TRUE(same_model(model.m, plain.m)) << "round " << round;
  }
  orient_workspace_free(&workspace);
}

// ---- The support heights against a plain pass.

TEST(OrientSupport, HeightsEqualAPlainPassOverEveryVertex) {
  std::mt19937 rng(555);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  struct Case {
    const char* name;
    float scale;  // of the random offsets around a curved strip
    Vec at;
    bool odd;  // NaN and infinities among the coordinates
  } cases[] = {
      {"strip near the origin", 20.0f, {0, 0, 0}, false},
      {"strip far away", 5.0f, {3e4f, -2e4f, 1e4f}, false},
      {"huge coordinates", 1e30f, {1e31f, 0, 0}, false},
      {"tiny coordinates", 1e-30f, {0, 0, 0}, false},
      {"NaN and infinities", 10.0f, {0, 0, 0}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Triangles along a wound strip, so that blocks of neighbours have small
    // boxes (and most are skipped), and a few random ones.
    TestModel model;
    for (int i = 0; i < 20000; i++) {
      float t = 0.002f * i, r = c.scale * (1.0f + 0.1f * unit(rng));
      Vec p{c.at.x + r * cosf(t), c.at.y + r * sinf(t) * cosf(3 * t), c.at.z + r * sinf(t)};
      Vec q{p.x + c.scale * 0.01f * unit(rng), p.y, p.z + c.scale * 0.01f * unit(rng)};
      model.push(make_tri(p, q, {q.x, q.y + c.scale * 0.01f, q.z}));
    }
    for (int i = 0; i < 50; i++) {
      Triangle& t = model.m.triangles[static_cast<size_t>(i) * 397];
      for (auto& v : t.vertices) v[i % 3] = c.scale * 2.0f * unit(rng);
    }
    if (c.odd) {
      const float odd[] = {NAN, INFINITY, -INFINITY};
      for (int i = 0; i < 20000; i += 1999) model.m.triangles[i].vertices[i % 3][1] = odd[i % 3];
    }
    std::vector<OrientCluster> clusters(20, OrientCluster{});
    for (int k = 0; k < 16; k++) {
      Vec n = random_direction(&rng);
      clusters[static_cast<size_t>(k)].normal[0] = n.x;
      clusters[static_cast<size_t>(k)].normal[1] = n.y;
      clusters[static_cast<size_t>(k)].normal[2] = n.z;
    }
    const float edge[4][3] = {{0, 0, 0}, {NAN, 0, 1}, {3.0f, -4.0f, 0.5f}, {0, 1, 0}};
    for (int k = 0; k < 4; k++) memcpy(clusters[16 + k].normal, edge[k], sizeof edge[k]);
    float h[20];
    orient_support_heights(&model.m, clusters.data(), 20, h);
    for (int k = 0; k < 20; k++) {
      const float plain = plain_support_height(model.m, clusters[static_cast<size_t>(k)].normal);
      EXPECT_EQ(memcmp(&h[k], &plain, sizeof plain), 0)
          << "normal " << k << ": " << h[k] << " against " << plain;
    }
  }
}
