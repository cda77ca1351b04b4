// The registration table of orrery-thumbs.dll and the two walks over it:
// DllRegisterServer writes it top to bottom, DllUnregisterServer undoes it
// bottom to top.
#include "registration.h"

#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "module.h"

namespace {

#define ORRERY_CLASS_KEY L"CLSID\\" ORRERY_THUMBS_CLSID_TEXT
// The slot Explorer looks in for an extension's IThumbnailProvider
// ({E357FCCD-...} is that interface's ID).
#define ORRERY_HANDLER_SLOT L"\\ShellEx\\{E357FCCD-A995-4576-B01F-234630154E96}"

const wchar_t kClassesRoot[] = L"Software\\Classes\\";
// Handlers this registration replaced: value name the slot's key, data the
// class ID that was there.
const wchar_t kReplacedKey[] = ORRERY_CLASS_KEY L"\\Replaced";
// Shared keys never removed, even when left empty.
const wchar_t* const kKeptKeys[] = {L"CLSID"};

// Key paths below HKCU\Software\Classes fit easily, terminator included.
constexpr size_t kKeyCapacity = 256;
// A registered class ID or a text we wrote; longer values are not ours.
constexpr DWORD kTextCapacity = 512;
// Windows paths hold at most 32767 characters.
constexpr DWORD kPathCeiling = 32768;

enum RowData {
  kText,        // the row's text
  kModulePath,  // the full path of this DLL
  kClassId,     // this handler's class ID, in a slot another program may also want
};

struct RegistryRow {
  const wchar_t* key;         // below HKCU\Software\Classes
  const wchar_t* value_name;  // null: the key's default value
  RowData data;
  const wchar_t* text;  // kText only
};

const RegistryRow kRows[] = {
    {ORRERY_CLASS_KEY, nullptr, kText, L"Orrery Thumbnail Handler"},
    {ORRERY_CLASS_KEY L"\\InprocServer32", nullptr, kModulePath, nullptr},
    {ORRERY_CLASS_KEY L"\\InprocServer32", L"ThreadingModel", kText, L"Apartment"},
    {L".stl" ORRERY_HANDLER_SLOT, nullptr, kClassId, nullptr},
    {L".3mf" ORRERY_HANDLER_SLOT, nullptr, kClassId, nullptr},
    {L".obj" ORRERY_HANDLER_SLOT, nullptr, kClassId, nullptr},
};

void full_path(const wchar_t* key, wchar_t* out) {
  wcscpy(out, kClassesRoot);
  wcscat(out, key);
}

LONG open_key(const wchar_t* key, REGSAM access, HKEY* out) {
  wchar_t path[kKeyCapacity];
  full_path(key, path);
  return RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, access, out);
}

LONG create_key(const wchar_t* key, HKEY* out) {
  wchar_t path[kKeyCapacity];
  full_path(key, path);
  return RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                         nullptr, out, nullptr);
}

// A REG_SZ value of at most kTextCapacity - 1 characters, terminated.
bool read_text(HKEY key, const wchar_t* name, wchar_t* out) {
  DWORD type = 0;
  DWORD bytes = (kTextCapacity - 1) * sizeof(wchar_t);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  out[bytes / sizeof(wchar_t)] = L'\0';
  return true;
}

LONG write_text(HKEY key, const wchar_t* name, const wchar_t* text) {
  const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG delete_value(HKEY key, const wchar_t* name) {
  const LONG rc = RegDeleteValueW(key, name);
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

bool names_this_class(const wchar_t* text) {
  return CompareStringOrdinal(text, -1, ORRERY_THUMBS_CLSID_TEXT, -1, TRUE) == CSTR_EQUAL;
}

// Removes key when it holds no values and no subkeys, then its parents the
// same way, stopping at the first one still in use or kept.
void remove_empty_keys(const wchar_t* key) {
  wchar_t path[kKeyCapacity];
  wcscpy(path, key);
  for (;;) {
    for (const wchar_t* kept : kKeptKeys) {
      if (CompareStringOrdinal(path, -1, kept, -1, TRUE) == CSTR_EQUAL) return;
    }
    HKEY handle;
    if (open_key(path, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) return;
    DWORD subkeys = 0, values = 0;
    const LONG rc = RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                     &values, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    if (rc != ERROR_SUCCESS || subkeys != 0 || values != 0) return;
    wchar_t full[kKeyCapacity];
    full_path(path, full);
    if (RegDeleteKeyW(HKEY_CURRENT_USER, full) != ERROR_SUCCESS) return;
    wchar_t* parent_end = wcsrchr(path, L'\\');
    if (!parent_end) return;
    *parent_end = L'\0';
  }
}

// The full path of this DLL in a malloc'd block the caller frees.
HRESULT module_path(wchar_t** out) {
  *out = nullptr;
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    wchar_t* path = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
    if (!path) return E_OUTOFMEMORY;
    const DWORD length = GetModuleFileNameW(module_handle(), path, capacity);
    if (length == 0) {
      const DWORD error = GetLastError();
      free(path);
      return HRESULT_FROM_WIN32(error ? error : ERROR_INVALID_HANDLE);
    }
    if (length < capacity) {  // not cut
      *out = path;
      return S_OK;
    }
    free(path);
    if (capacity >= kPathCeiling) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  }
}

// Before a slot is taken: remembers the handler class another program put
// there, so that unregistering can put it back.
LONG remember_replaced(HKEY slot, const wchar_t* slot_key) {
  wchar_t current[kTextCapacity];
  if (!read_text(slot, nullptr, current) || current[0] == L'\0' || names_this_class(current)) {
    return ERROR_SUCCESS;
  }
  HKEY replaced;
  LONG rc = create_key(kReplacedKey, &replaced);
  if (rc != ERROR_SUCCESS) return rc;
  rc = write_text(replaced, slot_key, current);
  RegCloseKey(replaced);
  return rc;
}

// The handler remembered for slot_key, if any.
bool find_replaced(const wchar_t* slot_key, wchar_t* out) {
  HKEY replaced;
  if (open_key(kReplacedKey, KEY_QUERY_VALUE, &replaced) != ERROR_SUCCESS) return false;
  const bool found = read_text(replaced, slot_key, out);
  RegCloseKey(replaced);
  return found;
}

void forget_replaced(const wchar_t* slot_key) {
  HKEY replaced;
  if (open_key(kReplacedKey, KEY_SET_VALUE, &replaced) != ERROR_SUCCESS) return;
  RegDeleteValueW(replaced, slot_key);
  RegCloseKey(replaced);
  remove_empty_keys(kReplacedKey);
}

HRESULT write_row(const RegistryRow& row, const wchar_t* module) {
  HKEY key;
  LONG rc = create_key(row.key, &key);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  const wchar_t* data = row.text;
  if (row.data == kModulePath) data = module;
  if (row.data == kClassId) {
    data = ORRERY_THUMBS_CLSID_TEXT;
    rc = remember_replaced(key, row.key);
  }
  if (rc == ERROR_SUCCESS) rc = write_text(key, row.value_name, data);
  RegCloseKey(key);
  return HRESULT_FROM_WIN32(rc);
}

HRESULT undo_row(const RegistryRow& row) {
  HKEY key;
  LONG rc = open_key(row.key, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (rc == ERROR_FILE_NOT_FOUND) {
    if (row.data == kClassId) forget_replaced(row.key);
    return S_OK;
  }
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  if (row.data == kClassId) {
    // Only a slot that still names this class is ours to empty; a program
    // that registered after us keeps its handler.
    wchar_t current[kTextCapacity];
    if (read_text(key, row.value_name, current) && names_this_class(current)) {
      wchar_t replaced[kTextCapacity];
      rc = find_replaced(row.key, replaced) ? write_text(key, row.value_name, replaced)
                                            : delete_value(key, row.value_name);
    }
    if (rc == ERROR_SUCCESS) forget_replaced(row.key);
  } else {
    rc = delete_value(key, row.value_name);
  }
  RegCloseKey(key);
  if (rc == ERROR_SUCCESS) remove_empty_keys(row.key);
  return HRESULT_FROM_WIN32(rc);
}

}  // namespace

HRESULT registration_register() {
  wchar_t* module = nullptr;
  HRESULT hr = module_path(&module);
  for (const RegistryRow& row : kRows) {
    if (FAILED(hr)) break;
    hr = write_row(row, module);
  }
  free(module);
  if (FAILED(hr)) {
    registration_unregister();
    return hr;
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return S_OK;
}

HRESULT registration_unregister() {
  HRESULT first_failure = S_OK;
  for (size_t i = sizeof kRows / sizeof kRows[0]; i-- > 0;) {
    const HRESULT hr = undo_row(kRows[i]);
    if (FAILED(hr) && SUCCEEDED(first_failure)) first_failure = hr;
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return first_failure;
}
