// Standard MIDI File reader for the main job: a file becomes one timed byte stream that the job
// writes through the driver. The input is untrusted; every failure comes back as an Error, never
// as an exception or a read past the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace smf {

// Larger than any real song; bounds what a hostile file can make us allocate.
inline constexpr std::size_t kMaxFileBytes = 4u << 20;

// Tempo in force until a file's first tempo change: 120 quarter notes a minute.
inline constexpr std::uint32_t kDefaultTempo = 500000;

struct Error {
    std::size_t offset = 0;  // byte in the file where reading stopped
    std::string what;
};

// "byte 26 (0x1a): ..." for a log line.
std::string describe(const Error& error);

struct Division {
    bool smpte = false;                  // ticks are subdivisions of a second, tempo ignored
    std::uint16_t ticks_per_quarter = 0; // metrical time
    std::uint8_t frames_per_second = 0;  // SMPTE: 24, 25, 29 (30 drop-frame) or 30
    std::uint8_t ticks_per_frame = 0;    // SMPTE
};

struct Event {
    std::uint64_t tick = 0;     // absolute, from the start of the song
    std::uint64_t time_us = 0;  // due time from the start, rounded to the nearest microsecond
    std::uint16_t track = 0;    // index of the track chunk it came from
    std::uint32_t offset = 0;   // its bytes in Song::bytes
    std::uint32_t length = 0;
};

// The events in playing order (tick, then track, then order in the track). Their bytes lie in
// that order end to end in `bytes`, so events.size() and bytes.size() are the stream's totals.
// Channel messages are complete (running status expanded), a system-exclusive event is F0 and its
// data, an F7 packet is its data alone; meta events never appear: 0xFF is the wire's padding.
struct Song {
    std::uint16_t format = 0;
    std::uint16_t track_count = 0;
    Division division;
    std::vector<Event> events;
    std::vector<std::uint8_t> bytes;
    std::uint64_t end_tick = 0;  // the last end-of-track
    std::uint64_t end_us = 0;
};

std::span<const std::uint8_t> bytes_of(const Song& song, const Event& event);

struct Result {
    Song song;                   // empty when error is set
    std::optional<Error> error;
    bool ok() const { return !error; }
};

Result read(std::span<const std::uint8_t> file) noexcept;
Result read_file(const std::filesystem::path& path) noexcept;

}  // namespace smf
