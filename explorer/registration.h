// Per-user registration of the thumbnail handler (regsvr32 and regsvr32 /u):
// its class under HKCU\Software\Classes\CLSID and the thumbnail handler slot
// of .stl, .3mf and .obj, all below HKCU, so no administrator rights are needed.
#pragma once

#include <windows.h>

// Writes every row of the registration table, top to bottom, then tells the
// shell that associations changed. A handler another program had put in one
// of the extensions' slots is replaced and remembered below the class key,
// for registration_unregister to put back. On failure the registration is
// removed again. Returns S_OK or the first failure as an HRESULT.
HRESULT registration_register();

// Undoes the table bottom to top: deletes the values written; empties an
// extension's handler slot only while it still names this class (putting
// back the handler it replaced, if any), so another program's registration
// stays; then removes every key left without values and subkeys, up to but
// not including HKCU\Software\Classes and its CLSID key; then tells the
// shell. Returns S_OK, also when nothing was registered, or the first
// failure as an HRESULT.
HRESULT registration_unregister();
