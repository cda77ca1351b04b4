// Model growth and box rules.
#include "model.h"

#include <gtest/gtest.h>

#include <cmath>

static Triangle make_tri(float x0, float y0, float z0, float x1, float y1, float z1, float x2,
                         float y2, float z2) {
  return Triangle{{{x0, y0, z0}, {x1, y1, z1}, {x2, y2, z2}}, {0, 0, 0}};
}

TEST(Model, NewModelHasInvertedBoxAndInitialCapacity) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  EXPECT_EQ(m.count, 0);
  EXPECT_EQ(m.capacity, 4096);
  for (int a = 0; a < 3; a++) {
    EXPECT_EQ(m.min[a], 3.4028235e38f);
    EXPECT_EQ(m.max[a], -3.4028235e38f);
  }
  EXPECT_EQ(m.source_count, 0);
  EXPECT_EQ(m.is_binary, 0);
  model_free(&m);
  model_free(&m);  // a second release is harmless
}

TEST(Model, GrowthDoublesAndKeepsTriangles) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  for (int i = 0; i < 8193; i++) {
    Triangle t = make_tri(static_cast<float>(i), 0, 0, 0, 1, 0, 0, 0, 1);
    ASSERT_EQ(model_push(&m, &t), 0);
    if (i == 4096) {
      EXPECT_EQ(m.capacity, 8192);
    }
  }
  EXPECT_EQ(m.capacity, 16384);
  for (int i = 0; i < 8193; i++) ASSERT_EQ(m.triangles[i].vertices[0][0], static_cast<float>(i));
  model_free(&m);
}

TEST(Model, NanCoordinateLeavesThatAxisOfTheBox) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  Triangle t = make_tri(NAN, 1, 2, NAN, 3, -4, NAN, 5, 6);
  model_push(&m, &t);
  EXPECT_EQ(m.min[0], 3.4028235e38f);
  EXPECT_EQ(m.max[0], -3.4028235e38f);
  EXPECT_EQ(m.min[1], 1);
  EXPECT_EQ(m.max[1], 5);
  EXPECT_EQ(m.min[2], -4);
  EXPECT_EQ(m.max[2], 6);
  model_free(&m);
}

TEST(Model, FirstTriangleSetsBothEndsEvenWhenDegenerate) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  Triangle t = make_tri(2, 3, 4, 2, 3, 4, 2, 3, 4);
  model_push(&m, &t);
  for (int a = 0; a < 3; a++) EXPECT_EQ(m.min[a], m.max[a]);
  model_free(&m);
}

TEST(Model, GrowthRefusedAtInt32LimitLeavesModelIntact) {
  Model m;
  ASSERT_EQ(model_init(&m), 0);
  int32_t real_capacity = m.capacity;
  m.capacity = INT32_MAX / 2 + 1;  // pretend: doubling would leave int32
  EXPECT_EQ(model_grow(&m), -1);
  EXPECT_EQ(m.capacity, INT32_MAX / 2 + 1);
  m.capacity = real_capacity;
  model_free(&m);
}

TEST(Model, FacetNormalIsUnitOrLeftAsComputed) {
  const float p0[3] = {0, 0, 0}, p1[3] = {2, 0, 0}, p2[3] = {0, 2, 0};
  float n[3];
  facet_normal(p0, p1, p2, n);
  EXPECT_EQ(n[0], 0.0f);
  EXPECT_EQ(n[1], 0.0f);
  EXPECT_EQ(n[2], 1.0f);
  facet_normal(p0, p0, p0, n);
  EXPECT_EQ(n[0], 0.0f);
  EXPECT_EQ(n[2], 0.0f);
}
