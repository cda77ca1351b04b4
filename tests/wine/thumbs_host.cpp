// thumbs-host: a stand-in for Explorer in the Wine tests of orrery-thumbs.dll.
// It finds the handler of each file's extension in the registry, creates it
// with CoCreateInstance, hands it a stream over the file's bytes, asks for
// thumbnails and reads the pixels back with GetDIBits.
//
//   thumbs-host OUTDIR SOURCE...
//
// SOURCE is KIND:SIZES:WHAT, SIZES the GetThumbnail sizes (96,256,1024):
//   mem:SIZES:PATH      SHCreateMemStream over the file's bytes (no name)
//   file:SIZES:PATH     SHCreateStreamOnFileEx, read-only (Stat names the file)
//   zeros:SIZES:N       N zero bytes; Stat tells the size
//   unsized:SIZES:N     N zero bytes; Stat fails, so the size shows only by reading
// Output lines (k counts the sources from 0):
//   k via=com|dll:0xHHHHHHHH init=0xHHHHHHHH again=0xHHHHHHHH
//                                    (dll: CoCreateInstance failed with that HRESULT)
//   k SIZE thumb=0xHHHHHHHH alpha=A WxH bpp=B memory=same|differs
//                                    (pixels top-down BGRA in OUTDIR\k-SIZE.bgra)
//   k release=N                      (the last Release's count)
//   interfaces identity=same|differs other=0xHHHHHHHH
//   factory locked=0xHHHHHHHH unlocked=0xHHHHHHHH release=N
//   unload 0xHHHHHHHH                (DllCanUnloadNow once everything is released)
// Exit 0 when the run got to the end, 1 on a usage or set-up failure.
#include <windows.h>

#include <objbase.h>
#include <propsys.h>
#include <shlwapi.h>
#include <thumbcache.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kHandlerSlot[] = L"\\ShellEx\\{E357FCCD-A995-4576-B01F-234630154E96}";

// A read-only stream of zero bytes that allocates nothing, to hand the
// handler more than its limit.
class ZeroStream final : public IStream {
 public:
  ZeroStream(ULONGLONG size, bool tells_size) : size_(size), tells_size_(tells_size) {}
  IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
        IsEqualIID(riid, IID_IStream)) {
      AddRef();
      *ppv = static_cast<IStream*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  IFACEMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&references_); }
  IFACEMETHODIMP_(ULONG) Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return left;
  }
  IFACEMETHODIMP Read(void* out, ULONG want, ULONG* got) override {
    const ULONGLONG left = size_ - position_;
    const ULONG n = left < want ? static_cast<ULONG>(left) : want;
    memset(out, 0, n);
    position_ += n;
    if (got) *got = n;
    return n < want ? S_FALSE : S_OK;
  }
  IFACEMETHODIMP Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
  IFACEMETHODIMP Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
  IFACEMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
  IFACEMETHODIMP CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
    return E_NOTIMPL;
  }
  IFACEMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
  IFACEMETHODIMP Revert() override { return E_NOTIMPL; }
  IFACEMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  IFACEMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
  IFACEMETHODIMP Stat(STATSTG* stat, DWORD) override {
    if (!tells_size_) return E_NOTIMPL;
    memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = size_;
    return S_OK;
  }
  IFACEMETHODIMP Clone(IStream**) override { return E_NOTIMPL; }

 private:
  ~ZeroStream() = default;
  LONG references_ = 1;
  ULONGLONG size_;
  ULONGLONG position_ = 0;
  bool tells_size_;
};

struct Source {
  std::wstring kind;
  std::vector<UINT> sizes;
  std::wstring what;
};

bool parse_source(const wchar_t* arg, Source* out) {
  const wchar_t* first = wcschr(arg, L':');
  if (!first) return false;
  const wchar_t* second = wcschr(first + 1, L':');
  if (!second) return false;
  out->kind.assign(arg, first);
  out->what = second + 1;
  for (const wchar_t* p = first + 1; p < second;) {
    wchar_t* end = nullptr;
    const unsigned long size = wcstoul(p, &end, 10);
    if (end == p) return false;
    out->sizes.push_back(static_cast<UINT>(size));
    p = *end == L',' ? end + 1 : end;
  }
  return true;
}

// The extension Explorer would look the handler up by.
std::wstring extension_of(const Source& source) {
  if (source.kind != L"mem" && source.kind != L"file") return L".stl";
  const wchar_t* ext = PathFindExtensionW(source.what.c_str());
  return *ext ? ext : L".stl";
}

// A REG_SZ value of HKEY_CLASSES_ROOT, or of HKCU\Software\Classes when the
// merged view lacks it.
std::wstring classes_value(const std::wstring& key) {
  wchar_t text[1024];
  DWORD bytes = sizeof text;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &bytes) ==
      ERROR_SUCCESS) {
    return text;
  }
  bytes = sizeof text;
  const std::wstring user_key = L"Software\\Classes\\" + key;
  if (RegGetValueW(HKEY_CURRENT_USER, user_key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text,
                   &bytes) == ERROR_SUCCESS) {
    return text;
  }
  return L"";
}

typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowFn)();

// The handler's DLL, as InprocServer32 names it, loaded (once) by us.
HMODULE handler_module(const CLSID& clsid) {
  wchar_t text[64];
  StringFromGUID2(clsid, text, 64);
  const std::wstring path = classes_value(std::wstring(L"CLSID\\") + text + L"\\InprocServer32");
  if (path.empty()) return nullptr;
  HMODULE module = GetModuleHandleW(path.c_str());
  return module ? module : LoadLibraryW(path.c_str());
}

HRESULT class_factory(const CLSID& clsid, IClassFactory** factory, const wchar_t** via) {
  *via = L"com";
  HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(factory));
  if (SUCCEEDED(hr)) return hr;
  // Wine may not look in HKCU\Software\Classes for COM classes: the DLL the
  // registration names, asked directly.
  *via = L"dll";
  HMODULE module = handler_module(clsid);
  if (!module) return hr;
  auto get = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  return get ? get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory)) : hr;
}

// via tells how: "com", or "dll" and CoCreateInstance's failure.
HRESULT create_handler(const CLSID& clsid, IInitializeWithStream** handler, std::string* via) {
  *via = "com";
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IInitializeWithStream,
                                reinterpret_cast<void**>(handler));
  if (SUCCEEDED(hr)) return hr;
  char text[32];
  snprintf(text, sizeof text, "dll:0x%08lX", static_cast<unsigned long>(hr));
  *via = text;
  IClassFactory* factory = nullptr;
  const wchar_t* factory_via = L"";
  hr = class_factory(clsid, &factory, &factory_via);
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, IID_IInitializeWithStream,
                               reinterpret_cast<void**>(handler));
  factory->Release();
  return hr;
}

HRESULT open_stream(const Source& source, IStream** stream) {
  *stream = nullptr;
  if (source.kind == L"mem") {
    FILE* f = _wfopen(source.what.c_str(), L"rb");
    if (!f) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::string bytes;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.append(chunk, n);
    fclose(f);
    *stream = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<UINT>(bytes.size()));
    return *stream ? S_OK : E_OUTOFMEMORY;
  }
  if (source.kind == L"file") {
    return SHCreateStreamOnFileEx(source.what.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE,
                                  FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, stream);
  }
  const ULONGLONG size = wcstoull(source.what.c_str(), nullptr, 10);
  *stream = new ZeroStream(size, source.kind == L"zeros");
  return S_OK;
}

void write_pixels(const std::wstring& path, const std::vector<BYTE>& pixels) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (!f) return;
  fwrite(pixels.data(), 1, pixels.size(), f);
  fclose(f);
}

// One GetThumbnail call and what a caller can see of its answer.
void thumbnail(IThumbnailProvider* provider, const std::wstring& out_dir, size_t k, UINT size) {
  HBITMAP bitmap = nullptr;
  WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
  const HRESULT hr = provider->GetThumbnail(size, &bitmap, &alpha);
  printf("%zu %u thumb=0x%08lX", k, size, static_cast<unsigned long>(hr));
  if (FAILED(hr) || !bitmap) {
    printf("\n");
    return;
  }
  DIBSECTION dib;
  memset(&dib, 0, sizeof dib);
  const bool is_dib = GetObjectW(bitmap, sizeof dib, &dib) == sizeof dib;
  const LONG width = dib.dsBm.bmWidth, height = dib.dsBm.bmHeight;
  std::vector<BYTE> pixels(static_cast<size_t>(width) * height * 4);
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC dc = CreateCompatibleDC(nullptr);
  const int lines = GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
  DeleteDC(dc);
  // The memory Explorer reads: top-down if it equals the top-down copy.
  const bool same = is_dib && dib.dsBm.bmBits && lines == height &&
                    memcmp(dib.dsBm.bmBits, pixels.data(), pixels.size()) == 0;
  printf(" alpha=%d %ldx%ld bpp=%d memory=%s\n", static_cast<int>(alpha), width, height,
         is_dib ? dib.dsBm.bmBitsPixel : 0, same ? "same" : "differs");
  write_pixels(out_dir + L"\\" + std::to_wstring(k) + L"-" + std::to_wstring(size) + L".bgra",
               pixels);
  DeleteObject(bitmap);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: thumbs-host OUTDIR KIND:SIZES:WHAT...\n");
    return 1;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  const std::wstring out_dir = argv[1];
  CLSID clsid = CLSID_NULL;
  for (int i = 2; i < argc; i++) {
    const size_t k = static_cast<size_t>(i - 2);
    Source source;
    if (!parse_source(argv[i], &source)) {
      fprintf(stderr, "bad source: %ls\n", argv[i]);
      return 1;
    }
    // The handler Explorer would take for the file's extension.
    const std::wstring id = classes_value(extension_of(source) + kHandlerSlot);
    if (FAILED(CLSIDFromString(id.c_str(), &clsid))) {
      fprintf(stderr, "no handler registered for %ls\n", extension_of(source).c_str());
      return 1;
    }
    IInitializeWithStream* init = nullptr;
    std::string via;
    HRESULT hr = create_handler(clsid, &init, &via);
    if (FAILED(hr)) {
      fprintf(stderr, "cannot create the handler: 0x%08lX\n", static_cast<unsigned long>(hr));
      return 1;
    }
    IStream* stream = nullptr;
    hr = open_stream(source, &stream);
    if (FAILED(hr)) {
      fprintf(stderr, "cannot open %ls: 0x%08lX\n", source.what.c_str(),
              static_cast<unsigned long>(hr));
      return 1;
    }
    hr = init->Initialize(stream, STGM_READ);
    IStream* again_stream = nullptr;
    open_stream(source, &again_stream);
    const HRESULT again = init->Initialize(again_stream, STGM_READ);
    again_stream->Release();
    stream->Release();
    printf("%zu via=%s init=0x%08lX again=0x%08lX\n", k, via.c_str(),
           static_cast<unsigned long>(hr), static_cast<unsigned long>(again));
    IThumbnailProvider* provider = nullptr;
    if (SUCCEEDED(init->QueryInterface(__uuidof(IThumbnailProvider),
                                       reinterpret_cast<void**>(&provider)))) {
      for (UINT size : source.sizes) thumbnail(provider, out_dir, k, size);
      if (k == 0) {
        IUnknown* a = nullptr;
        IUnknown* b = nullptr;
        init->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
        provider->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
        void* other = nullptr;
        const HRESULT other_hr = init->QueryInterface(IID_IPersistFile, &other);
        printf("interfaces identity=%s other=0x%08lX\n", a && a == b ? "same" : "differs",
               static_cast<unsigned long>(other_hr));
        if (a) a->Release();
        if (b) b->Release();
      }
      provider->Release();
    }
    printf("%zu release=%lu\n", k, init->Release());
  }

  // LockServer holds the DLL; releasing everything lets it go.
  IClassFactory* factory = nullptr;
  const wchar_t* via = L"";
  HMODULE module = handler_module(clsid);
  auto can_unload = module ? reinterpret_cast<CanUnloadNowFn>(
                                 reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")))
                           : nullptr;
  if (!can_unload || FAILED(class_factory(clsid, &factory, &via))) {
    fprintf(stderr, "cannot reach the handler's DLL\n");
    return 1;
  }
  factory->LockServer(TRUE);
  const HRESULT locked = can_unload();
  factory->LockServer(FALSE);
  const ULONG factory_left = factory->Release();
  const HRESULT unlocked = can_unload();
  printf("factory locked=0x%08lX unlocked=0x%08lX release=%lu\n",
         static_cast<unsigned long>(locked), static_cast<unsigned long>(unlocked), factory_left);
  printf("unload 0x%08lX\n", static_cast<unsigned long>(can_unload()));
  fflush(stdout);
  CoUninitialize();
  return 0;
}
