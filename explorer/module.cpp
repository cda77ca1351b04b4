// orrery-thumbs.dll: DllMain, the class factory, the module-wide object count
// and the four exports (orrery-thumbs.def) a COM in-process server has.
#include "module.h"

#include <new>

#include "registration.h"
#include "thumbs_handler.h"

const CLSID kThumbsHandlerClsid = {
    0x161aaf23, 0x4152, 0x4235, {0x90, 0x86, 0x90, 0xe5, 0x8f, 0xf2, 0x5b, 0xd6}};

namespace {

LONG g_objects = 0;
HMODULE g_module = nullptr;

class ClassFactory final : public IClassFactory {
 public:
  ClassFactory() { module_add_ref(); }

  // IUnknown
  IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      AddRef();
      *ppv = static_cast<IClassFactory*>(this);
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

  // IClassFactory
  IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return thumbs_handler_create(riid, ppv);
  }
  IFACEMETHODIMP LockServer(BOOL lock) override {
    if (lock) {
      module_add_ref();
    } else {
      module_release();
    }
    return S_OK;
  }

 private:
  ~ClassFactory() { module_release(); }

  LONG references_ = 1;
};

}  // namespace

void module_add_ref() {
  InterlockedIncrement(&g_objects);
}

void module_release() {
  InterlockedDecrement(&g_objects);
}

HMODULE module_handle() {
  return g_module;
}

// Thread notifications stay on: the statically linked runtime may need them.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
  if (reason == DLL_PROCESS_ATTACH) g_module = instance;
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(clsid, kThumbsHandlerClsid)) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new (std::nothrow) ClassFactory();
  if (!factory) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

STDAPI DllCanUnloadNow() {
  return InterlockedCompareExchange(&g_objects, 0, 0) == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  return registration_register();
}

STDAPI DllUnregisterServer() {
  return registration_unregister();
}
