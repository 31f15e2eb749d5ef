#!/usr/bin/env bash
# Builds the project and runs the demo session on a fresh demo machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default -G Ninja >/dev/null
cmake --build --preset default -j"$(nproc)" --target ftdiskctl ftdisk
exec build/ftdiskctl demo "${1:-demo-machine}"
