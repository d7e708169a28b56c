#include "smf/smf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <system_error>

namespace smf {
namespace {

using u128 = unsigned __int128;

// One event as read from its track, before the tracks are merged. A tempo change takes part in
// the merge so that it times every track, but sends nothing.
struct Pending {
    std::uint64_t tick;
    std::uint32_t offset;  // into Parse::scratch
    std::uint32_t length;
    std::uint32_t tempo;   // microseconds per quarter note, for a tempo change
    std::uint16_t track;
    bool is_tempo;
};

struct Parse {
    std::span<const std::uint8_t> file;
    std::vector<Pending> pending;
    std::vector<std::uint8_t> scratch;  // event bytes in file order
    std::uint64_t end_tick = 0;
    std::optional<Error> error;

    bool fail(std::size_t offset, std::string what) {
        error = Error{offset, std::move(what)};
        return false;
    }
};

std::string hex(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string chunk_name(const std::uint8_t* id) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        if (id[i] >= 0x20 && id[i] < 0x7F)
            name += static_cast<char>(id[i]);
        else
            name += "\\x" + hex(id[i]).substr(2);
    }
    return "'" + name + "'";
}

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

// A variable-length quantity of at most four bytes (28 bits), inside [pos, end).
bool read_vlq(Parse& parse, std::size_t& pos, std::size_t end, std::uint32_t& value, const char* what) {
    const std::size_t start = pos;
    value = 0;
    for (int i = 0; i < 4; ++i) {
        if (pos == end)
            return parse.fail(pos, std::string("track data ends inside the ") + what);
        const std::uint8_t byte = parse.file[pos++];
        value = value << 7 | (byte & 0x7Fu);
        if (!(byte & 0x80))
            return true;
    }
    return parse.fail(start, std::string("the ") + what + " is a variable-length quantity longer than 4 bytes");
}

std::size_t channel_data_length(std::uint8_t status) {
    const unsigned kind = status & 0xF0u;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

bool add_event(Parse& parse, std::uint64_t tick, std::uint16_t track, std::size_t scratch_start) {
    parse.pending.push_back(Pending{tick, static_cast<std::uint32_t>(scratch_start),
                                    static_cast<std::uint32_t>(parse.scratch.size() - scratch_start), 0, track,
                                    false});
    return true;
}

bool read_sysex(Parse& parse, std::size_t& pos, std::size_t end, std::uint8_t status, std::uint64_t tick,
                std::uint16_t track) {
    const std::size_t length_at = pos;
    std::uint32_t length = 0;
    if (!read_vlq(parse, pos, end, length, "system-exclusive length"))
        return false;
    if (length > end - pos)
        return parse.fail(length_at, "system-exclusive length " + std::to_string(length) +
                                         " runs past the end of the track (" + std::to_string(end - pos) +
                                         " bytes left)");
    const auto data = parse.file.subspan(pos, length);
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint8_t byte = data[i];
        // An F0 message carries data bytes and may end with F7; an F7 packet carries anything the
        // wire can: any byte but 0xFF, which the device would take for padding.
        if (status == 0xF0 && byte >= 0x80 && !(byte == 0xF7 && i + 1 == data.size()))
            return parse.fail(pos + i, "status byte " + hex(byte) + " inside a system-exclusive message");
        if (byte == 0xFF)
            return parse.fail(pos + i, "0xFF in a system-exclusive packet cannot be sent: it is the wire's padding");
    }
    pos += length;
    if (status == 0xF7 && length == 0)
        return true;  // nothing to send
    const std::size_t start = parse.scratch.size();
    if (status == 0xF0)
        parse.scratch.push_back(0xF0);
    parse.scratch.insert(parse.scratch.end(), data.begin(), data.end());
    return add_event(parse, tick, track, start);
}

// Track chunk data in [pos, end). Running status holds across meta events (files in the wild rely
// on it) but not across system-exclusive events, which end it on the wire too.
bool read_track(Parse& parse, std::size_t pos, std::size_t end, std::uint16_t track) {
    std::uint64_t tick = 0;
    std::uint8_t running = 0;
    const std::string name = "track " + std::to_string(track);
    for (;;) {
        if (pos == end)
            return parse.fail(pos, name + " ends without an end-of-track event");
        std::uint32_t delta = 0;
        if (!read_vlq(parse, pos, end, delta, "delta time"))
            return false;
        tick += delta;
        if (pos == end)
            return parse.fail(pos, name + " ends after a delta time, before its event");

        const std::size_t event_at = pos;
        std::uint8_t status = parse.file[pos];
        if (status < 0x80) {
            if (running == 0)
                return parse.fail(pos, "data byte " + hex(status) + " with no running status in " + name);
            status = running;
        } else {
            ++pos;
        }

        if (status < 0xF0) {
            running = status;
            const std::size_t count = channel_data_length(status);
            if (count > end - pos)
                return parse.fail(event_at, name + " ends inside a channel message");
            const std::size_t start = parse.scratch.size();
            parse.scratch.push_back(status);
            for (std::size_t i = 0; i < count; ++i, ++pos) {
                if (parse.file[pos] >= 0x80)
                    return parse.fail(pos, "status byte " + hex(parse.file[pos]) + " where a data byte of the " +
                                               hex(status) + " message belongs");
                parse.scratch.push_back(parse.file[pos]);
            }
            add_event(parse, tick, track, start);
        } else if (status == 0xF0 || status == 0xF7) {
            running = 0;
            if (!read_sysex(parse, pos, end, status, tick, track))
                return false;
        } else if (status == 0xFF) {
            if (pos == end)
                return parse.fail(event_at, name + " ends inside a meta event");
            const std::uint8_t type = parse.file[pos++];
            const std::size_t length_at = pos;
            std::uint32_t length = 0;
            if (!read_vlq(parse, pos, end, length, "meta event length"))
                return false;
            if (length > end - pos)
                return parse.fail(length_at, "meta event length " + std::to_string(length) +
                                                 " runs past the end of the track (" + std::to_string(end - pos) +
                                                 " bytes left)");
            if (type == 0x2F) {
                parse.end_tick = std::max(parse.end_tick, tick);
                return true;  // whatever follows in the chunk is not part of the track
            }
            if (type == 0x51) {
                if (length != 3)
                    return parse.fail(event_at, "tempo change of " + std::to_string(length) + " bytes, 3 expected");
                const auto* p = &parse.file[pos];
                const std::uint32_t tempo = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
                parse.pending.push_back(Pending{tick, 0, 0, tempo, track, true});
            }
            pos += length;
        } else {
            return parse.fail(event_at, "status byte " + hex(status) + " cannot start an event in a file");
        }
    }
}

bool read_header(Parse& parse, Song& song, std::size_t& pos) {
    const auto file = parse.file;
    if (file.size() < 8 || std::memcmp(file.data(), "MThd", 4) != 0)
        return parse.fail(0, "not a Standard MIDI File: no MThd header chunk at the start");
    const std::uint32_t length = be32(&file[4]);
    if (length < 6)
        return parse.fail(4, "header chunk of " + std::to_string(length) + " bytes, at least 6 needed");
    if (length > file.size() - 8)
        return parse.fail(4, "header chunk length " + std::to_string(length) + " runs past the end of the file (" +
                                 std::to_string(file.size() - 8) + " bytes left)");
    song.format = be16(&file[8]);
    song.track_count = be16(&file[10]);
    const std::uint16_t division = be16(&file[12]);
    if (song.format == 2)
        return parse.fail(8, "format 2 (independent sequences) is not supported");
    if (song.format > 2)
        return parse.fail(8, "unknown format " + std::to_string(song.format));
    if (song.track_count == 0)
        return parse.fail(10, "the header announces no tracks");
    if (song.format == 0 && song.track_count != 1)
        return parse.fail(10, "a format 0 file has one track, this one announces " +
                                  std::to_string(song.track_count));
    if (division & 0x8000) {
        const int frames = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
        if (frames != 24 && frames != 25 && frames != 29 && frames != 30)
            return parse.fail(12, "SMPTE division of " + std::to_string(frames) +
                                      " frames a second; 24, 25, 29 or 30 expected");
        song.division.smpte = true;
        song.division.frames_per_second = static_cast<std::uint8_t>(frames);
        song.division.ticks_per_frame = static_cast<std::uint8_t>(division & 0xFF);
        if (song.division.ticks_per_frame == 0)
            return parse.fail(13, "SMPTE division of 0 ticks a frame");
    } else {
        if (division == 0)
            return parse.fail(12, "division of 0 ticks a quarter note");
        song.division.ticks_per_quarter = division;
    }
    pos = 8 + std::size_t{length};
    return true;
}

bool read_chunks(Parse& parse, const Song& song, std::size_t pos) {
    const auto file = parse.file;
    std::uint16_t tracks = 0;
    // Chunks after the last announced track are not read: padding or data of another program.
    while (tracks < song.track_count) {
        if (pos == file.size())
            return parse.fail(pos, "the file ends after " + std::to_string(tracks) + " of " +
                                       std::to_string(song.track_count) + " tracks");
        if (file.size() - pos < 8)
            return parse.fail(pos, "truncated chunk header: " + std::to_string(file.size() - pos) +
                                       " bytes left of 8");
        const std::uint32_t length = be32(&file[pos + 4]);
        const std::size_t left = file.size() - pos - 8;
        if (length > left)
            return parse.fail(pos + 4, "chunk " + chunk_name(&file[pos]) + " length " + std::to_string(length) +
                                           " runs past the end of the file (" + std::to_string(left) +
                                           " bytes left)");
        if (std::memcmp(&file[pos], "MTrk", 4) == 0) {
            if (!read_track(parse, pos + 8, pos + 8 + length, tracks))
                return false;
            ++tracks;
        }
        pos += 8 + std::size_t{length};
    }
    return true;
}

// Microseconds at each tick are kept exact (scaled by the division) and rounded once per event,
// so no error builds up over many tempo changes.
struct Clock {
    Division division;
    std::uint32_t tempo = kDefaultTempo;
    std::uint64_t last_tick = 0;
    u128 scaled = 0;  // microseconds times ticks_per_quarter at last_tick

    std::optional<std::uint64_t> at(std::uint64_t tick) {
        u128 numerator, denominator;
        if (division.smpte) {
            // 29 stands for 30 drop-frame, which runs at 30000/1001 frames a second.
            const bool drop = division.frames_per_second == 29;
            numerator = u128{tick} * 1000000u * (drop ? 1001u : 1u);
            denominator = u128{drop ? 30000u : division.frames_per_second} * division.ticks_per_frame;
        } else {
            scaled += u128{tick - last_tick} * tempo;
            last_tick = tick;
            numerator = scaled;
            denominator = division.ticks_per_quarter;
        }
        const u128 us = (numerator + denominator / 2) / denominator;
        if (us > std::numeric_limits<std::uint64_t>::max())
            return std::nullopt;
        return static_cast<std::uint64_t>(us);
    }
};

bool merge(Parse& parse, Song& song) {
    // Each track's events are already in tick order and the tracks follow one another, so a
    // stable sort by tick leaves ties in track order, then in file order.
    std::stable_sort(parse.pending.begin(), parse.pending.end(),
                     [](const Pending& a, const Pending& b) { return a.tick < b.tick; });
    Clock clock{song.division};
    song.events.reserve(parse.pending.size());
    song.bytes.reserve(parse.scratch.size());
    for (const Pending& p : parse.pending) {
        const auto us = clock.at(p.tick);
        if (!us)
            return parse.fail(0, "the song runs past 2^64 microseconds");
        if (p.is_tempo) {
            clock.tempo = p.tempo;
            continue;
        }
        song.events.push_back(Event{p.tick, *us, p.track, static_cast<std::uint32_t>(song.bytes.size()), p.length});
        const auto* bytes = parse.scratch.data() + p.offset;
        song.bytes.insert(song.bytes.end(), bytes, bytes + p.length);
    }
    const auto end_us = clock.at(parse.end_tick);
    if (!end_us)
        return parse.fail(0, "the song runs past 2^64 microseconds");
    song.end_tick = parse.end_tick;
    song.end_us = *end_us;
    return true;
}

}  // namespace

std::string describe(const Error& error) {
    char where[48];
    std::snprintf(where, sizeof where, "byte %zu (0x%zx): ", error.offset, error.offset);
    return where + error.what;
}

std::span<const std::uint8_t> bytes_of(const Song& song, const Event& event) {
    return std::span<const std::uint8_t>(song.bytes).subspan(event.offset, event.length);
}

Result read(std::span<const std::uint8_t> file) noexcept {
    Result result;
    try {
        if (file.size() > kMaxFileBytes) {
            result.error = Error{0, "file of " + std::to_string(file.size()) + " bytes, larger than the " +
                                        std::to_string(kMaxFileBytes) + " this reader takes"};
            return result;
        }
        Parse parse;
        parse.file = file;
        std::size_t pos = 0;
        if (!read_header(parse, result.song, pos) || !read_chunks(parse, result.song, pos) ||
            !merge(parse, result.song)) {
            result.song = Song{};
            result.error = std::move(parse.error);
        }
    } catch (...) {  // only allocation can throw here
        result.song = Song{};
        result.error = Error{0, "out of memory"};
    }
    return result;
}

Result read_file(const std::filesystem::path& path) noexcept {
    try {
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        if (ec)
            return Result{{}, Error{0, path.string() + ": " + ec.message()}};
        if (size > kMaxFileBytes)
            return Result{{}, Error{0, path.string() + ": file of " + std::to_string(size) +
                                           " bytes, larger than the " + std::to_string(kMaxFileBytes) +
                                           " this reader takes"}};
        std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
        std::ifstream in(path, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size())))
            return Result{{}, Error{0, path.string() + ": cannot be read"}};
        return read(data);
    } catch (...) {
        return Result{{}, Error{0, "out of memory"}};
    }
}

}  // namespace smf
