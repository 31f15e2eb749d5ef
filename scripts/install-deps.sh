#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
set -euo pipefail
pkgs=(cmake g++ ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
      nlohmann-json3-dev libcli11-dev libtomlplusplus-dev libblkid-dev libhivex-dev libsmartcols-dev fdisk
      dosfstools mtools clang-format libhivex-bin reglookup python3 python3-libregf python3-jsonschema dpkg-dev file
      mount e2fsprogs libedit-dev tmux zsh ntfs-3g nbdkit nbdkit-plugin-dev libnbd-bin python3-libnbd jq)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
