#!/usr/bin/env bash
# Configures, builds and runs every test three ways: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the layers below the GUI;
# then builds the fuzz targets and runs each for a bounded time; then the Windows build (a
# MinGW-w64 cross build, its tests and a smoke test under Wine).
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
  local targets=(encoded_file settings string_table termios json_writer)
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

# The Windows build: the cross build of everything but the window, the unit tests of
# tests/windows under Wine, and a smoke test: fwload-cli.exe under Wine uploads to the Linux
# fwload-sim through COM5, and a port that does not exist ends with the library's message.
# Wine runs only through cmake/wine-run, which hides /dev/ttyS* (the console) from it.
windows() {
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || ! command -v wine >/dev/null 2>&1; then
    if [ "${FWLOAD_SKIP_WINDOWS:-}" = 1 ]; then
      echo "=== windows: skipped: MinGW-w64 or Wine is missing (FWLOAD_SKIP_WINDOWS=1) ==="
      summary+=("windows: skipped (MinGW-w64 or Wine missing, FWLOAD_SKIP_WINDOWS=1)")
      return 0
    fi
    echo "windows: g++-mingw-w64-x86-64-posix or wine is missing: run .ci/install-deps, or set FWLOAD_SKIP_WINDOWS=1 to skip this stage"
    summary+=("windows: MinGW-w64 or Wine missing")
    status=1
    return 1
  fi
  local started=$SECONDS
  build windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake || return
  local failed=0 tests="no unit tests"
  export FWLOAD_WINEPREFIX=$PWD/build/windows/wine
  if [ -f tests/windows/CMakeLists.txt ]; then
    local out
    out=$(mktemp)
    ctest --test-dir build/windows --output-on-failure -j"$jobs" --timeout 300 2>&1 | tee "$out"
    [ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
    tests=$(grep -E 'tests passed|tests failed' "$out" | tail -n 1)
    tests=${tests:-no unit tests found}
    rm -f "$out"
  fi
  windows_smoke || failed=1
  unset FWLOAD_WINEPREFIX
  [ "$failed" -eq 0 ] || status=1
  local verdict=passed
  [ "$failed" -eq 0 ] || verdict=FAILED
  summary+=("windows: $tests; smoke test $verdict ($((SECONDS - started)) s)")
}

# fwload-cli.exe under Wine: a port that does not exist, then a multi-block upload to the
# Linux simulator, whose record must hold exactly the file's payloads.
windows_smoke() {
  local cli=build/windows/tools/fwload-cli/fwload-cli.exe scratch ok=0
  local sim=build/normal/tools/fwload-sim/fwload-sim maker=build/normal/tools/make-sample/fwload-make-sample
  if [ ! -x "$sim" ] || [ ! -x "$maker" ]; then
    cmake --build build/normal --target fwload-sim fwload-make-sample >/dev/null 2>&1 || {
      echo "windows smoke: the Linux fwload-sim does not build"
      return 1
    }
  fi
  scratch=$(mktemp -d)
  "$maker" "$scratch/fw.enc" 12 200 >/dev/null || return 1
  echo "=== windows smoke test ==="
  # The first run also makes the Wine prefix that COM5 is linked in below.
  local text code
  text=$(timeout 120 cmake/wine-run "$cli" -q -p COM77 "$scratch/fw.enc" 2>&1)
  code=$?
  if [ "$code" -ne 0 ] && [[ "$text" == *"ie_BadId - Specified comport doesn't exist"* ]]; then
    echo "windows smoke: -p COM77: exit $code, the port's message: ok"
  else
    echo "windows smoke: -p COM77: exit $code, output: $text"
    ok=1
  fi
  local com5=$FWLOAD_WINEPREFIX/dosdevices/com5 simpid i
  rm -f "$com5"
  "$sim" --link "$com5" --record "$scratch/record.bin" >"$scratch/sim.out" 2>"$scratch/sim.err" &
  simpid=$!
  # Ready once COM5 leads to the pseudo-terminal the simulator names on its first line.
  for ((i = 0; i < 100; i++)); do
    [ -s "$scratch/sim.out" ] && [ "$(readlink "$com5")" = "$(head -n 1 "$scratch/sim.out")" ] && break
    sleep 0.1
  done
  text=$(timeout 300 cmake/wine-run "$cli" -q -p COM5 "$scratch/fw.enc" 2>&1)
  code=$?
  # A [Ports] entry maps COM3 to COM12 (a port above 9 opens only as \\.\COM12), which leads
  # to the same simulator: the record then holds the payloads twice.
  local com12=$FWLOAD_WINEPREFIX/dosdevices/com12 mapped mappedCode
  ln -sfn "$(readlink "$com5")" "$com12"
  printf '[Ports]\r\nCOM3=COM12\r\n' >"$scratch/fwload.INI"
  mapped=$(timeout 300 cmake/wine-run "$cli" -q --settings "$scratch/fwload.INI" -p COM3 "$scratch/fw.enc" 2>&1)
  mappedCode=$?
  rm -f "$com12"
  kill "$simpid" 2>/dev/null
  wait "$simpid" 2>/dev/null
  # The payloads of the file's blocks (16-bit big-endian length, then the bytes), in hex.
  local hex expected="" got len
  hex=$(tr -cd '0-9A-Fa-f' <"$scratch/fw.enc" | tr a-f A-F)
  for ((i = 0; i + 4 <= ${#hex}; i += 4 + 2 * len)); do
    len=$((16#${hex:i:4}))
    expected+=${hex:i+4:2*len}
  done
  got=$(od -An -v -tx1 "$scratch/record.bin" 2>/dev/null | tr -d ' \n' | tr a-f A-F)
  if [ "$code" -eq 0 ] && [ "$mappedCode" -eq 0 ] && [ -n "$expected" ] && [ "$got" = "$expected$expected" ]; then
    echo "windows smoke: uploads through COM5 and through COM3 mapped to COM12: exit 0, $(( ${#got} / 2 )) payload bytes recorded as sent: ok"
  else
    echo "windows smoke: uploads through COM5 (exit $code) and COM3 mapped to COM12 (exit $mappedCode): recorded $(( ${#got} / 2 )) of $(( ${#expected} )) payload bytes (or different ones); output: $text / $mapped"
    ok=1
  fi
  rm -rf "$scratch"
  return $ok
}

# Stages to run: all by default, or those named (./test.sh tsan windows).
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(normal asan tsan fuzz windows)
wanted() {
  local s
  for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done
  return 1
}

mkdir -p build
! wanted normal || run normal
! wanted asan || run asan -DFWLOAD_SANITIZE=address
! wanted tsan || run tsan -DFWLOAD_SANITIZE=thread -DFWLOAD_ONLY_SERIAL=ON
! wanted fuzz || fuzz
! wanted windows || windows
rm -f build-*.log 2>/dev/null || true

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
exit $status
