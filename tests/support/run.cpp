// Test support: process runner, file helpers, PNG decoding, strict JSON.
#include "run.h"

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/orrery-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data())) path = buf.data();
}

TempDir::~TempDir() {
  if (!path.empty()) {
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
  }
}

std::string program_path(const char* name) {
  std::string var = std::string(name) + "_EXE";
  for (auto& c : var) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (const char* env = getenv(var.c_str())) return env;
  std::string n = name;
#ifdef FACETSHOT_EXE
  if (n == "facetshot") return FACETSHOT_EXE;
#endif
#ifdef PACKSHOT_EXE
  if (n == "packshot") return PACKSHOT_EXE;
#endif
#ifdef VERTEXSHOT_EXE
  if (n == "vertexshot") return VERTEXSHOT_EXE;
#endif
  return "";
}

RunResult run_command(const std::vector<std::string>& argv_s, const RunOptions& options) {
  RunResult result{-1, "", ""};
  TempDir io;
  const std::string in_path = io.file("stdin"), out_path = io.file("stdout"),
                    err_path = io.file("stderr");
  write_file(in_path, options.stdin_data);
  std::vector<char*> argv;
  for (const std::string& a : argv_s) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // one group, so a time-out stops a runner's helpers as well
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const auto& kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(127);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return result;
  int status = 0;
  bool timed_out = false;
  if (options.timeout_seconds <= 0) {
    waitpid(pid, &status, 0);
  } else {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        timed_out = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  result.exit_code = !timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  if (timed_out)
    result.err += "\n[timed out after " + std::to_string(options.timeout_seconds) + " s]";
  return result;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& stdin_data, const std::string& cwd) {
  std::vector<std::string> argv;
  if (const char* runner = getenv("ORRERY_RUNNER")) {
    if (*runner) argv.push_back(runner);
  }
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.stdin_data = stdin_data;
  options.cwd = cwd;
  options.timeout_seconds = 0;
  return run_command(argv, options);
}

Image decode_png(const std::string& path) {
  Image image;
  png_image png;
  memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return image;
  png.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> buffer(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, buffer.data(), 0, nullptr)) {
    png_image_free(&png);
    return image;
  }
  image.width = static_cast<int>(png.width);
  image.height = static_cast<int>(png.height);
  image.rgba = std::move(buffer);
  return image;
}

bool image_shows_something(const Image& image) {
  for (size_t i = 0; i + 3 < image.rgba.size(); i += 4) {
    if (image.rgba[i] != 245 || image.rgba[i + 1] != 245 || image.rgba[i + 2] != 245) return true;
  }
  return false;
}

namespace {

// A small recursive-descent validator that follows RFC 8259 to the letter:
// no control bytes in strings, no leading zeros, no NaN or Infinity words.
struct JsonChecker {
  const std::string& s;
  size_t i = 0;
  std::string error;
  int depth = 0;

  bool fail(const char* what) {
    if (error.empty()) error = std::string(what) + " at byte " + std::to_string(i);
    return false;
  }
  void ws() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) i++;
  }
  bool literal(const char* word) {
    size_t n = strlen(word);
    if (s.compare(i, n, word) != 0) return fail("bad literal");
    i += n;
    return true;
  }
  bool string() {
    if (i >= s.size() || s[i] != '"') return fail("expected string");
    i++;
    while (i < s.size()) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') {
        i++;
        return true;
      }
      if (c < 0x20) return fail("raw control byte in string");
      if (c == '\\') {
        if (++i >= s.size()) return fail("cut escape");
        char e = s[i];
        if (e == 'u') {
          for (int k = 1; k <= 4; k++) {
            if (i + k >= s.size() || !isxdigit(static_cast<unsigned char>(s[i + k])))
              return fail("bad \\u escape");
          }
          i += 4;
        } else if (!strchr("\"\\/bfnrt", e)) {
          return fail("bad escape");
        }
      }
      i++;
    }
    return fail("unterminated string");
  }
  bool number() {
    size_t start = i;
    if (i < s.size() && s[i] == '-') i++;
    if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad number");
    if (s[i] == '0') {
      i++;
    } else {
      while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) i++;
    }
    if (i < s.size() && s[i] == '.') {
      i++;
      if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad fraction");
      while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) i++;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
      i++;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) i++;
      if (i >= s.size() || !isdigit(static_cast<unsigned char>(s[i]))) return fail("bad exponent");
      while (i < s.size() && isdigit(static_cast<unsigned char>(s[i]))) i++;
    }
    return i > start;
  }
  bool value() {
    if (++depth > 200) return fail("too deep");
    ws();
    if (i >= s.size()) return fail("expected value");
    bool ok;
    char c = s[i];
    if (c == '{') {
      i++;
      ws();
      ok = true;
      if (i < s.size() && s[i] == '}') {
        i++;
      } else {
        while (true) {
          ws();
          if (!string()) return false;
          ws();
          if (i >= s.size() || s[i] != ':') return fail("expected colon");
          i++;
          if (!value()) return false;
          ws();
          if (i < s.size() && s[i] == ',') {
            i++;
            continue;
          }
          if (i < s.size() && s[i] == '}') {
            i++;
            break;
          }
          return fail("expected , or }");
        }
      }
    } else if (c == '[') {
      i++;
      ws();
      ok = true;
      if (i < s.size() && s[i] == ']') {
        i++;
      } else {
        while (true) {
          if (!value()) return false;
          ws();
          if (i < s.size() && s[i] == ',') {
            i++;
            continue;
          }
          if (i < s.size() && s[i] == ']') {
            i++;
            break;
          }
          return fail("expected , or ]");
        }
      }
    } else if (c == '"') {
      ok = string();
    } else if (c == 't') {
      ok = literal("true");
    } else if (c == 'f') {
      ok = literal("false");
    } else if (c == 'n') {
      ok = literal("null");
    } else {
      ok = number();
    }
    depth--;
    return ok;
  }
};

}  // namespace

bool json_is_valid(const std::string& text, std::string* error) {
  JsonChecker c{text, 0, "", 0};
  bool ok = c.value();
  if (ok) {
    c.ws();
    if (c.i != text.size()) ok = c.fail("trailing bytes");
  }
  if (error) *error = c.error;
  return ok;
}

std::string json_field(const std::string& object, const std::string& key) {
  // Walks the top level only, skipping nested values and strings.
  std::string needle = "\"" + key + "\":";
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < object.size(); i++) {
    char c = object[i];
    if (in_string) {
      if (c == '\\') {
        i++;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      if (depth == 1 && object.compare(i, needle.size(), needle) == 0) {
        size_t start = i + needle.size();
        size_t end = start;
        int d = 0;
        bool s = false;
        for (; end < object.size(); end++) {
          char e = object[end];
          if (s) {
            if (e == '\\') {
              end++;
            } else if (e == '"') {
              s = false;
            }
            continue;
          }
          if (e == '"') s = true;
          if (e == '{' || e == '[') d++;
          if (e == '}' || e == ']') {
            if (d == 0) break;
            d--;
          }
          if (e == ',' && d == 0) break;
        }
        return object.substr(start, end - start);
      }
      in_string = true;
      continue;
    }
    if (c == '{' || c == '[') depth++;
    if (c == '}' || c == ']') depth--;
  }
  return "";
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void put_u32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

void put_f32(std::string* s, float f) {
  uint32_t v;
  memcpy(&v, &f, 4);
  put_u32(s, v);
}

std::string binary_stl(const std::vector<std::vector<float>>& tris) {
  std::string s(80, ' ');
  put_u32(&s, static_cast<uint32_t>(tris.size()));
  for (const auto& t : tris) {
    for (int i = 0; i < 3; i++) put_f32(&s, 0.0f);
    for (float v : t) put_f32(&s, v);
    s.append(2, '\0');
  }
  return s;
}

static void put16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
static void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

static void put64(std::string& s, uint64_t v) {
  put32(s, static_cast<uint32_t>(v));
  put32(s, static_cast<uint32_t>(v >> 32));
}

std::string zip_archive(const std::vector<ZipItem>& items, Zip64 zip64) {
  const bool wide = zip64 != Zip64::kNone;
  const uint32_t marker = 0xFFFFFFFF;
  std::string z, d;
  for (const ZipItem& item : items) {
    const uint64_t offset = z.size();
    const uint64_t size = item.size >= 0 ? static_cast<uint64_t>(item.size) : item.data.size();
    z += std::string("PK\x03\x04", 4);
    put16(z, wide ? 45 : 20);
    put16(z, 0);
    put16(z, item.method);
    put32(z, 0);
    put32(z, 0);
    put32(z, wide ? marker : static_cast<uint32_t>(item.data.size()));
    put32(z, wide ? marker : static_cast<uint32_t>(item.data.size()));
    put16(z, static_cast<uint32_t>(item.name.size()));
    put16(z, wide ? 20 : 0);
    z += item.name;
    if (wide) {
      put16(z, 1);
      put16(z, 16);
      put64(z, size);
      put64(z, item.data.size());
    }
    z += item.data;

    d += std::string("PK\x01\x02", 4);
    put16(d, wide ? 45 : 20);
    put16(d, wide ? 45 : 20);
    put16(d, 0);
    put16(d, item.method);
    put32(d, 0);
    put32(d, 0);
    put32(d, wide ? marker : static_cast<uint32_t>(item.data.size()));
    put32(d, wide ? marker : static_cast<uint32_t>(size));
    put16(d, static_cast<uint32_t>(item.name.size()));
    put16(d, wide ? 28 : 0);
    for (int i = 0; i < 3; i++) put16(d, 0);
    put32(d, 0);
    put32(d, wide ? marker : static_cast<uint32_t>(offset));
    d += item.name;
    if (wide) {
      put16(d, 1);
      put16(d, 24);
      put64(d, size);
      put64(d, item.data.size());
      put64(d, offset);
    }
  }
  const uint64_t dir_offset = z.size();
  z += d;
  const bool full = zip64 == Zip64::kFull;
  if (full) {
    const uint64_t record = z.size();
    z += std::string("PK\x06\x06", 4);
    put64(z, 44);
    put16(z, 45);
    put16(z, 45);
    put32(z, 0);
    put32(z, 0);
    put64(z, items.size());
    put64(z, items.size());
    put64(z, d.size());
    put64(z, dir_offset);
    z += std::string("PK\x06\x07", 4);
    put32(z, 0);
    put64(z, record);
    put32(z, 1);
  }
  z += std::string("PK\x05\x06", 4);
  put32(z, 0);
  put16(z, full ? 0xFFFF : static_cast<uint32_t>(items.size()));
  put16(z, full ? 0xFFFF : static_cast<uint32_t>(items.size()));
  put32(z, full ? marker : static_cast<uint32_t>(d.size()));
  put32(z, full ? marker : static_cast<uint32_t>(dir_offset));
  put16(z, 0);
  return z;
}

std::string raw_deflate(const std::string& data, int level) {
  z_stream zs;
  memset(&zs, 0, sizeof zs);
  if (deflateInit2(&zs, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) return "";
  std::string out(deflateBound(&zs, data.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
  zs.avail_out = static_cast<uInt>(out.size());
  const bool done = deflate(&zs, Z_FINISH) == Z_STREAM_END;
  out.resize(done ? zs.total_out : 0);
  deflateEnd(&zs);
  return out;
}

std::string zip_package(const std::string& name, const std::string& data, uint16_t method,
                        int64_t central_size) {
  return zip_archive({{name, data, method, central_size}});
}

long run_peak_kib(const std::string& program, const std::vector<std::string>& args,
                  const std::string& stdin_path, int* exit_code) {
  *exit_code = -1;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
    int null = open("/dev/null", O_WRONLY);
    dup2(in, 0);
    dup2(null, 1);
    dup2(null, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return -1;
  if (WIFEXITED(status)) *exit_code = WEXITSTATUS(status);
  return usage.ru_maxrss;
}
