#!/bin/bash
# Rebuilds the launcher's icon: renders orrery.obj with the thumbnail core at
# 16, 24, 32, 48, 64, 128 and 256 pixels and writes orrery.ico beside it.
#   bash launcher/art/make_icon.sh [output.ico]
# The icon is committed; run this after changing the model or the renderer.
set -euo pipefail
art="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$art/../.." && pwd)"
build="${ORRERY_ICON_BUILD:-$root/build-icon}"
out="${1:-$art/orrery.ico}"

cmake -S "$art" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target make_icon >/dev/null
"$build/make_icon" "$art/orrery.obj" "$out"
echo "wrote $out"
