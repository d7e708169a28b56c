#!/bin/sh
# Runs the main job with bad input: it must refuse with exit status 2 and one line on stderr that
# names the problem, never crash or run.
demo="$1"
shift
err=$("$demo" "$@" 2>&1 >/dev/null)
status=$?
lines=$(printf '%s\n' "$err" | grep -c .)
echo "exit $status: $err"
[ "$status" -eq 2 ] && [ "$lines" -eq 1 ] && printf '%s' "$err" | grep -q '^usbmidi-demo: '
