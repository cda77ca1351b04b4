#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them.
#
#   bash scripts/fuzz.sh --smoke                 every target, a fixed number of runs (the test command)
#   bash scripts/fuzz.sh SECONDS [TARGET ...]    each target (default: all) for SECONDS of wall time
#
# Seeds come from the real files in tests/data/corpus and small hand-made inputs
# (fuzz/make_seeds.py); what the fuzzers learn is kept in fuzz-work/corpus/,
# crashing inputs land in fuzz-work/findings/<target>/. Every file in
# fuzz/regressions/<target>/ is run first, in both modes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
corpus_dir=${ORRERY_CORPUS:-$root/tests/data/corpus}
build=${FUZZ_BUILD:-$root/build-fuzz}
work=${FUZZ_WORK:-$root/fuzz-work}

smoke=0
if [ "${1:-}" = "--smoke" ]; then
  smoke=1
  shift
else
  seconds=${1:?usage: fuzz.sh --smoke | fuzz.sh SECONDS [TARGET ...]}
  shift
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRERY_FUZZ=ON \
  -DBUILD_TESTING=OFF -DORRERY_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

rm -rf "$work/seeds"
python3 fuzz/make_seeds.py "$work/seeds" "$corpus_dir"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(stl rawstream batch zip xml number threemf obj geometry thumbs)
fi

# Per-target options: dictionaries, and room for what a hostile package may
# legitimately build: component fan-out is capped at 50,000,000 triangles, and
# a small document that reaches the cap takes over two minutes under the
# sanitizers (about 14 s in a release build), which is slow, not hung.
options_for() {
  case $1 in
    xml | threemf | zip) echo "-dict=fuzz/dict/xml.dict -rss_limit_mb=6144 -timeout=900" ;;
    obj) echo "-dict=fuzz/dict/obj.dict -timeout=60" ;;
    stl) echo "-dict=fuzz/dict/stl.dict -timeout=60" ;;
    *) echo "-timeout=60" ;;
  esac
}

# Smoke runs: a fixed number of inputs per target, sized so that all of them
# fit in a few minutes (jobs that write files or build big models run slower).
smoke_runs_for() {
  case $1 in
    batch | xml) echo 2000 ;;
    threemf) echo 500 ;;
    *) echo 20000 ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for target in "${targets[@]}"; do
  binary=$build/fuzz/${target}_fuzz
  seeds=$work/seeds/$target
  findings=$work/findings/$target
  mkdir -p "$seeds" "$findings"
  # shellcheck disable=SC2046
  read -r -a opts <<<"$(options_for "$target")"
  regressions=fuzz/regressions/$target
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    echo "== $target: regression inputs"
    "$binary" "${opts[@]}" -close_fd_mask=3 "$regressions"/* >"$work/$target.log" 2>&1 ||
      { tail -n 40 "$work/$target.log"; status=1; }
  fi
  if [ $smoke -eq 1 ]; then
    echo "== $target: smoke run"
    if ! "$binary" "${opts[@]}" -seed=1 -runs="$(smoke_runs_for "$target")" -max_len=8192 -close_fd_mask=3 \
        -artifact_prefix="$findings/" "$seeds" >"$work/$target.log" 2>&1; then
      tail -n 40 "$work/$target.log"
      status=1
    else
      tail -n 1 "$work/$target.log"
    fi
  else
    corpus=$work/corpus/$target
    mkdir -p "$corpus"
    echo "== $target: ${seconds} s"
    "$binary" "${opts[@]}" -max_total_time="$seconds" -max_len=65536 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$corpus" "$seeds" >"$work/$target.log" 2>&1 || status=1
    tail -n 12 "$work/$target.log"
  fi
done
exit $status
