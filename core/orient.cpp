// Automatic orientation (being written; leaves the model as it is for now).
#include "orient.h"

void auto_orient_model(Model*) {}
