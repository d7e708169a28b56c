#!/bin/bash
# End-to-end run under Wine: the mock USB bus root-enumerated, usbmidi installed from
# driver/driver.inf on the mock's USB device, its child enumerated, unplug, replug with the
# stand-in client on the child, the stream scenario through it (ending in an unplug), second
# product. The scenario's transcript must be the test bed's (tests/wine-e2e/stream.transcript).
#
#   run_e2e.sh x86|x64 BUILD_DIR SOURCE_DIR
#
# BUILD_DIR holds usbmidi.sys, usbmidimock.sys, usbmidistub.sys and usbmidi_e2e.exe. Runs in a
# fresh temporary prefix, every wine command under a timeout; the wineserver is killed and the
# prefix removed on exit. The log is kept as BUILD_DIR/wine-e2e-ARCH.log, the transcript as
# BUILD_DIR/wine-e2e-ARCH.transcript.
set -euo pipefail

arch=${1:?arch x86|x64}
build=${2:?build dir}
src=${3:?source dir}
limit=${WINE_TEST_TIMEOUT:-120}

command -v wine >/dev/null || { echo "wine is not installed (scripts/test-windows.sh installs it)"; exit 1; }
for f in usbmidi.sys usbmidimock.sys usbmidistub.sys usbmidi_e2e.exe; do
  [ -f "$build/$f" ] || { echo "missing $build/$f"; exit 1; }
done
case $arch in
  x64) dirs='system32' ;;
  # A 32-bit installer writes system32 into the service paths; Wine's WoW64 redirects the 32-bit
  # driver host there to syswow64. Both hold the images so either view finds them.
  x86) dirs='system32 syswow64'
       [ -d /usr/lib/i386-linux-gnu/wine/i386-windows ] || { echo "wine32 is not installed"; exit 1; } ;;
  *) echo "unknown arch $arch"; exit 1 ;;
esac

export WINEPREFIX WINEARCH=win64 WINEDLLOVERRIDES='mscoree,mshtml='
WINEPREFIX=$(mktemp -d /tmp/usbmidi-e2e-XXXXXX)
log=$build/wine-e2e-$arch.log
cleanup() {
  timeout 30 wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

started=$SECONDS
WINEDEBUG=-all timeout "$limit" wineboot -i >/dev/null 2>&1
# The driver host inherits the output of the first command after a restart.
timeout 30 wineserver -k || true

c=$WINEPREFIX/drive_c
for d in $dirs; do
  mkdir -p "$c/windows/$d/drivers"
  # usbmidi.sys comes through its INF's CopyFiles, as it would on Windows.
  cp "$build/usbmidimock.sys" "$build/usbmidistub.sys" "$c/windows/$d/drivers/"
done
# Wine searches windows\inf for the USB device's driver; driver.inf copies usbmidi.sys from
# beside itself.
cp "$src/driver/driver.inf" "$c/windows/inf/usbmidi.inf"
cp "$build/usbmidi.sys" "$c/windows/inf/"
mkdir -p "$c/e2e"
cp "$src/testbed/wine/mock_bus.inf" "$build/usbmidi_e2e.exe" "$c/e2e/"

set +e
WINEDEBUG=err+all,fixme-all,warn+debugstr,trace+plugplay \
  timeout "$limit" wine 'C:\e2e\usbmidi_e2e.exe' 'C:\e2e\mock_bus.inf' 'C:\e2e\stream.transcript' >"$log" 2>&1
rc=$?
set -e
echo "wine ran for $((SECONDS - started)) s (exit $rc)"

# The test program's own verdicts.
grep -E '^(ok|FAILED|  )' "$log" | tr -d '\r' || true

failures=0
check() {  # check WHAT COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
lacks() { ! grep -qE -- "$1" "$log"; }
has() { grep -qE -- "$1" "$log"; }

# What reached the drivers, in order: the mock bus's record, the client stub's view of the child,
# and Wine's own PnP decisions.
seq=$build/wine-e2e-$arch.sequence
grep -oE 'mockbus: .*|clientstub: .*|plugplay:(enumerate_new_device|send_remove_device_irp|load_function_driver|install_device_driver|start_device|handle_bus_relations)[^\\]*' "$log" \
  | tr -d '\r' > "$seq" || true
echo "--- sequence ($seq)"
sed 's/^/  /' "$seq"

# Line number of the first line matching $2 after line $1 in the sequence (0 if none).
after() { awk -v from="$1" -v re="$2" 'NR > from && $0 ~ re {print NR; found=1; exit} END {if (!found) print 0}' "$seq"; }
ordered() {  # ordered RE...: each matches a later line than the one before
  local at=0 n
  for re in "$@"; do
    n=$(after "$at" "$re")
    [ "$n" -gt 0 ] || { echo "  not found after line $at: $re"; return 1; }
    at=$n
  done
}

check "test program passed" test "$rc" -eq 0
check "usbmidi loaded by Wine's PnP manager" has 'Entered Driver Entry'
check "client stub started on the child" ordered 'clientstub: added on child' 'clientstub: child pnp minor 0x00 .* -> 0x00000000'
# Unplug with the client loaded: surprise removal to the child before the USB device, then
# removal to the child before the USB device.
check "children first: surprise removal, then removal" ordered \
  'clientstub: child pnp minor 0x00 ' \
  'clientstub: child pnp minor 0x17 ' 'mockbus: .* usb pnp SURPRISE_REMOVAL' \
  'clientstub: child pnp minor 0x02 ' 'mockbus: .* usb pnp REMOVE_DEVICE'
# The same scenario on the test bed gave the checked-in transcript; the real image must give it
# line for line.
transcript=$build/wine-e2e-$arch.transcript
cp "$c/e2e/stream.transcript" "$transcript" 2>/dev/null || : >"$transcript"
tr -d '\r' <"$transcript" >"$transcript.tmp" && mv "$transcript.tmp" "$transcript"
same_transcript() {
  diff -u --label test-bed "$src/tests/wine-e2e/stream.transcript" --label "wine-$arch" "$transcript" >"$transcript.diff"
}
check "stream transcript identical to the test bed's ($(wc -l <"$transcript") lines)" same_transcript
[ -s "$transcript.diff" ] && sed 's/^/  /' "$transcript.diff"
check "the client left no request out after the removal" grep -qx 'outstanding 0, held by the device 0' "$transcript"
check "no crash in the driver host" lacks 'Unhandled (page fault|exception)|err:seh|Unimplemented function'
check "no assertion or ERR from usbmidi's AddDevice" lacks 'AddDevice failed for driver L"usbmidi"'

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; log tail follows ($log)"
  tail -150 "$log"
  exit 1
fi
echo "$arch: end-to-end run under Wine passed"
