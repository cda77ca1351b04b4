#!/bin/bash
# Windows deliverables: cross-builds the four programs with mingw-w64, checks
# their imports, resources, icon and install folder, and runs the launcher and
# the renderers under Wine (throwaway prefix, no display needed), comparing
# the renderers' output with the native Linux build's.
#
#   bash scripts/test_windows.sh [native build folder]
#
# The native build folder (default: $ORRERY_NATIVE_BUILD or $NATIVE_BUILD,
# else build/) holds the Linux programs to compare with; they are built there
# when missing.
# Environment: ORRERY_CORPUS_DIR (default tests/data/corpus). Exits non-zero
# when any check fails; the last line is the summary.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cross="$root/build-mingw"
native="${1:-${ORRERY_NATIVE_BUILD:-${NATIVE_BUILD:-$root/build}}}"
corpus="${ORRERY_CORPUS_DIR:-$root/tests/data/corpus}"
passed=0
failed=0
failures=()

pass() {
  passed=$((passed + 1))
  echo "PASS: $1"
}
fail() {
  failed=$((failed + 1))
  failures+=("$1")
  echo "FAIL: $1"
}
summary() {
  for f in "${failures[@]+"${failures[@]}"}"; do echo "  failed: $f"; done
  echo "windows: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# --- tools -------------------------------------------------------------------
packages=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64)
if ! command -v x86_64-w64-mingw32-g++ >/dev/null || ! command -v x86_64-w64-mingw32-windres >/dev/null ||
  [ ! -f /usr/x86_64-w64-mingw32/lib/libz.a ] || ! command -v wine >/dev/null; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing ${packages[*]}"
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
    --no-install-recommends "${packages[@]}" >/dev/null
fi
for tool in x86_64-w64-mingw32-g++ x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump wine wineboot wineserver cmake; do
  if ! command -v "$tool" >/dev/null; then
    fail "tool $tool is missing"
    summary
    exit 1
  fi
done
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# --- cross build -------------------------------------------------------------
mkdir -p "$cross"
if cmake -S "$root" -B "$cross" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DORRERY_WINE_TEST_HELPERS=ON >"$cross/configure.log" 2>&1 &&
  cmake --build "$cross" -j2 >"$cross/build.log" 2>&1; then
  pass "cross build (build-mingw)"
else
  cat "$cross/configure.log" "$cross/build.log" 2>/dev/null | tail -40
  fail "cross build (build-mingw)"
  summary
  exit 1
fi

# Programs whose folder is in the tree must have been built.
exes=("$cross/launcher/orrery.exe")
for program in facetshot packshot vertexshot; do
  [ -f "$root/$program/CMakeLists.txt" ] && exes+=("$cross/$program/$program.exe")
done

# Only DLLs every Windows has: no compiler runtime, no zlib1.dll.
system_dlls=" kernel32.dll user32.dll msvcrt.dll advapi32.dll shell32.dll ntdll.dll "
for exe in "${exes[@]}"; do
  name="$(basename "$exe")"
  if [ ! -f "$exe" ]; then
    fail "$name was not built"
    continue
  fi
  foreign=""
  for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p'); do
    lower="$(echo "$dll" | tr 'A-Z' 'a-z')"
    [[ "$system_dlls" == *" $lower "* ]] || foreign="$foreign $dll"
  done
  if [ -z "$foreign" ]; then pass "$name needs no DLL beyond the system's"; else fail "$name imports$foreign"; fi
done

# The Explorer thumbnail handler also draws with GDI and speaks COM; it must
# export exactly the four functions of a COM in-process server.
handler_dll="$cross/explorer/orrery-thumbs.dll"
if [ -f "$root/explorer/CMakeLists.txt" ]; then
  if [ ! -f "$handler_dll" ]; then
    fail "orrery-thumbs.dll was not built"
  else
    handler_system=" kernel32.dll msvcrt.dll advapi32.dll shell32.dll ole32.dll gdi32.dll "
    foreign=""
    for dll in $(x86_64-w64-mingw32-objdump -p "$handler_dll" | sed -n 's/^\s*DLL Name: //p'); do
      lower="$(echo "$dll" | tr 'A-Z' 'a-z')"
      [[ "$handler_system" == *" $lower "* ]] || foreign="$foreign $dll"
    done
    if [ -z "$foreign" ]; then
      pass "orrery-thumbs.dll needs no DLL beyond the system's"
    else
      fail "orrery-thumbs.dll imports$foreign"
    fi
    exports="$(x86_64-w64-mingw32-objdump -p "$handler_dll" |
      sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')"
    if [ "$exports" == "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]; then
      pass "orrery-thumbs.dll exports the four COM server functions only"
    else
      fail "orrery-thumbs.dll exports: $exports"
    fi
  fi
fi

# --- icon: the committed file is what the tool renders from the model -------
icon_build="$cross/icon-tool"
if cmake -S "$root/launcher/art" -B "$icon_build" "${generator[@]}" >"$icon_build.log" 2>&1 &&
  cmake --build "$icon_build" -j2 >>"$icon_build.log" 2>&1 &&
  "$icon_build/make_icon" "$root/launcher/art/orrery.obj" "$icon_build/orrery.ico" >>"$icon_build.log" 2>&1 &&
  cmp -s "$icon_build/orrery.ico" "$root/launcher/art/orrery.ico"; then
  pass "launcher/art/orrery.ico matches a fresh render of orrery.obj"
else
  tail -20 "$icon_build.log"
  fail "launcher/art/orrery.ico is out of date (run launcher/art/make_icon.sh)"
fi

# --- install folder ----------------------------------------------------------
handler_file=""
[ -f "$root/explorer/CMakeLists.txt" ] && handler_file=$'\napp/orrery-thumbs.dll'
expected=$'app\napp/facetshot.exe'"$handler_file"$'\napp/packshot.exe\napp/vertexshot.exe\ndata\norrery.exe'
stage="$(mktemp -d)"
if cmake --install "$cross" --prefix "$stage/Orrery" >/dev/null 2>&1; then
  got="$(cd "$stage/Orrery" && find . -mindepth 1 | sed 's|^\./||' | sort)"
  if [ "$got" == "$expected" ]; then
    pass "install folder: orrery.exe, app\\ with the three renderers${handler_file:+ and the thumbnail handler}, empty data\\"
  else
    fail "install folder layout:"$'\n'"$got"
  fi
else
  fail "cmake --install"
fi
rm -rf "$stage"
# The zip package holds the same files.
rm -f "$cross"/Orrery-*-win64.zip
if (cd "$cross" && cpack -G ZIP >"$cross/cpack.log" 2>&1); then
  zip_file="$(ls "$cross"/Orrery-*-win64.zip | head -1)"
  got="$(python3 -c 'import sys, zipfile
print("\n".join(n.rstrip("/") for n in zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip_file" | sort)"
  if [ "$got" == "$expected" ]; then
    pass "zip package $(basename "$zip_file"): the install folder's files"
  else
    fail "zip package layout:"$'\n'"$got"
  fi
else
  tail -20 "$cross/cpack.log"
  fail "cpack"
fi

# --- native programs to compare with -----------------------------------------
if [ ! -f "$native/CMakeCache.txt" ]; then
  native="$root/build-windows-native"
  cmake -S "$root" -B "$native" "${generator[@]}" -DBUILD_TESTING=OFF -DORRERY_BENCH=OFF >/dev/null 2>&1
fi
native="$(cd "$native" 2>/dev/null && pwd || echo "$native")"
targets=()
for program in facetshot packshot vertexshot; do
  [ -f "$root/$program/CMakeLists.txt" ] && targets+=("$program")
done
# The thumbnail handler's pictures are compared with the Linux thumbnailer's.
[ -f "$root/thumbnailer/CMakeLists.txt" ] && targets+=(orrery-thumbnailer)
if cmake --build "$native" -j2 --target "${targets[@]}" >"$cross/native.log" 2>&1; then
  pass "native programs in $native"
else
  tail -20 "$cross/native.log"
  fail "native programs in $native"
fi

# --- Wine: one throwaway prefix for the whole run ----------------------------
wine_home="$(mktemp -d)"
export WINEPREFIX="$wine_home/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no Mono or Gecko prompts
export WINEARCH=win64
# Wine maps Unix file names through the locale's character set; without a
# UTF-8 locale (a bare CI environment) non-ASCII folder names cannot be opened.
export LC_ALL=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY # the programs and the error box need no display
cleanup() {
  WINEPREFIX="$wine_home/prefix" wineserver -k >/dev/null 2>&1
  rm -rf "$wine_home"
}
trap cleanup EXIT
if timeout 600 wineboot -i >"$wine_home/boot.log" 2>&1 && timeout 120 wineserver -w; then
  pass "wine prefix created without a display"
else
  tail -20 "$wine_home/boot.log"
  fail "wine prefix"
  summary
  exit 1
fi
wineserver -p 60 >/dev/null 2>&1 # keep one server for the whole run
# Once, the first program started in a fresh prefix could not start its own
# child (CreateProcessW failed in the launcher test): let one program start a
# child before the tests do.
timeout 120 wine cmd.exe /c "cmd.exe /c exit 0" >/dev/null 2>&1 || true

tests_build="$cross/wine-tests"
if cmake -S "$root/tests/wine" -B "$tests_build" "${generator[@]}" >"$tests_build.log" 2>&1 &&
  cmake --build "$tests_build" -j2 >>"$tests_build.log" 2>&1; then
  pass "windows_tests built"
else
  tail -30 "$tests_build.log"
  fail "windows_tests build"
  summary
  exit 1
fi

log="$cross/windows_tests.log"
ORRERY_MINGW_BUILD="$cross" ORRERY_NATIVE_BUILD="$native" ORRERY_CORPUS_DIR="$corpus" \
  ORRERY_SOURCE_DIR="$root" timeout 1800 "$tests_build/windows_tests" --gtest_color=no >"$log" 2>&1
status=$?
ok=$(grep -c '^\[       OK \]' "$log")
bad=$(grep -c '^\[  FAILED  \] .*([0-9]* ms)$' "$log")
skipped=$(grep -c '^\[  SKIPPED \] .*([0-9]* ms)$' "$log")
grep -E '^\[ +(OK|FAILED|SKIPPED) +\] .*\([0-9]+ ms\)$' "$log" | sed 's/^/  /'
passed=$((passed + ok))
failed=$((failed + bad))
if [ "$bad" -gt 0 ]; then
  grep -B2 -A12 'Failure$' "$log" | head -150
  while read -r name; do failures+=("$name"); done < <(sed -n 's/^\[  FAILED  \] \(.*\) ([0-9]* ms)$/\1/p' "$log")
fi
if [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then
  tail -20 "$log"
  fail "windows_tests ended with status $status"
fi
[ "$skipped" -gt 0 ] && echo "($skipped skipped: program not in the tree)"
summary
