#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking libkvx needs.
# Idempotent; run as root (or with sudo) on Debian 12.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config git clang-format
  libboost-iostreams-dev libboost-filesystem-dev libzstd-dev
  libmeshoptimizer-dev libeigen3-dev libcli11-dev libassimp-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  admesh assimp-utils
  python3-dev pybind11-dev python3-numpy python3-pytest python3-meshio python3-stl
  python3-dask python3-distributed
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "setup: installed ${missing[*]}"
