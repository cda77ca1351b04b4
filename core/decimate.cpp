// Triangle decimation: keep every k-th triangle in storage order.
#include "decimate.h"

void decimate_inplace(Model* model, int budget) {
  const int32_t n = model->count;
  if (n <= budget) return;
  if (budget <= 0) {
    model->count = 0;
    return;
  }
  int32_t stride = n / budget;
  if (stride < 2) stride = 2;
  int32_t kept = 0;
  // s grows by at most n per step from below n, so int64 cannot overflow.
  for (int64_t s = 0; s < n && kept < budget; s += stride) {
    model->triangles[kept++] = model->triangles[s];
  }
  model->count = kept;
}
