#!/bin/bash
# Loads a kernel image under Wine as a demand-start driver service, starts it,
# stops it, and checks from Wine's own traces that DriverEntry ran (its first
# debug line) and that the unload path ran on stop.
#
#   load_driver.sh x86|x64 IMAGE.sys
#
# Runs in a fresh temporary prefix, killed and removed on exit. The 32-bit image
# goes to syswow64\drivers of the 64-bit prefix and runs in Wine's WoW64
# winedevice (needs Debian's wine32).
set -euo pipefail

arch=${1:?arch x86|x64}
image=${2:?image}
service=usbmidi
limit=${WINE_TEST_TIMEOUT:-120}

[ -f "$image" ] || { echo "no image $image"; exit 1; }
command -v wine >/dev/null || { echo "wine is not installed (scripts/test-windows.sh installs it)"; exit 1; }
case $arch in
  x64) dir='system32' ;;
  x86) dir='syswow64'
       # WoW64 needs the 32-bit half of Wine.
       [ -d /usr/lib/i386-linux-gnu/wine/i386-windows ] || { echo "wine32 is not installed"; exit 1; } ;;
  *) echo "unknown arch $arch"; exit 1 ;;
esac

export WINEPREFIX WINEARCH=win64 WINEDLLOVERRIDES='mscoree,mshtml='
WINEPREFIX=$(mktemp -d /tmp/usbmidi-wine-XXXXXX)
log=$WINEPREFIX/load.log
cleanup() {
  timeout 30 wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

started=$SECONDS
WINEDEBUG=-all timeout "$limit" wineboot -i >/dev/null 2>&1
# The driver host inherits the output of the first command after a restart.
timeout 30 wineserver -k || true

drivers="$WINEPREFIX/drive_c/windows/$dir/drivers"
mkdir -p "$drivers"
cp "$image" "$drivers/$service.sys"
bin="C:\\windows\\$dir\\drivers\\$service.sys"

# One cmd.exe runs every step, so the wineserver (and the loaded driver) stay
# up between them.
printf '%s\r\n' \
  "sc create $service type= kernel start= demand binPath= $bin" \
  "sc start $service" \
  "sc query $service" \
  "sc stop $service" \
  "sc query $service" > "$WINEPREFIX/drive_c/load.bat"

set +e
WINEDEBUG=err+all,fixme-all,warn+debugstr,trace+ntoskrnl \
  timeout "$limit" wine cmd /c 'C:\load.bat' >"$log" 2>&1
rc=$?
set -e
echo "wine ran for $((SECONDS - started)) s (exit $rc)"

# What the driver and Wine's loader said about this service.
grep -E "debugstr|$service|STATE|FAILED|Unhandled|err:(seh|module|ntoskrnl)" "$log" \
  | grep -v MajorFunction | sed 's/^/  /' || true

failures=0
check() {  # check WHAT COMMAND...: passes when COMMAND succeeds
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
has() { grep -qF -- "$1" "$log"; }
lacks() { ! grep -qE -- "$1" "$log"; }
init_succeeded() {
  has "init done for L\"$service\"" && ! grep -qE "ZwLoadDriver failed .*Services.{1,2}$service\"" "$log"
}
unload_routine_set() {
  grep -A3 -F "init done for L\"$service\"" "$log" | grep -qE 'DriverUnload = 0*[1-9a-fA-F]'
}
states() { grep -oE 'STATE +: [0-9]+ +[A-Z_]+' "$log" | awk '{print $4}' | tr '\n' ' '; }

check "wine exited cleanly" test "$rc" -eq 0
check "loaded from $dir" has "loading driver L\"C:\\\\windows\\\\$dir\\\\drivers\\\\$service.sys\""
check "DriverEntry ran" has "Entered Driver Entry"
check "DriverEntry succeeded" init_succeeded
check "unload routine set" unload_routine_set
check "unloaded on stop" has "unload_driver L\"\\\\Driver\\\\$service\""
# sc query prints RUNNING after start and STOPPED after stop, in that order.
echo "service states: $(states)"
check "started, then stopped" test "$(states)" = "RUNNING RUNNING STOPPED STOPPED "
check "no crash in the driver host" lacks 'Unhandled exception|err:seh|page fault'

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed; full log follows"
  cat "$log"
  exit 1
fi
echo "$arch image loaded, started and unloaded under Wine"
