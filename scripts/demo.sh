#!/usr/bin/env bash
# The main job: sets everything up, builds the kvx tool (Release), and sends the sample mesh
# through pack, info and unpack, then checks that what comes out is what went in.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# Its own build folder, so the release preset's settings stay as they are.
cmake --preset release -B build/demo -DKVX_BUILD_TESTS=OFF -DKVX_BUILD_BENCH=OFF \
      -DKVX_BUILD_FUZZ=OFF >/dev/null
cmake --build build/demo -j 2 --target kvx_cli kvx-sfx-stub

kvx=build/demo/tools/kvx
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample=samples/torus.stl

echo "== kvx pack $sample --colors"
"$kvx" pack "$sample" -o "$work/torus.kvx" --colors
echo "== kvx info"
"$kvx" info "$work/torus.kvx"
echo "== kvx verify"
"$kvx" verify "$work/torus.kvx"
echo "== kvx unpack --colors (STL, and PLY)"
"$kvx" unpack "$work/torus.kvx" -o "$work/stl" --colors
"$kvx" unpack "$work/torus.kvx" -o "$work/ply" --colors --format ply
echo "== compare with the original (every triangle, its orientation and its colour)"
"$kvx" compare "$sample" "$work/stl/torus.stl" --colors
"$kvx" compare "$sample" "$work/ply/torus.ply" --colors
echo "main job: the sample mesh came back unchanged"
