// facetshot's command line: single file, raw stream on stdin, or batch.
#pragma once

#include "platform.h"

// The whole program; returns the process exit code.
int facetshot_main(const ProgramArgs* args);
