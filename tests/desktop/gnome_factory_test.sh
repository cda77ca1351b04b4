#!/usr/bin/env bash
# The freedesktop thumbnailer through a real consumer: installs the build
# into a throwaway prefix under /usr/local (the sandbox mounts only system
# folders), asks GNOME's thumbnail factory for thumbnails of STL, 3MF and OBJ
# files (gnome_factory.py), and removes the prefix again, also on failure.
# Exits 77 (skipped) when it cannot run: no system python3 with GnomeDesktop
# 3.0 and gi, no bubblewrap, or neither root nor sudo without a password.
#   gnome_factory_test.sh BUILD_DIR CORPUS_DIR
set -uo pipefail
build="$1"
corpus="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
python=/usr/bin/python3

skip() {
  echo "SKIP: $1"
  exit 77
}
[ -x "$python" ] || skip "no $python"
command -v bwrap >/dev/null || skip "no bubblewrap (Debian: bubblewrap)"
"$python" -c 'import gi; gi.require_version("GnomeDesktop", "3.0"); from gi.repository import GnomeDesktop' \
  2>/dev/null || skip "no GnomeDesktop 3.0 for $python (Debian: gir1.2-gnomedesktop-3.0, python3-gi)"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo -n true 2>/dev/null || skip "installing under /usr/local needs root or sudo without a password"
  sudo=(sudo -n)
fi

prefix="$("${sudo[@]}" mktemp -d /usr/local/orrery-test-XXXXXX)" || exit 1
work="$(mktemp -d)"
cleanup() {
  "${sudo[@]}" rm -rf -- "$prefix"
  rm -rf -- "$work"
}
trap cleanup EXIT
"${sudo[@]}" chmod 755 "$prefix"
if ! "${sudo[@]}" cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi
thumbnailer="$prefix/share/thumbnailers/orrery.thumbnailer"
if ! grep -qx "Exec=$prefix/bin/orrery-thumbnailer %i %o %s" "$thumbnailer" ||
  ! grep -qx "TryExec=$prefix/bin/orrery-thumbnailer" "$thumbnailer"; then
  cat "$thumbnailer"
  echo "FAIL: $thumbnailer does not name the installed program"
  exit 1
fi

printf 'solid broken\nfacet normal 0 0 1\n  outer loop\n    vertex 1 2\n' >"$work/broken.stl"
head -c 200 /dev/urandom >>"$work/broken.stl"
mkdir -p "$work/home"
env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_DATA_DIRS="$prefix/share:/usr/share" \
  "$python" "$here/gnome_factory.py" "$work/broken.stl" \
  "model/stl=$corpus/stl/trimesh__torus.STL" \
  "model/stl=$corpus/stl/trimesh__multibody.stl" \
  "model/3mf=$corpus/3mf/samples__core_cube_gears.3mf" \
  "model/obj=$corpus/obj/trimesh__rabbit.obj"
