// The Explorer thumbnail handler: reads the file's bytes from the stream
// Explorer hands over, has thumbs draw them and returns the picture as a
// 32-bit DIB section with alpha.
//
// Built without C++ exceptions: nothing here can throw, so nothing can cross
// the COM boundary; allocations report failure by a null pointer.
#include "thumbs_handler.h"

#include <propsys.h>
#include <thumbcache.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "module.h"
#include "thumbs.h"

namespace {

// Bytes asked of the stream per Read call when its size is unknown.
constexpr ULONG kReadChunk = 1 << 20;
// "x." and an extension of at most this many characters, and the terminator.
constexpr size_t kMaxExtension = 8;

// The extension of the stream's name, if it has a short ASCII one, as a
// name thumbs_render can take its hint from ("x.stl"); else an empty text.
void take_name_hint(const wchar_t* name, char* hint) {
  hint[0] = '\0';
  if (!name) return;
  const wchar_t* dot = nullptr;
  for (const wchar_t* p = name; *p; p++) {
    if (*p == L'.') dot = p;
    if (*p == L'\\' || *p == L'/' || *p == L':') dot = nullptr;
  }
  if (!dot) return;
  const size_t length = wcslen(dot + 1);
  if (length == 0 || length > kMaxExtension) return;
  for (size_t i = 0; i < length; i++) {
    if (dot[1 + i] <= L' ' || dot[1 + i] > L'~') return;
  }
  hint[0] = 'x';
  hint[1] = '.';
  for (size_t i = 0; i < length; i++) hint[2 + i] = static_cast<char>(dot[1 + i]);
  hint[2 + length] = '\0';
}

// Reads the stream from its current position (the start, as handed over) to
// its end into a malloc'd block that the caller frees. size_hint is the size
// Stat reported (0: unknown). Streams longer than the limit are refused as
// soon as one byte past it has been read, whatever Stat said.
HRESULT read_whole_stream(IStream* stream, uint64_t size_hint, uint8_t** out, uint64_t* length) {
  *out = nullptr;
  *length = 0;
  const uint64_t ceiling = kThumbsHandlerMaxStreamBytes + 1;
  uint64_t capacity = size_hint > 0 && size_hint < ceiling ? size_hint + 1 : kReadChunk;
  uint8_t* data = static_cast<uint8_t*>(malloc(static_cast<size_t>(capacity)));
  if (!data) return E_OUTOFMEMORY;
  uint64_t used = 0;
  for (;;) {
    if (used == capacity) {
      if (capacity == ceiling) break;
      const uint64_t grown = capacity > ceiling / 2 ? ceiling : capacity * 2;
      uint8_t* bigger = static_cast<uint8_t*>(realloc(data, static_cast<size_t>(grown)));
      if (!bigger) {
        free(data);
        return E_OUTOFMEMORY;
      }
      data = bigger;
      capacity = grown;
    }
    const uint64_t room = capacity - used;
    const ULONG want = room < kReadChunk ? static_cast<ULONG>(room) : kReadChunk;
    ULONG got = 0;
    const HRESULT hr = stream->Read(data + used, want, &got);
    if (FAILED(hr) || got > want) {
      free(data);
      return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    if (got == 0) break;  // the end (S_FALSE, or S_OK from lenient streams)
    used += got;
  }
  if (used > kThumbsHandlerMaxStreamBytes) {
    free(data);
    return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
  }
  *out = data;
  *length = used;
  return S_OK;
}

HRESULT result_of(ThumbsStatus status) {
  switch (status) {
    case kThumbsOk:
      return S_OK;
    case kThumbsBadArgument:
      return E_INVALIDARG;
    case kThumbsUnknownFormat:
      return HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
    case kThumbsCannotParse:
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    case kThumbsOutOfMemory:
      return E_OUTOFMEMORY;
    default:  // nothing to draw
      return E_FAIL;
  }
}

// A top-down 32-bit DIB section of the picture in the byte order BGRA with
// straight (not premultiplied) alpha, the form Windows' own sample handler
// returns for WTSAT_ARGB (WIC's 32bppBGRA).
HRESULT dib_from_image(const ThumbsImage& image, HBITMAP* bitmap) {
  BITMAPINFO info;
  memset(&info, 0, sizeof info);
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // negative: the top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!dib || !bits) {
    if (dib) DeleteObject(dib);
    return E_OUTOFMEMORY;
  }
  const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  const uint8_t* in = image.rgba;
  uint8_t* out = static_cast<uint8_t*>(bits);
  for (size_t i = 0; i < pixels; i++, in += 4, out += 4) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
    out[3] = in[3];
  }
  *bitmap = dib;
  return S_OK;
}

class ThumbsHandler final : public IInitializeWithStream, public IThumbnailProvider {
 public:
  ThumbsHandler() { module_add_ref(); }

  // IUnknown
  IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    // IUnknown answers with the first interface: one identity per object.
    const struct {
      const IID* iid;
      IUnknown* object;
    } table[] = {
        {&IID_IUnknown, static_cast<IInitializeWithStream*>(this)},
        {&IID_IInitializeWithStream, static_cast<IInitializeWithStream*>(this)},
        {&__uuidof(IThumbnailProvider), static_cast<IThumbnailProvider*>(this)},
    };
    for (const auto& entry : table) {
      if (IsEqualIID(riid, *entry.iid)) {
        entry.object->AddRef();
        *ppv = entry.object;
        return S_OK;
      }
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

  // IInitializeWithStream: the whole file is read here, so that the stream
  // need not outlive the call and GetThumbnail works on plain bytes.
  IFACEMETHODIMP Initialize(IStream* stream, DWORD) override {
    if (!stream) return E_POINTER;
    if (initialized_) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    // The stream carries no file name as such; Stat may give one (a file
    // stream does, a memory stream does not), used only for its extension,
    // which thumbs consults after the content.
    uint64_t size_hint = 0;
    STATSTG stat;
    memset(&stat, 0, sizeof stat);
    if (SUCCEEDED(stream->Stat(&stat, STATFLAG_DEFAULT))) {
      take_name_hint(stat.pwcsName, name_hint_);
      CoTaskMemFree(stat.pwcsName);
      if (stat.cbSize.QuadPart > kThumbsHandlerMaxStreamBytes) {
        name_hint_[0] = '\0';
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
      }
      size_hint = stat.cbSize.QuadPart;
    }
    const HRESULT hr = read_whole_stream(stream, size_hint, &data_, &length_);
    if (FAILED(hr)) {
      name_hint_[0] = '\0';
      return hr;
    }
    initialized_ = true;
    return S_OK;
  }

  // IThumbnailProvider: cx is the longest edge wanted; the core draws 32 to
  // 2048 pixels, smaller requests are drawn at 32 and scaled down by thumbs.
  IFACEMETHODIMP GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override {
    if (!bitmap || !alpha) return E_POINTER;
    *bitmap = nullptr;
    *alpha = WTSAT_UNKNOWN;
    if (!initialized_) return E_UNEXPECTED;
    if (cx == 0) return E_INVALIDARG;
    const int32_t size =
        cx > static_cast<UINT>(kThumbsMaxSize) ? kThumbsMaxSize : static_cast<int32_t>(cx);
    const char* hint = name_hint_[0] ? name_hint_ : nullptr;
    ThumbsImage image;
    const ThumbsStatus status = thumbs_render(data_, length_, hint, size, 0, &image);
    if (status != kThumbsOk) return result_of(status);
    const HRESULT hr = dib_from_image(image, bitmap);
    thumbs_image_free(&image);
    if (SUCCEEDED(hr)) *alpha = WTSAT_ARGB;
    return hr;
  }

 private:
  ~ThumbsHandler() {
    free(data_);
    module_release();
  }

  LONG references_ = 1;
  bool initialized_ = false;
  uint8_t* data_ = nullptr;
  uint64_t length_ = 0;
  char name_hint_[2 + kMaxExtension + 1] = {};
};

}  // namespace

HRESULT thumbs_handler_create(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  ThumbsHandler* handler = new (std::nothrow) ThumbsHandler();
  if (!handler) return E_OUTOFMEMORY;
  const HRESULT hr = handler->QueryInterface(riid, ppv);
  handler->Release();
  return hr;
}
