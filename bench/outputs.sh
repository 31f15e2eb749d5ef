#!/usr/bin/env bash
# What a build prints for a set of machines, for comparing two builds byte for byte:
# `show --json`, `show -v`, `menus --json` and `alerts` of each machine, run on a fresh
# copy of it (so that a command that writes does not change what the next run sees),
# always at the same path (the JSON names the machine directory).
#
#   bench/outputs.sh BUILD_DIR OUT_DIR MACHINE_DIR...
#   diff -r OUT_BEFORE OUT_AFTER
set -euo pipefail

[ $# -ge 3 ] || { echo "usage: $0 BUILD_DIR OUT_DIR MACHINE_DIR..." >&2; exit 2; }
ftdiskctl=$(realpath "$1/ftdiskctl")
out=$2
shift 2
mkdir -p "$out"
work=${TMPDIR:-/tmp}/ftdisk-outputs-run

for machine in "$@"; do
  name=$(basename "$machine")
  for cmd in "show --json" "show -v" "menus --json" "alerts"; do
    rm -rf "$work"
    cp -a "$machine" "$work"
    rm -f "$work/machine.lock"
    file="$out/$name.${cmd// /_}"
    # shellcheck disable=SC2086 # the command is words on purpose
    "$ftdiskctl" -m "$work" $cmd >"$file" 2>&1 || echo "exit status $?" >>"$file"
  done
done
rm -rf "$work"
