// vertexshot: renders a Wavefront OBJ file into a square PNG thumbnail.
#include <cstdio>
#include <cstring>

#include "decimate.h"
#include "model.h"
#include "obj.h"
#include "orient.h"
#include "platform.h"
#include "runtime_lighting.h"
#include "thumbnail.h"
#include "util.h"
#include "voxel.h"

static const int kDefaultSize = 256;
static const int kMinSize = 32;
static const int kMaxSize = 2048;
static const int kDefaultBudget = 500000;
static const int kMinBudget = 1000;

static void print_usage(const char* prog) {
  fprintf(stderr,
          "OBJ Thumbnail Renderer \xE2\x80\x94 Korvane\n"
          "Usage: %s input.obj output.png [size] [--info] [--max-tris N]\n"
          "\n"
          "  size           Thumbnail pixel size (default: 256)\n"
          "  --info         Print JSON metadata to stdout\n"
          "  --max-tris     Max triangles for rendering (default: 500000)\n"
          "\n"
          "Build with -DUSE_ZLIB and link -lz for compressed PNGs.\n",
          prog);
}

static void print_info(const Model* model) {
  unsigned long long voxels = compute_voxel_grid(model);
  printf("{\"triangle_count\":%d,\"vertex_count\":%d,\"is_binary\":0,", model->count,
         model->source_count);
  json_write_box(stdout, model->min, model->max);
  printf(",\"voxel_grid\":%llu}\n", voxels);
  fflush(stdout);
}

int main(int raw_argc, char** raw_argv) {
  ProgramArgs args;
  platform_program_args(raw_argc, raw_argv, &args);
  const int argc = args.argc;
  char** argv = args.words;  // option words and numbers
  if (argc < 3) {
    print_usage(argc > 0 && args.names[0] ? args.names[0] : "vertexshot");
    return 1;
  }
  const char* input = args.paths[1];
  const char* output = args.paths[2];
  int size = kDefaultSize;
  int budget = kDefaultBudget;
  bool info = false;
  for (int i = 3; i < argc; i++) {
    if (strcmp(argv[i], "--info") == 0) {
      info = true;
    } else if (strcmp(argv[i], "--max-tris") == 0 && i + 1 < argc) {
      int value = parse_int_atoi(argv[++i]);
      budget = value < kMinBudget ? kMinBudget : value;
    } else {
      // A trailing "--max-tris" lands here too and reads as 0: ignored.
      int value = parse_int_atoi(argv[i]);
      if (value >= kMinSize && value <= kMaxSize) size = value;
    }
  }

  double t0 = get_time_ms();
  Model model;
  if (parse_obj(input, &model) != 0) {
    fprintf(stderr, "ERROR: Cannot parse %s\n", args.names[1]);
    return 2;
  }
  double t1 = get_time_ms();
  if (model.count == 0) {
    fprintf(stderr, "ERROR: No triangles in %s\n", args.names[1]);
    model_free(&model);
    return 3;
  }
  const int parsed = model.count;
  if (info) print_info(&model);
  auto_orient_model(&model);
  decimate_inplace(&model, budget);

  double t2 = get_time_ms();
  const Lighting lights = build_runtime_lighting();
  double t3 = t2;
  int written = render_thumbnail_png(&model, size, output, &lights, &t3);
  double t4 = get_time_ms();
  model_free(&model);
  if (written != 0) {
    fprintf(stderr, "ERROR: Cannot write PNG: %s\n", args.names[2]);
    return 2;
  }
  fprintf(stderr,
          "OK %s: %d tris (dec %d), %dx%d, parse=%.1fms decimate=%.1fms render=%.1fms "
          "write=%.1fms total=%.1fms\n",
          args.names[1], parsed, 0, size, size, t1 - t0, t2 - t1, t3 - t2, t4 - t3, t4 - t0);
  return 0;
}
