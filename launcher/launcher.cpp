// orrery: puts the suite's app folder in front of the search path, names the
// data folder in ORRERY_DATA_DIR, starts app\orrery-core.exe with the
// launcher's own command line and hands back its exit code.
#include <windows.h>

#include <cwchar>

namespace {

// Capacities in characters, terminator included.
constexpr size_t kPathCapacity = MAX_PATH;  // 260
constexpr size_t kSearchPathCapacity = 32768;
// An environment value holds at most 32766 characters (its counted string is
// limited to 0xFFFC bytes); the system cuts or refuses a longer one.
constexpr size_t kEnvironmentValueCapacity = 32767;  // terminator included

const wchar_t kErrorText[] =
    L"Orrery konnte nicht gestartet werden.\n\n"
    L"Stelle sicher, dass der 'app' Ordner vorhanden ist\n"
    L"und 'app\\orrery-core.exe' existiert.";
const wchar_t kErrorCaption[] = L"Orrery";

// Writes the parts one after another into out. Returns false, leaving out
// empty, when they and the terminator would not fit capacity characters:
// a cut path would name another file, and a cut PATH would lose entries.
bool join(wchar_t* out, size_t capacity, const wchar_t* first, const wchar_t* second,
          const wchar_t* third = L"") {
  const wchar_t* parts[] = {first, second, third};
  size_t used = 0;
  for (const wchar_t* part : parts) {
    size_t len = wcslen(part);
    if (len >= capacity - used) {
      out[0] = L'\0';
      return false;
    }
    wmemcpy(out + used, part, len);
    used += len;
  }
  out[used] = L'\0';
  return true;
}

int fail_to_start() {
  MessageBoxW(nullptr, kErrorText, kErrorCaption, MB_ICONERROR);
  return 1;
}

// The two 32768-character buffers are too large for the stack of a small
// program's main thread to hold comfortably; they live for the whole run.
wchar_t g_old_search_path[kSearchPathCapacity];
wchar_t g_new_search_path[kSearchPathCapacity];

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t base_folder[kPathCapacity];
  wchar_t app_folder[kPathCapacity];
  wchar_t core_path[kPathCapacity];
  wchar_t data_folder[kPathCapacity];

  // A name that filled the buffer may have been cut; a folder derived from it
  // would be wrong, so that start is refused like a missing program.
  DWORD name_len = GetModuleFileNameW(nullptr, base_folder, kPathCapacity);
  if (name_len == 0 || name_len >= kPathCapacity) return fail_to_start();
  if (wchar_t* last_backslash = wcsrchr(base_folder, L'\\')) *last_backslash = L'\0';

  if (!join(app_folder, kPathCapacity, base_folder, L"\\app")) return fail_to_start();
  if (!join(data_folder, kPathCapacity, base_folder, L"\\data")) return fail_to_start();
  if (!join(core_path, kPathCapacity, app_folder, L"\\orrery-core.exe")) return fail_to_start();

  // An unset PATH reads as 0 characters and counts as empty. A value that
  // needs more room than the buffer, or a new value that would pass the
  // environment's limit, cannot be carried over whole.
  DWORD old_len = GetEnvironmentVariableW(L"PATH", g_old_search_path, kSearchPathCapacity);
  if (old_len == 0) g_old_search_path[0] = L'\0';
  if (old_len >= kSearchPathCapacity) return fail_to_start();
  if (!join(g_new_search_path, kEnvironmentValueCapacity, app_folder, L";", g_old_search_path)) {
    return fail_to_start();
  }
  SetEnvironmentVariableW(L"PATH", g_new_search_path);
  SetEnvironmentVariableW(L"ORRERY_DATA_DIR", data_folder);

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;  // wShowWindow stays SW_HIDE
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof process);

  if (!CreateProcessW(core_path, GetCommandLineW(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, base_folder, &startup, &process)) {
    return fail_to_start();
  }

  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(exit_code);
}
