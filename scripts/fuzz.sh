#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz/ with clang and runs each on its corpus.
# Usage: scripts/fuzz.sh [seconds per target, default 60] [target...]
#        targets: diskreg ptable regfile hive (all when none is given)
# Binaries, the growing working corpora and any crash files go to build-fuzzers/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@"); [ ${#targets[@]} -eq 0 ] && targets=(diskreg ptable regfile)

CXX=${CXX:-clang++}
if ! command -v "$CXX" >/dev/null; then
  echo "fuzz.sh: $CXX not found; install clang (e.g. apt-get install clang) or set CXX" >&2
  exit 2
fi

out=build-fuzzers
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -Iinclude -Iplatform -Iformat -Idiskreg)

build() {
  local name=$1; shift
  echo "=== building $name"
  "$CXX" "${flags[@]}" "tests/fuzz/${name}_fuzz.cpp" "$@" -o "$out/${name}_fuzz"
}
for t in "${targets[@]}"; do
  case $t in
    diskreg) build diskreg format/*.cpp ;;
    ptable) build ptable platform/ptable.cpp format/mbr.cpp ;;
    regfile) build regfile platform/*.cpp format/*.cpp -lhivex -lsqlite3 $(pkg-config --libs tomlplusplus 2>/dev/null) -pthread ;;
    hive) build hive format/*.cpp platform/*.cpp -lhivex -lsqlite3 \
        $(pkg-config --libs tomlplusplus 2>/dev/null) -pthread ;;
    *) echo "fuzz.sh: unknown target $t" >&2; exit 2 ;;
  esac
done

status=0
for t in "${targets[@]}"; do
  echo "=== running $t for ${seconds}s"
  work="$out/corpus-$t"
  mkdir -p "$work"
  # The committed seeds start the working corpus (reproducers of open crashes,
  # crash-* and known-*, are left out); new inputs go only to the working corpus.
  for f in tests/fuzz/corpus/"$t"/*; do
    case $(basename "$f") in crash-* | known-*) ;; *) cp -n "$f" "$work/" ;; esac
  done
  (cd "$out" && "./${t}_fuzz" -max_total_time="$seconds" -max_len=32768 -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="crash-$t-" "corpus-$t") || status=1
done
[ $status -eq 0 ] || echo "fuzz.sh: a target failed; its reproducer is in $out/crash-*" >&2
exit $status
