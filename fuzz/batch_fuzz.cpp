// Fuzzes the batch line protocol. The jobs run in a private scratch folder
// that holds two small meshes, and every '/' of the input becomes '_', so a
// job can only read and write there; what a run writes is removed after it.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "batch.h"

static std::string g_scratch;

static void write_file(const char* name, const void* bytes, size_t size) {
  FILE* f = fopen(name, "wb");
  if (!f) abort();
  fwrite(bytes, 1, size, f);
  fclose(f);
}

static void make_scratch() {
  char pattern[] = "/tmp/orrery_batch_fuzz_XXXXXX";
  if (!mkdtemp(pattern) || chdir(pattern) != 0) abort();
  g_scratch = pattern;
  unsigned char binary[84 + 50] = {0};
  binary[80] = 1;
  const float tri[12] = {0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0};
  memcpy(binary + 84, tri, sizeof tri);
  write_file("a", binary, sizeof binary);
  const char ascii[] =
      "solid s\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\n"
      "vertex 0 1 0\nendloop\nendfacet\nendsolid s\n";
  write_file("b", ascii, sizeof ascii - 1);
  if (!freopen("/dev/null", "w", stdout)) abort();
}

static void clean_scratch() {
  DIR* dir = opendir(".");
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (!strcmp(name, ".") || !strcmp(name, "..") || !strcmp(name, "a") || !strcmp(name, "b") ||
        !strcmp(name, "jobs"))
      continue;
    if (unlink(name) != 0) rmdir(name);
  }
  closedir(dir);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_scratch.empty()) make_scratch();
  std::string jobs(reinterpret_cast<const char*>(data), size);
  for (char& c : jobs) {
    if (c == '/') c = '_';
  }
  write_file("jobs", jobs.data(), jobs.size());
  if (!freopen("jobs", "rb", stdin)) abort();
  run_batch(16, 100);
  clean_scratch();
  return 0;
}
