#!/usr/bin/env bash
# What a build prints for a set of machines, for comparing two builds byte for byte:
# every reading command in text and JSON (show and its table forms, layout, check,
# registry, alerts, backups, ft verify and find, volume dmtable and export), the help
# texts and completions, requests and their dry runs (partitions, letters, FT sets,
# volume import), refused and unknown requests (text, JSON and exit status), and a shell
# session of requests on one boot; then, on machines that carry disk.reg (made by
# bench/machines.sh), the reading commands over their images with --image. Each command
# runs on a fresh copy of the machine (so that a command that writes does not change
# what the next run sees), always at the same path (the JSON names the machine
# directory); a file a command exports there is followed by its digest. Masked: the
# times of alerts and backups, and the build directory (--version names the module).
#
#   bench/machines.sh BUILD_DIR MACHINES     (or any machine directories)
#   bench/outputs.sh BUILD_DIR OUT_DIR MACHINES/*
#   diff -r OUT_BEFORE OUT_AFTER
set -euo pipefail

[ $# -ge 3 ] || { echo "usage: $0 BUILD_DIR OUT_DIR MACHINE_DIR..." >&2; exit 2; }
build=$(realpath "$1")
ftdiskctl=$build/ftdiskctl
out=$2
shift 2
mkdir -p "$out"
work=${TMPDIR:-/tmp}/ftdisk-outputs-run
unset FTDISK_MODULE # each build runs its own module, next to its program

# @W is the machine copy's directory.
commands=(
  "show" "show --json" "show -v" "show --bytes" "show --list" "show --raw" "show --noheadings" "show -P"
  "show -o NAME,SIZE,LETTER,STATE" "show -o NAME,KIND,START,END,TYPE,ACT --raw --noheadings"
  "show -o DEVICE,VOLUME,FS,NAME --list" "show -o NAME,START,SIZE -P --bytes" "show -v --list --bytes"
  "show --json -v" "--json --bytes show" "show -o NOSUCH" "show nosuch"
  "layout" "--json layout" "layout --disk 1" "layout --disk 9" "check" "--json check" "menus" "menus --json"
  "registry show" "--json registry show" "registry export @W/out.reg" "alerts" "--json alerts" "alerts --epoch"
  "backups" "backups list" "--json backups list" "rescan" "--json rescan" "shell"
  "ft verify mirror0" "ft verify parity0" "--json ft verify parity0" "ft verify stripe0" "ft verify mirror9"
  "ft find" "ft find --full" "--json ft find"
  "volume dmtable mirror0" "volume dmtable stripe0" "volume dmtable volset0" "volume dmtable parity0"
  "volume dmtable parity0 --concise" "volume dmtable parity0 --concise --name p0" "--json volume dmtable stripe0"
  "volume dmtable nosuch" "volume export parity0 @W/out.img" "volume export volset0 @W/out.img"
  "volume export mirror0 @W/out.img"
  "create primary --disk 0 --size 4M" "--dry-run create primary --disk 0 --size 4M"
  "--json --dry-run create primary --disk 0 --size 4M" "create logical --disk 0 --size 4M"
  "--dry-run create logical --disk 0 --size 4M" "create primary --disk 0 --size 1G"
  "--json create primary --disk 0 --size 1G" "create extended --disk 1 --size max"
  "delete disk0/p5" "--dry-run delete disk0/p5" "--json delete disk0/p5" "delete disk9/p1"
  "--json delete disk9/p1" "delete nosuch" "delete 14" "delete disk0/p1"
  "letter disk0/p5 Q:" "--dry-run letter disk0/p5 Q:" "letter mirror0 --remove" "--dry-run letter mirror0 --remove"
  "letter disk0/p5 M:" "--json letter disk0/p5 M:" "active disk0/p1" "--dry-run active disk0/p1"
  "ft create mirror disk0/p5 --disk 2" "--dry-run ft create mirror disk0/p5 --disk 2"
  "ft create stripe --size 4M --disk 2 --disk 3" "--dry-run ft create stripe --size 4M --disk 2 --disk 3"
  "ft create parity --size 4M --disk 0 --disk 1 --disk 3" "ft create volset --size 4M --size 4M --disk 0 --disk 3"
  "ft break mirror0" "--dry-run ft break mirror0" "ft delete stripe0" "--dry-run ft delete stripe0"
  "--json ft delete stripe0" "ft extend volset0 --disk 1 --size 4M" "--dry-run ft extend volset0 --disk 1 --size 4M"
  "ft regenerate parity0" "--dry-run ft regenerate parity0" "ft edit drop volset0" "--dry-run ft edit drop volset0"
  "ft edit member mirror0 1 --state orphaned" "ft delete nosuch" "--json ft break stripe0"
  "volume import stripe0 -" "--dry-run volume import stripe0 -"
  "volume import stripe0 - --pad" "--dry-run volume import stripe0 - --pad"
  "frob" "registry frob" "ft" "volume" "--dry-run show" "--dry-run init @W/x --disk 1M"
)
# Without a machine, once: the help texts, the completions, the version.
bareCommands=(
  "--help" "show --help" "create --help" "ft --help" "ft create --help" "ft edit --help" "volume --help"
  "volume dmtable --help" "registry --help" "registry show --help" "init --help" "shell --help" "--version"
  "__complete ft" "__complete show -" "__complete registry s" "__complete -m m ft create"
)
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

# The commands that read, over a machine's images without the machine (--image).
imageCommands=(
  "show" "show --json" "show -v" "show --raw" "check" "--json check" "registry show" "layout"
  "volume dmtable parity0" "volume export parity0 @W/out.img" "ft verify parity0" "ft find"
  "create primary --disk 0 --size 4M" "--dry-run show"
)

mask() {
  sed -E 's/[0-9]{8}T[0-9]{6}Z(-disk[0-9]+)(-[0-9]+)?/TIME\1/g; s/^([0-9]{9,}|[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}([+-][0-9]{2}:?[0-9]{2}|Z)?) /TIME /; s/"time": [0-9]+/"time": TIME/' |
    sed "s|$build|BUILD|g"
}

# run MACHINE NAME FILE-PREFIX WORDS...: one command on a fresh copy of MACHINE.
run() {
  local machine=$1 file=$2 cmd=$3
  rm -rf "$work"
  cp -a "$machine" "$work"
  rm -f "$work/machine.lock"
  cmd=${cmd//@W/$work}
  # shellcheck disable=SC2086 # the command is words on purpose
  {
    "$ftdiskctl" $cmd <<<"$session" 2>&1 || echo "exit status $?"
    for f in "$work"/out.*; do
      if [ -f "$f" ]; then echo "exported ${f##*/}: $(sha256sum <"$f")"; fi
    done
  } | mask >"$file"
}

mkdir -p "$work.empty"
for cmd in "${bareCommands[@]}"; do
  run "$work.empty" "$out/_.$(echo "$cmd" | tr ' /@' '_%+')" "$cmd"
done
rm -rf "$work.empty"
for machine in "$@"; do
  name=$(basename "$machine")
  for cmd in "${commands[@]}"; do
    run "$machine" "$out/$name.$(echo "$cmd" | tr ' /@' '_%+')" "-m $work $cmd"
  done
  [ -f "$machine/disk.reg" ] || continue
  images=""
  for image in "$machine"/disks/disk*.img; do images+=" --image $work/disks/${image##*/}"; done
  for cmd in "${imageCommands[@]}"; do
    run "$machine" "$out/$name.image.$(echo "$cmd" | tr ' /@' '_%+')" "$images --reg $work/disk.reg $cmd"
  done
  run "$machine" "$out/$name.image.noreg.show" "$images show"
done
rm -rf "$work"
