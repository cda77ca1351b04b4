// Batch mode: the single-file pipeline once per input line, in one process.
#include "batch.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "decimate.h"
#include "model.h"
#include "orient.h"
#include "platform.h"
#include "quality.h"
#include "stl.h"
#include "thumbnail.h"
#include "util.h"
#include "voxel.h"

// Triangle arrays up to this capacity (48 MB) are kept for the next job.
static const int32_t kKeptCapacity = 1 << 20;

// What one job leaves to the next: the triangle array, edge table,
// orientation tables, frame buffer and PNG writer. Fresh pages for each file
// would cost more than the work.
struct JobBuffers {
  Model model;
  QualityTables quality;
  OrientWorkspace orient;
  ThumbnailBuffers thumbnail;
};

static void job_buffers_free(JobBuffers* kept) {
  thumbnail_buffers_free(&kept->thumbnail);
  orient_workspace_free(&kept->orient);
  quality_tables_free(&kept->quality);
  model_free(&kept->model);
}

static void record_start(const char* file) {
  fputs("{\"file\":", stdout);
  json_write_string(stdout, file);
}

// Runs one job and writes the rest of its record, which names the job by
// file, the input as the line gave it. Returns 1 when the job reached
// rendering (it then counts as processed).
static int run_job(const char* file, const char* input, const char* output, int size, int budget,
                   JobBuffers* kept) {
  const double t0 = get_time_ms();
  Model* model = &kept->model;
  // The triangle array of the previous file is reused unless it grew large.
  if (model->triangles && model->capacity <= kKeptCapacity) {
    model_clear(model);
  } else {
    model_free(model);
    model_init(model);
  }
  if (!model->triangles || parse_stl(input, model) != 0 || model->count == 0) {
    record_start(file);
    fputs(",\"status\":\"error\",\"error\":\"parse_failed\",\"triangle_count\":0}\n", stdout);
    return 0;
  }
  const double t1 = get_time_ms();
  int non_manifold = 0, flipped = 0, degenerate = 0;
  analyze_mesh_quality(model, &non_manifold, &flipped, &degenerate, &kept->quality);
  const uint64_t voxels = compute_voxel_grid(model);
  auto_orient_model(model, &kept->orient);
  const int32_t count = model->count;
  float min[3], max[3];
  memcpy(min, model->min, sizeof min);
  memcpy(max, model->max, sizeof max);
  decimate_inplace(model, budget);
  const int rc =
      render_thumbnail_png(model, size, output, &k_constant_lighting, nullptr, &kept->thumbnail);
  const double t2 = get_time_ms();
  record_start(file);
  if (rc != 0) {
    printf(",\"status\":\"error\",\"error\":\"write_png_failed\",\"triangle_count\":%d}\n", count);
  } else {
    printf(",\"status\":\"ok\",\"triangle_count\":%d,\"vertex_count\":%d,\"is_binary\":%d,", count,
           model->source_count, model->is_binary);
    json_write_box(stdout, min, max);
    printf(
        ",\"non_manifold_edges\":%d,\"flipped_normals\":%d,\"degenerate_tris\":%d,"
        "\"voxel_grid\":%llu,\"parse_ms\":%.1f,\"total_ms\":%.1f}\n",
        non_manifold, flipped, degenerate, static_cast<unsigned long long>(voxels), t1 - t0,
        t2 - t0);
  }
  return 1;
}

void run_batch(int size, int budget) {
  stream_set_text(stdin);
  int processed = 0;
  JobBuffers kept = {};
  char line[4096];
  while (fgets(line, sizeof line, stdin)) {
    size_t len = strlen(line);
    if (len == 0) break;  // a line starting with a NUL byte ends the batch
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
    if (len == 0) break;  // a blank line is the end marker
    char* tab = strchr(line, '\t');
    if (!tab) {
      record_start(line);
      fputs(",\"status\":\"error\",\"error\":\"no_tab_separator\"}\n", stdout);
    } else {
      *tab = '\0';
      JobPaths paths;
      platform_job_paths(line, tab + 1, &paths);
      processed += run_job(line, paths.input, paths.output, size, budget, &kept);
      platform_job_paths_free(&paths);
    }
    fflush(stdout);
  }
  job_buffers_free(&kept);
  fprintf(stderr, "BATCH: %d files processed\n", processed);
}
