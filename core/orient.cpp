// Automatic orientation: find the largest flat region on the outside of the
// model and turn it to face (0, -1, 0), rotating about the origin.
#include "orient.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "orient_clusters.h"

static const int32_t kMaxTriangles = 2000000;
static const float kMinDiagonal = 1e-6f;
static const float kMinArea = 1e-10f;
static const float kMinNormalLength = 1e-10f;
static const float kNormalAgreement = 0.98f;
static const float kOffsetFraction = 0.01f;
static const float kSupportFraction = 0.03f;
static const int kSupportClusters = 20;
static const float kSupportAreaRatio = 0.3f;
static const float kOppositionLimit = -0.5f;
static const float kAlreadyDown = 0.999f;
static const float kStraightUp = -0.999f;

// The cluster search index. A plain scan compares each triangle with up to
// 8192 clusters; instead each cluster is filed under the grid cell of its
// normal vector, in a short array sorted by plane offset that carries copies of
// its normal and offset. A triangle visits only the cells, and within them the
// offset range, that can hold a cluster passing both tests, and it takes the
// lowest creation index among the clusters that pass the very same float
// tests. So the result is the plain scan's, bit for bit.
//
// Why the visited entries suffice. For vectors of squared length at most
// 1.002, dot > 0.98 (allowing for the rounding of the dot itself) forces
// |c - u| < 0.2098, so every component differs by less than kSearchRadius; the
// cell of a shifted component is monotone in it, so the cells of u -+ radius
// bound the cell of c. A vector of squared length below 0.9 cannot reach 0.98
// against one of squared length 1.002 or less, so such clusters stay out of the
// grid (triangles whose area overflows the float range have a zero normal).
// A passing offset test means the exact difference is below the tolerance,
// since rounding is monotone and the tolerance is a float, so the offset lies
// within d -+ tol computed in double (rounded outward by monotonicity too).
//
// Clusters that can never pass (a NaN in the normal, an offset that is not
// finite) are not filed at all; finite normals longer than the grid allows go
// to a short list that every search checks; a triangle whose own normal is too
// long for the grid scans every cluster, as the plain scan does.
static const float kCellScale = 2.0f;  // cells 0.5 wide on each axis
static const int kGridSide = 8;        // (x + 2) * 2 lies in [1.5, 6.5] for |x| <= 1.23
static const int kGridCells = kGridSide * kGridSide * kGridSide;
static const float kSearchRadius = 0.22f;
static const float kGridMaxLength2 = 1.002f;
static const float kGridMinLength2 = 0.9f;
static const int32_t kFirstCellCapacity = 8;

// Offsets sit apart from the rest so that the start search reads them densely.
struct CellEntry {
  float normal[3];
  int32_t cluster;
};

struct IndexCell {
  float* offsets;  // ascending; equal offsets in creation order
  CellEntry* entries;
  int32_t count;
  int32_t capacity;
  // Directory: starts[k] is the first entry whose offset is not below
  // base + k * step, for k < steps. Only a hint; searches correct it.
  int32_t* starts;
  int32_t steps;
  int32_t starts_capacity;
  double base;
  double inverse_step;
};

struct ClusterIndex {
  IndexCell* cells;  // kGridCells, then the extra list, in one block
  int32_t* extra;    // matchable clusters outside the grid, in creation order
  int32_t extra_count;
  float tolerance;
};

static inline float dot3(const float a[3], const float b[3]) {
  return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2];
}

static inline float length2(const float v[3]) {
  return (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
}

static inline bool has_nan(const float v[3]) {
  return std::isnan(v[0]) || std::isnan(v[1]) || std::isnan(v[2]);
}

static float model_diagonal(const Model* model) {
  float dx = model->max[0] - model->min[0];
  float dy = model->max[1] - model->min[1];
  float dz = model->max[2] - model->min[2];
  return sqrtf((dx * dx + dy * dy) + dz * dz);
}

// The merge test of the plain scan, unchanged.
static inline bool accepts(const float normal[3], float offset, const float u[3], float d,
                           float tolerance) {
  return dot3(normal, u) > kNormalAgreement && fabsf(d - offset) < tolerance;
}

static int32_t linear_find(const OrientCluster* clusters, int32_t count, const float u[3], float d,
                           float tolerance) {
  for (int32_t c = 0; c < count; c++) {
    if (accepts(clusters[c].normal, clusters[c].offset, u, d, tolerance)) return c;
  }
  return -1;
}

// Only for components of magnitude below 1.23, so the float is a small
// non-negative number before it becomes an int.
static inline int grid_coordinate(float x) {
  return static_cast<int>(floorf((x + 2.0f) * kCellScale));
}

static inline int grid_cell(int ix, int iy, int iz) {
  return (ix * kGridSide + iy) * kGridSide + iz;
}

static bool index_init(ClusterIndex* index, float tolerance) {
  size_t cells_size = sizeof(IndexCell) * kGridCells;
  char* block = static_cast<char*>(malloc(cells_size + sizeof(int32_t) * kOrientMaxClusters));
  if (!block) return false;
  index->cells = reinterpret_cast<IndexCell*>(block);
  index->extra = reinterpret_cast<int32_t*>(block + cells_size);
  memset(index->cells, 0, cells_size);
  index->extra_count = 0;
  index->tolerance = tolerance;
  return true;
}

static void index_free(ClusterIndex* index) {
  for (int i = 0; i < kGridCells; i++) {
    free(index->cells[i].offsets);
    free(index->cells[i].entries);
    free(index->cells[i].starts);
  }
  free(index->cells);
}

// Steps of one offset tolerance, so that few entries share a step, but never
// more steps than a few per entry (offsets may spread far wider than that).
static bool cell_build_directory(IndexCell* cell, float tolerance) {
  const double base = cell->offsets[0];
  const double span = static_cast<double>(cell->offsets[cell->count - 1]) - base;
  const double most = 2.0 * cell->count + 8.0;
  double step = tolerance;
  double steps = span / step;  // 0 when the tolerance is infinite
  if (!(steps < most)) {
    steps = most;
    step = span / most;
  }
  int32_t wanted = static_cast<int32_t>(steps) + 1;
  if (wanted > cell->starts_capacity) {
    void* grown = realloc(cell->starts, sizeof(int32_t) * static_cast<size_t>(wanted));
    if (!grown) return false;
    cell->starts = static_cast<int32_t*>(grown);
    cell->starts_capacity = wanted;
  }
  int32_t i = 0;
  for (int32_t k = 0; k < wanted; k++) {
    const double edge = base + k * step;
    while (i < cell->count && static_cast<double>(cell->offsets[i]) < edge) i++;
    cell->starts[k] = i;
  }
  cell->steps = wanted;
  cell->base = base;
  cell->inverse_step = 1.0 / step;
  return true;
}

// Files cluster c. Returns false when a cell cannot grow.
static bool index_add(ClusterIndex* index, const OrientCluster* clusters, int32_t c) {
  const OrientCluster* cluster = &clusters[c];
  if (has_nan(cluster->normal) || !std::isfinite(cluster->offset)) return true;
  float len2 = length2(cluster->normal);
  if (len2 < kGridMinLength2) return true;
  if (!(len2 <= kGridMaxLength2)) {
    index->extra[index->extra_count++] = c;
    return true;
  }
  IndexCell* cell = &index->cells[grid_cell(grid_coordinate(cluster->normal[0]),
                                            grid_coordinate(cluster->normal[1]),
                                            grid_coordinate(cluster->normal[2]))];
  if (cell->count == cell->capacity) {
    int32_t capacity = cell->capacity ? cell->capacity * 2 : kFirstCellCapacity;
    void* offsets = realloc(cell->offsets, sizeof(float) * static_cast<size_t>(capacity));
    if (!offsets) return false;
    cell->offsets = static_cast<float*>(offsets);
    void* entries = realloc(cell->entries, sizeof(CellEntry) * static_cast<size_t>(capacity));
    if (!entries) return false;
    cell->entries = static_cast<CellEntry*>(entries);
    cell->capacity = capacity;
  }
  int32_t at = cell->count;
  while (at > 0 && cell->offsets[at - 1] > cluster->offset) at--;
  size_t moved = static_cast<size_t>(cell->count - at);
  memmove(&cell->offsets[at + 1], &cell->offsets[at], sizeof(float) * moved);
  memmove(&cell->entries[at + 1], &cell->entries[at], sizeof(CellEntry) * moved);
  cell->offsets[at] = cluster->offset;
  cell->entries[at] = CellEntry{{cluster->normal[0], cluster->normal[1], cluster->normal[2]}, c};
  cell->count++;
  return cell_build_directory(cell, index->tolerance);
}

// The smallest float not below x (infinite beyond the float range), so that
// for every float f, f < x exactly when f < float_ceiling(x).
static inline float float_ceiling(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) < x) f = nextafterf(f, HUGE_VALF);
  return f;
}

// First entry whose offset is not below low: the directory gives a start that
// rounding may leave an entry or two off, and the two walks make it exact.
static inline int32_t cell_first_not_below(const IndexCell* cell, float low) {
  double x = (static_cast<double>(low) - cell->base) * cell->inverse_step;
  int32_t k = 0;  // also for a NaN x (an infinite low times a zero inverse step)
  if (x > 0.0) {
    k = x < static_cast<double>(cell->steps - 1) ? static_cast<int32_t>(x) : cell->steps - 1;
  }
  int32_t first = cell->starts[k];
  while (first < cell->count && cell->offsets[first] < low) first++;
  while (first > 0 && !(cell->offsets[first - 1] < low)) first--;
  return first;
}

// Returns the lowest creation index among the clusters that accept (u, d),
// or -1 when none does.
static int32_t index_find(const ClusterIndex* index, const OrientCluster* clusters, int32_t count,
                          const float u[3], float d) {
  const float tolerance = index->tolerance;
  if (!(tolerance > 0.0f)) return -1;  // fabsf(...) < tolerance never holds
  if (has_nan(u) || !std::isfinite(d)) return -1;
  float len2 = length2(u);
  if (!(len2 <= kGridMaxLength2)) return linear_find(clusters, count, u, d, tolerance);

  int32_t best = INT32_MAX;
  if (len2 >= kGridMinLength2) {
    // An offset that passes lies within d -+ tol computed in double; as float
    // bounds, offset >= low and offset <= high (infinite when tol is).
    const float low = float_ceiling(static_cast<double>(d) - static_cast<double>(tolerance));
    const float high = -float_ceiling(-(static_cast<double>(d) + static_cast<double>(tolerance)));
    int lo[3], hi[3];
    for (int a = 0; a < 3; a++) {
      lo[a] = grid_coordinate(u[a] - kSearchRadius);
      hi[a] = grid_coordinate(u[a] + kSearchRadius);
    }
    for (int ix = lo[0]; ix <= hi[0]; ix++) {
      for (int iy = lo[1]; iy <= hi[1]; iy++) {
        for (int iz = lo[2]; iz <= hi[2]; iz++) {
          const IndexCell* cell = &index->cells[grid_cell(ix, iy, iz)];
          if (cell->count == 0) continue;
          for (int32_t e = cell_first_not_below(cell, low); e < cell->count; e++) {
            const float offset = cell->offsets[e];
            if (offset > high) break;
            const CellEntry* entry = &cell->entries[e];
            if (entry->cluster < best && accepts(entry->normal, offset, u, d, tolerance)) {
              best = entry->cluster;
            }
          }
        }
      }
    }
  }
  for (int32_t e = 0; e < index->extra_count; e++) {
    int32_t c = index->extra[e];
    if (c >= best) break;
    if (accepts(clusters[c].normal, clusters[c].offset, u, d, tolerance)) {
      best = c;
      break;
    }
  }
  return best == INT32_MAX ? -1 : best;
}

int32_t orient_build_clusters(const Model* model, OrientCluster* clusters) {
  ClusterIndex index;
  if (!index_init(&index, kOffsetFraction * model_diagonal(model))) return -1;
  int32_t count = 0;
  for (int32_t i = 0; i < model->count; i++) {
    const float(*p)[3] = model->triangles[i].vertices;
    float e1[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
    float e2[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
    float w[3] = {e1[1] * e2[2] - e2[1] * e1[2], e1[2] * e2[0] - e2[2] * e1[0],
                  e1[0] * e2[1] - e2[0] * e1[1]};
    float area = 0.5f * sqrtf(length2(w));
    if (area < kMinArea) continue;
    float inverse = 1.0f / (2.0f * area);
    float u[3] = {w[0] * inverse, w[1] * inverse, w[2] * inverse};
    float d = dot3(p[0], u);
    int32_t hit = index_find(&index, clusters, count, u, d);
    if (hit >= 0) {
      OrientCluster* cluster = &clusters[hit];
      for (int a = 0; a < 3; a++) cluster->weighted_sum[a] = cluster->weighted_sum[a] + u[a] * area;
      cluster->area = cluster->area + area;
    } else if (count < kOrientMaxClusters) {
      OrientCluster* cluster = &clusters[count];
      for (int a = 0; a < 3; a++) {
        cluster->normal[a] = u[a];
        cluster->weighted_sum[a] = u[a] * area;
      }
      cluster->offset = d;
      cluster->area = area;
      cluster->support = 0;
      if (!index_add(&index, clusters, count)) {
        index_free(&index);
        return -1;
      }
      count++;
    }
  }
  index_free(&index);
  return count;
}

static bool larger_area(const OrientCluster& a, const OrientCluster& b) {
  return a.area > b.area;
}

// Must equal an insertion sort that moves an entry forward only past strictly
// smaller areas. Such a sort never moves a NaN area and never moves anything
// past one, so each run between NaN entries is sorted stably on its own, where
// "larger" is a strict weak order.
static void sort_clusters_by_area(OrientCluster* clusters, int32_t count) {
  int32_t start = 0;
  for (int32_t i = 0; i <= count; i++) {
    if (i == count || std::isnan(clusters[i].area)) {
      std::stable_sort(clusters + start, clusters + i, larger_area);
      start = i + 1;
    }
  }
}

// One pass over every vertex (skipped triangles included) serves all tested
// clusters; unused lanes carry a zero normal and are ignored.
static void mark_support_faces(const Model* model, OrientCluster* clusters, int tested,
                               float tolerance) {
  float nx[kSupportClusters] = {}, ny[kSupportClusters] = {}, nz[kSupportClusters] = {};
  float h[kSupportClusters];
  for (int c = 0; c < tested; c++) {
    nx[c] = clusters[c].normal[0];
    ny[c] = clusters[c].normal[1];
    nz[c] = clusters[c].normal[2];
  }
  for (int c = 0; c < kSupportClusters; c++) h[c] = -kFloatMax;
  for (int32_t i = 0; i < model->count; i++) {
    const Triangle* tri = &model->triangles[i];
    for (int v = 0; v < 3; v++) {
      float x = tri->vertices[v][0], y = tri->vertices[v][1], z = tri->vertices[v][2];
      for (int c = 0; c < kSupportClusters; c++) {
        float dv = (x * nx[c] + y * ny[c]) + z * nz[c];
        h[c] = dv > h[c] ? dv : h[c];
      }
    }
  }
  for (int c = 0; c < tested; c++) {
    clusters[c].support = fabsf(h[c] - clusters[c].offset) < tolerance ? 1 : 0;
  }
}

static inline void rotate(const float r[3][3], float v[3]) {
  float x = v[0], y = v[1], z = v[2];
  for (int i = 0; i < 3; i++) v[i] = (r[i][0] * x + r[i][1] * y) + r[i][2] * z;
}

void orient_apply_clusters(Model* model, OrientCluster* clusters, int32_t count) {
  const float diagonal = model_diagonal(model);
  for (int32_t c = 0; c < count; c++) {
    float* sum = clusters[c].weighted_sum;
    float length = sqrtf(length2(sum));
    if (length > kMinNormalLength) {
      for (int a = 0; a < 3; a++) clusters[c].normal[a] = sum[a] / length;
    }
  }
  sort_clusters_by_area(clusters, count);
  const int tested = count < kSupportClusters ? static_cast<int>(count) : kSupportClusters;
  mark_support_faces(model, clusters, tested, kSupportFraction * diagonal);

  // The largest region wins unless it is an inner surface and a sizeable
  // support face lies roughly opposite it (the inside and outside of a tray).
  const OrientCluster* largest = &clusters[0];
  const OrientCluster* support = nullptr;
  for (int c = 0; c < tested && !support; c++) {
    if (clusters[c].support) support = &clusters[c];
  }
  const float* n = largest->normal;
  if (support && largest->support == 0 && support->area > kSupportAreaRatio * largest->area &&
      dot3(largest->normal, support->normal) < kOppositionLimit) {
    n = support->normal;
  }

  // Cosine with the target (0, -1, 0).
  const float e = -n[1];
  if (e > kAlreadyDown) return;
  float r[3][3];
  if (e < kStraightUp) {
    // Half turn about the x axis with its component along n removed.
    float p[3] = {1.0f - n[0] * n[0], 0.0f - n[0] * n[1], 0.0f - n[0] * n[2]};
    float length = sqrtf(length2(p));
    float w[3] = {p[0] / length, p[1] / length, p[2] / length};
    for (int i = 0; i < 3; i++) {
      for (int j = 0; j < 3; j++) r[i][j] = i == j ? 2.0f * w[i] * w[j] - 1.0f : 2.0f * w[i] * w[j];
    }
  } else {
    // Rodrigues' formula about a = n x (0, -1, 0).
    float a[3] = {n[2], 0.0f, -n[0]};
    float length = sqrtf(length2(a));
    a[0] = a[0] / length;
    a[1] = a[1] / length;
    a[2] = a[2] / length;
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
  // A chosen normal that is zero or NaN (triangles whose area overflows the
  // float range) gives no rotation at all; turning every vertex into NaN
  // would destroy the model, so it is left as it is.
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 3; j++) {
      if (!std::isfinite(r[i][j])) return;
    }
  }

  for (int a = 0; a < 3; a++) {
    model->min[a] = kFloatMax;
    model->max[a] = -kFloatMax;
  }
  for (int32_t i = 0; i < model->count; i++) {
    Triangle* tri = &model->triangles[i];
    for (int v = 0; v < 3; v++) rotate(r, tri->vertices[v]);
    rotate(r, tri->normal);
    model_widen_box(model, tri);
  }
}

void auto_orient_model(Model* model) {
  if (model->count < 1 || model->count > kMaxTriangles) return;
  if (model_diagonal(model) < kMinDiagonal) return;
  OrientCluster* clusters =
      static_cast<OrientCluster*>(malloc(sizeof(OrientCluster) * kOrientMaxClusters));
  if (!clusters) return;
  int32_t count = orient_build_clusters(model, clusters);
  if (count > 0) orient_apply_clusters(model, clusters, count);
  free(clusters);
}
