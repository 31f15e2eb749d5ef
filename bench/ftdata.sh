#!/usr/bin/env bash
# Wall time of the FT data passes against `dd ... conv=fsync` moving the same bytes,
# in paired runs (the pass, then dd), with the median of the pass, of dd and of the
# ratios of the pairs. The passes: import and export of each type, the copy of
# `ft create mirror`, the parity of `ft create parity`, a regenerated mirror member and
# parity member, and `ft verify` of both.
#
#   bench/ftdata.sh [-b BUILD_DIR] [-r RUNS] [-s MIB]
#
# MIB (default 256) is the size of each volume and of the mirror's members; the parity
# set has three members of MIB/2. The machine is made under ${TMPDIR:-/tmp}/ftdisk-ftdata
# and removed at the end. dd's baseline for a pass copies as many bytes as the pass's
# volume (import, export, verify, parity) or member (mirror copy, regenerate) holds,
# from a file of random bytes to a new file, bs=1M conv=fsync.
set -euo pipefail

build=build
runs=3
mib=256
while getopts "b:r:s:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    r) runs=$OPTARG ;;
    s) mib=$OPTARG ;;
    *) exit 2 ;;
  esac
done
ctl=$(realpath "$build/ftdiskctl")
work=${TMPDIR:-/tmp}/ftdisk-ftdata
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
m=$work/m
disk=$((mib * 2 + 64))
"$ctl" init "$m" --disk "${disk}M" --disk "${disk}M" --disk "${disk}M" >/dev/null
f() { "$ctl" -m "$m" "$@" >/dev/null; }

now() { date +%s.%N; }
# Seconds of a command.
secs() {
  local t0 t1
  t0=$(now)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f\n", b - a}'
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
random() { head -c "$1" /dev/urandom >"$2"; }
dd_copy() { # BYTES: dd of that many bytes of random data into a new file, flushed
  rm -f "$work/dd.out"
  dd if="$work/dd.in" of="$work/dd.out" bs=1M count="$1" iflag=count_bytes conv=fsync status=none
}

# NAME BYTES SETUP COMMAND...: SETUP (a function) runs before each timed COMMAND.
report() {
  local name=$1 bytes=$2 setup=$3 ours=() theirs=() ratios=()
  shift 3
  for ((i = 0; i < runs; i++)); do
    $setup
    rm -f "$work/out.img"
    sync
    local a b
    a=$(secs "$@")
    sync
    b=$(secs dd_copy "$bytes")
    ours+=("$a")
    theirs+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {print (b > 0 ? a / b : 0)}')")
  done
  printf "%-28s %8d MiB %9.3fs %9.3fs %7.2f\n" "$name" $((bytes / 1048576)) \
    "$(printf "%s\n" "${ours[@]}" | median)" "$(printf "%s\n" "${theirs[@]}" | median)" \
    "$(printf "%s\n" "${ratios[@]}" | median)"
}

bytes=$((mib * 1048576))
random $((bytes * 2)) "$work/dd.in"
printf "%-28s %12s %10s %10s %7s\n" pass bytes ours "dd fsync" ratio

none() { :; }
volume_length() { "$ctl" -m "$m" volume export "$1" /dev/null | awk '{print $2}'; }

# A mirror whose member 0 holds data: the copy of ft create mirror, import, export,
# regenerate, verify.
f create primary --disk 0 --size "${mib}M"
f ft create mirror disk0/p1 --disk 1
len=$(volume_length mirror0)
random "$len" "$work/mirror.img"
f volume import mirror0 "$work/mirror.img"
unmirror() { f ft break mirror0 && f delete disk1/p1; }
report "ft create mirror (copy)" "$len" unmirror "$ctl" -m "$m" ft create mirror disk0/p1 --disk 1
report "volume import mirror" "$len" none "$ctl" -m "$m" volume import mirror0 "$work/mirror.img"
report "volume export mirror" "$len" none "$ctl" -m "$m" volume export mirror0 "$work/out.img"
orphan() { f ft edit member "$1" 1 --state orphaned; }
report "ft regenerate mirror" "$len" "orphan mirror0" "$ctl" -m "$m" ft regenerate mirror0
report "ft verify mirror" "$len" none "$ctl" -m "$m" ft verify mirror0
f ft delete mirror0

# A stripe set with parity of three members of MIB/2 holding data: its parity written
# again (as ft create parity and ft edit define do), import, export, regenerate, verify.
half=$((mib / 2))
f ft create parity --size "${half}M" --disk 0 --disk 1 --disk 2
len=$(volume_length parity0)
random "$len" "$work/parity.img"
f volume import parity0 "$work/parity.img"
initializing() { f ft edit member parity0 0 --state initializing; }
report "parity of ft create parity" "$len" initializing "$ctl" -m "$m" ft regenerate parity0
report "volume import parity" "$len" none "$ctl" -m "$m" volume import parity0 "$work/parity.img"
report "volume export parity" "$len" none "$ctl" -m "$m" volume export parity0 "$work/out.img"
report "ft regenerate parity" "$((len / 2))" "orphan parity0" "$ctl" -m "$m" ft regenerate parity0
report "ft verify parity" "$len" none "$ctl" -m "$m" ft verify parity0
f ft delete parity0

# A stripe set and a volume set of three members: import and export.
for type in stripe volset; do
  f ft create $type --size "${half}M" --disk 0 --disk 1 --disk 2
  len=$(volume_length ${type}0)
  random "$len" "$work/$type.img"
  report "volume import $type" "$len" none "$ctl" -m "$m" volume import ${type}0 "$work/$type.img"
  report "volume export $type" "$len" none "$ctl" -m "$m" volume export ${type}0 "$work/out.img"
  f ft delete ${type}0
done
