// The Standard MIDI File reader on untrusted bytes: it must end in a song or an error, and a
// song must hold together - events in playing order, their bytes inside the stream and end to
// end, nothing after the song's end.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "smf/smf.h"

namespace {
[[noreturn]] void Fail(const char* what, unsigned long long a = 0, unsigned long long b = 0) {
  std::fprintf(stderr, "FUZZ FAILURE: %s (%llu, %llu)\n", what, a, b);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  smf::Result result = smf::read(std::span<const std::uint8_t>(data, size));
  if (!result.ok()) {
    if (result.error->offset > size) Fail("error offset past the file", result.error->offset, size);
    if (result.error->what.empty()) Fail("error without a reason");
    if (!result.song.events.empty() || !result.song.bytes.empty()) Fail("a failed read left events");
    return 0;
  }
  const smf::Song& song = result.song;
  std::uint64_t next = 0;
  const smf::Event* previous = nullptr;
  for (const smf::Event& e : song.events) {
    if (e.offset != next) Fail("event bytes not end to end", e.offset, next);
    if (e.length == 0) Fail("an empty event", e.offset);
    next += e.length;
    if (next > song.bytes.size()) Fail("event past the byte stream", next, song.bytes.size());
    if (e.track >= song.track_count) Fail("event of a track the file lacks", e.track, song.track_count);
    if (previous != nullptr) {
      if (e.tick < previous->tick) Fail("events out of tick order", e.tick, previous->tick);
      if (e.time_us < previous->time_us) Fail("event due before the one before it", e.time_us, previous->time_us);
      if (e.tick == previous->tick && e.track < previous->track) Fail("same tick out of track order");
    }
    if (e.tick > song.end_tick) Fail("event after the song's end", e.tick, song.end_tick);
    auto bytes = smf::bytes_of(song, e);
    if (bytes.size() != e.length) Fail("bytes_of disagrees with the event", bytes.size(), e.length);
    if (bytes[0] == 0xFF) Fail("a meta event in the stream", e.offset);
    previous = &e;
  }
  if (next != song.bytes.size()) Fail("bytes left over after the events", next, song.bytes.size());
  if (previous != nullptr && previous->time_us > song.end_us) Fail("event after the song's end time");
  return 0;
}
