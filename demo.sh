#!/usr/bin/env bash
# Builds fwload and starts it against the boot-loader simulator: fwload-sim on a
# pseudo-terminal, COM1 mapped to it in the settings file, a sample firmware file in the
# working directory. Press Файл, pick sample.enc, press Обновить. Without a display the same
# upload runs through fwload-cli.
set -euo pipefail
cd "$(dirname "$0")"
root=$PWD
.ci/install-deps
build=$root/build/demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target fwload fwload-cli fwload-sim fwload-make-sample -- -j"$(nproc)"

work=$build/demo
mkdir -p "$work"
link=$work/ttyFWLOAD
rm -f "$link"
# The settings' default speed is 19200 baud; pacing the simulator at it makes the upload take
# the time a real line takes.
"$build/tools/fwload-sim/fwload-sim" --accept --baud 19200 --link "$link" \
  --record "$work/received.bin" >"$work/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done
[ -e "$link" ] || { echo "fwload-sim did not start: $(cat "$work/sim.log")" >&2; exit 1; }

# COM1 is the simulator: section Ports of the settings file beside the executable.
ini=$build/app/gui/fwload.INI
touch "$ini"
if grep -q '^\[Ports\]' "$ini"; then
  sed -i '/^\[Ports\]/,/^\[/{/^COM1=/d}' "$ini"
  sed -i "/^\[Ports\]/a COM1=$link" "$ini"
else
  printf '[Ports]\nCOM1=%s\n' "$link" >>"$ini"
fi

cd "$work"
"$build/tools/make-sample/fwload-make-sample" sample.enc 64 256
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  # No display: the same upload from the command line, with the same settings file.
  echo "No display: uploading sample.enc with fwload-cli instead of the window." >&2
  "$build/tools/fwload-cli/fwload-cli" --settings "$ini" --progress=bar sample.enc
  exit $?
fi
echo "fwload: COM1 is the simulator ($link); the blocks it accepts go to $work/received.bin"
"$build/app/gui/fwload"
