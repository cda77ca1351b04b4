// Test support: run a real program, read and decode files, check JSON.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct RunResult {
  int exit_code;  // -1 when the program could not be started or was killed
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string stdin_data;
  std::string cwd;                                       // empty: unchanged
  std::vector<std::pair<std::string, std::string>> env;  // set before the start
  int timeout_seconds = 180;                             // 0: no limit
};

// Runs argv[0] (searched on PATH) with the options; exit_code is -1 when it
// could not be started, was killed, or ran past its time limit (then err
// says so).
RunResult run_command(const std::vector<std::string>& argv, const RunOptions& options);

// Runs program with args, feeding stdin_data on standard input, capturing
// both output streams, with the working folder cwd (empty: unchanged). When
// ORRERY_RUNNER is set (for example "wine"), the program is started through it.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& stdin_data = "", const std::string& cwd = "");

// The path of a built program: the environment variable NAME_EXE when set,
// else the path baked in at build time, else empty (the test is skipped).
std::string program_path(const char* name);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

// A fresh folder under the system temp folder, removed with its contents.
struct TempDir {
  TempDir();
  ~TempDir();
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // empty when the file is not a valid PNG
  const uint8_t* at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

// Decodes a PNG with libpng (independently of the writer under test) into
// 8-bit RGBA; rgba stays empty when decoding fails.
Image decode_png(const std::string& path);

// True when the image has pixels that differ from the background colour.
bool image_shows_something(const Image& image);

// Strict JSON check (RFC 8259): one value, nothing but whitespace around it.
bool json_is_valid(const std::string& text, std::string* error = nullptr);

// The raw text of the value under key at the top level of a JSON object
// (numbers and literals as written, strings with their quotes). Empty when
// the key is absent.
std::string json_field(const std::string& object, const std::string& key);

// Appends little-endian binary fields, as the STL and stream layouts store them.
void put_u32(std::string* s, uint32_t v);
void put_f32(std::string* s, float f);

// Splits text into lines without their newline characters.
std::vector<std::string> split_lines(const std::string& text);

// Binary STL of the given triangles (9 floats each) with zero normals.
std::string binary_stl(const std::vector<std::vector<float>>& tris);

// One entry of a ZIP package built by zip_archive: data as given (method 0
// stored, 8 when data is already a raw deflate stream), size the recorded
// uncompressed size (-1: data's own).
struct ZipItem {
  std::string name;
  std::string data;
  uint16_t method = 0;
  int64_t size = -1;
};

// How zip_archive records sizes and offsets: in 32-bit fields; in ZIP64
// extra fields of the headers (the 32-bit fields holding markers), as
// Python's zipfile writes them; or also with the ZIP64 end record and its
// locator, whose counts, size and offset replace markers in the end record.
enum class Zip64 { kNone, kFields, kFull };

// A ZIP package of the items in order: local headers and data, the central
// directory, the end records; no extra fields beyond ZIP64's, no comments.
std::string zip_archive(const std::vector<ZipItem>& items, Zip64 zip64 = Zip64::kNone);

// A one-entry ZIP package holding data as given (method 0 stored, 8 when data
// is already a raw deflate stream); the central uncompressed size can be
// overridden, and the raw size when data is deflated.
std::string zip_package(const std::string& name, const std::string& data, uint16_t method = 0,
                        int64_t central_size = -1);

// data as a raw deflate stream (no zlib header) at the given zlib level and
// memory level 9; empty if zlib fails.
std::string raw_deflate(const std::string& data, int level);

// Runs program natively with stdin from stdin_path ("" for none) and both
// output streams discarded; returns its peak resident memory in KiB (or -1
// when it could not run) and stores the exit code.
long run_peak_kib(const std::string& program, const std::vector<std::string>& args,
                  const std::string& stdin_path, int* exit_code);
