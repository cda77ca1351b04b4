// Stands in for orrery-core.exe in the launcher tests: writes what it was
// started with to core-report.txt beside itself (UTF-8, one "key=value" line
// each: cmdline, cwd, path, data) and exits with the code given on its
// command line as "--exit=N" (0 without it). The line "startup=F,S" holds
// the dwFlags and wShowWindow of the STARTUPINFO it was given.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string to_utf8(const std::wstring& text) {
  if (text.empty()) return "";
  int len = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
  std::string out(static_cast<size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], len,
                      nullptr, nullptr);
  return out;
}

// The variable's value, or "(unset)" when it does not exist.
std::wstring variable(const wchar_t* name) {
  DWORD len = GetEnvironmentVariableW(name, nullptr, 0);
  if (len == 0) return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? L"(unset)" : L"";
  std::wstring value(len, L'\0');
  len = GetEnvironmentVariableW(name, &value[0], len);
  value.resize(len);
  return value;
}

}  // namespace

int wmain() {
  std::wstring self(32768, L'\0');
  self.resize(GetModuleFileNameW(nullptr, &self[0], 32768));
  std::wstring report = self.substr(0, self.rfind(L'\\') + 1) + L"core-report.txt";

  std::wstring cwd(32768, L'\0');
  cwd.resize(GetCurrentDirectoryW(32768, &cwd[0]));
  const wchar_t* command_line = GetCommandLineW();
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);

  std::string text = "cmdline=" + to_utf8(command_line) + "\ncwd=" + to_utf8(cwd) +
                     "\npath=" + to_utf8(variable(L"PATH")) +
                     "\ndata=" + to_utf8(variable(L"ORRERY_DATA_DIR")) +
                     "\nstartup=" + std::to_string(startup.dwFlags) + "," +
                     std::to_string(startup.wShowWindow) + "\n";
  FILE* out = _wfopen(report.c_str(), L"wb");
  if (!out) return 200;
  fwrite(text.data(), 1, text.size(), out);
  fclose(out);

  unsigned long long code = 0;
  if (const wchar_t* exit_arg = wcsstr(command_line, L"--exit=")) {
    for (const wchar_t* p = exit_arg + 7; *p >= L'0' && *p <= L'9' && code <= 0xFFFFFFFFull; p++) {
      code = code * 10 + static_cast<unsigned>(*p - L'0');
    }
  }
  ExitProcess(static_cast<UINT>(code));
}
