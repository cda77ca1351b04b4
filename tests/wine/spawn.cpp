// Starts a program with an exact command line, for the launcher tests: the
// command line Wine builds from Unix arguments cannot carry every Windows
// quoting, and an unset PATH cannot be arranged from outside.
//
//   spawn.exe request.txt
//
// The request file (UTF-8) holds "key=value" lines: app= the program to start
// (application name), cmdline= its command line, cwd= its working folder
// (optional), unset= a variable to remove first (repeatable), set=NAME=VALUE
// (repeatable). Prints "exit_code=N" (all 32 bits) on standard output and
// exits with the child's exit code, or 199 when the request cannot be read or
// the child cannot be started.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring from_utf8(const std::string& text) {
  if (text.empty()) return L"";
  int len = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(len), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], len);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 199;
  FILE* in = _wfopen(argv[1], L"rb");
  if (!in) return 199;
  std::string request;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) request.append(chunk, got);
  fclose(in);

  std::wstring app, command_line, cwd;
  size_t start = 0;
  while (start < request.size()) {
    size_t end = request.find('\n', start);
    if (end == std::string::npos) end = request.size();
    std::wstring line = from_utf8(request.substr(start, end - start));
    start = end + 1;
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) continue;
    std::wstring key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == L"app") app = value;
    if (key == L"cmdline") command_line = value;
    if (key == L"cwd") cwd = value;
    if (key == L"unset") SetEnvironmentVariableW(value.c_str(), nullptr);
    if (key == L"set") {
      size_t eq2 = value.find(L'=');
      if (eq2 != std::wstring::npos) {
        SetEnvironmentVariableW(value.substr(0, eq2).c_str(), value.substr(eq2 + 1).c_str());
      }
    }
  }

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);
  if (!CreateProcessW(app.c_str(), &command_line[0], nullptr, nullptr, FALSE, 0, nullptr,
                      cwd.empty() ? nullptr : cwd.c_str(), &startup, &process)) {
    fprintf(stderr, "spawn: cannot start the program (error %lu)\n", GetLastError());
    return 199;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 199;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  printf("exit_code=%lu\n", static_cast<unsigned long>(code));
  fflush(stdout);
  return static_cast<int>(code);
}
