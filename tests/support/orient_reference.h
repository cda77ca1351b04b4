// The plain orientation that the product must equal bit for bit: every
// triangle scans the clusters from index 0 in creation order, and the turn is
// chosen with a plain sort and a plain pass over every vertex. Kept out of the
// product as the yardstick for the equivalence tests and benchmarks.
#pragma once

#include <cmath>
#include <cstdint>

#include "orient_clusters.h"

inline float reference_diagonal(const Model& m) {
  float dx = m.max[0] - m.min[0], dy = m.max[1] - m.min[1], dz = m.max[2] - m.min[2];
  return sqrtf((dx * dx + dy * dy) + dz * dz);
}

// Fills table (kOrientMaxClusters entries) and returns the cluster count.
inline int32_t plain_clusters(const Model& model, OrientCluster* table) {
  const float tol = 0.01f * reference_diagonal(model);
  int32_t count = 0;
  for (int32_t i = 0; i < model.count; i++) {
    const float(*p)[3] = model.triangles[i].vertices;
    float e1[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
    float e2[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
    float w[3] = {e1[1] * e2[2] - e2[1] * e1[2], e1[2] * e2[0] - e2[2] * e1[0],
                  e1[0] * e2[1] - e2[0] * e1[1]};
    float area = 0.5f * sqrtf((w[0] * w[0] + w[1] * w[1]) + w[2] * w[2]);
    if (area < 1e-10f) continue;
    float inv = 1.0f / (2.0f * area);
    float u[3] = {w[0] * inv, w[1] * inv, w[2] * inv};
    float d = (p[0][0] * u[0] + p[0][1] * u[1]) + p[0][2] * u[2];
    int32_t hit = -1;
    for (int32_t c = 0; c < count && hit < 0; c++) {
      const OrientCluster& k = table[c];
      float dot = (k.normal[0] * u[0] + k.normal[1] * u[1]) + k.normal[2] * u[2];
      if (dot > 0.98f && fabsf(d - k.offset) < tol) hit = c;
    }
    if (hit >= 0) {
      OrientCluster& k = table[hit];
      for (int a = 0; a < 3; a++) k.weighted_sum[a] = k.weighted_sum[a] + u[a] * area;
      k.area = k.area + area;
    } else if (count < kOrientMaxClusters) {
      OrientCluster& k = table[count++];
      for (int a = 0; a < 3; a++) {
        k.normal[a] = u[a];
        k.weighted_sum[a] = u[a] * area;
      }
      k.offset = d;
      k.area = area;
      k.support = 0;
    }
  }
  return count;
}

// The largest dot product of n with any vertex, in one pass over them all.
inline float plain_support_height(const Model& model, const float n[3]) {
  float h = -kFloatMax;
  for (int32_t i = 0; i < model.count; i++) {
    for (const float* v : model.triangles[i].vertices) {
      float dv = (v[0] * n[0] + v[1] * n[1]) + v[2] * n[2];
      h = dv > h ? dv : h;
    }
  }
  return h;
}

// The rest of the plain orientation, from a table made by plain_clusters with
// count >= 1: mean normals, a forward insertion sort by area that moves an
// entry only past strictly smaller areas, the support test of the 20 largest
// over every vertex, the choice of the face and the turn of one vertex after
// the other.
inline void plain_apply(Model* model, OrientCluster* table, int32_t count) {
  const float diagonal = reference_diagonal(*model);
  for (int32_t c = 0; c < count; c++) {
    const float* sum = table[c].weighted_sum;
    float length = sqrtf((sum[0] * sum[0] + sum[1] * sum[1]) + sum[2] * sum[2]);
    if (length > 1e-10f) {
      for (int a = 0; a < 3; a++) table[c].normal[a] = sum[a] / length;
    }
  }
  for (int32_t i = 1; i < count; i++) {
    OrientCluster key = table[i];
    int32_t j = i - 1;
    for (; j >= 0 && table[j].area < key.area; j--) table[j + 1] = table[j];
    table[j + 1] = key;
  }
  const int tested = count < 20 ? static_cast<int>(count) : 20;
  for (int c = 0; c < tested; c++) {
    const float h = plain_support_height(*model, table[c].normal);
    table[c].support = fabsf(h - table[c].offset) < 0.03f * diagonal ? 1 : 0;
  }
  const OrientCluster* support = nullptr;
  for (int c = 0; c < tested && !support; c++) {
    if (table[c].support) support = &table[c];
  }
  const float* n = table[0].normal;
  const float* l = table[0].normal;
  if (support && table[0].support == 0 && support->area > 0.3f * table[0].area &&
      (l[0] * support->normal[0] + l[1] * support->normal[1]) + l[2] * support->normal[2] < -0.5f) {
    n = support->normal;
  }
  const float e = -n[1];
  if (e > 0.999f) return;
  float r[3][3];
  if (e < -0.999f) {
    float p[3] = {1.0f - n[0] * n[0], 0.0f - n[0] * n[1], 0.0f - n[0] * n[2]};
    float length = sqrtf((p[0] * p[0] + p[1] * p[1]) + p[2] * p[2]);
    float w[3] = {p[0] / length, p[1] / length, p[2] / length};
    for (int i = 0; i < 3; i++) {
      for (int j = 0; j < 3; j++) r[i][j] = i == j ? 2.0f * w[i] * w[j] - 1.0f : 2.0f * w[i] * w[j];
    }
  } else {
    float a[3] = {n[2], 0.0f, -n[0]};
    float length = sqrtf((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2]);
    for (float& x : a) x = x / length;
    float s = sqrtf(1.0f - e * e);
    float k = 1.0f - e;
    r[0][0] = k * a[0] * a[0] + e;
    r[0][1] = k * a[0] * a[1] - s * a[2];
    r[0][2] = k * a[0] * a[2] + s * a[1];
    r[1][0] = k * a[0] * a[1] + s * a[2];
    r[1][1] = k * a[1] * a[1] + e;
    r[1][2] = k * a[1] * a[2] - s * a[0];
    r[2][0] = k * a[0] * a[2] - s * a[1];
    r[2][1] = k * a[1] * a[2] + s * a[0];
    r[2][2] = k * a[2] * a[2] + e;
  }
  for (auto& row : r) {
    for (float x : row) {
      if (!std::isfinite(x)) return;
    }
  }
  for (int a = 0; a < 3; a++) {
    model->min[a] = kFloatMax;
    model->max[a] = -kFloatMax;
  }
  auto turn = [&](float v[3]) {
    float x = v[0], y = v[1], z = v[2];
    for (int i = 0; i < 3; i++) v[i] = (r[i][0] * x + r[i][1] * y) + r[i][2] * z;
  };
  for (int32_t i = 0; i < model->count; i++) {
    Triangle* tri = &model->triangles[i];
    for (auto& v : tri->vertices) turn(v);
    turn(tri->normal);
    model_widen_box(model, tri);
  }
}
