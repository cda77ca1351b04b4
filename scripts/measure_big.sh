#!/usr/bin/env bash
# Generates big inputs and reports the wall time and peak memory of each
# renderer and of the thumbnailer at size 256 with the default budget. Not
# part of the tests: it needs about 3 GB of disk and a few minutes.
#
#   bash scripts/measure_big.sh [TRIANGLES_STL] [FACES_OBJ] [TRIANGLES_3MF]
#
# Defaults: 10,000,000 (binary and ASCII STL), 5,000,000, 5,000,000.
set -euo pipefail
cd "$(dirname "$0")/.."
stl=${1:-10000000}
obj=${2:-5000000}
threemf=${3:-5000000}
build=${BUILD:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target facetshot vertexshot packshot orrery-thumbnailer make_big_mesh >/dev/null
if [ -n "${BIG_WORK:-}" ]; then
  work=$BIG_WORK  # kept afterwards
  mkdir -p "$work"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
gen=$build/tests/make_big_mesh
echo "generating inputs in $work"
"$gen" stl-binary "$stl" "$work/big.stl"
"$gen" stl-ascii "$stl" "$work/big_ascii.stl"
"$gen" obj "$obj" "$work/big.obj"
echo "model XML bytes: $("$gen" 3mf "$threemf" "$work/big.3mf")"
ls -l "$work"

# Wall time and peak resident memory of one run (from the kernel's rusage).
measure() {
  local label=$1 input=$2
  shift 2
  python3 - "$label" "$input" "$@" <<'PY'
import resource, subprocess, sys, time
label, stdin_path, cmd = sys.argv[1], sys.argv[2], sys.argv[3:]
stdin = open(stdin_path, "rb") if stdin_path != "-" else subprocess.DEVNULL
start = time.monotonic()
rc = subprocess.run(cmd, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
wall = time.monotonic() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(f"{label:44s} exit {rc.returncode}  {wall:7.2f} s  peak {peak / 1024:8.1f} MiB")
if rc.returncode != 0:
    print(rc.stderr.decode(errors="replace"))
PY
}
measure "facetshot binary STL ($stl triangles)" - "$build/facetshot/facetshot" "$work/big.stl" "$work/a.png"
measure "facetshot ASCII STL ($stl triangles)" - "$build/facetshot/facetshot" "$work/big_ascii.stl" "$work/b.png"
measure "vertexshot OBJ ($obj faces)" - "$build/vertexshot/vertexshot" "$work/big.obj" "$work/c.png"
measure "packshot 3MF ($threemf triangles)" "$work/big.3mf" "$build/packshot/packshot" --render-3mf "$work/d.png"
# The thumbnailer reads the whole file into memory (the ASCII STL is over its
# 512 MiB limit and is refused).
thumb=$build/thumbnailer/orrery-thumbnailer
measure "orrery-thumbnailer binary STL" - "$thumb" "$work/big.stl" "$work/e.png"
measure "orrery-thumbnailer OBJ" - "$thumb" "$work/big.obj" "$work/f.png"
measure "orrery-thumbnailer 3MF" - "$thumb" "$work/big.3mf" "$work/g.png"
