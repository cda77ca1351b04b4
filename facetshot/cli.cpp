// facetshot's command line and the single-image run.
#include "cli.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "batch.h"
#include "decimate.h"
#include "model.h"
#include "orient.h"
#include "platform.h"
#include "quality.h"
#include "rawstream.h"
#include "stl.h"
#include "thumbnail.h"
#include "util.h"
#include "voxel.h"

static const int kDefaultSize = 256;
static const int kDefaultBudget = 500000;
static const int kMinBudget = 1000;

static void print_usage(const char* prog) {
  fprintf(stderr,
          "STL Thumbnail Renderer \xE2\x80\x94 Korvane\n"
          "Usage: %s input.stl output.png [size] [--info] [--max-tris N]\n"
          "       %s --stdin  output.png [size] [--max-tris N]\n"
          "       %s --batch  [size] [--max-tris N]\n"
          "\n"
          "  size           Thumbnail pixel size (default: 256)\n"
          "  --info         Print JSON metadata to stdout\n"
          "  --max-tris     Max triangles for rendering (default: 500000)\n"
          "  --stdin        Read raw triangles from stdin (for 3MF support)\n"
          "                 Format: uint32 count + count x 9 x float32\n"
          "  --batch        Read input\\toutput lines from stdin, output JSON-Lines\n"
          "\n"
          "Build with -DUSE_ZLIB and link -lz for compressed PNGs.\n",
          prog, prog, prog);
}

struct Options {
  int size = kDefaultSize;
  int max_tris = kDefaultBudget;
  bool info = false;
};

// Options from argv[first] on; later ones override earlier ones, and anything
// unrecognised is a size candidate that is kept only when in range.
static Options read_options(int argc, char** argv, int first, bool accept_info) {
  Options o;
  for (int i = first; i < argc; i++) {
    if (accept_info && strcmp(argv[i], "--info") == 0) {
      o.info = true;
    } else if (strcmp(argv[i], "--max-tris") == 0 && i + 1 < argc) {
      int v = parse_int_atoi(argv[++i]);
      o.max_tris = v < kMinBudget ? kMinBudget : v;
    } else {
      int v = parse_int_atoi(argv[i]);
      if (v >= 32 && v <= 2048) o.size = v;
    }
  }
  return o;
}

static void print_info(const Model* model) {
  int non_manifold = 0, flipped = 0, degenerate = 0;
  analyze_mesh_quality(model, &non_manifold, &flipped, &degenerate);
  const uint64_t voxels = compute_voxel_grid(model);
  printf("{\"triangle_count\":%d,\"vertex_count\":%d,\"is_binary\":%d,", model->count,
         model->source_count, model->is_binary);
  json_write_box(stdout, model->min, model->max);
  printf(
      ",\"non_manifold_edges\":%d,\"flipped_normals\":%d,\"degenerate_tris\":%d,"
      "\"voxel_grid\":%llu}\n",
      non_manifold, flipped, degenerate, static_cast<unsigned long long>(voxels));
  fflush(stdout);
}

// Paths open the files; names are what the messages show (see platform.h).
static int run_single(const char* input, const char* output, const char* input_name,
                      const char* output_name, bool from_stdin, const Options& o) {
  const char* name = from_stdin ? "stdin" : input_name;
  const double t0 = get_time_ms();
  Model model;
  int outcome = 0;  // 0 read, else the exit code
  if (model_init(&model) != 0) {
    outcome = 2;
  } else if (from_stdin) {
    stream_set_binary(stdin);
    outcome = read_raw_triangles(stdin, &model);
  } else if (parse_stl(input, &model) != 0) {
    outcome = 2;
  }
  if (outcome == 0 && model.count == 0) outcome = 3;
  if (outcome != 0) {
    model_free(&model);
    fprintf(stderr, outcome == 3 ? "ERROR: No triangles in %s\n" : "ERROR: Cannot parse %s\n",
            name);
    return outcome;
  }
  const double t1 = get_time_ms();
  const int32_t count = model.count;
  if (o.info) print_info(&model);
  auto_orient_model(&model);
  decimate_inplace(&model, o.max_tris);
  const double t2 = get_time_ms();
  double t3 = 0;
  const int rc = render_thumbnail_png(&model, o.size, output, &k_constant_lighting, &t3);
  const double t4 = get_time_ms();
  model_free(&model);
  if (rc != 0) {
    fprintf(stderr, "ERROR: Cannot write PNG: %s\n", output_name);
    return 2;
  }
  fprintf(stderr,
          "OK %s: %d tris (dec %d), %dx%d, parse=%.1fms decimate=%.1fms render=%.1fms "
          "write=%.1fms total=%.1fms\n",
          name, count, 0, o.size, o.size, t1 - t0, t2 - t1, t3 - t2, t4 - t3, t4 - t0);
  return 0;
}

int facetshot_main(const ProgramArgs* args) {
  const int argc = args->argc;
  char** words = args->words;
  const char* prog = argc > 0 ? args->names[0] : "facetshot";
  if (argc <= 1) {
    print_usage(prog);
    return 1;
  }
  if (strcmp(words[1], "--batch") == 0) {
    Options o = read_options(argc, words, 2, false);
    run_batch(o.size, o.max_tris);
    return 0;
  }
  if (argc == 2) {
    print_usage(prog);
    return 1;
  }
  const bool from_stdin = strcmp(words[1], "--stdin") == 0;
  return run_single(args->paths[1], args->paths[2], args->names[1], args->names[2], from_stdin,
                    read_options(argc, words, 3, true));
}
