// Automatic orientation onto the most plausible resting face.
#pragma once

#include "model.h"

// Rotates vertices and stored normals about the origin so that the chosen
// resting face points to (0, -1, 0), then recomputes the box. Leaves the model
// untouched when it refuses (no or too many triangles, tiny box, no area, or
// no memory for the cluster table).
void auto_orient_model(Model* model);
