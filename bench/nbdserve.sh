#!/usr/bin/env bash
# Throughput of a stripe set with parity served over NBD (`ftdiskctl volume serve` on a
# Unix socket) against `volume export` of the same set: `nbdcopy` out of the server, and
# `nbdcopy` in (the writes with their parity and dirty-range records, flushed), in paired
# runs, with the median of each and of the ratios (export's time / the server's: above 1
# the server is faster).
#
#   bench/nbdserve.sh [-b BUILD_DIR] [-r RUNS] [-s MIB]
#
# MIB (default 256) is the volume's size; three members of MIB/2. The machine is made
# under ${TMPDIR:-/tmp}/ftdisk-nbdserve and removed at the end. Needs nbdkit and nbdcopy.
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
command -v nbdkit >/dev/null && command -v nbdcopy >/dev/null || { echo "needs nbdkit and nbdcopy" >&2; exit 2; }
ctl=$(realpath "$build/ftdiskctl")
work=${TMPDIR:-/tmp}/ftdisk-nbdserve
rm -rf "$work"
mkdir -p "$work"
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
m=$work/m
disk=$((mib / 2 + 64))
"$ctl" init "$m" --disk "${disk}M" --disk "${disk}M" --disk "${disk}M" >/dev/null
"$ctl" -m "$m" ft create parity --size "$((mib / 2))M" --disk 0 --disk 1 --disk 2 >/dev/null
len=$("$ctl" -m "$m" volume export parity0 /dev/null | awk '{print $2}')
head -c "$len" /dev/urandom >"$work/in.img"
"$ctl" -m "$m" volume import parity0 "$work/in.img" >/dev/null
uri="nbd+unix:///?socket=$work/s.sock"

now() { date +%s.%N; }
secs() {
  local t0 t1
  t0=$(now)
  "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
  t1=$(now)
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f\n", b - a}'
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
start() {
  rm -f "$work/s.sock"
  "$ctl" -m "$m" volume serve parity0 --socket "$work/s.sock" 2>/dev/null &
  server=$!
  for _ in $(seq 100); do [ -S "$work/s.sock" ] && return; sleep 0.05; done
  echo "the server did not start" >&2
  exit 1
}
stop() { kill "$server"; wait "$server" || true; server=""; }

# NAME SERVED BASELINE: a shell command through the server against one through
# ftdiskctl, each run paired; the server runs only for the SERVED command (a writing
# server holds the machine, so import could not run beside it), its start not counted.
report() {
  local name=$1 ours=() theirs=() ratios=() a b
  for ((i = 0; i < runs; i++)); do
    rm -f "$work/out.img"
    sync
    start
    a=$(secs bash -c "$2")
    stop
    rm -f "$work/out.img"
    sync
    b=$(secs bash -c "$3")
    ours+=("$a")
    theirs+=("$b")
    ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN {print (a > 0 ? b / a : 0)}')")
  done
  printf "%-22s %6d MiB %9.3fs %9.3fs %7.2f\n" "$name" $((len / 1048576)) \
    "$(printf "%s\n" "${ours[@]}" | median)" "$(printf "%s\n" "${theirs[@]}" | median)" \
    "$(printf "%s\n" "${ratios[@]}" | median)"
}

printf "%-22s %10s %10s %10s %7s\n" "" bytes served ftdiskctl ratio
report "nbdcopy out / export" "nbdcopy '$uri' '$work/out.img' && sync '$work/out.img'" \
  "'$ctl' -m '$m' volume export parity0 '$work/out.img'"
report "nbdcopy in / import" "nbdcopy --flush '$work/in.img' '$uri'" \
  "'$ctl' -m '$m' volume import parity0 '$work/in.img'"
