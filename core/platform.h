// Platform layer: monotonic clock, opening files by name, and binary/text mode
// of the standard streams.
#pragma once

#include <cstdint>
#include <cstdio>

// Milliseconds on a monotonic high-resolution clock; only differences count.
double get_time_ms();

// Switch a standard stream to binary or text mode. No-ops where the platform
// does not translate line ends.
void stream_set_binary(FILE* stream);
void stream_set_text(FILE* stream);

// Size in bytes of an open file as a 64-bit value (files over 2 GiB), or -1.
// Leaves the position at the end of the file.
int64_t stream_size(FILE* stream);

// Opens a file named as the program received it (a command-line argument or a
// batch line). Every path a user gives is opened here and nowhere else, so
// that a platform can map names its own way; on POSIX it is fopen.
FILE* platform_fopen(const char* path, const char* mode);
