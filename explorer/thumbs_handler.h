// The Explorer thumbnail handler: one COM class with IInitializeWithStream
// (the file's bytes) and IThumbnailProvider (the picture, drawn by thumbs).
#pragma once

#include <windows.h>

#include <cstdint>

// Initialize refuses larger streams (HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE)).
// The handler keeps the whole file in memory while the mesh is built beside
// it (a binary STL peaks at about twice the file), in the one surrogate process where Explorer may draw several
// files at once; the Linux thumbnailer, a process per file, takes twice as
// much (kThumbsMaxFileBytes).
constexpr uint64_t kThumbsHandlerMaxStreamBytes = 268435456;  // 256 MiB

// Makes a handler object and asks it for riid. Returns the QueryInterface
// result (*ppv set and holding one reference), or E_OUTOFMEMORY with *ppv
// null. The caller owns the reference.
HRESULT thumbs_handler_create(REFIID riid, void** ppv);
