#!/usr/bin/env bash
# Builds and runs every test, with the normal build and with the sanitizer build.
# Usage: scripts/test.sh [default|asan]...   (both when none is given)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
presets=("$@"); [ ${#presets[@]} -eq 0 ] && presets=(default asan)
extra=(); [ "${CI:-}" = "true" ] && extra=(-DFTDISK_WERROR=ON)
for p in "${presets[@]}"; do
  echo "=== preset $p"
  cmake --preset "$p" -G Ninja "${extra[@]}" >/dev/null
  cmake --build --preset "$p" -j"$(nproc)"
  ctest --preset "$p" -j"$(nproc)"
done
