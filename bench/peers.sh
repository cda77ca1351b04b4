#!/usr/bin/env bash
# Speed beside peer tools, in one run on this machine: builds the renderers,
# generates the inputs, times ours and the peers' commands in interleaved
# rounds and prints one table of medians and ratios. Not part of the tests:
# it installs extra packages, needs about 1 GB of disk and some minutes.
#
#   bash bench/peers.sh [ROUNDS]          (default 7, plus one warm-up round)
#
# Inputs (made once, kept in PEERS_WORK, default /tmp/orrery-peers): the noisy
# sphere of tests/tools/meshgen.py with 1,000,000 triangles as binary STL,
# ASCII STL and OBJ (quads), OpenSCAD's 3MF export of sphere(r=40,$fn=1000)
# (999,996 triangles, a ZIP64 package), and the same sphere with 288 triangles
# listed 300 times as batch jobs. Peers: f3d under Xvfb (render to PNG at 256),
# admesh (read and report), assimp info, and lib3mf reading the package and
# counting its triangles (tests/tools/lib3mf_count.cpp). BUILD (default
# build-peers) is the Release build used.
#
# Each round runs every command once, in a fixed order, with hyperfine, each
# right after one untimed run of itself: on a virtual machine, memory that a
# large process has just released can cost microseconds a page to touch again,
# which would make each command's time depend on the one before it. A
# command that fails in the warm-up round is reported as failing and not
# timed. The orientation row is orient_bench's own figure for the
# 2,000,000-triangle noisy sphere, one run per round.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
rounds=${1:-7}
work=${PEERS_WORK:-/tmp/orrery-peers}
build=${BUILD:-$root/build-peers}

source scripts/deps.sh
deps_install peers

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" \
  --target facetshot vertexshot packshot orient_bench lib3mf_count >/dev/null

mkdir -p "$work/out" "$work/rounds"
cd "$work"
gen() {  # triangles format file
  [ -f "$3" ] || python3 "$root/tests/tools/meshgen.py" sphere "$1" "$2" "$3.part" >/dev/null
  [ -f "$3" ] || mv "$3.part" "$3"
}
echo "== inputs in $work"
gen 1000000 binstl sphere1m.stl
gen 1000000 asciistl sphere1m_ascii.stl
gen 1000000 obj sphere1m.obj
gen 288 binstl small.stl
if [ ! -f sphere.3mf ]; then
  echo 'sphere(r=40,$fn=1000);' >big.scad
  openscad -q -o sphere.3mf.part.3mf big.scad
  mv sphere.3mf.part.3mf sphere.3mf
fi
for i in $(seq 1 300); do printf '%s\t%s\n' "$work/small.stl" "$work/out/batch_$i.png"; done >jobs.txt

# A display of our own for f3d, on the first free number from 90.
display=90
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null || true' EXIT
sleep 1

fs=$build/facetshot/facetshot
vs=$build/vertexshot/vertexshot
ps=$build/packshot/packshot
f3d="DISPLAY=:$display f3d --resolution=256,256"
# label, command; the order is the order within each round.
commands=(
  ours_binstl "$fs sphere1m.stl out/binstl.png"
  f3d_binstl "$f3d --output=out/f3d_binstl.png sphere1m.stl"
  ours_asciistl "$fs sphere1m_ascii.stl out/asciistl.png"
  f3d_asciistl "$f3d --output=out/f3d_asciistl.png sphere1m_ascii.stl"
  admesh_asciistl "admesh sphere1m_ascii.stl"
  ours_obj "$vs sphere1m.obj out/obj.png"
  f3d_obj "$f3d --output=out/f3d_obj.png sphere1m.obj"
  assimp_obj "assimp info sphere1m.obj"
  ours_3mf "$ps --render-3mf out/3mf.png <sphere.3mf"
  lib3mf_3mf "$build/tests/lib3mf_count sphere.3mf"
  batch_1 "$fs --batch <jobs.txt"
  batch_2 "parallel --will-cite --pipe --round-robin -N 25 -j 2 $fs --batch <jobs.txt"
)

echo "== warm-up round"
: >failing.txt
timed=()
for ((i = 0; i < ${#commands[@]}; i += 2)); do
  label=${commands[i]} cmd=${commands[i + 1]}
  if bash -c "$cmd" >/dev/null 2>"out/$label.err"; then
    timed+=(-n "$label" "$cmd")
  else
    printf '%s\texit %s: %s\n' "$label" "$?" "$(head -c 200 "out/$label.err" | head -n 1)" \
      >>failing.txt
  fi
done
"$build/bench/orient_bench" --benchmark_filter='^BM_OrientNoisySphere2M' >/dev/null 2>&1

for ((r = 1; r <= rounds; r++)); do
  echo "== round $r of $rounds"
  hyperfine --style none --warmup 1 --runs 1 --export-json "rounds/$r.json" "${timed[@]}" >/dev/null
  "$build/bench/orient_bench" --benchmark_filter='^BM_OrientNoisySphere2M' \
    --benchmark_format=json >"rounds/orient_$r.json" 2>/dev/null
done

python3 - "$rounds" "$build" <<'PY'
import datetime, glob, json, os, platform, statistics, subprocess, sys

rounds = int(sys.argv[1])
times = {}
for r in range(1, rounds + 1):
    for result in json.load(open(f"rounds/{r}.json"))["results"]:
        times.setdefault(result["command"], []).extend(result["times"])
orient = []
for r in range(1, rounds + 1):
    for b in json.load(open(f"rounds/orient_{r}.json"))["benchmarks"]:
        orient.append(b["real_time"] / 1000.0)  # reported in milliseconds
failing = dict(line.rstrip("\n").split("\t", 1) for line in open("failing.txt") if "\t" in line)

def median(label):
    return statistics.median(times[label]) if label in times else None

def seconds(label):
    if label in failing:
        return "fails (" + failing[label] + ")"
    return "%.3f s" % median(label)

def ratio(ours, peer):
    a, b = median(ours), median(peer)
    return "%.1fx" % (b / a) if a and b else "-"

def met(ok):
    return "yes" if ok else "no"

cpu = "unknown CPU"
for line in open("/proc/cpuinfo"):
    if line.startswith("model name"):
        cpu = line.split(":", 1)[1].strip()
        break
print()
print("Measured %s on %s, %d cores, Linux %s; medians of %d interleaved rounds, size 256, "
      "default budget." % (datetime.date.today().isoformat(), cpu, os.cpu_count(),
                           platform.release(), rounds))
print()
print("| input | ours | peers, same run | ours faster by | goal | met |")
print("|---|---|---|---|---|---|")
rows = [
    ("binary STL, 1,000,000 triangles (50 MB)", "ours_binstl", [("f3d", "f3d_binstl")], 10),
    ("ASCII STL, same mesh (194 MB)", "ours_asciistl",
     [("f3d", "f3d_asciistl"), ("admesh", "admesh_asciistl")], 8),
    ("OBJ, 1,000,000 triangles as quads (32 MB)", "ours_obj",
     [("f3d", "f3d_obj"), ("assimp info", "assimp_obj")], 10),
    ("3MF, 999,996 triangles, written by OpenSCAD (ZIP64)", "ours_3mf",
     [("lib3mf read and count", "lib3mf_3mf")], 2.5),
]
for name, ours, peers, goal in rows:
    peer_text = "; ".join("%s %s" % (p, seconds(l)) for p, l in peers)
    ratios = "; ".join(ratio(ours, l) for _, l in peers)
    first = peers[0]
    ok = median(ours) and median(first[1]) and median(first[1]) / median(ours) >= goal
    print("| %s | %s | %s | %s | at least %gx %s | %s |" %
          (name, seconds(ours), peer_text, ratios, goal, first[0], met(ok)))
for label, name, goal in (("batch_1", "batch of 300 small STL files (288 triangles), one process", 400),
                          ("batch_2", "the same batch through GNU parallel, 2 workers", None)):
    if label in failing or label not in times:
        print("| %s | %s | - | - | - | - |" % (name, seconds(label)))
        continue
    rate = 300 / median(label)
    goal_text = "at least %d files/s on one core" % goal if goal else "-"
    print("| %s | %.0f files/s | - | - | %s | %s |" %
          (name, rate, goal_text, met(rate >= goal) if goal else "-"))
o = statistics.median(orient)
print("| orientation alone, 2,000,000-triangle noisy sphere (orient_bench) | %.3f s | - | - | "
      "under 0.15 s | %s |" % (o, met(o < 0.15)))
PY
