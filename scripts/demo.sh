#!/usr/bin/env bash
# The main job: builds the driver into the test bed and runs it through the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target usbmidi-demo
./build/dev/tools/usbmidi-demo "$@"
