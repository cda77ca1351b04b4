// Where the Windows tests find their programs, and how they start them under
// Wine.
//
// Settings (environment variables, set by scripts/test_windows.sh):
//   ORRERY_MINGW_BUILD   the cross build folder (the .exe files and helpers)
//   ORRERY_NATIVE_BUILD  the native build folder (the Linux programs)
//   ORRERY_SOURCE_DIR    the source tree; ORRERY_CORPUS_DIR the real meshes
//   WINEPREFIX           a throwaway Wine prefix, created before the run
#pragma once

#include <string>
#include <vector>

#include "support/run.h"

std::string env_or(const char* name, const std::string& fallback);
std::string source_path(const std::string& relative);

// The cross-built program (orrery, facetshot, packshot, vertexshot or one of
// the test helpers orrery-core and spawn). Empty when its directory is not in
// the source tree yet; a program that is in the tree but was not built is a
// test failure.
std::string mingw_exe(const std::string& program);

// The natively built renderer, same rules.
std::string native_exe(const std::string& program);

// Runs a Windows program under Wine with WINEDEBUG=-all unless the options
// set it; the Unix exit status is the low byte of the Windows exit code.
RunResult run_wine(const std::string& exe, const std::vector<std::string>& args,
                   const RunOptions& options = RunOptions());

// The Windows name Wine gives a Unix path (drive Z: is the Unix root).
std::string windows_path(const std::string& unix_path);
