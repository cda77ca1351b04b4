// 3MF model building speed: parse_3mf_xml_to_model on a generated model XML
// of about 200 MB holding 5,000,000 triangles, in parse mode (every triangle
// kept) and in render mode (sampled to the default budget of 500000); and
// build_3mf_model on the same XML deflated in a package, as packshot reads
// it (inflated in pieces while it is scanned), in render mode.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "builder.h"
#include "input3mf.h"
#include "model.h"

static const int kObjects = 125;
static const int kTrianglesPerObject = 40000;  // 125 x 40,000 = 5,000,000
static const int kSide = 40;                   // vertices per grid side

// 125 wavy 40 x 40 grids; each object walks its grid's 3,042 cell triangles
// again and again until it holds 40,000, so indices stay at up to four
// digits as in a typical exporter's output. Placed by one build item each.
static std::string make_document() {
  std::string doc;
  doc.reserve(230u << 20);
  doc +=
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model unit=\"millimeter\" xml:lang=\"en-US\" "
      "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\">\n<resources>\n";
  char line[160];
  for (int o = 1; o <= kObjects; o++) {
    snprintf(line, sizeof line,
             "<object id=\"%d\" name=\"part %d\" type=\"model\">\n<mesh>\n<vertices>\n", o, o);
    doc += line;
    for (int y = 0; y < kSide; y++) {
      for (int x = 0; x < kSide; x++) {
        snprintf(line, sizeof line, "<vertex x=\"%.3f\" y=\"%.3f\" z=\"%.3f\"/>\n", x * 0.5,
                 y * 0.5, ((x * 7 + y * 3 + o) % 11) * 0.1);
        doc += line;
      }
    }
    doc += "</vertices>\n<triangles>\n";
    const int cells = (kSide - 1) * (kSide - 1);
    for (int t = 0; t < kTrianglesPerObject; t++) {
      const int cell = (t / 2) % cells;
      const int x = cell % (kSide - 1), y = cell / (kSide - 1);
      const int a = y * kSide + x, b = a + 1, c = a + kSide + 1, d = a + kSide;
      if (t % 2 == 0) {
        snprintf(line, sizeof line, "<triangle v1=\"%d\" v2=\"%d\" v3=\"%d\"/>\n", a, b, c);
      } else {
        snprintf(line, sizeof line, "<triangle v1=\"%d\" v2=\"%d\" v3=\"%d\"/>\n", a, c, d);
      }
      doc += line;
    }
    doc += "</triangles>\n</mesh>\n</object>\n";
  }
  doc += "</resources>\n<build>\n";
  for (int o = 1; o <= kObjects; o++) {
    snprintf(line, sizeof line, "<item objectid=\"%d\" transform=\"1 0 0 0 1 0 0 0 1 %d %d 0\"/>\n",
             o, (o % 12) * 25, (o / 12) * 25);
    doc += line;
  }
  doc += "</build>\n</model>\n";
  return doc;
}

static const std::string& document() {
  static const std::string doc = make_document();
  return doc;
}

static void put_le(std::string* s, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

// The document deflated (level 6, as packaging tools write) as the package's
// one entry "3D/3dmodel.model".
static std::string make_package() {
  const std::string& doc = document();
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string data(deflateBound(&zs, doc.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(doc.data()));
  zs.avail_in = static_cast<uInt>(doc.size());
  zs.next_out = reinterpret_cast<Bytef*>(&data[0]);
  zs.avail_out = static_cast<uInt>(data.size());
  deflate(&zs, Z_FINISH);
  data.resize(zs.total_out);
  deflateEnd(&zs);
  const std::string name = "3D/3dmodel.model";
  std::string zip;
  put_le(&zip, 0x04034b50, 4);
  put_le(&zip, 20, 2);
  put_le(&zip, 0, 2);
  put_le(&zip, 8, 2);
  put_le(&zip, 0, 8);  // time, date, crc
  put_le(&zip, data.size(), 4);
  put_le(&zip, doc.size(), 4);
  put_le(&zip, name.size(), 2);
  put_le(&zip, 0, 2);
  zip += name + data;
  const size_t directory = zip.size();
  put_le(&zip, 0x02014b50, 4);
  put_le(&zip, 20, 2);
  put_le(&zip, 20, 2);
  put_le(&zip, 0, 2);
  put_le(&zip, 8, 2);
  put_le(&zip, 0, 8);
  put_le(&zip, data.size(), 4);
  put_le(&zip, doc.size(), 4);
  put_le(&zip, name.size(), 2);
  put_le(&zip, 0, 12);  // extra, comment, disk, attributes
  put_le(&zip, 0, 4);   // local header offset
  zip += name;
  const size_t directory_size = zip.size() - directory;
  put_le(&zip, 0x06054b50, 4);
  put_le(&zip, 0, 4);
  put_le(&zip, 1, 2);
  put_le(&zip, 1, 2);
  put_le(&zip, directory_size, 4);
  put_le(&zip, directory, 4);
  put_le(&zip, 0, 2);
  return zip;
}

static void run_build(benchmark::State& state, int sampling) {
  const std::string& doc = document();
  int32_t triangles = 0;
  const BuildSettings settings = {sampling, 500000};
  for (auto _ : state) {
    Model model;
    ObjectInfo* infos = nullptr;
    const int n =
        parse_3mf_xml_to_model(doc.data(), doc.size(), &settings, nullptr, &model, &infos);
    benchmark::DoNotOptimize(n);
    triangles = model.count;
    model_free(&model);
    free(infos);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(doc.size()));
  state.counters["xml_MB"] = static_cast<double>(doc.size()) / 1e6;
  state.counters["model_tris"] = triangles;
}

static void BM_Build3mf5MTrisParseMode(benchmark::State& state) {
  run_build(state, 0);
}
static void BM_Build3mf5MTrisRenderMode(benchmark::State& state) {
  run_build(state, 1);
}

static void BM_Package3mf5MTrisRenderMode(benchmark::State& state) {
  static const std::string package = make_package();
  const uint8_t* input = reinterpret_cast<const uint8_t*>(package.data());
  const BuildSettings settings = {1, 500000};
  int32_t triangles = 0;
  for (auto _ : state) {
    Model model;
    ObjectInfo* infos = nullptr;
    int n = 0;
    if (build_3mf_model(input, package.size(), &settings, nullptr, &model, &infos, &n) ==
        kInput3mfOk) {
      triangles = model.count;
      model_free(&model);
      free(infos);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(document().size()));
  state.counters["package_MB"] = static_cast<double>(package.size()) / 1e6;
  state.counters["model_tris"] = triangles;
}

BENCHMARK(BM_Build3mf5MTrisParseMode)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Build3mf5MTrisRenderMode)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Package3mf5MTrisRenderMode)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
