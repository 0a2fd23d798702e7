#!/usr/bin/env bash
# The .deb as a user gets it: cpack packs this build, the package is unpacked into a scratch
# root, and its commands run from there. The packaged fwload-cli flashes a sample file to the
# packaged fwload-sim, and the packaged window starts and stays up on the offscreen platform.
#   PackageTest.sh BUILD_DIR MAKE_SAMPLE
set -euo pipefail
build=$1
make_sample=$2
work=$(mktemp -d)
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 \
  || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/fwload_*.deb)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"
[[ $depends == *libqt6widgets6* ]] || fail "the package does not depend on Qt's widgets"
[[ $depends == *libc6* ]] || fail "the package does not depend on libc6"

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/fwload usr/bin/fwload-cli usr/bin/fwload-sim \
  usr/share/applications/fwload.desktop \
  usr/share/icons/hicolor/16x16/apps/fwload.png usr/share/icons/hicolor/256x256/apps/fwload.png \
  usr/share/man/man1/fwload.1 usr/share/man/man1/fwload-cli.1 usr/share/man/man1/fwload-sim.1 \
  usr/share/fwload/udev/99-fwload-serial.rules; do
  [ -s "$root/$f" ] || fail "$f is not in the package"
done
for b in fwload fwload-cli fwload-sim; do
  ! ldd "$root/usr/bin/$b" | grep -q "not found" || fail "$b has unresolved libraries"
  ! readelf -S "$root/usr/bin/$b" | grep -q "\.debug_info" || fail "$b is not stripped"
done
grep -qx "Exec=fwload" "$root/usr/share/applications/fwload.desktop" || fail "menu entry"
grep -q 'GROUP="dialout"' "$root/usr/share/fwload/udev/99-fwload-serial.rules" || fail "udev"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/fwload.desktop" || fail "menu entry invalid"
fi

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$HOME"
"$root/usr/bin/fwload-cli" --help | grep -q -- "--list-ports" || fail "fwload-cli --help"

"$make_sample" "$work/fw.enc" 24 200 >/dev/null
"$root/usr/bin/fwload-sim" --baud 115200 --link "$work/dev" --record "$work/took.bin" \
  >"$work/sim.out" &
sim=$!
for _ in $(seq 100); do
  [ -L "$work/dev" ] && break
  sleep 0.05
done
[ -L "$work/dev" ] || fail "fwload-sim made no link"
set +e
"$root/usr/bin/fwload-cli" -q -p "$work/dev" -b 115200 "$work/fw.enc" >"$work/cli.out" 2>&1
status=$?
set -e
cat "$work/cli.out"
[ $status -eq 0 ] || fail "fwload-cli exit $status"
grep -q "Прошивка обновлена успешно!" "$work/cli.out" || fail "no success line"
[ "$(stat -c %s "$work/took.bin")" -eq $((24 * 200)) ] || fail "the simulator took the wrong size"

# The window has no way to end by itself; alive after 3 s means it found its libraries,
# its platform plugin and its resources.
set +e
QT_QPA_PLATFORM=offscreen timeout 3 "$root/usr/bin/fwload" >"$work/gui.out" 2>&1
status=$?
set -e
[ $status -eq 124 ] || { cat "$work/gui.out"; fail "fwload ended with $status"; }
echo "package works"
