// Automatic orientation: find the largest flat region on the outside of the
// model and turn it to face (0, -1, 0), rotating about the origin.
#include "orient.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "blocks.h"
#include "orient_clusters.h"

static const int32_t kMaxTriangles = 2000000;
static const float kMinDiagonal = 1e-6f;
static const float kMinArea = 1e-10f;
static const float kMinNormalLength = 1e-10f;
static const float kNormalAgreement = 0.98f;
static const float kOffsetFraction = 0.01f;
static const float kSupportFraction = 0.03f;
static const int kSupportClusters = 20;
#ifdef __SSE2__
static const int32_t kSupportBlock = 16;  // triangles boxed together by the support test
static const float kBoundSlack = 1e-6f;   // well above 6 x 2^-24, see orient_support_heights
#endif
static const float kSupportAreaRatio = 0.3f;
static const float kOppositionLimit = -0.5f;
static const float kAlreadyDown = 0.999f;
static const float kStraightUp = -0.999f;

// The cluster search index. A plain scan compares each triangle with up to
// 8192 clusters. A cluster never changes its normal and offset once made, and
// it can accept only triangles whose normals lie near its own and whose
// offsets lie near its own; so the index files each cluster, once made, under
// every key (a cell of normal vectors, a slice of offsets) where such a
// triangle can fall. Each key keeps its clusters in creation order. A triangle
// computes its one key and walks that list with the very same float tests as
// the plain scan: the first cluster that accepts is the lowest creation index
// that accepts, so the result is the plain scan's, bit for bit, and a triangle
// on a known plane usually stops after a test or two.
//
// Why the listed clusters suffice. Normals as computed (a cross product
// times its inverse length) have squared lengths within a few units in the
// last place of 1; the grid holds clusters, and serves triangles, whose
// squared length lies in [0.9999, 1.0001]. For two such vectors, dot > 0.98
// (allowing for the rounding of the dot itself) forces |c - u| < 0.2005, so
// every component differs by less than kSearchRadius; the cell of a shifted
// component is monotone in it, so the cells of c -+ radius bound the cell of
// u, and of those the cells farther than kBallRadius from c, or wholly off
// the shell of squared lengths such a u has (with room for the rounding of
// its squared length and of its grid coordinates), are left out. A passing
// offset test means the exact difference is below the tolerance, since
// rounding is monotone and the tolerance is a float, so the offset lies within
// d -+ tol; offsets are sliced 2 tol wide by a monotone function, so the slice
// of d lies between the slices of the cluster's offset -+ tol computed in
// double (rounded outward by monotonicity too). With an infinite tolerance
// every finite offset passes, and one slice holds them all.
//
// Other lengths, which computed normals reach only as a zero normal (an area
// beyond the float range), go elsewhere, so that the result stays exact for
// any input. Clusters that can never pass (a NaN in the normal, an offset that
// is not finite, a squared length below 0.9, which cannot reach 0.98 against
// one of at most 1.002) are not filed at all; other clusters off the grid go
// to a short list that every search checks; a triangle of squared length
// below 0.9 checks only that list, and one of any other length off the grid
// scans every cluster, as the plain scan does.
static const float kCellScale = 8.0f;  // cells 0.125 wide on each axis
static const int kGridBits = 5;        // (x + 2) * 8 lies in [6.16, 25.84] for |x| <= 1.23
static const float kSearchRadius = 0.22f;
static const double kBallRadius = 0.2006;
static const double kCellSlack = 1e-6;  // the float rounding of a grid coordinate
static const double kShellMin2 = 0.99989;
static const double kShellMax2 = 1.00011;
static const float kUnitMin2 = 0.9999f;  // unit normals as computed lie well inside
static const float kUnitMax2 = 1.0001f;
static const float kShortLength2 = 0.9f;
static const double kSliceLimit = 70368744177664.0;  // 2^46: keys stay within 62 bits
static const int64_t kMaxSlicesPerCluster = 3;
static const int kMaxCellsPerCluster = 125;  // 5 per axis: 0.44 spans at most 5 cells of 0.125
static const uint64_t kEmptyKey = ~uint64_t{0};
static const uint32_t kFirstSlots = 256;           // a power of two
static const uint32_t kMostFirstSlots = 1u << 16;  // 2 MiB: one huge page
static const int32_t kFirstBlocks = 16;
static const int kSlotIds = 8;    // a slot fills half a 64-byte line
static const int kBlockIds = 28;  // a block fills one line; both multiples of 4
// Below this many clusters, or in a model of fewer triangles, a scan is
// cheaper than filing each new cluster under its few dozen keys.
static const int32_t kLinearClusters = 48;
static const int32_t kIndexTriangles = 4096;
// Triangles measured ahead of the search, so that the index lines they will
// read are fetched while earlier triangles are searched.
static const int kAhead = 16;

// The normal and offset of a cluster as made, packed for the search.
struct ClusterKey {
  float normal[3];
  float offset;
};

// One key and the start of its list; longer lists go on in chained blocks.
struct IndexSlot {
  uint64_t key;  // kEmptyKey when free
  int32_t count;
  int32_t overflow;  // first block, or -1
  int16_t ids[kSlotIds];
};

struct IdBlock {
  int16_t ids[kBlockIds];
  int32_t next;
};

struct ClusterIndex {
  ClusterKey* keys;  // by creation index
  int32_t* extra;    // matchable clusters outside the grid, in creation order
  int32_t extra_count;
  IndexSlot* slots;  // open addressing, linear probing
  uint32_t slot_mask;
  uint32_t slots_used;
  IdBlock* blocks;
  int32_t block_count;
  int32_t block_capacity;
  float tolerance;
  double inverse_width;        // 1 / (2 tol); 0 for an infinite tolerance (one slice)
  int32_t capacity;            // clusters the keys and the extra list hold
  OrientWorkspace* workspace;  // lends and takes back the tables, or null
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

// Only for components of magnitude below 1.23: (x + 2) * 8 is then positive,
// so truncation is the floor.
static inline int grid_coordinate(float x) {
  return static_cast<int>((x + 2.0f) * kCellScale);
}

static inline uint32_t grid_cell(int ix, int iy, int iz) {
  return static_cast<uint32_t>((ix << (2 * kGridBits)) | (iy << kGridBits) | iz);
}

// floor(x / (2 tol)) clamped to -+2^46: monotone in x. Only for finite x and
// a finite, non-zero inverse width.
static inline int64_t offset_slice(double x, double inverse_width) {
  double t = x * inverse_width;
  if (t < -kSliceLimit) t = -kSliceLimit;
  if (t > kSliceLimit) t = kSliceLimit;
  int64_t s = static_cast<int64_t>(t);
  if (static_cast<double>(s) > t) s--;
  return s;
}

static inline uint64_t index_key(uint32_t cell, int64_t slice) {
  const uint64_t biased = static_cast<uint64_t>(slice) + (uint64_t{1} << 46);
  return biased << (3 * kGridBits) | cell;
}

static inline uint32_t key_hash(uint64_t key, uint32_t mask) {
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & mask;
}

// Sets up an index without tables; index_start provides them.
static void index_init(ClusterIndex* index, float tolerance, OrientWorkspace* workspace) {
  memset(index, 0, sizeof *index);
  index->workspace = workspace;
  index->tolerance = tolerance;
  index->inverse_width = std::isfinite(tolerance) ? 1.0 / (2.0 * tolerance) : 0.0;
}

static size_t slot_bytes(uint32_t slots) {
  return sizeof(IndexSlot) * slots;
}

// A table of size free slots, in huge pages when large: fresh 4 KiB pages
// cost more to touch than filling the table does.
static IndexSlot* new_slots(uint32_t size) {
  IndexSlot* slots = static_cast<IndexSlot*>(big_block_alloc(slot_bytes(size)));
  if (slots) {
    for (uint32_t s = 0; s < size; s++) slots[s].key = kEmptyKey;
  }
  return slots;
}

static void release_index_tables(void* keys, void* extra, void* slots, uint32_t slot_count,
                                 void* blocks) {
  free(keys);
  free(extra);
  if (slots) big_block_free(slots, slot_bytes(slot_count));
  free(blocks);
}

static void forget_index_tables(OrientWorkspace* ws) {
  ws->keys = nullptr;
  ws->extra = nullptr;
  ws->index_capacity = 0;
  ws->slots = nullptr;
  ws->slot_count = 0;
  ws->blocks = nullptr;
  ws->block_capacity = 0;
}

// Provides the tables for up to max_clusters clusters: the workspace's when
// they are large enough (the slot table emptied), else new ones; the slot
// table starts with room for some eight keys a cluster, which most models
// stay within.
static bool index_start(ClusterIndex* index, int32_t max_clusters) {
  OrientWorkspace* ws = index->workspace;
  if (ws && ws->slots && ws->index_capacity >= max_clusters) {
    index->keys = static_cast<ClusterKey*>(ws->keys);
    index->extra = static_cast<int32_t*>(ws->extra);
    index->slots = static_cast<IndexSlot*>(ws->slots);
    index->slot_mask = ws->slot_count - 1;
    index->blocks = static_cast<IdBlock*>(ws->blocks);
    index->block_capacity = ws->block_capacity;
    index->capacity = ws->index_capacity;
    forget_index_tables(ws);                                       // lent until index_free
    memset(index->slots, 0xFF, slot_bytes(index->slot_mask + 1));  // every key kEmptyKey
    return true;
  }
  if (ws) {
    release_index_tables(ws->keys, ws->extra, ws->slots, ws->slot_count, ws->blocks);
    forget_index_tables(ws);
  }
  const size_t most = static_cast<size_t>(max_clusters);
  uint32_t size = kFirstSlots;
  while (size < kMostFirstSlots && size < most * 8) size *= 2;
  index->keys = static_cast<ClusterKey*>(malloc(sizeof(ClusterKey) * most));
  index->extra = static_cast<int32_t*>(malloc(sizeof(int32_t) * most));
  index->slots = new_slots(size);
  index->blocks = static_cast<IdBlock*>(malloc(sizeof(IdBlock) * kFirstBlocks));
  if (!index->slots) return false;
  index->slot_mask = size - 1;
  index->block_capacity = kFirstBlocks;
  index->capacity = max_clusters;
  return index->keys && index->extra && index->blocks;
}

// Gives the tables back to the workspace (when they are whole) or releases
// them.
static void index_free(ClusterIndex* index) {
  OrientWorkspace* ws = index->workspace;
  if (ws && index->keys && index->extra && index->slots && index->blocks) {
    ws->keys = index->keys;
    ws->extra = index->extra;
    ws->index_capacity = index->capacity;
    ws->slots = index->slots;
    ws->slot_count = index->slot_mask + 1;
    ws->blocks = index->blocks;
    ws->block_capacity = index->block_capacity;
    return;
  }
  release_index_tables(index->keys, index->extra, index->slots, index->slot_mask + 1,
                       index->blocks);
}

// The slot holding key, or the free slot where it would go.
static inline uint32_t index_probe(const ClusterIndex* index, uint64_t key) {
  uint32_t s = key_hash(key, index->slot_mask);
  while (index->slots[s].key != key && index->slots[s].key != kEmptyKey) {
    s = (s + 1) & index->slot_mask;
  }
  return s;
}

static bool index_grow_slots(ClusterIndex* index) {
  const uint32_t old_size = index->slot_mask + 1;
  const uint32_t size = old_size * 2;
  IndexSlot* slots = new_slots(size);
  if (!slots) return false;
  for (uint32_t o = 0; o < old_size; o++) {
    const IndexSlot* from = &index->slots[o];
    if (from->key == kEmptyKey) continue;
    uint32_t s = key_hash(from->key, size - 1);
    while (slots[s].key != kEmptyKey) s = (s + 1) & (size - 1);
    slots[s] = *from;
  }
  big_block_free(index->slots, slot_bytes(old_size));
  index->slots = slots;
  index->slot_mask = size - 1;
  return true;
}

static int32_t index_new_block(ClusterIndex* index) {
  if (index->block_count == index->block_capacity) {
    const int32_t capacity = index->block_capacity * 2;
    void* grown = realloc(index->blocks, sizeof(IdBlock) * static_cast<size_t>(capacity));
    if (!grown) return -1;
    index->blocks = static_cast<IdBlock*>(grown);
    index->block_capacity = capacity;
  }
  IdBlock* block = &index->blocks[index->block_count];
  memset(block->ids, 0, sizeof block->ids);  // unused places name cluster 0, which exists
  block->next = -1;
  return index->block_count++;
}

// Makes room for n more keys: the table stays at most five eighths full, so
// probes stay short and always end. Returns false when memory runs out.
static bool index_reserve(ClusterIndex* index, uint32_t n) {
  while ((index->slots_used + n) * 8 > (index->slot_mask + 1) * 5) {
    if (!index_grow_slots(index)) return false;
  }
  return true;
}

// Appends cluster c to the list of key; the table has room for one more key
// (index_reserve). Returns false when memory runs out.
static bool index_append(ClusterIndex* index, uint64_t key, int32_t c) {
  IndexSlot* slot = &index->slots[index_probe(index, key)];
  if (slot->key == kEmptyKey) {
    slot->key = key;
    slot->count = 0;
    slot->overflow = -1;
    memset(slot->ids, 0, sizeof slot->ids);  // unused places name cluster 0, which exists
    index->slots_used++;
  }
  const int16_t id = static_cast<int16_t>(c);
  if (slot->count < kSlotIds) {
    slot->ids[slot->count++] = id;
    return true;
  }
  const int32_t at = slot->count - kSlotIds;  // place in the chained blocks
  int32_t b = slot->overflow;
  for (int32_t k = kBlockIds; b >= 0 && k <= at && index->blocks[b].next >= 0; k += kBlockIds) {
    b = index->blocks[b].next;
  }
  if (at % kBlockIds == 0) {
    const int32_t block = index_new_block(index);
    if (block < 0) return false;
    if (b < 0) {
      slot->overflow = block;
    } else {
      index->blocks[b].next = block;
    }
    b = block;
  }
  index->blocks[b].ids[at % kBlockIds] = id;
  slot->count++;
  return true;
}

// Per grid coordinate along one axis, squared distances from the interval
// of the cell (widened by kCellSlack) to the cluster normal's component and
// to 0, and the interval's farthest reach from 0.
struct AxisCells {
  double ball[8];
  double near[8];
  double reach[8];
};

static void axis_cells(float component, int lo, int hi, AxisCells* out) {
  for (int c = lo; c <= hi; c++) {
    const double low = c / static_cast<double>(kCellScale) - 2.0 - kCellSlack;
    const double high = (c + 1) / static_cast<double>(kCellScale) - 2.0 + kCellSlack;
    const double x = component;
    const double gap = low > x ? low - x : x > high ? x - high : 0.0;
    const double gap0 = low > 0.0 ? low : 0.0 > high ? -high : 0.0;
    const double reach = fabs(low) > fabs(high) ? fabs(low) : fabs(high);
    out->ball[c - lo] = gap * gap;
    out->near[c - lo] = gap0 * gap0;
    out->reach[c - lo] = reach * reach;
  }
}

// Files cluster c, made from clusters[c]. Returns false when memory runs out.
static bool index_add(ClusterIndex* index, const OrientCluster* cluster, int32_t c) {
  ClusterKey* key = &index->keys[c];
  memcpy(key->normal, cluster->normal, sizeof key->normal);
  key->offset = cluster->offset;
  if (has_nan(cluster->normal) || !std::isfinite(cluster->offset)) return true;
  const float len2 = length2(cluster->normal);
  if (len2 < kShortLength2) return true;
  int64_t first_slice = 0, last_slice = 0;
  if (index->inverse_width != 0.0) {
    const double tol = index->tolerance;
    first_slice = offset_slice(static_cast<double>(cluster->offset) - tol, index->inverse_width);
    last_slice = offset_slice(static_cast<double>(cluster->offset) + tol, index->inverse_width);
  }
  if (!(len2 >= kUnitMin2 && len2 <= kUnitMax2) ||
      last_slice - first_slice >= kMaxSlicesPerCluster) {
    index->extra[index->extra_count++] = c;
    return true;
  }
  // A cell is listed when it comes within kBallRadius of the normal and
  // meets the shell of unit lengths: cells farther away hold no query the
  // cluster can accept.
  const float* n = cluster->normal;
  int lo[3], hi[3];
  AxisCells axes[3];
  for (int a = 0; a < 3; a++) {
    lo[a] = grid_coordinate(n[a] - kSearchRadius);
    hi[a] = grid_coordinate(n[a] + kSearchRadius);
    axis_cells(n[a], lo[a], hi[a], &axes[a]);
  }
  // The keys are gathered first and their slots fetched together, since
  // each lies anywhere in the table.
  uint64_t keys[kMaxCellsPerCluster * kMaxSlicesPerCluster];
  int filed = 0;
  const double radius2 = kBallRadius * kBallRadius;
  for (int x = 0; x <= hi[0] - lo[0]; x++) {
    const double ball_x = axes[0].ball[x];
    if (ball_x > radius2) continue;
    for (int y = 0; y <= hi[1] - lo[1]; y++) {
      const double ball_xy = ball_x + axes[1].ball[y];
      if (ball_xy > radius2) continue;
      const double near_xy = axes[0].near[x] + axes[1].near[y];
      const double reach_xy = axes[0].reach[x] + axes[1].reach[y];
      for (int z = 0; z <= hi[2] - lo[2]; z++) {
        if (ball_xy + axes[2].ball[z] > radius2) continue;
        if (near_xy + axes[2].near[z] > kShellMax2 || reach_xy + axes[2].reach[z] < kShellMin2) {
          continue;
        }
        const uint32_t cell = grid_cell(lo[0] + x, lo[1] + y, lo[2] + z);
        for (int64_t slice = first_slice; slice <= last_slice; slice++) {
          keys[filed++] = index_key(cell, slice);
        }
      }
    }
  }
  if (!index_reserve(index, static_cast<uint32_t>(filed))) return false;
  for (int k = 0; k < filed; k++) {
    __builtin_prefetch(&index->slots[key_hash(keys[k], index->slot_mask)]);
  }
  for (int k = 0; k < filed; k++) {
    if (!index_append(index, keys[k], c)) return false;
  }
  return true;
}

// Where a triangle's search goes: no cluster can accept it (NaN normal,
// offset not finite, no positive tolerance); the grid and then the extra
// list (unit normals, nearly all triangles); the extra list alone (normals
// too short for any filed cluster); or every cluster (any other length).
enum Route : int32_t { kRouteNone, kRouteGrid, kRouteExtra, kRouteLinear };

static inline int32_t route_of(const float u[3], float d, float tolerance) {
  if (!(tolerance > 0.0f) || !(fabsf(d) <= kFloatMax)) return kRouteNone;
  const float len2 = length2(u);
  if (len2 >= kUnitMin2 && len2 <= kUnitMax2) return kRouteGrid;
  if (len2 < kShortLength2) return kRouteExtra;
  return len2 == len2 ? kRouteLinear : kRouteNone;  // NaN when u holds one
}

// The place of the first of ids[0..n) whose cluster accepts (u, d), or n.
// ids holds a multiple of 4 entries, those from n on naming a made cluster.
// Four clusters are tested at a time without a branch; each lane computes
// exactly the float operations of accepts().
static inline int first_accepting(const ClusterKey* keys, const int16_t* ids, int n,
                                  const float u[3], float d, float tolerance) {
#ifdef __SSE2__
  const __m128 ux = _mm_set1_ps(u[0]), uy = _mm_set1_ps(u[1]), uz = _mm_set1_ps(u[2]);
  const __m128 vd = _mm_set1_ps(d), vtol = _mm_set1_ps(tolerance);
  const __m128 agreement = _mm_set1_ps(kNormalAgreement);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  for (int k = 0; k < n; k += 4) {
    __m128 nx = _mm_loadu_ps(&keys[ids[k]].normal[0]);
    __m128 ny = _mm_loadu_ps(&keys[ids[k + 1]].normal[0]);
    __m128 nz = _mm_loadu_ps(&keys[ids[k + 2]].normal[0]);
    __m128 offset = _mm_loadu_ps(&keys[ids[k + 3]].normal[0]);
    _MM_TRANSPOSE4_PS(nx, ny, nz, offset);
    const __m128 dot =
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(nx, ux), _mm_mul_ps(ny, uy)), _mm_mul_ps(nz, uz));
    const __m128 gap = _mm_and_ps(_mm_sub_ps(vd, offset), magnitude);
    int mask = _mm_movemask_ps(_mm_and_ps(_mm_cmpgt_ps(dot, agreement), _mm_cmplt_ps(gap, vtol)));
    if (n - k < 4) mask &= (1 << (n - k)) - 1;
    if (mask) return k + __builtin_ctz(static_cast<unsigned>(mask));
  }
  return n;
#else
  for (int k = 0; k < n; k++) {
    const ClusterKey* cluster = &keys[ids[k]];
    if (accepts(cluster->normal, cluster->offset, u, d, tolerance)) return k;
  }
  return n;
#endif
}

// The first cluster of the key's list that accepts (u, d), or INT32_MAX.
static inline int32_t index_scan(const ClusterIndex* index, uint64_t key, const float u[3],
                                 float d) {
  const IndexSlot* slot = &index->slots[index_probe(index, key)];
  if (slot->key == kEmptyKey) return INT32_MAX;
  const float tolerance = index->tolerance;
  const int inline_count = slot->count < kSlotIds ? slot->count : kSlotIds;
  int k = first_accepting(index->keys, slot->ids, inline_count, u, d, tolerance);
  if (k < inline_count) return slot->ids[k];
  int32_t left = slot->count - inline_count;
  for (int32_t b = slot->overflow; left > 0; b = index->blocks[b].next) {
    const IdBlock* block = &index->blocks[b];
    const int n = left < kBlockIds ? left : kBlockIds;
    k = first_accepting(index->keys, block->ids, n, u, d, tolerance);
    if (k < n) return block->ids[k];
    left -= n;
  }
  return INT32_MAX;
}

// A triangle measured ahead of its search.
struct Measured {
  float u[3];  // unit normal
  float d;     // offset
  float area;
  int32_t route;
  uint64_t key;  // grid key, for kRouteGrid
};

// Returns the lowest creation index among the clusters that accept the
// triangle, or -1 when none does.
static int32_t index_find(const ClusterIndex* index, const OrientCluster* clusters, int32_t count,
                          const Measured* m) {
  int32_t best = INT32_MAX;
  switch (m->route) {
    case kRouteNone:
      return -1;
    case kRouteLinear:
      return linear_find(clusters, count, m->u, m->d, index->tolerance);
    case kRouteGrid:
      best = index_scan(index, m->key, m->u, m->d);
      break;
  }
  for (int32_t e = 0; e < index->extra_count; e++) {
    const int32_t c = index->extra[e];
    if (c >= best) break;
    if (accepts(clusters[c].normal, clusters[c].offset, m->u, m->d, index->tolerance)) {
      best = c;
      break;
    }
  }
  return best == INT32_MAX ? -1 : best;
}

// Measures triangles [first, end) of the model into out, and fetches the
// index lines their searches will read; returns how many are large enough
// to count.
static int measure_triangles(const Model* model, int32_t first, int32_t end,
                             const ClusterIndex* index, Measured* out) {
  int n = 0;
  for (int32_t i = first; i < end; i++) {
    const float(*p)[3] = model->triangles[i].vertices;
    float e1[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
    float e2[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
    float w[3] = {e1[1] * e2[2] - e2[1] * e1[2], e1[2] * e2[0] - e2[2] * e1[0],
                  e1[0] * e2[1] - e2[0] * e1[1]};
    float area = 0.5f * sqrtf(length2(w));
    if (area < kMinArea) continue;
    float inverse = 1.0f / (2.0f * area);
    Measured* m = &out[n++];
    m->u[0] = w[0] * inverse;
    m->u[1] = w[1] * inverse;
    m->u[2] = w[2] * inverse;
    m->d = dot3(p[0], m->u);
    m->area = area;
    m->route = route_of(m->u, m->d, index->tolerance);
    if (m->route == kRouteGrid) {
      const int64_t slice =
          index->inverse_width != 0.0 ? offset_slice(m->d, index->inverse_width) : 0;
      m->key = index_key(
          grid_cell(grid_coordinate(m->u[0]), grid_coordinate(m->u[1]), grid_coordinate(m->u[2])),
          slice);
      if (index->slots) __builtin_prefetch(&index->slots[key_hash(m->key, index->slot_mask)]);
    }
  }
  return n;
}

// orient_build_clusters, with the index tables of the workspace (may be null).
static int32_t build_clusters(const Model* model, OrientCluster* clusters,
                              OrientWorkspace* workspace) {
  ClusterIndex index;
  index_init(&index, kOffsetFraction * model_diagonal(model), workspace);
  int32_t count = 0;
  bool indexed = false;
  Measured ahead[kAhead];
  int32_t fed[kAhead];  // the cluster whose sums each triangle feeds, or -1
  bool made[kAhead];    // the triangle made that cluster
  for (int32_t first = 0; first < model->count; first += kAhead) {
    const int32_t end = model->count - first < kAhead ? model->count : first + kAhead;
    const int n = measure_triangles(model, first, end, &index, ahead);
    for (int k = 0; k < n; k++) {
      const Measured* m = &ahead[k];
      const int32_t hit = indexed ? index_find(&index, clusters, count, m)
                                  : linear_find(clusters, count, m->u, m->d, index.tolerance);
      fed[k] = hit;
      made[k] = false;
      if (hit >= 0) {
        __builtin_prefetch(clusters[hit].weighted_sum);
      } else if (count < kOrientMaxClusters) {
        OrientCluster* cluster = &clusters[count];
        for (int a = 0; a < 3; a++) cluster->normal[a] = m->u[a];
        cluster->offset = m->d;
        cluster->support = 0;
        fed[k] = count;
        made[k] = true;
        count++;
        // The index starts once scanning grows dear; then it files every
        // cluster made so far, in creation order, and each new one.
        bool filed = true;
        if (indexed) {
          filed = index_add(&index, cluster, count - 1);
        } else if (count > kLinearClusters && model->count >= kIndexTriangles) {
          indexed = true;
          const int32_t most =
              model->count < kOrientMaxClusters ? model->count : kOrientMaxClusters;
          filed = index_start(&index, most);
          for (int32_t c = 0; c < count && filed; c++) filed = index_add(&index, &clusters[c], c);
        }
        if (!filed) {
          index_free(&index);
          return -1;
        }
      }
    }
    // The sums, which no search reads, are added once the group's searches
    // are done and their cluster lines are on their way: in triangle order,
    // so every sum takes its terms in the same order as before.
    for (int k = 0; k < n; k++) {
      if (fed[k] < 0) continue;
      const Measured* m = &ahead[k];
      OrientCluster* cluster = &clusters[fed[k]];
      if (made[k]) {
        for (int a = 0; a < 3; a++) cluster->weighted_sum[a] = m->u[a] * m->area;
        cluster->area = m->area;
      } else {
        for (int a = 0; a < 3; a++) {
          cluster->weighted_sum[a] = cluster->weighted_sum[a] + m->u[a] * m->area;
        }
        cluster->area = cluster->area + m->area;
      }
    }
  }
  index_free(&index);
  return count;
}

int32_t orient_build_clusters(const Model* model, OrientCluster* clusters) {
  return build_clusters(model, clusters, nullptr);
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

#ifdef __SSE2__
// The box of the vertices of triangles [first, end): false when one of them
// is not finite (lo and hi are then of no use). Lane 3 reads the float after
// each vertex, inside the triangle, and is ignored.
static bool block_box(const Model* model, int32_t first, int32_t end, float lo[3], float hi[3]) {
  __m128 low = _mm_set1_ps(kFloatMax), high = _mm_set1_ps(-kFloatMax);
  __m128 nonfinite = _mm_setzero_ps();  // x - x is 0, or NaN for NaN and infinities
  for (int32_t i = first; i < end; i++) {
    for (int v = 0; v < 3; v++) {
      const __m128 x = _mm_loadu_ps(model->triangles[i].vertices[v]);
      low = _mm_min_ps(low, x);
      high = _mm_max_ps(high, x);
      nonfinite = _mm_add_ps(nonfinite, _mm_sub_ps(x, x));
    }
  }
  float l[4], h[4];
  _mm_storeu_ps(l, low);
  _mm_storeu_ps(h, high);
  memcpy(lo, l, sizeof(float) * 3);
  memcpy(hi, h, sizeof(float) * 3);
  return (_mm_movemask_ps(_mm_cmpeq_ps(nonfinite, _mm_setzero_ps())) & 7) == 7;
}
#endif

// The highest point of every tested cluster's normal over all vertices
// (skipped triangles included), as an exact maximum of the same float dot
// products a plain pass takes. Most blocks of triangles cannot raise it: a
// block is skipped for a cluster when a bound on its dot products, from the
// block's box with room for their rounding, lies below the highest dot seen
// so far. Dots of a spread of vertices, taken first, make that bar high.
void orient_support_heights(const Model* model, const OrientCluster* clusters, int tested,
                            float* h) {
#ifdef __SSE2__
  // Four clusters in the lanes of a group; lanes past the tested ones carry
  // a zero normal and are dropped. Each lane computes the plain pass's dot,
  // and maxps keeps the height unless the dot is strictly above it (a NaN
  // never raises it), as the plain pass does.
  const int groups = (tested + 3) / 4;
  __m128 nx[kSupportClusters / 4], ny[kSupportClusters / 4], nz[kSupportClusters / 4];
  __m128 height[kSupportClusters / 4];
  for (int g = 0; g < groups; g++) {
    float n[3][4] = {};
    for (int l = 0; l < 4 && 4 * g + l < tested; l++) {
      for (int a = 0; a < 3; a++) n[a][l] = clusters[4 * g + l].normal[a];
    }
    nx[g] = _mm_loadu_ps(n[0]);
    ny[g] = _mm_loadu_ps(n[1]);
    nz[g] = _mm_loadu_ps(n[2]);
    height[g] = _mm_set1_ps(-kFloatMax);
  }
  auto raise = [&](int g, const float v[3]) {
    const __m128 dot = _mm_add_ps(
        _mm_add_ps(_mm_mul_ps(_mm_set1_ps(v[0]), nx[g]), _mm_mul_ps(_mm_set1_ps(v[1]), ny[g])),
        _mm_mul_ps(_mm_set1_ps(v[2]), nz[g]));
    height[g] = _mm_max_ps(dot, height[g]);
  };
  for (int32_t i = 0; i < model->count; i += kSupportBlock) {
    for (int g = 0; g < groups; g++) raise(g, model->triangles[i].vertices[0]);
  }
  const __m128 sign = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  for (int32_t first = 0; first < model->count; first += kSupportBlock) {
    const int32_t end = model->count - first < kSupportBlock ? model->count : first + kSupportBlock;
    float lo[3], hi[3];
    const bool finite = block_box(model, first, end, lo, hi);
    for (int g = 0; g < groups; g++) {
      if (finite) {
        // The bound in float: each product and sum rounds by at most a unit
        // in the last place of scale, so with the dot's own rounding a dot
        // lies below bound + 6 x 2^-24 scale; kBoundSlack is above that.
        const __m128 n[3] = {nx[g], ny[g], nz[g]};
        __m128 bound = _mm_setzero_ps(), scale = _mm_setzero_ps();
        for (int a = 0; a < 3; a++) {
          const __m128 low = _mm_mul_ps(n[a], _mm_set1_ps(lo[a]));
          const __m128 high = _mm_mul_ps(n[a], _mm_set1_ps(hi[a]));
          bound = a == 0 ? _mm_max_ps(low, high) : _mm_add_ps(bound, _mm_max_ps(low, high));
          const __m128 reach = _mm_max_ps(_mm_and_ps(low, sign), _mm_and_ps(high, sign));
          scale = a == 0 ? reach : _mm_add_ps(scale, reach);
        }
        const __m128 top = _mm_add_ps(
            _mm_add_ps(bound, _mm_mul_ps(scale, _mm_set1_ps(kBoundSlack))), _mm_set1_ps(1e-37f));
        if (_mm_movemask_ps(_mm_cmplt_ps(top, height[g])) == 15) continue;
      }
      for (int32_t i = first; i < end; i++) {
        for (int v = 0; v < 3; v++) raise(g, model->triangles[i].vertices[v]);
      }
    }
  }
  for (int g = 0; g < groups; g++) {
    float lanes[4];
    _mm_storeu_ps(lanes, height[g]);
    for (int l = 0; l < 4 && 4 * g + l < tested; l++) h[4 * g + l] = lanes[l];
  }
#else
  for (int c = 0; c < tested; c++) {
    h[c] = -kFloatMax;
    const float* n = clusters[c].normal;
    for (int32_t i = 0; i < model->count; i++) {
      for (const float* v : model->triangles[i].vertices) {
        float dv = (v[0] * n[0] + v[1] * n[1]) + v[2] * n[2];
        h[c] = dv > h[c] ? dv : h[c];
      }
    }
  }
#endif
}

// Marks the tested clusters whose plane is the model's outermost in their
// direction, within tolerance.
static void mark_support_faces(const Model* model, OrientCluster* clusters, int tested,
                               float tolerance) {
  float h[kSupportClusters];
  orient_support_heights(model, clusters, tested, h);
  for (int c = 0; c < tested; c++) {
    clusters[c].support = fabsf(h[c] - clusters[c].offset) < tolerance ? 1 : 0;
  }
}

#ifndef __SSE2__
static inline void rotate(const float r[3][3], float v[3]) {
  float x = v[0], y = v[1], z = v[2];
  for (int i = 0; i < 3; i++) v[i] = (r[i][0] * x + r[i][1] * y) + r[i][2] * z;
}
#endif

// Turns every vertex and stored normal by r and recomputes the box, as
// rotate() and model_widen_box() do one triangle after the other.
static void rotate_model(Model* model, const float r[3][3]) {
  for (int a = 0; a < 3; a++) {
    model->min[a] = kFloatMax;
    model->max[a] = -kFloatMax;
  }
#ifdef __SSE2__
  // Lane i computes row i of r: (r[i][0] * x + r[i][1] * y) + r[i][2] * z.
  // minps and maxps keep the running end unless the new value is strictly
  // beyond it, as model_widen_box does (a NaN never moves it).
  const __m128 c0 = _mm_setr_ps(r[0][0], r[1][0], r[2][0], 0.0f);
  const __m128 c1 = _mm_setr_ps(r[0][1], r[1][1], r[2][1], 0.0f);
  const __m128 c2 = _mm_setr_ps(r[0][2], r[1][2], r[2][2], 0.0f);
  __m128 low = _mm_set1_ps(kFloatMax), high = _mm_set1_ps(-kFloatMax);
  for (int32_t i = 0; i < model->count; i++) {
    float* f = &model->triangles[i].vertices[0][0];  // 12 floats: three vertices, the normal
    float out[13];
    for (int v = 0; v < 4; v++) {
      const __m128 x = _mm_set1_ps(f[3 * v]), y = _mm_set1_ps(f[3 * v + 1]);
      const __m128 z = _mm_set1_ps(f[3 * v + 2]);
      const __m128 turned =
          _mm_add_ps(_mm_add_ps(_mm_mul_ps(c0, x), _mm_mul_ps(c1, y)), _mm_mul_ps(c2, z));
      _mm_storeu_ps(&out[3 * v], turned);
      if (v < 3) {
        low = _mm_min_ps(turned, low);
        high = _mm_max_ps(turned, high);
      }
    }
    memcpy(f, out, sizeof(float) * 12);
  }
  float l[4], h[4];
  _mm_storeu_ps(l, low);
  _mm_storeu_ps(h, high);
  memcpy(model->min, l, sizeof model->min);
  memcpy(model->max, h, sizeof model->max);
#else
  for (int32_t i = 0; i < model->count; i++) {
    Triangle* tri = &model->triangles[i];
    for (int v = 0; v < 3; v++) rotate(r, tri->vertices[v]);
    rotate(r, tri->normal);
    model_widen_box(model, tri);
  }
#endif
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

  rotate_model(model, r);
}

void auto_orient_model(Model* model, OrientWorkspace* workspace) {
  if (model->count < 1 || model->count > kMaxTriangles) return;
  if (model_diagonal(model) < kMinDiagonal) return;
  // A model cannot make more clusters than it has triangles.
  const int32_t most = model->count < kOrientMaxClusters ? model->count : kOrientMaxClusters;
  OrientCluster* clusters = nullptr;
  if (workspace && workspace->cluster_capacity >= most) {
    clusters = static_cast<OrientCluster*>(workspace->clusters);
  } else {
    clusters =
        static_cast<OrientCluster*>(malloc(sizeof(OrientCluster) * static_cast<size_t>(most)));
    if (!clusters) return;
    if (workspace) {
      free(workspace->clusters);
      workspace->clusters = clusters;
      workspace->cluster_capacity = most;
    }
  }
  int32_t count = build_clusters(model, clusters, workspace);
  if (count > 0) orient_apply_clusters(model, clusters, count);
  if (!workspace) free(clusters);
}

void orient_workspace_free(OrientWorkspace* workspace) {
  free(workspace->clusters);
  release_index_tables(workspace->keys, workspace->extra, workspace->slots, workspace->slot_count,
                       workspace->blocks);
  *workspace = OrientWorkspace{};
}
