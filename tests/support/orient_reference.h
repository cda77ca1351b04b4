// The plain cluster scan that the indexed search must equal bit for bit:
// every triangle scans the clusters from index 0 in creation order. Kept out
// of the product as the yardstick for the equivalence tests and benchmarks.
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
