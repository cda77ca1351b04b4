#!/usr/bin/env bash
# Builds the renderers and turns every mesh in examples/ into a thumbnail in
# demo/, with a gallery page demo/index.html showing each one beside its JSON.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
deps_install demo

cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DORRERY_BENCH=OFF
cmake --build build-demo -j"$(nproc)"

out=demo
rm -rf "$out"
mkdir -p "$out"
html="$out/index.html"
escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'; }
{
  echo '<!doctype html><html><head><meta charset="utf-8"><title>Orrery thumbnails</title>'
  echo '<style>body{font-family:sans-serif;background:#fafafa}figure{display:flex;gap:1em;'
  echo 'align-items:center;border-bottom:1px solid #ddd;padding:1em}pre{white-space:pre-wrap;'
  echo 'word-break:break-all;max-width:60em}</style></head><body><h1>Orrery thumbnails</h1>'
} > "$html"

for mesh in examples/*; do
  name=$(basename "$mesh")
  png="$name.png"
  case "$name" in
    *.stl|*.STL) cmd=(build-demo/facetshot/facetshot "$mesh" "$out/$png" 256 --info) ;;
    *.obj|*.OBJ) cmd=(build-demo/vertexshot/vertexshot "$mesh" "$out/$png" 256 --info) ;;
    *.3mf|*.3MF) cmd=(build-demo/packshot/packshot --render-3mf "$out/$png" 256) ;;
    *) continue ;;
  esac
  [ -x "${cmd[0]}" ] || { echo "skipping $name: ${cmd[0]} not built"; continue; }
  if [[ "$name" == *.3mf || "$name" == *.3MF ]]; then
    json=$("${cmd[@]}" < "$mesh" 2> "$out/$name.log") || true
  else
    json=$("${cmd[@]}" 2> "$out/$name.log") || true
  fi
  echo "$name: $(tail -n 1 "$out/$name.log")"
  {
    echo "<figure><img src=\"$png\" width=\"256\" height=\"256\" alt=\"$name\">"
    echo "<figcaption><h3>$name</h3><pre>$(printf '%s' "$json" | escape)</pre>"
    echo "<pre>$(escape < "$out/$name.log")</pre></figcaption></figure>"
  } >> "$html"
done
echo '</body></html>' >> "$html"
echo "Gallery: $PWD/$html"
