#!/usr/bin/env bash
# `ftdiskctl show --json` against `fdisk -l` over the same images in one process,
# measured from outside as a user runs them. The headline figure is the ratio of
# instructions (valgrind's callgrind, every thread of the process), which does not move
# with the load of the machine; beside it the ratio of CPU time (user + sys) from paired
# runs (one of each, alternating): the median of each over the runs, and the median of
# the ratios of the pairs.
#
#   bench/compare.sh [-b BUILD_DIR] [-r RUNS] [-C] SHAPE|DIR...
#
# -C leaves out the instruction counts (no valgrind). SHAPE is DISKSxLOGICALS, e.g.
# 32x16: the machine is made once under ${TMPDIR:-/tmp}/ftdisk-compare-SHAPE, each disk
# with three primaries of two cylinders, an extended partition of one cylinder per
# logical drive plus four free ones, and one spare cylinder, written by sfdisk (which
# makes at most 56 logical drives). DIR is an existing machine directory, for example
# one the benchmarks generated. Nothing is written after.
set -euo pipefail

build=build
runs=5
instructions=1
while getopts "b:r:C" opt; do
  case $opt in
    b) build=$OPTARG ;;
    r) runs=$OPTARG ;;
    C) instructions=0 ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- 8x16 32x16 128x16
ftdiskctl=$(realpath "$build/ftdiskctl")
command -v sfdisk >/dev/null || { echo "sfdisk is missing (package fdisk)" >&2; exit 1; }
if [ $instructions = 1 ] && ! command -v valgrind >/dev/null; then
  echo "valgrind is missing (package valgrind); -C measures CPU time only" >&2
  exit 1
fi

cyl=16065 # sectors per cylinder: 255 heads x 63 sectors

make_machine() { # DIR DISKS LOGICALS
  local dir=$1 disks=$2 logicals=$3
  [ -f "$dir/compare-ready" ] && return
  rm -rf "$dir"
  local bytes=$(((6 + logicals + 4 + 1) * cyl * 512)) args=()
  for ((d = 0; d < disks; d++)); do args+=(--disk "$bytes"); done
  "$ftdiskctl" init "$dir" "${args[@]}" >/dev/null
  for ((d = 0; d < disks; d++)); do
    {
      echo "label: dos"
      echo "63,$((2 * cyl - 63)),7"
      echo "$((2 * cyl)),$((2 * cyl)),7"
      echo "$((4 * cyl)),$((2 * cyl)),7"
      echo "$((6 * cyl)),$(((logicals + 4) * cyl)),5"
      for ((j = 0; j < logicals; j++)); do echo "$((6 * cyl + j * cyl + 63)),$((cyl - 63)),7"; done
    } | sfdisk -q "$dir/disks/disk$d.img" >/dev/null
  done
  # The first boot stores the disk registry; later boots only read.
  "$ftdiskctl" -m "$dir" show --json >/dev/null
  touch "$dir/compare-ready"
}

# CPU seconds (user + sys) of a command and all its children: bash's "times" for its
# children, after the command ran in it.
cpu() {
  bash -c '"$@" >/dev/null 2>&1 || exit 1; times' cpu "$@" | awk 'NR == 2 {
    split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.4f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' ||
    { echo "failed: $*" >&2; exit 1; }
}

# Instructions of a command, all its threads (callgrind's total).
instr() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/Collected :/ {print $4}' | grep . || { echo "failed under valgrind: $*" >&2; exit 1; }
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

printf "%-16s %14s %14s %8s   %10s %10s %8s\n" shape "Ir show" "Ir fdisk -l" "Ir ratio" "CPU show" \
  "CPU fdisk" "ratio"
for shape in "$@"; do
  if [ -d "$shape" ]; then
    dir=$shape
    shape=$(basename "$dir")
  else
    disks=${shape%x*}
    logicals=${shape#*x}
    dir=${TMPDIR:-/tmp}/ftdisk-compare-$shape
    make_machine "$dir" "$disks" "$logicals"
  fi
  images=("$dir"/disks/*.img)
  a_ir=- b_ir=- r_ir=-
  if [ $instructions = 1 ]; then
    a_ir=$(instr "$ftdiskctl" -m "$dir" show --json)
    b_ir=$(instr fdisk -l "${images[@]}")
    r_ir=$(awk -v a="$a_ir" -v b="$b_ir" 'BEGIN {printf "%.2f", a / b}')
  fi
  ours=() theirs=()
  for ((i = 0; i < runs; i++)); do
    ours+=("$(cpu "$ftdiskctl" -m "$dir" show --json)")
    theirs+=("$(cpu fdisk -l "${images[@]}")")
  done
  a=$(printf "%s\n" "${ours[@]}" | median)
  b=$(printf "%s\n" "${theirs[@]}" | median)
  # The CPU ratio is the median of the ratios of the pairs.
  r=$(for ((i = 0; i < runs; i++)); do
    awk -v a="${ours[i]}" -v b="${theirs[i]}" 'BEGIN {print (b > 0 ? a / b : 0)}'
  done | median)
  printf "%-16s %14s %14s %8s   %9.3fs %9.3fs %8.2f\n" "$shape" "$a_ir" "$b_ir" "$r_ir" "$a" "$b" "$r"
done
