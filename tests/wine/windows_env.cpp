// Program paths and the Wine runner for the Windows tests.
#include "windows_env.h"

#include <cstdlib>

#include <gtest/gtest.h>

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = getenv(name);
  return value && *value ? value : fallback;
}

std::string source_path(const std::string& relative) {
  return env_or("ORRERY_SOURCE_DIR", ORRERY_SOURCE_DIR) + "/" + relative;
}

namespace {

std::string built_program(const std::string& build, const std::string& program,
                          const std::string& suffix) {
  std::string dir = program;
  if (program == "orrery" || program == "orrery-core" || program == "spawn") dir = "launcher";
  if (!file_exists(source_path(dir + "/CMakeLists.txt"))) return "";
  std::string path = build + "/" + dir + "/" + program + suffix;
  if (build.empty() || !file_exists(path)) {
    ADD_FAILURE() << program << " is in the tree but not built: " << path;
    return "";
  }
  return path;
}

}  // namespace

std::string mingw_exe(const std::string& program) {
  return built_program(env_or("ORRERY_MINGW_BUILD", ""), program, ".exe");
}

std::string native_exe(const std::string& program) {
  return built_program(env_or("ORRERY_NATIVE_BUILD", ""), program, "");
}

RunResult run_wine(const std::string& exe, const std::vector<std::string>& args,
                   const RunOptions& options) {
  RunOptions wine_options = options;
  bool has_debug = false;
  for (const auto& kv : options.env) has_debug = has_debug || kv.first == "WINEDEBUG";
  if (!has_debug) wine_options.env.insert(wine_options.env.begin(), {"WINEDEBUG", "-all"});
  // No Mono or Gecko installer prompts in a fresh prefix.
  wine_options.env.insert(wine_options.env.begin(), {"WINEDLLOVERRIDES", "mscoree,mshtml="});
  std::vector<std::string> argv = {env_or("ORRERY_WINE", "wine"), exe};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, wine_options);
}

std::string windows_path(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}
