// Platform layer: monotonic clock and binary/text mode of the standard streams.
#pragma once

#include <cstdio>

// Milliseconds on a monotonic high-resolution clock; only differences count.
double get_time_ms();

// Switch a standard stream to binary or text mode. No-ops where the platform
// does not translate line ends.
void stream_set_binary(FILE* stream);
void stream_set_text(FILE* stream);
