#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the peer
# comparison need, when missing.
# Usage: source scripts/deps.sh [demo|test|peers]
deps_install() {
  local want=(build-essential cmake pkg-config zlib1g-dev libpng-dev python3)
  if [ "${1:-test}" = test ]; then
    want+=(libgtest-dev libgmock-dev libbenchmark-dev lib3mf-dev
           g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev
           wine wine64 clang libclang-rt-14-dev valgrind parallel
           bubblewrap gir1.2-gnomedesktop-3.0 python3-gi)
  elif [ "${1:-test}" = peers ]; then
    want+=(ninja-build libgtest-dev libgmock-dev libbenchmark-dev lib3mf-dev parallel
           f3d xvfb xauth admesh assimp-utils openscad hyperfine)
  fi
  local missing=()
  for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
