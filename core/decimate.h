// Triangle decimation by a whole-number stride.
#pragma once

#include "model.h"

// Keeps at most budget triangles (indices 0, k, 2k, ... with k = max(2, n /
// budget)) when count exceeds budget; empties the model for budget <= 0.
// The box, capacity and storage are unchanged; nothing is allocated.
void decimate_inplace(Model* model, int budget);
