#!/usr/bin/env bash
# The shell on a terminal (tmux): Tab completes commands, options and object names,
# arrows recall earlier lines, the history is kept per machine outside its directory,
# help lists only what the shell runs, and a destructive request asks first.
# Usage: shell_tty_test.sh FTDISKCTL
set -euo pipefail
ctl=$1
command -v tmux >/dev/null || { echo "tmux missing: skipped"; exit 77; }
tmp=$(mktemp -d)
sock=$tmp/tmux.sock
trap 'tmux -S "$sock" kill-server 2>/dev/null || true; sleep 0.2; rm -rf "$tmp" || true' EXIT
fail() {
  echo "FAIL: $*" >&2
  tmux -S "$sock" capture-pane -p -t t >&2 || true
  exit 1
}

"$ctl" init "$tmp/m" --disk 32M >/dev/null
"$ctl" -m "$tmp/m" create primary --disk 0 --size 10M >/dev/null
backup=$("$ctl" -m "$tmp/m" backups list --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["backups"][0]["name"])')
tmux -S "$sock" new-session -d -s t -x 160 -y 60 \
  "env XDG_STATE_HOME=$tmp/state TERM=xterm $ctl -m $tmp/m shell; sleep 30"
screen() { tmux -S "$sock" capture-pane -p -t t; }
keys() { tmux -S "$sock" send-keys -t t "$@"; sleep 0.7; }
wait_for() {
  for _ in $(seq 50); do screen | grep -q -- "$1" && return 0; sleep 0.2; done
  fail "the screen never showed '$1'"
}

wait_for 'ftdiskctl>'
keys "he" Tab Enter
wait_for 'leave the shell'
screen | grep -Eq '^  (init|demo|shell|attach) ' && fail "help lists a command the shell refuses"
keys "lett" Tab "disk0/p" Tab "--rem" Tab Enter
wait_for 'letter disk0/p1 --remove'
keys Up Enter
[ "$(screen | grep -c 'ftdiskctl> letter disk0/p1 --remove')" -ge 2 ] || fail "Up did not recall the line"
# A request that overwrites data asks first on a terminal; no is no.
keys "restore $backup" Enter
wait_for '\[y/N\]'
keys "n" Enter
wait_for 'nothing restored'
keys C-d
sleep 0.5
hist=$(ls "$tmp"/state/ftdiskctl/history/*)
grep -q 'letter.040disk0/p1.040--remove$' "$hist" || fail "the history was not kept: $(cat "$hist")"
[ -z "$(find "$tmp/m" -iname '*hist*')" ] || fail "the shell's history went into the machine directory"
echo "the shell edits, completes and keeps its history"
