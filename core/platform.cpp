// Platform layer: the clock, stream modes, arguments and file names, Windows
// and POSIX.
#include "platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

// msvcrt's splitting of the wide command line, which it exports for wmain
// programs: the same rules that gave main its char argv. The runtime's
// start-up code passes the same wildcard and new-handler settings.
extern "C" {
struct WideStartupInfo {
  int newmode;
};
int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards,
                           WideStartupInfo* info);
extern int _dowildcard;
extern int _newmode;
}

static const uint32_t kReplacement = 0xFFFD;

static bool is_high_surrogate(uint32_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
static bool is_low_surrogate(uint32_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// UTF-16 to WTF-8 (or, with lone_as_replacement, to UTF-8 with U+FFFD for an
// unpaired surrogate; both take 3 bytes). Returns a malloc'd string or null.
static char* utf8_from_wide(const wchar_t* w, bool lone_as_replacement) {
  const size_t n = wcslen(w);
  char* out = static_cast<char*>(malloc(3 * n + 1));  // 3 bytes a unit at most
  if (!out) return nullptr;
  size_t len = 0;
  for (size_t i = 0; i < n; i++) {
    uint32_t c = static_cast<uint16_t>(w[i]);
    const uint32_t next = i + 1 < n ? static_cast<uint16_t>(w[i + 1]) : 0;
    if (is_high_surrogate(c) && is_low_surrogate(next)) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      i++;
    } else if (lone_as_replacement && (is_high_surrogate(c) || is_low_surrogate(c))) {
      c = kReplacement;
    }
    if (c < 0x80) {
      out[len++] = static_cast<char>(c);
    } else if (c < 0x800) {
      out[len++] = static_cast<char>(0xC0 | c >> 6);
      out[len++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out[len++] = static_cast<char>(0xE0 | c >> 12);
      out[len++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out[len++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out[len++] = static_cast<char>(0xF0 | c >> 18);
      out[len++] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out[len++] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out[len++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out[len] = '\0';
  return out;
}

// Decodes one sequence at s; returns its length in bytes, or 0 when it is not
// well formed (overlong forms, values past U+10FFFF, surrogates unless
// allowed, a cut sequence).
static size_t utf8_next(const unsigned char* s, bool allow_surrogates, uint32_t* code) {
  const unsigned char b = s[0];
  size_t len;
  uint32_t c, min;
  if (b < 0x80) {
    *code = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    len = 2, c = b & 0x1Fu, min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3, c = b & 0x0Fu, min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4, c = b & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; k++) {
    if ((s[k] & 0xC0) != 0x80) return 0;  // also stops at the terminating NUL
    c = c << 6 | (s[k] & 0x3Fu);
  }
  if (c < min || c > 0x10FFFF) return 0;
  if (!allow_surrogates && (is_high_surrogate(c) || is_low_surrogate(c))) return 0;
  *code = c;
  return len;
}

static bool is_valid_utf8(const char* s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  uint32_t c;
  for (size_t len; *p; p += len) {
    if ((len = utf8_next(p, false, &c)) == 0) return false;
  }
  return true;
}

static bool is_ascii(const char* s) {
  for (; *s; s++) {
    if (static_cast<unsigned char>(*s) >= 0x80) return false;
  }
  return true;
}

// WTF-8 to UTF-16; a byte that starts no well-formed sequence becomes U+FFFD.
// Returns a malloc'd string or null.
static wchar_t* wide_from_wtf8(const char* s) {
  const size_t n = strlen(s);
  // Every sequence gives at most one unit per byte.
  wchar_t* out = static_cast<wchar_t*>(malloc((n + 1) * sizeof(wchar_t)));
  if (!out) return nullptr;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  size_t len = 0;
  while (*p) {
    uint32_t c;
    size_t step = utf8_next(p, true, &c);
    if (step == 0) {
      c = kReplacement;
      step = 1;
    }
    p += step;
    if (c >= 0x10000) {
      out[len++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out[len++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out[len++] = static_cast<wchar_t>(c);
    }
  }
  out[len] = L'\0';
  return out;
}

// Bytes in the ANSI code page to UTF-16, as the file functions of the char
// interface read a name. Returns a malloc'd string or null.
static wchar_t* wide_from_ansi(const char* s) {
  const int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* out = static_cast<wchar_t*>(malloc(static_cast<size_t>(n) * sizeof(wchar_t)));
  if (out && MultiByteToWideChar(CP_ACP, 0, s, -1, out, n) != n) {
    free(out);
    return nullptr;
  }
  return out;
}

// UTF-16 in the ANSI code page. best_fit: as the system converts a command
// line (look-alikes and '?' for what the code page lacks), else only an
// exact conversion: null when a character is missing or would come back as
// another one. Returns a malloc'd string or null.
static char* ansi_from_wide(const wchar_t* w, bool best_fit) {
  // A UTF-8 code page takes neither the flag nor the used-default report.
  const bool utf8 = GetACP() == CP_UTF8;
  const DWORD flags = best_fit || utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* report = best_fit || utf8 ? nullptr : &used_default;
  const int n = WideCharToMultiByte(CP_ACP, flags, w, -1, nullptr, 0, nullptr, report);
  if (n <= 0) return nullptr;
  char* out = static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (!out) return nullptr;
  if (WideCharToMultiByte(CP_ACP, flags, w, -1, out, n, nullptr, report) != n || used_default) {
    free(out);
    return nullptr;
  }
  if (!best_fit) {
    wchar_t* back = wide_from_ansi(out);
    const bool same = back && wcscmp(back, w) == 0;
    free(back);
    if (!same) {
      free(out);
      return nullptr;
    }
  }
  return out;
}

// A full path that reaches MAX_PATH opens only with the \\?\ prefix on
// systems without the long-path opt-in. The prefix also turns off the
// system's clean-up of the name, so it goes on the full path, which
// GetFullPathNameW has already cleaned up ('/', '.', '..', trailing dots).
// Returns a malloc'd name, or null when the name is fine as it is.
static wchar_t* long_path_name(const wchar_t* name) {
  if (wcsncmp(name, L"\\\\?\\", 4) == 0 || wcsncmp(name, L"\\\\.\\", 4) == 0) return nullptr;
  const DWORD size = GetFullPathNameW(name, 0, nullptr, nullptr);
  if (size <= MAX_PATH) return nullptr;  // size counts the terminating NUL
  wchar_t* full = static_cast<wchar_t*>(malloc((size + 8) * sizeof(wchar_t)));
  if (!full) return nullptr;
  wchar_t* body = full + 8;  // room for the longest prefix, \\?\UNC\ less one
  const DWORD len = GetFullPathNameW(name, size, body, nullptr);
  if (len == 0 || len >= size) {
    free(full);
    return nullptr;
  }
  if (wcsncmp(body, L"\\\\?\\", 4) == 0 || wcsncmp(body, L"\\\\.\\", 4) == 0) {
    memmove(full, body, (len + 1) * sizeof(wchar_t));
  } else if (wcsncmp(body, L"\\\\", 2) == 0) {
    // \\server\share\... becomes \\?\UNC\server\share\...
    memcpy(full, L"\\\\?\\UNC", 7 * sizeof(wchar_t));
    memmove(full + 7, body + 1, len * sizeof(wchar_t));
  } else {
    memcpy(full, L"\\\\?\\", 4 * sizeof(wchar_t));
    memmove(full + 4, body, (len + 1) * sizeof(wchar_t));
  }
  return full;
}

static FILE* open_wide(const wchar_t* name, const char* mode) {
  wchar_t wide_mode[8];
  size_t i = 0;
  for (; mode[i]; i++) {
    if (i + 1 == sizeof wide_mode / sizeof wide_mode[0]) return nullptr;
    wide_mode[i] = static_cast<unsigned char>(mode[i]);
  }
  wide_mode[i] = L'\0';
  wchar_t* long_name = long_path_name(name);
  FILE* f = _wfopen(long_name ? long_name : name, wide_mode);
  free(long_name);
  return f;
}

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

int64_t stream_size(FILE* stream) {
  if (_fseeki64(stream, 0, SEEK_END) != 0) return -1;
  return _ftelli64(stream);
}

FILE* platform_fopen(const char* path, const char* mode) {
  wchar_t* name = wide_from_wtf8(path);
  if (!name) return nullptr;
  FILE* f = open_wide(name, mode);
  free(name);
  return f;
}

void platform_program_args(int argc, char** argv, ProgramArgs* args) {
  args->argc = argc;
  args->words = args->paths = args->names = argv;
  int wide_argc = 0;
  wchar_t** wide_argv = nullptr;
  wchar_t** wide_env = nullptr;
  WideStartupInfo info = {_newmode};
  if (__wgetmainargs(&wide_argc, &wide_argv, &wide_env, _dowildcard, &info) < 0 || !wide_argv ||
      wide_argc < 0) {
    return;
  }
  const size_t slots = static_cast<size_t>(wide_argc) + 1;
  char** words = static_cast<char**>(calloc(slots, sizeof(char*)));
  char** paths = static_cast<char**>(calloc(slots, sizeof(char*)));
  char** names = static_cast<char**>(calloc(slots, sizeof(char*)));
  bool ok = words && paths && names;
  for (int i = 0; ok && i < wide_argc; i++) {
    const wchar_t* w = wide_argv[i];
    words[i] = ansi_from_wide(w, true);
    paths[i] = utf8_from_wide(w, false);
    names[i] = ansi_from_wide(w, false);
    if (!names[i]) names[i] = utf8_from_wide(w, true);
    ok = words[i] && paths[i] && names[i];
  }
  if (!ok) {
    for (int i = 0; i < wide_argc; i++) {
      if (words) free(words[i]);
      if (paths) free(paths[i]);
      if (names) free(names[i]);
    }
    free(words);
    free(paths);
    free(names);
    return;
  }
  args->argc = wide_argc;
  args->words = words;
  args->paths = paths;
  args->names = names;
}

void platform_job_paths(const char* input, const char* output, JobPaths* paths) {
  paths->input = input;
  paths->output = output;
  paths->storage = nullptr;
  if (is_ascii(input) && is_ascii(output)) return;  // the same in every reading
  wchar_t* wide_input = wide_from_ansi(input);
  FILE* probe = wide_input ? open_wide(wide_input, "rb") : nullptr;
  if (probe) fclose(probe);
  if (!probe && is_valid_utf8(input) && is_valid_utf8(output)) {
    free(wide_input);
    return;
  }
  wchar_t* wide_output = wide_from_ansi(output);
  char* in = wide_input ? utf8_from_wide(wide_input, false) : nullptr;
  char* out = wide_output ? utf8_from_wide(wide_output, false) : nullptr;
  free(wide_input);
  free(wide_output);
  const size_t in_len = in ? strlen(in) : 0, out_len = out ? strlen(out) : 0;
  paths->storage = in && out ? static_cast<char*>(malloc(in_len + out_len + 2)) : nullptr;
  if (paths->storage) {
    memcpy(paths->storage, in, in_len + 1);
    memcpy(paths->storage + in_len + 1, out, out_len + 1);
    paths->input = paths->storage;
    paths->output = paths->storage + in_len + 1;
  } else {
    paths->input = paths->output = "";
  }
  free(in);
  free(out);
}

void platform_job_paths_free(JobPaths* paths) {
  free(paths->storage);
  paths->storage = nullptr;
}

#else
#include <sys/types.h>
#include <time.h>

#include <cstdlib>

double get_time_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// POSIX streams never translate line ends.
void stream_set_binary(FILE*) {}
void stream_set_text(FILE*) {}

int64_t stream_size(FILE* stream) {
  if (fseeko(stream, 0, SEEK_END) != 0) return -1;
  return static_cast<int64_t>(ftello(stream));
}

// POSIX names are bytes: the arguments and batch lines are the paths, and
// messages show them as given.
void platform_program_args(int argc, char** argv, ProgramArgs* args) {
  args->argc = argc;
  args->words = args->paths = args->names = argv;
}

FILE* platform_fopen(const char* path, const char* mode) {
  return fopen(path, mode);
}

void platform_job_paths(const char* input, const char* output, JobPaths* paths) {
  paths->input = input;
  paths->output = output;
  paths->storage = nullptr;
}

void platform_job_paths_free(JobPaths* paths) {
  free(paths->storage);
  paths->storage = nullptr;
}
#endif
