#!/bin/bash
# Builds usbmidi.sys for x86 (primary) and x64 with Debian's mingw-w64 and runs
# its checks: the test bed's headers against the DDK's (label layout; the x64
# comparison uses the host g++), image rules and INF (label winbuild),
# load/unload under Wine (label wine), and the end-to-end run under Wine's PnP
# manager with a mock USB bus and a stand-in client streaming through the image,
# its transcript held to the test bed's (label wine-e2e; every wine command under
# a timeout, a fresh prefix per run). Installs what it needs; safe to run again.
#
#   scripts/test-windows.sh            install if needed, build and test both
#   SKIP_INSTALL=1 scripts/test-windows.sh   assume the packages are present
#   WIN_PRESETS="win-x86" scripts/test-windows.sh   one architecture only
set -euo pipefail

cd "$(dirname "$0")/.."
start=$SECONDS
presets=${WIN_PRESETS:-win-x86 win-x64}

install_packages() {
  local want=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
              g++ cmake make python3 python3-pefile wine wine64 wine32:i386)
  local missing=() update=0
  # The 32-bit Wine (for the x86 image) comes from the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    update=1
  fi
  for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ] && [ $update -eq 0 ]; then
    echo "packages present"
    return
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}" >/tmp/test-windows-apt.log 2>&1 || {
    tail -30 /tmp/test-windows-apt.log
    exit 1
  }
  echo "installed in $((SECONDS - start)) s"
}

if [ "${SKIP_INSTALL:-0}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "run as root to install packages, or set SKIP_INSTALL=1" >&2
    exit 1
  fi
  install_packages
fi

status=0
for preset in $presets; do
  echo "=== $preset"
  t=$SECONDS
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" && ctest --preset "$preset"; then
    echo "=== $preset passed in $((SECONDS - t)) s"
  else
    echo "=== $preset FAILED"
    status=1
  fi
done

echo "=== images"
for preset in $presets; do
  image=build/$preset/usbmidi.sys
  [ -f "$image" ] || { echo "$preset: no image"; continue; }
  case $preset in
    win-x86) triplet=i686-w64-mingw32 ;;
    *) triplet=x86_64-w64-mingw32 ;;
  esac
  objdump=$triplet-objdump
  echo "$preset: $image, $(stat -c %s "$image") bytes"
  "$triplet-size" -A "$image" | awk '$1 ~ /^\./ {printf "  %-8s %6d bytes\n", $1, $2}'
  "$objdump" -p "$image" | awk '/DLL Name:/ {dll = $3; next} /^[[:space:]]*$/ {dll = ""}
    dll != "" && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ && NF == 3 {imp[dll] = imp[dll] " " $3}
    END {for (d in imp) print "  imports " d ":" imp[d]}'
done
for preset in $presets; do
  seq=$(ls build/$preset/wine-e2e-*.sequence 2>/dev/null | head -1)
  [ -n "$seq" ] && echo "$preset: wine-e2e request sequence in $seq"
  transcript=$(ls build/$preset/wine-e2e-*.transcript 2>/dev/null | head -1)
  if [ -n "$transcript" ]; then
    if cmp -s "$transcript" tests/wine-e2e/stream.transcript; then
      echo "$preset: stream transcript $transcript, identical to the test bed's"
    else
      echo "$preset: stream transcript $transcript DIFFERS from the test bed's (see $transcript.diff)"
    fi
  fi
done
echo "test-windows.sh finished in $((SECONDS - start)) s"
exit $status
