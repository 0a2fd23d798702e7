#!/usr/bin/env bash
# Configures, builds and runs every test three ways: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the layers below the GUI;
# then builds the fuzz targets and runs each for a bounded time.
# Exits non-zero when any build or test fails or a fuzz target crashes.
set -uo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
summary=()
# A compiler cache where there is one: the three builds share most objects with the last run's,
# and CI clones into a new folder each time, so paths are hashed relative to the checkout.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# Configures and builds build/NAME with the given CMake options; on failure shows the log's
# end, records the failure and returns non-zero.
build() {
  local name=$1
  shift
  echo "=== $name build ==="
  if ! cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >"build-$name.log" 2>&1 \
    || ! cmake --build "build/$name" -j"$jobs" >>"build-$name.log" 2>&1; then
    tail -n 60 "build-$name.log"
    echo "$name: build failed"
    summary+=("$name: build failed")
    status=1
    return 1
  fi
}

run() {
  local name=$1
  build "$@" || return
  local out
  out=$(mktemp)
  ctest --test-dir "build/$name" --output-on-failure -j"$jobs" --timeout 300 2>&1 | tee "$out"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$out" | tail -n 1)")
  rm -f "$out"
}

# One fuzz target for a bounded time on a scratch copy of its seed corpus, after the crash
# inputs kept in fuzz/regressions/; prints the executions on success.
fuzz_one() {
  local target=$1 scratch=$2 exe="build/fuzz/fuzz/fuzz_$1" log="$2/$1.log" dict=()
  [ -f "fuzz/$target.dict" ] && dict=("-dict=fuzz/$target.dict")
  mkdir -p "$scratch/$target" "$scratch/tmp-$target" build/fuzz/artifacts
  cp fuzz/corpus/"$target"/* "$scratch/$target/"
  local regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ] && ! TMPDIR="$scratch/tmp-$target" "$exe" "${regressions[@]}" >"$log" 2>&1; then
    echo "fuzz $target: a kept crash input fails again"
    tail -n 40 "$log"
    return 1
  fi
  if ! TMPDIR="$scratch/tmp-$target" "$exe" -max_total_time=30 -timeout=10 -print_final_stats=1 \
    "${dict[@]}" -artifact_prefix="build/fuzz/artifacts/$target-" "$scratch/$target" >"$log" 2>&1; then
    echo "fuzz $target: crash (input kept in build/fuzz/artifacts/)"
    tail -n 60 "$log"
    return 1
  fi
  grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' >"$scratch/$target.execs"
  echo "fuzz $target: $(cat "$scratch/$target.execs") executions"
}

# libFuzzer targets with ASan + UBSan, built with clang, each run for 30 s, two at a time.
fuzz() {
  local targets=(encoded_file settings string_table termios)
  CC=clang CXX=clang++ build fuzz -DFWLOAD_FUZZ=ON || return
  # tmpfs where there is one: the settings target writes its file several times per input.
  local scratch
  scratch=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo /tmp)" fwload-fuzz.XXXXXX)
  local crashes=0 execs=0 i
  for ((i = 0; i < ${#targets[@]}; i += 2)); do
    local pids=()
    for t in "${targets[@]:i:2}"; do
      fuzz_one "$t" "$scratch" &
      pids+=($!)
    done
    for p in "${pids[@]}"; do wait "$p" || crashes=$((crashes + 1)); done
  done
  for t in "${targets[@]}"; do
    [ -f "$scratch/$t.execs" ] && execs=$((execs + $(cat "$scratch/$t.execs")))
  done
  rm -rf "$scratch"
  [ "$crashes" -eq 0 ] || status=1
  summary+=("fuzz: ${#targets[@]} targets, $execs executions, $crashes crashes")
}

mkdir -p build
run normal
run asan -DFWLOAD_SANITIZE=address
run tsan -DFWLOAD_SANITIZE=thread -DFWLOAD_ONLY_SERIAL=ON
fuzz
rm -f build-*.log 2>/dev/null || true

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
exit $status
