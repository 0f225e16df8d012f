#!/usr/bin/env bash
# Builds the Release preset and runs the mesh-codec benchmark (binary STL, meshoptimizer + zstd,
# Draco and MStlCompressor on a generated mesh and on assimp's test models).
# Installs the benchmark-only Debian packages when missing; idempotent, as root or with sudo.
# Extra arguments go to the benchmark, e.g. --benchmark_filter=Sphere.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

packages=(libdraco-dev libassimp-dev assimp-testmodels)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake --preset release
cmake --build --preset release -j 2 --target kvx_bench_mesh
./build/release/bench/kvx_bench_mesh --benchmark_counters_tabular=true "$@"
