// libFuzzer target for the reader. Besides the sanitizers' findings, a result that breaks the
// reader's promises to the main job stops the run.
#include "smf/smf.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto result = smf::read({data, size});
    const auto& song = result.song;
    if (!result.ok()) {
        if (!song.events.empty() || !song.bytes.empty() || result.error->what.empty())
            __builtin_trap();
        return 0;
    }
    size_t next = 0;
    const smf::Event* last = nullptr;
    for (const auto& e : song.events) {
        // In order, end to end, never empty, timed forward, and never the wire's padding byte.
        if (e.offset != next || e.length == 0 || e.track >= song.track_count || e.tick > song.end_tick)
            __builtin_trap();
        if (last && (e.tick < last->tick || e.time_us < last->time_us ||
                     (e.tick == last->tick && e.track < last->track)))
            __builtin_trap();
        for (uint8_t b : smf::bytes_of(song, e))
            if (b == 0xFF)
                __builtin_trap();
        next += e.length;
        last = &e;
    }
    if (next != song.bytes.size() || (last && last->time_us > song.end_us))
        __builtin_trap();
    return 0;
}
