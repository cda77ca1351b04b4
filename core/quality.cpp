// Mesh quality: edge use counts in an open-addressing table, flips, degenerates.
#include "quality.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

static const int32_t kMaxTriangles = 500000;
static const uint64_t kFnvOffset = 0xcbf29ce484222325ull;  // FNV-1a 64-bit offset basis
static const uint64_t kFnvPrime = 0x100000001b3ull;        // FNV 64-bit prime

// Truncates coord * 10000 toward zero. NaN and values outside int64 become
// INT64_MIN, which is what the x86-64 conversion instruction produces.
static int64_t quantize(float coord) {
  float q = coord * 10000.0f;
  if (!(q >= -9223372036854775808.0f && q < 9223372036854775808.0f)) return INT64_MIN;
  return static_cast<int64_t>(q);
}

struct EdgeTable {
  uint64_t* keys;
  uint8_t* uses;
  uint64_t slots;
};

static void insert_edge(EdgeTable* table, const float* p, const float* q) {
  int64_t a[3] = {quantize(p[0]), quantize(p[1]), quantize(p[2])};
  int64_t b[3] = {quantize(q[0]), quantize(q[1]), quantize(q[2])};
  bool swap = a[0] != b[0] ? a[0] > b[0] : a[1] != b[1] ? a[1] > b[1] : a[2] > b[2];
  const int64_t* lo = swap ? b : a;
  const int64_t* hi = swap ? a : b;
  uint64_t h = kFnvOffset;
  for (int k = 0; k < 3; k++) h = (h ^ static_cast<uint64_t>(lo[k])) * kFnvPrime;
  for (int k = 0; k < 3; k++) h = (h ^ static_cast<uint64_t>(hi[k])) * kFnvPrime;
  const uint64_t key = h | 1;
  // At most half the slots are ever used, so the probe always ends.
  for (uint64_t slot = h % table->slots;; slot = slot + 1 == table->slots ? 0 : slot + 1) {
    if (table->keys[slot] == 0) {
      table->keys[slot] = key;
      table->uses[slot] = 1;
      return;
    }
    if (table->keys[slot] == key) {
      if (table->uses[slot] < 255) table->uses[slot]++;
      return;
    }
  }
}

// Cleared buffers for slots entries in tables, grown when too small.
// Returns false, leaving them released, when memory runs out.
static bool tables_ready(QualityTables* tables, uint64_t slots) {
  if (tables->capacity < slots) {
    quality_tables_free(tables);
    tables->keys = static_cast<uint64_t*>(malloc(slots * sizeof(uint64_t)));
    tables->uses = static_cast<uint8_t*>(malloc(slots));
    if (!tables->keys || !tables->uses) {
      quality_tables_free(tables);
      return false;
    }
    tables->capacity = slots;
  }
  memset(tables->keys, 0, slots * sizeof(uint64_t));
  memset(tables->uses, 0, slots);
  return true;
}

void analyze_mesh_quality(const Model* model, int* non_manifold_edges, int* flipped_normals,
                          int* degenerate_tris, QualityTables* tables) {
  *non_manifold_edges = 0;
  *flipped_normals = 0;
  *degenerate_tris = 0;
  if (model->count <= 0 || model->count > kMaxTriangles) return;
  EdgeTable table;
  table.slots = static_cast<uint64_t>(model->count) * 6;
  if (table.slots < 64) table.slots = 64;
  if (tables) {
    if (!tables_ready(tables, table.slots)) return;
    table.keys = tables->keys;
    table.uses = tables->uses;
  } else {
    table.keys = static_cast<uint64_t*>(calloc(table.slots, sizeof(uint64_t)));
    table.uses = static_cast<uint8_t*>(calloc(table.slots, 1));
    if (!table.keys || !table.uses) {
      free(table.keys);
      free(table.uses);
      return;
    }
  }
  int flipped = 0, degenerate = 0;
  for (int32_t i = 0; i < model->count; i++) {
    const Triangle& t = model->triangles[i];
    const float* p0 = t.vertices[0];
    const float* p1 = t.vertices[1];
    const float* p2 = t.vertices[2];
    float e1[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    float e2[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    float w[3] = {e1[1] * e2[2] - e2[1] * e1[2], e1[2] * e2[0] - e2[2] * e1[0],
                  e1[0] * e2[1] - e2[0] * e1[1]};
    if (w[0] * w[0] + w[1] * w[1] + w[2] * w[2] < 1e-10f) {
      degenerate++;
      continue;
    }
    const float* n = t.normal;
    if (n[0] * n[0] + n[1] * n[1] + n[2] * n[2] > 1e-10f &&
        n[0] * w[0] + n[1] * w[1] + n[2] * w[2] < 0.0f) {
      flipped++;
    }
    insert_edge(&table, p0, p1);
    insert_edge(&table, p1, p2);
    insert_edge(&table, p2, p0);
  }
  int non_manifold = 0;
  for (uint64_t s = 0; s < table.slots; s++) {
    if (table.keys[s] != 0 && table.uses[s] != 2) non_manifold++;
  }
  if (!tables) {
    free(table.keys);
    free(table.uses);
  }
  *non_manifold_edges = non_manifold;
  *flipped_normals = flipped;
  *degenerate_tris = degenerate;
}

void quality_tables_free(QualityTables* tables) {
  free(tables->keys);
  free(tables->uses);
  *tables = QualityTables{};
}
