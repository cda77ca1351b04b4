// Light directions derived at run time from their unnormalised vectors.
#pragma once

#include "raster.h"

// Normalises the key (0.5, 0.7, 0.8), fill (-0.6, 0.3, 0.5) and top-back
// (0, 0.9, -0.6) directions with vec3_normalize, and forms the half vector as
// the normalised key plus the view direction (0, 0, 1), normalised again.
// The result differs from k_constant_lighting in key[0] only, by one ulp.
Lighting build_runtime_lighting();
