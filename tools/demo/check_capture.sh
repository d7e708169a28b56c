#!/usr/bin/env bash
# Runs the main job with --pcap and reads the capture back with tshark: as many packets as the run
# reported writing, the start and stop messages among the bulk-out data, and the stop message last.
#   check_capture.sh DEMO WORKDIR
set -euo pipefail
demo=$1
dir=$2
mkdir -p "$dir"
"$demo" --quiet --pcap "$dir/run.pcap" --json "$dir/run.json" >"$dir/run.txt"
written=$(sed -n 's/.*"pcap_packets": \([0-9]*\).*/\1/p' "$dir/run.json")
# An empty configuration directory: the user's Wireshark profile must not change the dissection.
export XDG_CONFIG_HOME="$dir/tshark-config" HOME="$dir"
timeout 120 tshark -r "$dir/run.pcap" -T fields -e usb.endpoint_address -e usb.capdata >"$dir/fields.txt" 2>"$dir/tshark.err"
read_back=$(wc -l <"$dir/fields.txt")
if [ "$written" != "$read_back" ] || [ "$written" -eq 0 ]; then
  echo "the run wrote $written packets, tshark read $read_back" >&2
  exit 1
fi
start=f0002f5a640b0000f7
stop=f0002f5a6410007f40f7
out=$(awk -F'\t' '$1 == "0x02" && $2 != "" { print $2 }' "$dir/fields.txt")
if [ "$(grep -c "^$start" <<<"$out")" -ne 2 ]; then
  echo "the start message is not on the bulk-out pipe twice" >&2
  exit 1
fi
if ! tail -n1 <<<"$out" | grep -q "^$stop"; then
  echo "the last bulk-out data is not the stop message: $(tail -n1 <<<"$out")" >&2
  exit 1
fi
echo "capture: $read_back packets read back, start and stop messages in place"
