// Platform layer: monotonic clock, binary/text mode of the standard streams,
// the program's arguments and opening files by name.
//
// How a path travels: the programs keep every path as a NUL-terminated byte
// string and hand it to platform_fopen, the only place that opens a file a
// user named. On POSIX that string is the name as given, bytes and all. On
// Windows, where names are UTF-16, it is WTF-8: UTF-8, extended so that an
// unpaired surrogate (which a Windows name may hold) keeps its own 3-byte
// sequence. Any name the file system holds survives the trip, ASCII keeps
// its bytes (option words, "_obj0.png" appended to a prefix), and
// platform_fopen turns it back into UTF-16. Such a path is never printed:
// messages show an argument's `names` form, and batch records the line's own
// bytes.
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

// The program's arguments, one argument in three forms; argc entries each,
// followed by a null pointer.
struct ProgramArgs {
  int argc;
  char** words;  // as the programs have always read them: option words, numbers
  char** paths;  // the same argument as a path for platform_fopen
  char** names;  // the same argument as messages show it
};

// Fills args from main's argc and argv. POSIX: all three forms are argv.
// Windows: the arguments of the wide command line, split by the C runtime's
// own rules; words are each argument in the ANSI code page with the system's
// best-fit mapping (what argv has always held), paths its WTF-8 form, names
// the ANSI bytes when the argument converts to the ANSI code page and back
// unchanged (then the same bytes as argv), else UTF-8 (an unpaired surrogate
// shown as U+FFFD). The arrays stay until the process ends. When the wide
// command line cannot be read or memory runs out, all three forms are argv
// (paths outside ASCII then do not open).
void platform_program_args(int argc, char** argv, ProgramArgs* args);

// Opens a file by a path in the form described above (a ProgramArgs path, a
// batch job's path, or such a path with ASCII text appended); mode as fopen's.
// POSIX: fopen. Windows: the UTF-16 name, given the \\?\ prefix when its full
// path reaches MAX_PATH. Returns null when the file cannot be opened.
FILE* platform_fopen(const char* path, const char* mode);

// The two paths of one batch job, from the bytes of its line.
struct JobPaths {
  const char* input;
  const char* output;
  char* storage;  // owned; released by platform_job_paths_free
};

// Reads a job's input and output as paths. POSIX: the bytes as given.
// Windows: when the input opens through the ANSI code page (or both are
// ASCII) both are read in the ANSI code page, as they always were; else, when
// both are valid UTF-8, both are read as UTF-8; else the ANSI code page again.
// When memory runs out both are empty, which no file has. The strings given
// must outlive the result.
void platform_job_paths(const char* input, const char* output, JobPaths* paths);
void platform_job_paths_free(JobPaths* paths);
