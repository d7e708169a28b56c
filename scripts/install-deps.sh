#!/usr/bin/env bash
# Installs what the test bed build needs on a fresh Debian machine (run as root), with what the
# coverage report (gcovr) and the static analysis (clang-tidy 14, python3) need.
set -euo pipefail
need=()
# midicsv and python3-mido are the independent decoders the MIDI file reader is checked against;
# libpcap writes the USB captures, and tshark is what they are checked against. clang-14 with
# libclang-rt-14-dev (libFuzzer and the sanitizer runtimes) builds the fuzz targets.
for pkg in cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev midicsv python3-mido libpcap-dev tshark \
           gcovr clang-tidy-14 python3 clang-14 libclang-rt-14-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # tshark's package asks whether non-root users may capture: no, the tests only read files.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update
  apt-get install -y --no-install-recommends "${need[@]}"
fi
