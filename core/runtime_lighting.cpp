// Light directions derived at run time from their unnormalised vectors.
#include "runtime_lighting.h"

#include "model.h"

Lighting build_runtime_lighting() {
  Lighting lights = {
      {0.5f, 0.7f, 0.8f},
      {-0.6f, 0.3f, 0.5f},
      {0.0f, 0.9f, -0.6f},
      {0.0f, 0.0f, 0.0f},
  };
  vec3_normalize(lights.key);
  vec3_normalize(lights.fill);
  vec3_normalize(lights.top_back);
  lights.half[0] = lights.key[0] + 0.0f;
  lights.half[1] = lights.key[1] + 0.0f;
  lights.half[2] = lights.key[2] + 1.0f;
  vec3_normalize(lights.half);
  return lights;
}
