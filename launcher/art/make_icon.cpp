// make_icon: renders orrery.obj with the thumbnail core at the seven icon
// sizes and writes them as one .ico of PNG images (the launcher's icon).
//
//   make_icon orrery.obj orrery.ico [folder for the seven PNG files]
//
// Each group of the OBJ ("g sun", ...) is rendered on its own with the box of
// the whole model, so all share one framing and one depth scale; the nearest
// group wins per pixel and tints the grey shading with its colour. Pixels no
// triangle covers become transparent; the 2x2 halving runs on premultiplied
// colour so that edges do not take on the background grey.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "downscale.h"
#include "model.h"
#include "png.h"
#include "raster.h"

namespace {

const int kSizes[] = {16, 24, 32, 48, 64, 128, 256};
constexpr int kSizeCount = 7;

struct Tint {
  const char* group;
  int rgb[3];  // the colour a fully lit face (grey 175) takes
};

const Tint kTints[] = {
    {"sun", {255, 186, 48}},       {"planet_blue", {70, 130, 235}},
    {"planet_red", {225, 85, 60}}, {"planet_green", {80, 185, 105}},
    {"orbit", {200, 170, 110}},    {"stand", {150, 110, 80}},
};

struct Part {
  std::string name;
  Model model;
  int rgb[3];
};

bool read_obj(const char* path, std::vector<Part>* parts) {
  FILE* in = fopen(path, "rb");
  if (!in) return false;
  std::vector<float> vertices;
  char line[256];
  bool ok = true;
  while (ok && fgets(line, sizeof line, in)) {
    if (line[0] == 'v' && line[1] == ' ') {
      float x, y, z;
      ok = sscanf(line + 2, "%f %f %f", &x, &y, &z) == 3;
      vertices.insert(vertices.end(), {x, y, z});
    } else if (line[0] == 'g' && line[1] == ' ') {
      Part part;
      part.name = std::string(line + 2, strcspn(line + 2, "\r\n"));
      ok = model_init(&part.model) == 0;
      part.rgb[0] = part.rgb[1] = part.rgb[2] = 175;
      for (const Tint& tint : kTints) {
        if (part.name == tint.group) memcpy(part.rgb, tint.rgb, sizeof part.rgb);
      }
      parts->push_back(part);
    } else if (line[0] == 'f' && line[1] == ' ') {
      long index[3];
      ok = !parts->empty() && sscanf(line + 2, "%ld %ld %ld", &index[0], &index[1], &index[2]) == 3;
      Triangle tri;
      for (int v = 0; ok && v < 3; v++) {
        ok = index[v] >= 1 && static_cast<size_t>(index[v]) * 3 <= vertices.size();
        if (ok) memcpy(tri.vertices[v], &vertices[(index[v] - 1) * 3], sizeof tri.vertices[v]);
      }
      if (ok) {
        facet_normal(tri.vertices[0], tri.vertices[1], tri.vertices[2], tri.normal);
        ok = model_push(&parts->back().model, &tri) == 0;
      }
    }
  }
  fclose(in);
  if (!ok) fprintf(stderr, "make_icon: cannot read %s: %s", path, line);
  return ok && !parts->empty();
}

// Renders every part at 2 * size, keeps the nearest per pixel and returns the
// premultiplied RGBA picture (transparent where nothing was drawn).
std::vector<uint8_t> render_parts(std::vector<Part>& parts, int size) {
  const int width = 2 * size;
  const size_t pixels = static_cast<size_t>(width) * width;
  std::vector<uint8_t> out(pixels * 4, 0);
  std::vector<float> nearest(pixels, kLowestDepth);
  for (Part& part : parts) {
    FrameBuffer fb;
    if (!fb_create(&fb, width, width)->pixels) return {};
    render_thumbnail(&part.model, &fb);
    for (size_t i = 0; i < pixels; i++) {
      if (!(fb.depth[i] > nearest[i])) continue;
      nearest[i] = fb.depth[i];
      for (int c = 0; c < 3; c++) {
        int value = fb.pixels[i * 4 + c] * part.rgb[c] / 175;
        out[i * 4 + c] = static_cast<uint8_t>(value > 255 ? 255 : value);
      }
      out[i * 4 + 3] = 255;
    }
    fb_free(&fb);
  }
  return out;
}

bool write_whole_file(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* out = fopen(path.c_str(), "wb");
  if (!out) return false;
  bool ok = fwrite(data.data(), 1, data.size(), out) == data.size();
  return fclose(out) == 0 && ok;
}

void put_le16(std::vector<uint8_t>* out, unsigned value) {
  out->push_back(static_cast<uint8_t>(value & 0xFF));
  out->push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void put_le32(std::vector<uint8_t>* out, uint32_t value) {
  put_le16(out, value & 0xFFFF);
  put_le16(out, value >> 16);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: make_icon orrery.obj orrery.ico [png folder]\n");
    return 1;
  }
  std::vector<Part> parts;
  if (!read_obj(argv[1], &parts)) return 2;

  // One box for all parts: each is framed and depth-scaled like the whole.
  float min[3] = {kFloatMax, kFloatMax, kFloatMax};
  float max[3] = {-kFloatMax, -kFloatMax, -kFloatMax};
  for (const Part& part : parts) {
    for (int a = 0; a < 3; a++) {
      if (part.model.min[a] < min[a]) min[a] = part.model.min[a];
      if (part.model.max[a] > max[a]) max[a] = part.model.max[a];
    }
  }
  // The renderer fits the largest extent into 0.68 of the width, which leaves
  // a thumbnail's margin; an icon should fill its square, so the box handed
  // to it is shrunk about its centre until the orbits span 0.94 of it.
  for (int a = 0; a < 3; a++) {
    float centre = (min[a] + max[a]) * 0.5f;
    float half = (max[a] - min[a]) * 0.5f * (0.68f / 0.94f);
    min[a] = centre - half;
    max[a] = centre + half;
  }
  for (Part& part : parts) {
    memcpy(part.model.min, min, sizeof min);
    memcpy(part.model.max, max, sizeof max);
  }

  std::vector<uint8_t> pngs[kSizeCount];
  int rc = 0;
  for (int k = 0; k < kSizeCount && rc == 0; k++) {
    const int size = kSizes[k];
    std::vector<uint8_t> premultiplied = render_parts(parts, size);
    uint8_t* image =
        premultiplied.empty() ? nullptr : downscale_2x(premultiplied.data(), 2 * size, 2 * size);
    if (!image) {
      rc = 2;
      break;
    }
    for (int i = 0; i < size * size; i++) {
      uint8_t* p = image + i * 4;
      for (int c = 0; c < 3; c++)
        p[c] = p[3] ? static_cast<uint8_t>((p[c] * 255 + p[3] / 2) / p[3]) : 0;
    }
    uint8_t* png = nullptr;
    size_t png_len = 0;
    if (png_encode(image, size, size, &png, &png_len) != 0) rc = 2;
    if (png) pngs[k].assign(png, png + png_len);
    free(png);
    free(image);
    if (rc == 0 && argc > 3) {
      std::string path = std::string(argv[3]) + "/orrery-" + std::to_string(size) + ".png";
      if (!write_whole_file(path, pngs[k])) rc = 2;
    }
  }
  for (Part& part : parts) model_free(&part.model);
  if (rc != 0) {
    fprintf(stderr, "make_icon: cannot render or encode the images\n");
    return rc;
  }

  // ICONDIR, seven ICONDIRENTRY records, then the PNG files; 256 is entered as 0.
  std::vector<uint8_t> ico;
  put_le16(&ico, 0);
  put_le16(&ico, 1);
  put_le16(&ico, kSizeCount);
  uint32_t offset = 6 + 16 * kSizeCount;
  for (int k = 0; k < kSizeCount; k++) {
    ico.push_back(static_cast<uint8_t>(kSizes[k] & 0xFF));
    ico.push_back(static_cast<uint8_t>(kSizes[k] & 0xFF));
    ico.push_back(0);  // no palette
    ico.push_back(0);
    put_le16(&ico, 1);   // planes
    put_le16(&ico, 32);  // bits per pixel
    put_le32(&ico, static_cast<uint32_t>(pngs[k].size()));
    put_le32(&ico, offset);
    offset += static_cast<uint32_t>(pngs[k].size());
  }
  for (int k = 0; k < kSizeCount; k++) ico.insert(ico.end(), pngs[k].begin(), pngs[k].end());
  if (!write_whole_file(argv[2], ico)) {
    fprintf(stderr, "make_icon: cannot write %s\n", argv[2]);
    return 2;
  }
  return 0;
}
