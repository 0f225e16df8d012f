#!/usr/bin/env bash
# Sets everything up, builds every target of the Debug preset (AddressSanitizer and
# UndefinedBehaviorSanitizer) and of the Release preset, and runs the whole test suite in each.
# Warnings are errors when CI=true.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
[ "${CI:-}" = "true" ] && export KVX_WERROR=ON
for preset in debug release; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j 2
  ctest --preset "$preset"
done
