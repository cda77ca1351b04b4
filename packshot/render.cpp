// packshot --render-3mf: build under the sampling budget, optional per-object
// thumbnails, voxel mask, main thumbnail, JSON and timing line.
#include "render.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builder.h"
#include "decimate.h"
#include "input3mf.h"
#include "model.h"
#include "orient.h"
#include "platform.h"
#include "thumbnail.h"
#include "util.h"
#include "voxel.h"

static const int kMinBudget = 1000;

// Renders one instance's triangles on their own. Returns 1 when the
// thumbnail was attempted (its write result is not reported), 0 when its
// model or file name could not be set up.
static int render_object(const Model* main, const ObjectInfo* info, int index, int size,
                         int max_tris, const char* prefix) {
  // The whole prefix, however long the path: a cut name would be another file.
  const size_t path_size = strlen(prefix) + sizeof "_obj-2147483648.png";
  char* path = static_cast<char*>(malloc(path_size));
  Model part;
  if (!path || model_init(&part) != 0) {
    free(path);
    return 0;
  }
  for (int32_t k = 0; k < info->triangle_count; k++) {
    const int64_t t = static_cast<int64_t>(info->first_triangle) + k;
    if (t < 0 || t >= main->count) break;
    if (model_push(&part, &main->triangles[t]) != 0) break;
  }
  auto_orient_model(&part);
  decimate_inplace(&part, max_tris);
  snprintf(path, path_size, "%s_obj%d.png", prefix, index);
  render_thumbnail_png(&part, size, path);
  model_free(&part);
  free(path);
  return 1;
}

static void print_json(const Model* model, int tris, const ObjectInfo* infos, int n,
                       uint64_t voxels) {
  printf("{\"triangle_count\":%d,\"vertex_count\":%d,\"object_count\":%d,", tris,
         model->source_count, n);
  json_write_box(stdout, model->min, model->max);
  fputs(",\"objects\":[", stdout);
  for (int i = 0; i < n; i++) {
    if (i) fputc(',', stdout);
    fputs("{\"name\":", stdout);
    json_write_string(stdout, infos[i].name);
    printf(",\"triangle_count\":%d,\"vertex_count\":%d}", infos[i].triangle_count,
           infos[i].vertex_count);
  }
  printf("],\"voxel_grid\":%llu}\n", static_cast<unsigned long long>(voxels));
  fflush(stdout);
}

int render_3mf_from_stdin(const char* output_path, int size, int max_tris,
                          const char* per_object_prefix) {
  const double t0 = get_time_ms();
  g_use_sampling = 1;
  g_max_tris_budget = max_tris < kMinBudget ? kMinBudget : max_tris;
  Model model;
  ObjectInfo* infos = nullptr;
  int n = 0;
  double t1 = 0;
  const int status = load_3mf_from_stdin(&model, &infos, &n, &t1);
  if (status != 0) return status;
  const double t2 = get_time_ms();

  int rendered = 0;
  double t3 = t2;
  if (per_object_prefix && n != 1) {
    for (int i = 0; i < n; i++) {
      if (infos[i].triangle_count == 0) continue;
      rendered += render_object(&model, &infos[i], i, size, max_tris, per_object_prefix);
    }
    t3 = get_time_ms();
  }

  const int tris = model.count;
  const uint64_t voxels = compute_voxel_grid(&model);
  auto_orient_model(&model);
  decimate_inplace(&model, max_tris);
  const int written = render_thumbnail_png(&model, size, output_path);
  const double t4 = get_time_ms();

  print_json(&model, tris, infos, n, voxels);
  fprintf(stderr,
          "3MF-render: %d obj, %d tris (dec %d), %dx%d, read=%.0fms parse=%.0fms "
          "perobj=%d(%.0fms) render=%.0fms total=%.0fms\n",
          n, tris, model.count, size, size, t1 - t0, t2 - t1, rendered, t3 - t2, t4 - t3, t4 - t0);
  model_free(&model);
  free(infos);
  return written == 0 ? 0 : 2;
}
