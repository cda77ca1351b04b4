#!/usr/bin/env bash
# Builds everything and runs every test: unit and end-to-end tests natively,
# the single-file end-to-end cases again under valgrind memcheck, the whole
# suite again under AddressSanitizer/UndefinedBehaviorSanitizer, a smoke run
# of every fuzz target, then the Windows cross build with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
deps_install test

jobs=$(nproc)
started=$(date +%s)

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs" --timeout 600

echo "== valgrind memcheck over the single-file end-to-end cases"
valgrind_logs=$(mktemp -d)
if ! VALGRIND_LOG_DIR="$valgrind_logs" ORRERY_RUNNER="$PWD/scripts/valgrind_run.sh" \
    build/tests/e2e_tests --gtest_brief=1 \
    --gtest_filter='FacetshotCli.*:VertexshotE2E.*:Packshot*:Hostile*:Thumbnailer.*:-*Corpus*:*CutAtEveryByte*:*Lib3mf*:*OpaqueEqualsEachRenderer*'; then
  find "$valgrind_logs" -type f -size +0 -exec cat {} +
  exit 1
fi
rm -rf "$valgrind_logs"

echo "== sanitizer build and tests"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRERY_SANITIZE=ON -DORRERY_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j"$jobs" --timeout 900

echo "== fuzz smoke runs"
bash scripts/fuzz.sh --smoke

if [ -f scripts/test_windows.sh ]; then
  echo "== Windows cross build and tests under Wine"
  NATIVE_BUILD="$PWD/build" bash scripts/test_windows.sh
fi

echo "== all tests passed in $(( $(date +%s) - started )) s"
