#!/usr/bin/env bash
# What a build prints for a set of machines, for comparing two builds byte for byte:
# every reading command in text and JSON, a rescan, and a shell session of requests
# (create, active, letters, delete, rescan, menus) on one boot. Each command runs on a
# fresh copy of the machine (so that a command that writes does not change what the
# next run sees), always at the same path (the JSON names the machine directory); the
# times of alerts and backups made by the session are masked.
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

commands=("show" "show --json" "show -v" "show --bytes" "layout" "--json layout" "check" "--json check"
  "menus" "menus --json" "registry show" "--json registry show" "alerts" "--json alerts" "backups"
  "rescan" "--json rescan" "shell")
session='create primary --disk 0 --size 4M
active disk0/p1
letter disk0/p1 --remove
letter disk0/p1 T:
letter disk1/p1 --remove
letter disk1/p1 T:
delete disk0/p5
rescan
menus --json
show -v
alerts'

for machine in "$@"; do
  name=$(basename "$machine")
  for cmd in "${commands[@]}"; do
    rm -rf "$work"
    cp -a "$machine" "$work"
    rm -f "$work/machine.lock"
    file="$out/$name.${cmd// /_}"
    # shellcheck disable=SC2086 # the command is words on purpose
    { "$ftdiskctl" -m "$work" $cmd <<<"$session" 2>&1 || echo "exit status $?"; } |
      sed -E 's/[0-9]{8}T[0-9]{6}Z(-disk[0-9]+)(-[0-9]+)?/TIME\1/g; s/^([0-9]{9,}|[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}([+-][0-9]{2}:?[0-9]{2}|Z)?) /TIME /; s/"time": [0-9]+/"time": TIME/' >"$file"
  done
done
rm -rf "$work"
