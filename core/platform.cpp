// Platform layer: the clock and stream modes, Windows and POSIX.
#include "platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

double get_time_ms() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart) * 1000.0;
}

void stream_set_binary(FILE* stream) {
  _setmode(_fileno(stream), _O_BINARY);
}
void stream_set_text(FILE* stream) {
  _setmode(_fileno(stream), _O_TEXT);
}

FILE* platform_fopen(const char* path, const char* mode) {
  return fopen(path, mode);
}

int64_t stream_size(FILE* stream) {
  if (_fseeki64(stream, 0, SEEK_END) != 0) return -1;
  return _ftelli64(stream);
}

#else
#include <sys/types.h>
#include <time.h>

double get_time_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// POSIX streams never translate line ends.
void stream_set_binary(FILE*) {}
void stream_set_text(FILE*) {}

FILE* platform_fopen(const char* path, const char* mode) {
  return fopen(path, mode);
}

int64_t stream_size(FILE* stream) {
  if (fseeko(stream, 0, SEEK_END) != 0) return -1;
  return static_cast<int64_t>(ftello(stream));
}
#endif
