#!/usr/bin/env bash
# Before/after comparison: builds the renderers of an earlier revision beside
# the working tree's, runs both on the real files of tests/data/corpus, the
# examples and generated meshes (noisy spheres, random soups, height fields,
# NaN and huge coordinates, in every input format and mode), and compares
# every output byte for byte (timings masked).
#
#   bash scripts/compare_outputs.sh REV [--expect TEXT ...]
#
# REV is any git revision (e.g. a commit before a change). --expect names
# cases allowed to differ (a substring of the case, such as a file name).
# Environment: COMPARE_WORK (default /tmp/orrery-compare) keeps the inputs and
# the old build between runs; NEW_BUILD (default build-compare) is where the
# working tree is built. Exits 1 when an unexpected case differs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rev=${1:?usage: compare_outputs.sh REV [--expect TEXT ...]}
shift
work=${COMPARE_WORK:-/tmp/orrery-compare}
new_build=${NEW_BUILD:-$root/build-compare}
mkdir -p "$work"

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
build_programs() {  # source folder, build folder
  cmake -S "$1" -B "$2" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DORRERY_BENCH=OFF >/dev/null
  cmake --build "$2" -j"$(nproc)" --target facetshot packshot vertexshot >/dev/null
}

commit=$(git rev-parse --verify "$rev^{commit}")
old_src="$work/old-$commit"
if [ ! -d "$old_src" ]; then
  git worktree add --detach "$old_src" "$commit" >/dev/null
fi
echo "== building $rev ($commit) and the working tree"
build_programs "$old_src" "$old_src/build"
build_programs "$root" "$new_build"

inputs="$work/in"
if [ ! -f "$inputs/.complete" ]; then
  echo "== generating inputs in $inputs"
  rm -rf "$inputs"
  mkdir -p "$inputs"
  for f in tests/data/corpus/*/* examples/*.stl examples/*.obj; do
    [ -f "$f" ] && cp "$f" "$inputs/$(basename "$(dirname "$f")")__$(basename "$f")"
  done
  gen() {  # kind triangles
    for format in binstl asciistl obj 3mf xml raw; do
      ext=$format
      case $format in binstl) ext=bin.stl ;; asciistl) ext=ascii.stl ;; esac
      python3 tests/tools/meshgen.py "$1" "$2" "$format" "$inputs/gen_$1_$2.$ext" >/dev/null
    done
  }
  gen sphere 20000
  gen sphere 300000
  gen soup 20000
  gen heightfield 100000
  gen special 2000
  touch "$inputs/.complete"
fi

echo "== comparing"
python3 scripts/compare_outputs.py "$old_src/build" "$new_build" "$work" "$@"
