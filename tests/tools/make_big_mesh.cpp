// Writes a large generated mesh for the memory and time measurements: a
// wavy height field, two triangles per grid cell, as binary STL, ASCII STL,
// OBJ or a 3MF package (model XML deflated into a ZIP; the XML's size is
// printed).
//
//   make_big_mesh stl-binary|stl-ascii|obj|3mf TRIANGLES OUTPUT
#include <zlib.h>

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Grid {
  int64_t columns;  // vertices per row
  int64_t rows;
  int64_t triangles;
};

Grid grid_for(int64_t triangles) {
  int64_t cells = (triangles + 1) / 2;
  int64_t columns = static_cast<int64_t>(std::sqrt(static_cast<double>(cells))) + 1;
  int64_t rows = (cells + columns - 2) / (columns - 1) + 1;
  return {columns, rows, triangles};
}

void vertex_at(const Grid& g, int64_t index, float out[3]) {
  int64_t i = index / g.columns, j = index % g.columns;
  out[0] = static_cast<float>(j) * 0.5f;
  out[1] = static_cast<float>(i) * 0.5f;
  out[2] = static_cast<float>((i * 7 + j * 13) % 17) * 0.05f;
}

// Vertex indices of triangle t: cells row by row, two triangles each.
void triangle_at(const Grid& g, int64_t t, int64_t v[3]) {
  int64_t cell = t / 2, i = cell / (g.columns - 1), j = cell % (g.columns - 1);
  int64_t a = i * g.columns + j, b = a + 1, c = a + g.columns, d = c + 1;
  if (t % 2 == 0) {
    v[0] = a, v[1] = b, v[2] = d;
  } else {
    v[0] = a, v[1] = d, v[2] = c;
  }
}

int64_t vertex_count(const Grid& g) {
  int64_t last[3];
  triangle_at(g, g.triangles - 1, last);
  return last[2] > last[1] ? last[2] + 1 : last[1] + 1;
}

// Buffered text output through a callback, so the 3MF writer can deflate it.
struct Sink {
  FILE* file;
  z_stream* z;  // null: plain output
  uint32_t crc;
  uint64_t raw;
  std::string buffer;
};

void sink_flush(Sink* s, bool finish) {
  if (!s->z) {
    fwrite(s->buffer.data(), 1, s->buffer.size(), s->file);
    s->buffer.clear();
    return;
  }
  s->crc = crc32(s->crc, reinterpret_cast<const Bytef*>(s->buffer.data()),
                 static_cast<uInt>(s->buffer.size()));
  s->raw += s->buffer.size();
  s->z->next_in = reinterpret_cast<Bytef*>(&s->buffer[0]);
  s->z->avail_in = static_cast<uInt>(s->buffer.size());
  unsigned char out[1 << 16];
  int rc;
  do {
    s->z->next_out = out;
    s->z->avail_out = sizeof out;
    rc = deflate(s->z, finish ? Z_FINISH : Z_NO_FLUSH);
    fwrite(out, 1, sizeof out - s->z->avail_out, s->file);
  } while (s->z->avail_out == 0 || (finish && rc != Z_STREAM_END));
  s->buffer.clear();
}

void emit(Sink* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void emit(Sink* s, const char* fmt, ...) {
  char line[256];
  va_list args;
  va_start(args, fmt);
  int n = vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  s->buffer.append(line, static_cast<size_t>(n));
  if (s->buffer.size() >= (1 << 20)) sink_flush(s, false);
}

void write_u16(FILE* f, uint32_t v) {
  unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  fwrite(b, 1, 2, f);
}
void write_u32(FILE* f, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  fwrite(b, 1, 4, f);
}

void write_text_mesh(const Grid& g, const char* format, Sink* s) {
  float p[3][3];
  int64_t v[3];
  if (!strcmp(format, "stl-ascii")) {
    emit(s, "solid big\n");
    for (int64_t t = 0; t < g.triangles; t++) {
      triangle_at(g, t, v);
      for (int k = 0; k < 3; k++) vertex_at(g, v[k], p[k]);
      emit(s, " facet normal 0 0 1\n  outer loop\n");
      for (int k = 0; k < 3; k++) emit(s, "   vertex %g %g %g\n", p[k][0], p[k][1], p[k][2]);
      emit(s, "  endloop\n endfacet\n");
    }
    emit(s, "endsolid big\n");
  } else if (!strcmp(format, "obj")) {
    const int64_t n = vertex_count(g);
    for (int64_t i = 0; i < n; i++) {
      vertex_at(g, i, p[0]);
      emit(s, "v %g %g %g\n", p[0][0], p[0][1], p[0][2]);
    }
    for (int64_t t = 0; t < g.triangles; t++) {
      triangle_at(g, t, v);
      emit(s, "f %lld %lld %lld\n", static_cast<long long>(v[0] + 1),
           static_cast<long long>(v[1] + 1), static_cast<long long>(v[2] + 1));
    }
  } else {  // model XML
    emit(s,
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model unit=\"millimeter\" "
         "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\">\n<resources>\n"
         "<object id=\"1\" type=\"model\" name=\"big\"><mesh><vertices>\n");
    const int64_t n = vertex_count(g);
    for (int64_t i = 0; i < n; i++) {
      vertex_at(g, i, p[0]);
      emit(s, "<vertex x=\"%g\" y=\"%g\" z=\"%g\"/>\n", p[0][0], p[0][1], p[0][2]);
    }
    emit(s, "</vertices><triangles>\n");
    for (int64_t t = 0; t < g.triangles; t++) {
      triangle_at(g, t, v);
      emit(s, "<triangle v1=\"%lld\" v2=\"%lld\" v3=\"%lld\"/>\n", static_cast<long long>(v[0]),
           static_cast<long long>(v[1]), static_cast<long long>(v[2]));
    }
    emit(s,
         "</triangles></mesh></object>\n</resources>\n<build><item objectid=\"1\"/></build>\n"
         "</model>\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s stl-binary|stl-ascii|obj|3mf TRIANGLES OUTPUT\n", argv[0]);
    return 1;
  }
  const char* format = argv[1];
  const int64_t triangles = atoll(argv[2]);
  if (triangles < 1) return 1;
  FILE* f = fopen(argv[3], "wb");
  if (!f) return 1;
  const Grid g = grid_for(triangles);
  if (!strcmp(format, "stl-binary")) {
    unsigned char head[80] = {0};
    fwrite(head, 1, 80, f);
    write_u32(f, static_cast<uint32_t>(triangles));
    std::string out;
    for (int64_t t = 0; t < triangles; t++) {
      int64_t v[3];
      float rec[12] = {0, 0, 1};
      triangle_at(g, t, v);
      for (int k = 0; k < 3; k++) vertex_at(g, v[k], rec + 3 + 3 * k);
      out.append(reinterpret_cast<const char*>(rec), sizeof rec);
      out.append(2, '\0');
      if (out.size() >= (1 << 20)) {
        fwrite(out.data(), 1, out.size(), f);
        out.clear();
      }
    }
    fwrite(out.data(), 1, out.size(), f);
  } else if (!strcmp(format, "3mf")) {
    static const char kName[] = "3D/3dmodel.model";
    const uint32_t name_len = sizeof kName - 1;
    // Local header with the sizes patched in afterwards.
    write_u32(f, 0x04034b50);
    write_u16(f, 20), write_u16(f, 0), write_u16(f, 8), write_u16(f, 0), write_u16(f, 0);
    const long sizes_at = ftell(f);
    write_u32(f, 0), write_u32(f, 0), write_u32(f, 0);
    write_u16(f, name_len), write_u16(f, 0);
    fwrite(kName, 1, name_len, f);
    const long data_at = ftell(f);
    z_stream z;
    memset(&z, 0, sizeof z);
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Sink s = {f, &z, 0, 0, {}};
    write_text_mesh(g, format, &s);
    sink_flush(&s, true);
    deflateEnd(&z);
    const long data_end = ftell(f);
    const uint32_t compressed = static_cast<uint32_t>(data_end - data_at);
    const uint32_t raw = static_cast<uint32_t>(s.raw);
    if (s.raw > UINT32_MAX) fprintf(stderr, "warning: entry over 4 GiB, sizes wrap\n");
    fseek(f, sizes_at, SEEK_SET);
    write_u32(f, s.crc), write_u32(f, compressed), write_u32(f, raw);
    fseek(f, data_end, SEEK_SET);
    write_u32(f, 0x02014b50);
    write_u16(f, 20), write_u16(f, 20), write_u16(f, 0), write_u16(f, 8), write_u16(f, 0),
        write_u16(f, 0);
    write_u32(f, s.crc), write_u32(f, compressed), write_u32(f, raw);
    write_u16(f, name_len), write_u16(f, 0), write_u16(f, 0), write_u16(f, 0), write_u16(f, 0);
    write_u32(f, 0), write_u32(f, 0);
    fwrite(kName, 1, name_len, f);
    const long dir_end = ftell(f);
    write_u32(f, 0x06054b50);
    write_u16(f, 0), write_u16(f, 0), write_u16(f, 1), write_u16(f, 1);
    write_u32(f, static_cast<uint32_t>(dir_end - data_end)),
        write_u32(f, static_cast<uint32_t>(data_end));
    write_u16(f, 0);
    printf("%llu\n", static_cast<unsigned long long>(s.raw));  // the model XML's size
  } else if (!strcmp(format, "stl-ascii") || !strcmp(format, "obj")) {
    Sink s = {f, nullptr, 0, 0, {}};
    write_text_mesh(g, format, &s);
    sink_flush(&s, true);
  } else {
    fclose(f);
    return 1;
  }
  return fclose(f) == 0 ? 0 : 1;
}
