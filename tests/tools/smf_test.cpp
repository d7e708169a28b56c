// The reader on files built here byte by byte: timing, merge order, and every malformed form.
#include "smf/smf.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes be(uint32_t value, int size) {
    Bytes out;
    for (int i = size - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return out;
}

Bytes chunk(const char* tag, const Bytes& body) {
    return cat({Bytes(tag, tag + 4), be(static_cast<uint32_t>(body.size()), 4), body});
}

// A track body ends with its end-of-track unless the test leaves it off.
Bytes track(const Bytes& body, bool end = true) { return chunk("MTrk", cat({body, end ? Bytes{0, 0xFF, 0x2F, 0} : Bytes{}})); }

Bytes song_file(uint16_t format, uint16_t division, const std::vector<Bytes>& tracks, int announced = -1) {
    Bytes out = chunk("MThd", cat({be(format, 2), be(announced < 0 ? tracks.size() : announced, 2), be(division, 2)}));
    for (const auto& t : tracks)
        out = cat({out, t});
    return out;
}

Bytes tempo(uint8_t delta, uint32_t us) { return cat({{delta, 0xFF, 0x51, 0x03}, be(us, 3)}); }

Bytes fixture(const char* name) {
    std::ifstream in(std::filesystem::path(SMF_FIXTURE_DIR) / name, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), {}};
}

smf::Song read_ok(const Bytes& file) {
    auto result = smf::read(file);
    EXPECT_TRUE(result.ok()) << smf::describe(*result.error);
    return result.song;
}

std::vector<uint64_t> times(const smf::Song& song) {
    std::vector<uint64_t> out;
    for (const auto& e : song.events)
        out.push_back(e.time_us);
    return out;
}

TEST(SmfTiming, TempoChangesInAnotherTrackTimeTheNotesAfterThem) {
    // 96 ticks a quarter; 500000 us a quarter until tick 96, 250000 until 144, then 1000000.
    const auto song = read_ok(song_file(1, 96, {track({0, 0x90, 60, 1, 96, 61, 1, 48, 62, 1, 48, 63, 1, 48, 64, 1}),
                                               track(cat({tempo(96, 250000), tempo(48, 1000000)}))}));
    EXPECT_EQ(times(song), (std::vector<uint64_t>{0, 500000, 625000, 1125000, 1625000}));
    EXPECT_EQ(song.end_tick, 240u);
    EXPECT_EQ(song.end_us, 1625000u);
}

TEST(SmfTiming, RoundsOnceFromExactTimeNotOncePerTempoChange) {
    // 3 ticks a quarter at 100 us: a tick is 33 1/3 us. The tempo is restated every tick, so
    // rounding each stretch would lose a third of a microsecond per tick.
    Bytes body = {0, 0x90, 60, 1};
    for (int i = 0; i < 300; ++i)
        body = cat({body, tempo(i == 0 ? 0 : 1, 100)});
    body = cat({body, {1, 0x90, 61, 1, 1, 0x90, 62, 1}});
    const auto song = read_ok(song_file(0, 3, {track(body)}));
    EXPECT_EQ(times(song), (std::vector<uint64_t>{0, 10000, 10033}));
}

TEST(SmfTiming, SmpteTicksAreFractionsOfASecondWhateverTheTempo) {
    const Bytes notes = cat({tempo(0, 1000000), {0x87, 0x68, 0x90, 60, 1}});  // note at tick 1000
    EXPECT_EQ(times(read_ok(song_file(0, 0xE728, {track(notes)}))), std::vector<uint64_t>{1000000});  // 25 x 40
    // 30 drop-frame runs at 29.97 frames a second: 1000 ticks of 100 a frame are 333667 us.
    EXPECT_EQ(times(read_ok(song_file(0, 0xE364, {track(notes)}))), std::vector<uint64_t>{333667});
}

TEST(SmfMerge, TiesGoInTrackOrderThenFileOrder) {
    const auto song = read_ok(song_file(1, 96, {track({10, 0x90, 1, 1, 0, 0x90, 2, 1}), track({0, 0x91, 3, 1, 10, 0x91, 4, 1}),
                                               track({10, 0x92, 5, 1, 0, 0x92, 6, 1, 0, 0xF7, 1, 0xF8})}));
    std::vector<std::pair<uint16_t, uint8_t>> order;
    for (const auto& e : song.events)
        order.emplace_back(e.track, smf::bytes_of(song, e).back() == 0xF8 ? 0xF8 : smf::bytes_of(song, e)[1]);
    EXPECT_EQ(order, (std::vector<std::pair<uint16_t, uint8_t>>{{1, 3}, {0, 1}, {0, 2}, {1, 4}, {2, 5}, {2, 6}, {2, 0xF8}}));
    // The stream is the events' bytes end to end.
    EXPECT_EQ(song.bytes, (Bytes{0x91, 3, 1, 0x90, 1, 1, 0x90, 2, 1, 0x91, 4, 1, 0x92, 5, 1, 0x92, 6, 1, 0xF8}));
}

TEST(SmfSysex, PacketsAreSentAsTheyAreAndNothingOfAnEmptyOne) {
    const auto song = read_ok(song_file(0, 96, {track({0, 0xF0, 2, 0x7D, 1, 0, 0xF7, 0, 0, 0xF7, 2, 2, 0xF7})}));
    ASSERT_EQ(song.events.size(), 2u);
    EXPECT_EQ(song.bytes, (Bytes{0xF0, 0x7D, 1, 2, 0xF7}));
}

TEST(SmfReadFile, MissingAndOversizedFilesAreErrors) {
    EXPECT_FALSE(smf::read_file("/nonexistent/song.mid").ok());
    const auto big = std::filesystem::path(testing::TempDir()) / "big.mid";
    std::ofstream(big, std::ios::binary) << "MThd";
    std::filesystem::resize_file(big, smf::kMaxFileBytes + 1);
    const auto result = smf::read_file(big);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error->what.find("larger than"), std::string::npos) << result.error->what;
}

struct Broken {
    const char* name;
    Bytes file;
    size_t offset;
    const char* what;
};

// Files with one fault each; a good file is header (14 bytes) then a track whose data starts at 22.
TEST(SmfMalformed, EachFaultIsReportedWithItsByte) {
    const Bytes note = {0, 0x90, 60, 100};
    const Broken cases[] = {
        {"bad-magic.mid", fixture("bad-magic.mid"), 0, "no MThd"},
        {"truncated-chunk.mid", fixture("truncated-chunk.mid"), 30, "truncated chunk header: 6 bytes left of 8"},
        {"vlq-5-bytes.mid", fixture("vlq-5-bytes.mid"), 22, "longer than 4 bytes"},
        {"track-past-end.mid", fixture("track-past-end.mid"), 18,
         "length 4294967280 runs past the end of the file (8 bytes left)"},
        {"running-status-without-status.mid", fixture("running-status-without-status.mid"), 23, "no running status"},
        {"sysex-past-end.mid", fixture("sysex-past-end.mid"), 24, "system-exclusive length 1000 runs past the end"},
        {"format-2.mid", fixture("format-2.mid"), 8, "format 2 (independent sequences) is not supported"},
        {"format 0 with two tracks", song_file(0, 96, {track(note), track(note)}), 10, "announces 2"},
        {"unknown format", song_file(3, 96, {track(note)}), 8, "unknown format 3"},
        {"no tracks", song_file(1, 96, {}), 10, "no tracks"},
        {"zero division", song_file(0, 0, {track(note)}), 12, "0 ticks a quarter"},
        {"SMPTE rate", song_file(0, 0xE928, {track(note)}), 12, "23 frames a second"},
        {"SMPTE resolution", song_file(0, 0xE700, {track(note)}), 13, "0 ticks a frame"},
        {"short header", cat({chunk("MThd", {0, 0, 0, 1, 0}), track(note)}), 4, "at least 6"},
        {"header past the end", Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0}, 4, "runs past the end"},
        {"fewer tracks than announced", song_file(1, 96, {track(note)}, 2), 30, "after 1 of 2 tracks"},
        {"no end of track", song_file(0, 96, {track(note, false)}), 26, "without an end-of-track"},
        {"delta with no event", song_file(0, 96, {track({0, 0x90, 60, 100, 0}, false)}), 27, "before its event"},
        {"VLQ cut by the end", song_file(0, 96, {track({0x81}, false)}), 23, "inside the delta time"},
        {"message cut by the end", song_file(0, 96, {track({0, 0x90, 60}, false)}), 23, "inside a channel"},
        {"status for data", song_file(0, 96, {track({0, 0x90, 60, 0x80})}), 25, "where a data byte"},
        {"system common status", song_file(0, 96, {track({0, 0xF2, 0, 0})}), 23, "cannot start an event"},
        {"running status after sysex", song_file(0, 96, {track({0, 0x90, 60, 1, 0, 0xF0, 1, 0xF7, 0, 61, 1})}), 31,
         "no running status"},
        {"running status into the next track", song_file(1, 96, {track(note), track({0, 61, 1})}), 39,
         "no running status in track 1"},
        {"status inside a message", song_file(0, 96, {track({0, 0xF0, 3, 0x7D, 0xF7, 1})}), 26, "inside a system-exclusive"},
        {"0xFF in a packet", song_file(0, 96, {track({0, 0xF7, 2, 0xF8, 0xFF})}), 26, "wire's padding"},
        {"sysex of 2^28-1 bytes", song_file(0, 96, {track({0, 0xF0, 0xFF, 0xFF, 0xFF, 0x7F})}), 24, "268435455"},
        {"meta past the end", song_file(0, 96, {track({0, 0xFF, 0x01, 9, 'a'})}), 25, "meta event length 9"},
        {"tempo of two bytes", song_file(0, 96, {track({0, 0xFF, 0x51, 2, 7, 0xA1})}), 23, "3 expected"},
    };
    for (const auto& c : cases) {
        const auto result = smf::read(c.file);
        ASSERT_FALSE(result.ok()) << c.name;
        EXPECT_TRUE(result.song.events.empty()) << c.name;
        EXPECT_EQ(result.error->offset, c.offset) << c.name << ": " << smf::describe(*result.error);
        EXPECT_NE(result.error->what.find(c.what), std::string::npos) << c.name << ": " << result.error->what;
    }
}

}  // namespace
