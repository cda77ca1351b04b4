// Fuzz support: run the whole core pipeline on whatever a reader produced.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "decimate.h"
#include "orient.h"
#include "quality.h"
#include "raster.h"
#include "voxel.h"

// Writes the input to a private temporary file and returns its path.
inline std::string fuzz_temp_file(const uint8_t* data, size_t size) {
  static std::string path;
  if (path.empty()) path = "/tmp/orrery_fuzz_" + std::to_string(getpid());
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(data, 1, size, f);
  fclose(f);
  return path;
}

// Measures, orientation, decimation and a small render, as a renderer would.
inline void fuzz_pipeline(Model* model) {
  int a, b, c;
  analyze_mesh_quality(model, &a, &b, &c);
  compute_voxel_grid(model);
  auto_orient_model(model);
  decimate_inplace(model, 1000);
  FrameBuffer fb;
  fb_create(&fb, 64, 64);
  render_thumbnail(model, &fb);
  fb_free(&fb);
}
