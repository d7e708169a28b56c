// The reader against two independent decoders from Debian, run on each fixture at test time:
// midicsv for every event's track, tick and bytes, mido for the merged order and the due times.
#include "smf/smf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include <unistd.h>

namespace {

const std::filesystem::path kFixtures = SMF_FIXTURE_DIR;

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command << " failed; scripts/install-deps.sh installs midicsv and python3-mido";
    return out;
}

// Both decoders stop at a chunk they do not know between tracks: they get a copy without it, one
// per test process since tests run in parallel.
std::filesystem::path tracks_only(const std::filesystem::path& fixture) {
    std::ifstream in(fixture, std::ios::binary);
    const std::vector<char> data{std::istreambuf_iterator<char>(in), {}};
    std::string out;
    for (size_t pos = 0; pos + 8 <= data.size();) {
        size_t length = 0;
        for (int i = 4; i < 8; ++i)
            length = length << 8 | static_cast<uint8_t>(data[pos + i]);
        const std::string tag(&data[pos], 4);
        if (tag == "MThd" || tag == "MTrk")
            out.append(&data[pos], 8 + length);
        pos += 8 + length;
    }
    const auto path = std::filesystem::path(testing::TempDir()) /
                      (fixture.stem().string() + "." + std::to_string(getpid()) + ".mid");
    std::ofstream(path, std::ios::binary) << out;
    return path;
}

struct Record {
    unsigned track;  // from 0, as the reader counts
    uint64_t tick;
    std::vector<uint8_t> bytes;
};

// midicsv's channel and system-exclusive records, turned back into wire bytes.
std::vector<Record> midicsv(const std::filesystem::path& file) {
    static const std::map<std::string, uint8_t> kStatus = {
        {"Note_off_c", 0x80}, {"Note_on_c", 0x90}, {"Poly_aftertouch_c", 0xA0}, {"Control_c", 0xB0},
        {"Program_c", 0xC0}, {"Channel_aftertouch_c", 0xD0}, {"Pitch_bend_c", 0xE0}};
    std::vector<Record> records;
    std::istringstream lines(run("midicsv '" + file.string() + "'"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        unsigned track;
        uint64_t tick;
        std::string type;
        char comma;
        fields >> track >> comma >> tick >> comma >> type;
        type.pop_back();  // its comma
        std::vector<unsigned> args;
        for (unsigned value; fields >> value; fields >> comma)
            args.push_back(value);
        Record r{track - 1, tick, {}};
        if (kStatus.count(type)) {
            r.bytes.push_back(static_cast<uint8_t>(kStatus.at(type) | args.at(0)));
            if (type == "Pitch_bend_c")
                args = {0, args.at(1) & 0x7F, args.at(1) >> 7};
            r.bytes.insert(r.bytes.end(), args.begin() + 1, args.end());
        } else if (type == "System_exclusive" || type == "System_exclusive_packet") {
            if (type == "System_exclusive")
                r.bytes.push_back(0xF0);
            EXPECT_EQ(args.at(0), args.size() - 1) << line;
            r.bytes.insert(r.bytes.end(), args.begin() + 1, args.end());
        } else {
            continue;
        }
        records.push_back(r);
    }
    return records;
}

std::string hex(std::span<const uint8_t> bytes) {
    std::string out;
    char two[3];
    for (uint8_t b : bytes)
        std::snprintf(two, sizeof two, "%02X", b), out += two;
    return out;
}

smf::Song read_ok(const std::filesystem::path& path) {
    auto result = smf::read_file(path);
    EXPECT_TRUE(result.ok()) << path << ": " << smf::describe(*result.error);
    return result.song;
}

class Fixture : public testing::TestWithParam<const char*> {
  protected:
    std::filesystem::path fixture() const {
        const std::string name = GetParam();
        return name == "phrase.mid" ? std::filesystem::path(SMF_EXAMPLE) : kFixtures / name;
    }
};
using AgainstMidicsv = Fixture;
using AgainstMido = Fixture;

TEST_P(AgainstMidicsv, EveryTrackHoldsItsEventsTicksAndBytes) {
    const auto song = read_ok(fixture());
    const auto copy = tracks_only(fixture());
    const auto records = midicsv(copy);
    std::filesystem::remove(copy);
    ASSERT_FALSE(records.empty());
    for (unsigned track = 0; track < song.track_count; ++track) {
        std::vector<const Record*> expected;
        for (const auto& r : records)
            if (r.track == track)
                expected.push_back(&r);
        std::vector<const smf::Event*> got;
        for (const auto& e : song.events)
            if (e.track == track)
                got.push_back(&e);
        ASSERT_EQ(got.size(), expected.size()) << "track " << track;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i]->tick, expected[i]->tick) << "track " << track << " event " << i;
            EXPECT_EQ(hex(smf::bytes_of(song, *got[i])), hex(expected[i]->bytes)) << "track " << track << " event " << i;
        }
    }
}

TEST_P(AgainstMido, MergedOrderAndDueTimes) {
    const auto song = read_ok(fixture());
    const auto copy = tracks_only(fixture());
    std::istringstream lines(run("/usr/bin/python3 '" MIDO_TIMES "' '" + copy.string() + "'"));
    std::filesystem::remove(copy);
    size_t i = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        double seconds;
        std::string what;
        fields >> seconds >> what;
        const auto us = static_cast<int64_t>(std::llround(seconds * 1e6));
        if (what == "end") {
            EXPECT_NEAR(static_cast<double>(song.end_us), static_cast<double>(us), 1.0);
            EXPECT_EQ(i, song.events.size()) << "mido sends fewer events";
            return;
        }
        ASSERT_LT(i, song.events.size()) << "mido sends more events";
        const auto& e = song.events[i++];
        EXPECT_NEAR(static_cast<double>(e.time_us), static_cast<double>(us), 1.0) << "event " << i - 1;
        if (what != "sysex")
            EXPECT_EQ(hex(smf::bytes_of(song, e)), what) << "event " << i - 1;
    }
    ADD_FAILURE() << "no end of track from mido";
}

std::string test_name(const testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    name.erase(name.find('.'));
    std::erase(name, '-');
    return name;
}

#define METRICAL_FIXTURES \
    "format-0.mid", "running-status.mid", "format-1.mid", "tempo-changes.mid", "sysex-dump.mid", "sysex-packets.mid", \
        "phrase.mid"
INSTANTIATE_TEST_SUITE_P(Fixtures, AgainstMidicsv, testing::Values(METRICAL_FIXTURES, "smpte.mid"), test_name);
// mido takes any division for ticks a quarter note: SMPTE times are checked by hand instead.
INSTANTIATE_TEST_SUITE_P(Fixtures, AgainstMido, testing::Values(METRICAL_FIXTURES), test_name);

// The shipped example must play in real time over a 31250-baud cable: 3125 bytes a second.
TEST(SmfExample, FitsTheCableInEverySecondAndLastsAFewSeconds) {
    const auto song = read_ok(SMF_EXAMPLE);
    EXPECT_GE(song.track_count, 2);
    EXPECT_GE(song.end_us, 2'000'000u);
    EXPECT_LE(song.end_us, 10'000'000u);
    for (const auto& first : song.events) {
        size_t bytes = 0;
        for (const auto& e : song.events)
            if (e.time_us >= first.time_us && e.time_us < first.time_us + 1'000'000)
                bytes += e.length;
        EXPECT_LE(bytes, 3125u);
    }
}

// Played at its tempo, no event of the example waits on the cable for the one before it: each is
// due after the bytes before it have left (320 us a byte), so its delay is the driver's alone.
TEST(SmfExample, NeverQueuesOneEventBehindAnotherOnTheCable) {
    const auto song = read_ok(SMF_EXAMPLE);
    ASSERT_GE(song.events.size(), 2u);
    for (size_t i = 1; i < song.events.size(); i++) {
        const auto& before = song.events[i - 1];
        EXPECT_GE(song.events[i].time_us, before.time_us + 320u * before.length) << "event " << i;
    }
}

}  // namespace
