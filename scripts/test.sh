#!/usr/bin/env bash
# Builds and runs the whole test suite under each preset named (default: release).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=("$@")
((${#presets[@]})) || presets=(release)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
