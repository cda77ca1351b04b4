// What the parts of orrery-thumbs.dll share: the handler's class ID, the
// module-wide object count behind DllCanUnloadNow and the DLL's own handle.
#pragma once

#include <windows.h>

// The thumbnail handler's class, generated once and fixed for good: Explorer
// finds the handler through it in the registry.
#define ORRERY_THUMBS_CLSID_TEXT L"{161AAF23-4152-4235-9086-90E58FF25BD6}"
extern const CLSID kThumbsHandlerClsid;

// Every live object of the DLL (handlers, class factories) and every
// IClassFactory::LockServer(TRUE) holds one count; DllCanUnloadNow answers
// S_OK only at zero. Both are safe from any thread.
void module_add_ref();
void module_release();

// The DLL's own module handle, as DllMain received it.
HMODULE module_handle();
