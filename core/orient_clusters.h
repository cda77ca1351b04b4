// Orientation in two steps: the planar cluster table, then the turn it picks.
// Split out so that tests can check the indexed clustering against a plain scan.
#pragma once

#include <cstdint>

#include "model.h"

constexpr int32_t kOrientMaxClusters = 8192;

// One planar cluster: triangles that lie, within tolerance, in one plane with
// one facing. Nine 32-bit fields without padding, so tables compare with memcmp.
struct OrientCluster {
  float normal[3];        // first triangle's unit normal; area-weighted mean once finished
  float weighted_sum[3];  // sum of unit normal x area over the members
  float offset;           // dot(first vertex, unit normal) of the first triangle
  float area;             // sum of the members' areas
  int32_t support;        // 1 when no vertex lies beyond the plane by more than 0.03 D
};

// Clusters the model's triangles in storage order: the first cluster, in
// creation order, whose normal agrees (dot > 0.98) and whose offset lies within
// 0.01 D absorbs a triangle; otherwise a new cluster is appended while fewer
// than kOrientMaxClusters exist. Triangles below 1e-10 area are skipped. D is
// the diagonal of the model's stored box. clusters must hold
// min(model->count, kOrientMaxClusters) records (caller owns them). Returns
// the number of clusters made, or -1 when the search index cannot be allocated.
int32_t orient_build_clusters(const Model* model, OrientCluster* clusters);

// h[c], for each of clusters[0..tested), is the largest dot product
// (x * n0 + y * n1) + z * n2 of its normal n with any vertex of the model,
// or -3.4028235e38 when none is larger: exactly a plain pass's maximum.
void orient_support_heights(const Model* model, const OrientCluster* clusters, int tested,
                            float* h);

// Finishes the orientation from a table made by orient_build_clusters with
// count >= 1: mean normals, largest-first order, support test, choice of the
// resting face, and the rotation of every vertex and stored normal with the
// box recomputed. Rewrites and reorders clusters[0..count). Leaves the model
// unchanged when the face already points down or no finite rotation exists.
void orient_apply_clusters(Model* model, OrientCluster* clusters, int32_t count);
