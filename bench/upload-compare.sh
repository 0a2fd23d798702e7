#!/usr/bin/env bash
# fwload-cli as a whole process against a plain blocking C uploader (plain-upload.c): the same
# 256 KiB image (1024 blocks of 256 bytes) to one fwload-sim answering at once, in turns, five
# times each. Prints the medians and their ratio as "name: value" lines.
#   bench/upload-compare.sh [--quick] [--no-build] [--build-dir DIR]
# --quick: 64 blocks, one run each (a smoke run). --no-build: use what DIR already holds.
# DIR defaults to build/bench in the source tree, configured here if it is not yet.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build="$src/build/bench"
quick=0
make=1
while [ $# -gt 0 ]; do
  case "$1" in
  --quick) quick=1 ;;
  --no-build) make=0 ;;
  --build-dir)
    [ $# -ge 2 ] || { echo "upload-compare: --build-dir needs a folder" >&2; exit 2; }
    build=$2
    shift
    ;;
  *) echo "usage: upload-compare.sh [--quick] [--no-build] [--build-dir DIR]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$make" = 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$build" --target fwload-cli fwload-sim fwload-make-sample >/dev/null
fi
cli="$build/tools/fwload-cli/fwload-cli"
sim="$build/tools/fwload-sim/fwload-sim"
sample="$build/tools/make-sample/fwload-make-sample"
for program in "$cli" "$sim" "$sample"; do
  [ -x "$program" ] || { echo "upload-compare: $program is not built" >&2; exit 1; }
done

work=$(mktemp -d /tmp/upload-compare-XXXXXX)
simPid=
cleanup() {
  if [ -n "$simPid" ]; then
    kill "$simPid" 2>/dev/null || true
    wait "$simPid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# Built with the same optimisation as the release build of the C++ side.
cc -O2 -Wall -Wextra -o "$work/plain-upload" "$src/bench/plain-upload.c"

blocks=1024
runs=5
if [ "$quick" = 1 ]; then
  blocks=64
  runs=1
fi
# 254 payload bytes and the 2-byte length: 256 bytes a block.
"$sample" "$work/fw.enc" "$blocks" 254 >/dev/null

"$sim" >"$work/sim.out" 2>"$work/sim.err" &
simPid=$!
port=
for _ in $(seq 100); do
  port=$(head -n 1 "$work/sim.out" 2>/dev/null || true)
  [ -n "$port" ] && break
  kill -0 "$simPid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || { echo "upload-compare: fwload-sim did not start: $(cat "$work/sim.err")" >&2; exit 1; }

# Wall time of one command in seconds; the command must succeed.
timed() {
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>"$work/run.err" || {
    echo "upload-compare: failed: $* ($(cat "$work/run.err"))" >&2
    exit 1
  }
  t1=$(date +%s%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", (b - a) / 1e9 }'
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

cliTimes=()
plainTimes=()
# In turns, so that a change of the machine's load reaches both alike.
for _ in $(seq "$runs"); do
  cliTimes+=("$(timed "$cli" -q -b 115200 --progress none -p "$port" "$work/fw.enc")")
  plainTimes+=("$(timed "$work/plain-upload" "$port" "$work/fw.enc")")
done
cliMedian=$(median "${cliTimes[@]}")
plainMedian=$(median "${plainTimes[@]}")
printf 'process_cli_s: %.3f\n' "$cliMedian"
printf 'process_plain_s: %.3f\n' "$plainMedian"
awk -v a="$cliMedian" -v b="$plainMedian" 'BEGIN { printf "process_ratio: %.2f\n", a / b }'
