#!/usr/bin/env bash
# Plays a MIDI file through the main job and holds its event and byte counts against Debian's mido
# reading the same file (every message that is not a meta event, its bytes as sent). With
# MIN_MAX_DELAY_US set, the run's largest delay to the wire must be at least that: a bound that
# physics sets (a dump's time on the cable), so it cannot be missed by a slow machine.
#   check_play.sh DEMO FILE WORKDIR [DEMO OPTIONS...]
set -euo pipefail
demo=$1
file=$2
dir=$3
shift 3
mkdir -p "$dir"
json="$dir/$(basename "$file").json"
"$demo" --quiet --play "$file" --json "$json" "$@" >"$dir/$(basename "$file").txt"
read -r events bytes < <(/usr/bin/python3 - "$file" <<'PY'
import sys
import mido
song = mido.MidiFile(sys.argv[1], clip=True)
sent = [m for m in song if not m.is_meta]
print(len(sent), sum(len(m.bin()) for m in sent))
PY
)
played_events=$(sed -n 's/.*"played_events": \([0-9]*\).*/\1/p' "$json")
played_bytes=$(sed -n 's/.*"played_bytes": \([0-9]*\).*/\1/p' "$json")
if [ "$played_events" != "$events" ] || [ "$played_bytes" != "$bytes" ]; then
  echo "$(basename "$file"): the run played $played_events events, $played_bytes bytes; mido reads $events, $bytes" >&2
  exit 1
fi
if [ -n "${MIN_MAX_DELAY_US:-}" ]; then
  max=$(sed -n 's/.*"latency_us": {.*"max": \([0-9.e+]*\)}.*/\1/p' "$json")
  if ! /usr/bin/python3 -c "import sys; sys.exit(0 if float('$max') >= $MIN_MAX_DELAY_US else 1)"; then
    echo "$(basename "$file"): the largest delay to the wire is $max us, below the $MIN_MAX_DELAY_US us physics sets" >&2
    exit 1
  fi
  echo "$(basename "$file"): largest delay to the wire $max us (at least $MIN_MAX_DELAY_US us)"
fi
echo "$(basename "$file"): $events events, $bytes bytes, as mido reads it"
