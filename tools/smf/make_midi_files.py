#!/usr/bin/python3
"""Writes the main job's example song and the reader's test files, byte for byte the same each run.

    /usr/bin/python3 tools/smf/make_midi_files.py          # (re)write them
    /usr/bin/python3 tools/smf/make_midi_files.py --check  # exit 1 if a committed file differs

Files are assembled by hand rather than through a MIDI library, so that running status, F7
packets and broken files come out exactly as written here.
"""
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "tools/smf/phrase.mid"
FIXTURES = ROOT / "tests/tools/smf"


def vlq(n):
    out = [n & 0x7F]
    n >>= 7
    while n:
        out.append(0x80 | (n & 0x7F))
        n >>= 7
    return bytes(reversed(out))


def chunk(tag, body, length=None):
    return tag + struct.pack(">I", len(body) if length is None else length) + body


def header(fmt, tracks, division=96):
    return chunk(b"MThd", struct.pack(">HHH", fmt, tracks, division))


def track(*events):
    """events: (delta, bytes) pairs; bytes are written as given, so leaving out a status byte
    is running status. The end of track is added."""
    return chunk(b"MTrk", b"".join(vlq(d) + e for d, e in events) + vlq(0) + END)


def meta(kind, data):
    return bytes([0xFF, kind]) + vlq(len(data)) + data


def tempo(us):
    return meta(0x51, us.to_bytes(3, "big"))


def sysex(data):
    return b"\xF0" + vlq(len(data)) + data


def packet(data):
    return b"\xF7" + vlq(len(data)) + data


END = meta(0x2F, b"")


def NAME(text):
    return meta(0x03, text.encode())


def notes(channel, pitches, step, length, velocity=90):
    """A line of notes, each `length` ticks long and starting every `step` ticks."""
    events, rest = [], 0
    for p in pitches:
        events.append((rest, bytes([0x90 | channel, p, velocity])))
        events.append((length, bytes([0x80 | channel, p, 0x40])))
        rest = step - length
    return events


def phrase():
    # Two bars at 96 quarter notes a minute (five seconds): a melody over a walking bass. Played at
    # its tempo over a 31,250-baud cable it never queues one event behind another: the set-up
    # messages are a few ticks apart (a tick is 1.3 ms, a 3-byte message 0.96 ms on the cable) and
    # the bass plays two ticks behind the melody.
    q = 480
    conductor = track((0, NAME("phrase")), (0, meta(0x58, bytes([4, 2, 24, 8]))), (0, tempo(625000)))
    melody = [(0, NAME("melody")), (0, b"\xC0\x00"), (2, b"\xB0\x07\x64")]
    line = notes(0, [64, 67, 69, 67, 64, 62, 60, 62, 64, 67, 72, 71], q // 2, q // 2 - 20)
    melody += [(46, line[0][1])] + line[1:]
    melody += [(20, b"\x90\x48\x60"), (q * 2 - 20, b"\x80\x48\x40")]
    bass = [(0, NAME("bass")), (4, b"\xC1\x20")]
    walk = notes(1, [36, 40, 43, 45, 41, 43, 36], q, q - 40, 80)
    bass += [(46, walk[0][1])] + walk[1:]
    return header(1, 3, q) + conductor + track(*melody) + track(*bass)


def format0():
    # Every channel message kind, on several channels, among meta events that are not sent.
    return header(0, 1) + track(
        (0, NAME("every kind")), (0, meta(0x58, bytes([3, 2, 24, 8]))), (0, tempo(400000)),
        (0, b"\xC2\x13"), (0, b"\xB2\x07\x50"), (0, b"\x92\x3C\x64"), (12, b"\xA2\x3C\x30"),
        (12, b"\xD2\x20"), (12, b"\xE2\x00\x40"), (6, b"\xE2\x7F\x7F"), (0, meta(0x01, b"bend back")),
        (6, b"\xE2\x00\x00"), (12, b"\x82\x3C\x40"), (0, b"\x9F\x40\x7F"), (48, b"\x9F\x40\x00"),
        (0, meta(0x59, b"\x00\x00")))


def running_status():
    # Running status for every kind, across a meta event, and a note-on of velocity 0 as note-off.
    return header(0, 1, 120) + track(
        (0, b"\x90\x3C\x64"), (30, b"\x3E\x64"), (30, b"\x40\x64"), (0, meta(0x01, b"text")),
        (30, b"\x3C\x00"), (0, b"\x3E\x00"), (0, b"\x40\x00"), (0, b"\xB0\x40\x7F"), (10, b"\x40\x00"),
        (0, b"\xC1\x05"), (10, b"\x06"), (0, b"\xD1\x10"), (5, b"\x20"), (5, b"\x30"),
        (0, b"\xE1\x00\x40"), (5, b"\x10\x40"), (0, b"\xA1\x3C\x10"), (5, b"\x3C\x20"))


def format1():
    # Three tracks meeting at the same ticks, and a chunk the reader does not know between them.
    drums = track((0, b"\x99\x24\x70"), (0, b"\x99\x2A\x50"), (96, b"\x89\x24\x40"), (0, b"\x2A\x40"),
                  (0, b"\x99\x26\x70"), (96, b"\x26\x00"))
    return (header(1, 3) + track((0, tempo(600000)), (0, b"\xC0\x01"), (96, b"\x90\x3C\x50"), (96, b"\x3C\x00"))
            + track((0, b"\xC1\x21"), (96, b"\x91\x30\x50"), (96, b"\x81\x30\x40"))
            + chunk(b"Xtra", b"not a track") + drums)


def tempo_changes():
    # The notes are in the first track, the tempo map (several changes, one off the beat, one on
    # the same tick as a note) in the second: each must time the other track.
    division = 384
    line = notes(0, [60 + (i % 12) for i in range(16)], division // 2, division // 2 - 24, 100)
    changes = [(0, 500000), (768, 400000), (1536, 750000), (2000, 333333), (2688, 1000000)]
    tmap, last = [(0, NAME("tempo map"))], 0
    for tick, us in changes:
        tmap.append((tick - last, tempo(us)))
        last = tick
    return header(1, 2, division) + track(*line) + track(*tmap)


def sysex_dump():
    # A 300-byte message from F0 to F7, between notes.
    data = bytes([0x7D, 0x10]) + bytes((i * 7) % 128 for i in range(296)) + b"\xF7"
    assert len(data) + 1 == 300
    return header(0, 1) + track((0, b"\x90\x3C\x64"), (24, sysex(data)), (0, b"\x80\x3C\x40"),
                                (24, sysex(b"\x7E\x7F\x09\x01\xF7")), (0, b"\x90\x3E\x64"), (24, b"\x80\x3E\x40"))


def sysex_packets():
    # A dump sent in three packets spaced in time (F0 without its F7, then F7 continuations), and
    # F7 escapes carrying other bytes: a song position and a timing clock.
    body = bytes(range(0x20, 0x60))
    return header(0, 1) + track(
        (0, sysex(b"\x7D\x20" + body[:20])), (10, packet(body[20:44])), (10, packet(body[44:] + b"\xF7")),
        (0, b"\x90\x3C\x64"), (20, packet(b"\xF2\x10\x02")), (0, packet(b"\xF8")), (20, b"\x80\x3C\x40"))


def smpte():
    # 25 frames of 40 ticks: a tick is a millisecond, whatever the tempo says.
    return (chunk(b"MThd", struct.pack(">HHBB", 0, 1, 0x100 - 25, 40))
            + track((0, tempo(1000000)), (500, b"\x90\x3C\x64"), (250, b"\x80\x3C\x40"), (1250, b"\x90\x3E\x64")))


def bad(body_of_track):
    return header(0, 1) + chunk(b"MTrk", body_of_track)


def malformed():
    good = format0()
    return {
        "bad-magic.mid": b"RIFF" + good[4:],
        # The second track's chunk header is cut after its tag and half its length.
        "truncated-chunk.mid": header(1, 2) + track((0, b"\x90\x3C\x64")) + b"MTrk\x00\x00",
        "vlq-5-bytes.mid": bad(b"\x81\x80\x80\x80\x00\x90\x3C\x64" + vlq(0) + END),
        "track-past-end.mid": header(0, 1) + chunk(b"MTrk", b"\x00\x90\x3C\x64" + vlq(0) + END, 0xFFFFFFF0),
        "running-status-without-status.mid": bad(b"\x00\x3C\x64" + vlq(0) + END),
        "sysex-past-end.mid": bad(b"\x00\xF0\x87\x68\x7D\x01\x02\xF7" + vlq(0) + END),
        "format-2.mid": header(2, 1) + track((0, b"\x90\x3C\x64")),
    }


def files():
    out = {EXAMPLE: phrase()}
    wellformed = {"format-0.mid": format0(), "running-status.mid": running_status(), "format-1.mid": format1(),
                  "tempo-changes.mid": tempo_changes(), "sysex-dump.mid": sysex_dump(),
                  "sysex-packets.mid": sysex_packets(), "smpte.mid": smpte()}
    for name, data in {**wellformed, **malformed()}.items():
        out[FIXTURES / name] = data
    return out


def main():
    check = "--check" in sys.argv[1:]
    stale = []
    for path, data in files().items():
        if check:
            if not path.exists() or path.read_bytes() != data:
                stale.append(path.relative_to(ROOT))
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
    for path in stale:
        print(f"{path} differs from what {pathlib.Path(__file__).name} makes", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
