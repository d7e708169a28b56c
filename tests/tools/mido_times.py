#!/usr/bin/python3
"""Plays a MIDI file with Debian's mido and prints, per sent message, its time from the start in
seconds and its bytes (or "sysex"), then "end" with the time of the last end of track. It reads
every chunk after the header as a track: the caller hands it a file of tracks only."""
import sys

import mido


def main(path):
    song = mido.MidiFile(path, clip=True)
    now = 0.0
    for message in song:
        now += message.time
        if message.type == "end_of_track":
            end = now
        elif message.type == "sysex":
            print(repr(now), "sysex")
        elif not message.is_meta:
            print(repr(now), message.hex().replace(" ", ""))
    print(repr(end), "end")


if __name__ == "__main__":
    main(sys.argv[1])
