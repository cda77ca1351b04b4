// packshot's command line, the --parse-3mf run and the object mesh stream.
#include "cli.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "input3mf.h"
#include "platform.h"
#include "render.h"
#include "util.h"

static const int kDefaultSize = 256;
static const int kDefaultBudget = 500000;
static const int kMinBudget = 1000;

static void print_usage(const char* prog) {
  fprintf(stderr,
          "3MF Thumbnail Renderer \xE2\x80\x94 Korvane\n"
          "Usage: %s --parse-3mf  (reads XML or 3MF ZIP from stdin, writes binary mesh to "
          "stdout)\n"
          "       %s --render-3mf output.png [size] [--max-tris N] [--per-object prefix]\n"
          "\n"
          "  size           Thumbnail pixel size (default: 256)\n"
          "  --max-tris     Max triangles for rendering (default: 500000)\n"
          "  --parse-3mf    Parse 3MF model (ZIP or XML) from stdin -> binary mesh on stdout\n"
          "  --render-3mf   Parse 3MF model (ZIP or XML) from stdin, render thumbnail, output "
          "JSON metadata\n"
          "                 --per-object prefix: also render prefix_obj0.png, prefix_obj1.png, "
          "...\n"
          "\n"
          "Build with -DUSE_ZLIB and link -lz for 3MF ZIP (deflate) support.\n",
          prog, prog);
}

// Little-endian output through a small buffer, whatever the host order.
struct StreamWriter {
  FILE* out;
  uint8_t buf[65536];
  size_t used;
  bool failed;
};

static void sw_flush(StreamWriter* w) {
  if (w->used && fwrite(w->buf, 1, w->used, w->out) != w->used) w->failed = true;
  w->used = 0;
}

static void sw_bytes(StreamWriter* w, const void* data, size_t n) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    if (w->used == sizeof w->buf) sw_flush(w);
    size_t take = sizeof w->buf - w->used;
    if (take > n) take = n;
    memcpy(w->buf + w->used, p, take);
    w->used += take;
    p += take;
    n -= take;
  }
}

static void sw_u32(StreamWriter* w, uint32_t v) {
  const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  sw_bytes(w, b, 4);
}

static void sw_i32(StreamWriter* w, int32_t v) {
  sw_u32(w, static_cast<uint32_t>(v));
}

static void sw_f32(StreamWriter* w, float v) {
  uint32_t bits;
  memcpy(&bits, &v, 4);
  sw_u32(w, bits);
}

int write_object_mesh_stream(FILE* out, const Model* model, const ObjectInfo* infos, int n) {
  StreamWriter* w = static_cast<StreamWriter*>(malloc(sizeof(StreamWriter)));
  if (!w) return -1;
  w->out = out;
  w->used = 0;
  w->failed = false;
  sw_i32(w, n);
  for (int i = 0; i < n; i++) {
    const ObjectInfo* info = &infos[i];
    const size_t name_len = strnlen(info->name, 255);
    sw_i32(w, static_cast<int32_t>(name_len));
    sw_bytes(w, info->name, name_len);
    int64_t k = info->triangle_count;
    const int64_t first = info->first_triangle;
    if (first + k > model->count) k = model->count - first;
    if (k < 0) k = 0;
    sw_i32(w, static_cast<int32_t>(3 * k));
    for (int64_t t = 0; t < k; t++) {
      const Triangle* tri = &model->triangles[first + t];
      for (int v = 0; v < 3; v++) {
        for (int a = 0; a < 3; a++) sw_f32(w, tri->vertices[v][a]);
      }
    }
    sw_i32(w, static_cast<int32_t>(k));
    for (int64_t t = 0; t < k; t++) {
      sw_i32(w, static_cast<int32_t>(3 * t));
      sw_i32(w, static_cast<int32_t>(3 * t + 1));
      sw_i32(w, static_cast<int32_t>(3 * t + 2));
    }
  }
  sw_flush(w);
  const bool failed = w->failed;
  free(w);
  return failed ? -1 : 0;
}

static int run_parse_mode() {
  stream_set_binary(stdin);
  stream_set_binary(stdout);
  const double t0 = get_time_ms();
  g_use_sampling = 0;
  Model model;
  ObjectInfo* infos = nullptr;
  int n = 0;
  double t1 = 0;
  const int status = load_3mf_from_stdin(&model, &infos, &n, &t1);
  if (status != 0) return status;
  const double t2 = get_time_ms();

  int rc = write_object_mesh_stream(stdout, &model, infos, n);
  if (fflush(stdout) != 0 || ferror(stdout)) rc = -1;
  const double t3 = get_time_ms();
  if (rc != 0) {
    // A cut-off stream must not look like a complete one.
    fputs("ERROR: cannot write the mesh stream to stdout\n", stderr);
  } else {
    fprintf(stderr,
            "3MF-parse: %d objects, %d tris, read=%.0fms parse=%.0fms write=%.0fms "
            "total=%.0fms\n",
            n, model.count, t1 - t0, t2 - t1, t3 - t2, t3 - t0);
  }
  model_free(&model);
  free(infos);
  return rc == 0 ? 0 : 2;
}

int packshot_main(const ProgramArgs* args) {
  const int argc = args->argc;
  char** argv = args->words;
  const char* prog = argc > 0 && args->names[0] ? args->names[0] : "packshot";
  if (argc < 2) {
    print_usage(prog);
    return 1;
  }
  if (strcmp(argv[1], "--parse-3mf") == 0) return run_parse_mode();
  if (argc < 3 || strcmp(argv[1], "--render-3mf") != 0) {
    print_usage(prog);
    return 1;
  }
  const char* output = args->paths[2];  // taken literally, even when it looks like an option
  int size = kDefaultSize;
  int max_tris = kDefaultBudget;
  const char* prefix = nullptr;
  for (int i = 3; i < argc; i++) {
    if (strcmp(argv[i], "--max-tris") == 0 && i + 1 < argc) {
      const int v = parse_int_atoi(argv[++i]);
      max_tris = v < kMinBudget ? kMinBudget : v;
    } else if (strcmp(argv[i], "--per-object") == 0 && i + 1 < argc) {
      prefix = args->paths[++i];
    } else {
      const int v = parse_int_atoi(argv[i]);
      if (v >= 32 && v <= 2048) size = v;
    }
  }
  return render_3mf_from_stdin(output, size, max_tris, prefix);
}
