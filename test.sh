#!/usr/bin/env bash
# Configures, builds and runs every test three ways: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the layers below the GUI.
# Exits non-zero when any build or test fails.
set -uo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
summary=()

run() {
  local name=$1
  shift
  echo "=== $name build ==="
  if ! cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"build-$name.log" 2>&1 \
    || ! cmake --build "build/$name" -j"$jobs" >>"build-$name.log" 2>&1; then
    tail -n 60 "build-$name.log"
    echo "$name: build failed"
    summary+=("$name: build failed")
    status=1
    return
  fi
  local out
  out=$(mktemp)
  ctest --test-dir "build/$name" --output-on-failure -j"$jobs" --timeout 300 2>&1 | tee "$out"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  summary+=("$name: $(grep -E 'tests passed|tests failed' "$out" | tail -n 1)")
  rm -f "$out"
}

mkdir -p build
run normal
run asan -DFWLOAD_SANITIZE=address
run tsan -DFWLOAD_SANITIZE=thread -DFWLOAD_ONLY_SERIAL=ON
rm -f build-*.log 2>/dev/null || true

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
exit $status
