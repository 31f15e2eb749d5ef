#!/usr/bin/env bash
# The installed program, as a user gets it: "cmake --install" into a temporary DESTDIR and
# the Debian package made by cpack, unpacked. Each copy must run from where it was put,
# with no help from the build tree or the environment: its private libraries through the
# run path, the provider module from its library directory, the man page and the bash
# completion in their places.
# Usage: install_test.sh BUILD_DIR [CMAKE] [CPACK]
set -euo pipefail
build=$1
cmake=${2:-cmake}
cpack=${3:-cpack}
src=$(cd "$(dirname "$0")/../.." && pwd)  # the source tree: the schemas to find installed
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs the installed program under ROOT with nothing pointing at the build tree.
check_tree() {
  local root=$1 what=$2
  local bin=$root/usr/bin/ftdiskctl
  [ -x "$bin" ] || fail "$what: no usr/bin/ftdiskctl"
  if readelf -d "$bin" "$root"/usr/lib*/ftdisk/*.so 2>/dev/null | grep -F "$build" >/dev/null; then
    fail "$what: a run path still names the build tree"
  fi
  local run=(env -u FTDISK_MODULE -u FTDISK_PROVIDER -u LD_LIBRARY_PATH "$bin")
  "${run[@]}" --version >"$tmp/out" 2>&1 || fail "$what: the program does not start: $(cat "$tmp/out")"
  grep -q 'WINNT.4.0.364.0' "$tmp/out" || fail "$what: --version does not name the provider: $(cat "$tmp/out")"
  local m=$tmp/machine-$what
  "${run[@]}" init "$m" --disk 32M >/dev/null || fail "$what: init failed"
  "${run[@]}" -m "$m" create primary --disk 0 --size 10M >/dev/null || fail "$what: create failed (module not found?)"
  "${run[@]}" -m "$m" show --json | grep -q '"disk0/p1"' || fail "$what: show does not list the new partition"

  # The nbdkit plugin beside the module, found and loaded by volume serve (it then
  # reports the missing set).
  if [ -f "$build/nbdkit-ftdisk-plugin.so" ] && command -v nbdkit >/dev/null; then
    ls "$root"/usr/lib*/ftdisk/nbdkit-ftdisk-plugin.so >/dev/null 2>&1 || fail "$what: no nbdkit plugin"
    # A plugin built with the sanitizers needs their runtime loaded first into nbdkit.
    local asan
    asan=$(ldd "$build/nbdkit-ftdisk-plugin.so" | awk '/libasan/ {print $3}')
    LD_PRELOAD=$asan ASAN_OPTIONS=detect_leaks=0 "${run[@]}" -m "$m" volume serve parity9 --socket "$tmp/s" >"$tmp/out" 2>&1 &&
      fail "$what: serve of no set"
    grep -q 'there is no parity9' "$tmp/out" || fail "$what: volume serve does not run the plugin: $(cat "$tmp/out")"
  fi

  local man
  man=$(ls "$root"/usr/share/man/man1/ftdiskctl.1.gz 2>/dev/null) || fail "$what: no man page"
  # grep reads the whole page (-q would stop early and zcat die of SIGPIPE under pipefail).
  zcat "$man" | grep '^\.TH FTDISKCTL 1' >/dev/null || fail "$what: the man page has no title line"
  zcat "$man" | grep '^\.SH SYNOPSIS' >/dev/null || fail "$what: the man page has no SYNOPSIS"
  # whatis and apropos index the page through lexgrog, which needs "name \- description".
  if command -v lexgrog >/dev/null; then
    lexgrog "$man" | grep 'ftdiskctl - manage the partitions' >/dev/null ||
      fail "$what: lexgrog cannot read the man page's NAME: $(lexgrog "$man" 2>&1)"
  fi
  # No Markdown may reach the rendered page, and what it refers to is installed.
  zcat "$man" | grep -n '`\|](' && fail "$what: Markdown left in the man page"
  for doc in json-schema.md ft-health.md ft-layout.md $(cd "$src/docs" && echo schema/*.schema.json); do
    [ -f "$root/usr/share/doc/ftdiskctl/$doc" ] || fail "$what: the man page refers to $doc, not installed"
  done
  if command -v groff >/dev/null; then
    warnings=$(zcat "$man" | groff -k -man -Tutf8 -ww -z 2>&1) || true
    [ -z "$warnings" ] || fail "$what: groff warns about the man page: $warnings"
  fi

  local completion=$root/usr/share/bash-completion/completions/ftdiskctl
  [ -f "$completion" ] || fail "$what: no bash completion"
  local words
  complete_words() {  # what _ftdiskctl offers for the words given, the last one being typed
    env -u FTDISK_MODULE -u LD_LIBRARY_PATH bash -c 'source "$1"; shift; COMP_WORDS=("$@")
      COMP_CWORD=$(($# - 1)); _ftdiskctl; echo "${COMPREPLY[*]}"' _ "$completion" "$bin" "$@"
  }
  words=$(complete_words registry export --)
  [[ " $words " == *" --hive "* ]] || fail "$what: completion of 'registry export --' gives '$words'"
  words=$(complete_words -m "$m" letter "")
  [[ " $words " == *" disk0/p1 "* ]] || fail "$what: completion of 'letter' gives no object names: '$words'"
  words=$(complete_words -m "$m" show -o NAME,ST)
  [[ " $words " == *" NAME,START "* ]] || fail "$what: completion of '-o NAME,ST' gives '$words'"
  local zsh_completion=$root/usr/share/zsh/vendor-completions/_ftdiskctl
  [ -f "$zsh_completion" ] || fail "$what: no zsh completion"
  if command -v zsh >/dev/null; then
    zsh_words() {  # what _ftdiskctl adds for the words given, compadd's arguments printed
      env -u FTDISK_MODULE -u LD_LIBRARY_PATH zsh -fc 'compdef() { :; }; _files() { print FILES; }
        compadd() { while [[ $1 != -- ]]; do shift; done; shift; print -r -- "$@"; }
        source "$1"; shift; words=("$@"); CURRENT=$#; _ftdiskctl' _ "$zsh_completion" "$bin" "$@"
    }
    words=$(zsh_words -m "$m" letter "")
    [[ " $words " == *" disk0/p1 "* ]] || fail "$what: zsh completion of 'letter' gives '$words'"
    words=$(zsh_words -m "$m" show -o NAME,ST)
    [[ " $words " == *" NAME,START "* ]] || fail "$what: zsh completion of '-o NAME,ST' gives '$words'"
    words=$(zsh_words attach "")
    [[ $words == FILES ]] || fail "$what: zsh completion of 'attach' gives '$words', not file names"
  fi
}

DESTDIR=$tmp/destdir "$cmake" --install "$build" --prefix /usr >/dev/null || fail "cmake --install failed"
check_tree "$tmp/destdir" destdir

if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
  (cd "$build" && "$cpack" -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) || fail "cpack: $(tail -5 "$tmp/cpack.log")"
  deb=$(ls "$tmp"/pkg/*.deb)
  dpkg-deb -f "$deb" Depends | grep -q libhivex0 || fail "the package does not depend on libhivex0"
  dpkg-deb -x "$deb" "$tmp/deb"
  check_tree "$tmp/deb" deb
else
  echo "dpkg-deb or dpkg-shlibdeps missing: the Debian package is not checked"
fi
echo "installed trees work"
