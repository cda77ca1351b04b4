// Program paths and the Wine process runner for the Windows tests.
#include "windows_env.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

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
    setpgid(0, 0);  // one group, so a time-out stops Wine's helpers as well
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
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  int status = 0;
  bool timed_out = false;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.exit_code = !timed_out && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  if (timed_out)
    result.err += "\n[timed out after " + std::to_string(options.timeout_seconds) + " s]";
  return result;
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
