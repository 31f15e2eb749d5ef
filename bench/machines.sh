#!/usr/bin/env bash
# The machines bench/outputs.sh compares two builds on, made with one build:
#   demo     what "ftdiskctl demo" builds (logical drives, letters, a mirror, an empty CD-ROM)
#   ftsets   four disks holding a mirror, a stripe set, a stripe set with parity and a volume
#            set, a logical drive and an empty CD-ROM; disk.reg is its registry as REGEDIT4,
#            for the --image runs
#   missing  ftsets with disk 3 gone (a parity member and a volume-set member away)
#   orphaned ftsets after a writing boot without disk 2, with the disk back (members recorded
#            orphaned, the parity set to regenerate)
#   foreign  a GPT disk, a table sfdisk wrote (Linux and FAT partitions, logical drives) and a
#            removable disk
# Disk signatures are fixed, so that the machines are the same from run to run.
#
#   bench/machines.sh BUILD_DIR OUT_DIR
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR OUT_DIR" >&2; exit 2; }
ftdiskctl=$(realpath "$1/ftdiskctl")
out=$2
command -v sfdisk >/dev/null || { echo "sfdisk is missing (package fdisk)" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out"

ctl() { "$ftdiskctl" "$@" >/dev/null || { echo "failed: ftdiskctl $*" >&2; exit 1; }; }

# Sets disk N's signature (MBR bytes 440-443) before the first boot that writes records it.
signature() { # DIR N HEX8
  printf "%b" "$(echo "$3" | sed -E 's/(..)(..)(..)(..)/\\x\4\\x\3\\x\2\\x\1/')" |
    dd of="$1/disks/disk$2.img" bs=1 seek=440 conv=notrunc status=none
}

"$ftdiskctl" demo "$out/demo" >/dev/null

m=$out/ftsets
ctl init "$m" --disk 64M --disk 64M --disk 64M --disk 64M --cdrom-empty
for n in 0 1 2 3; do signature "$m" $n "5EED000$n"; done
ctl -m "$m" create primary --disk 0 --size 8M
ctl -m "$m" ft create mirror disk0/p1 --disk 1
ctl -m "$m" ft create stripe --size 8M --disk 0 --disk 1
ctl -m "$m" ft create parity --size 8M --disk 1 --disk 2 --disk 3
ctl -m "$m" ft create volset --size 8M --size 12M --disk 2 --disk 3
ctl -m "$m" letter mirror0 M:
ctl -m "$m" create extended --disk 0 --size 16M
ctl -m "$m" create logical --disk 0 --size 8M
ctl -m "$m" registry export "$m/disk.reg"

cp -a "$m" "$out/missing"
rm "$out/missing/disks/disk3.img"

cp -a "$m" "$out/orphaned"
mv "$out/orphaned/disks/disk2.img" "$out/orphaned/disk2.away"
ctl -m "$out/orphaned" rescan
mv "$out/orphaned/disk2.away" "$out/orphaned/disks/disk2.img"

m=$out/foreign
ctl init "$m" --disk 64M --disk 64M --disk 32M,255,63,removable
for n in 0 1 2; do signature "$m" $n "F0E1000$n"; done
printf 'label: gpt\n2048,16384,L\n18432,16384,L\n' | sfdisk -q "$m/disks/disk0.img" >/dev/null
printf 'label: dos\nlabel-id: 0xF0E10001\n63,16002,83,*\n16065,32130,5\n16128,16002,b\n32193,15939,82\n' |
  sfdisk -q "$m/disks/disk1.img" >/dev/null
ctl -m "$m" create primary --disk 2 --size 8M
ctl -m "$m" letter disk1/p5 K:
