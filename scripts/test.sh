#!/usr/bin/env bash
# Sets everything up, builds the Debug preset (AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs the whole test suite. Warnings are errors when CI=true.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
[ "${CI:-}" = "true" ] && export KVX_WERROR=ON
cmake --preset debug
cmake --build --preset debug -j 2
ctest --preset debug
