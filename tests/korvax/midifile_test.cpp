#include "korvax/korvaxmidifile.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using brl::Korvax::MidiFileConverter;
using Bytes = std::vector<uint8_t>;
using V = std::vector<uint32_t>;

Bytes Vlq(uint32_t value) {
    Bytes bytes{static_cast<uint8_t>(value & 0x7F)};
    while ((value >>= 7) != 0) {
        bytes.insert(bytes.begin(), static_cast<uint8_t>(0x80 | (value & 0x7F)));
    }
    return bytes;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes U32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// A file with the given header fields and one "MTrk" chunk per track body.
Bytes Smf(std::vector<Bytes> tracks, uint16_t ticksPerQuarter = 96, uint16_t format = 1,
          int trackCount = -1) {
    const uint16_t count = static_cast<uint16_t>(trackCount < 0 ? tracks.size() : trackCount);
    Bytes file = Cat({{'M', 'T', 'h', 'd'},
                      U32(6),
                      {0, uint8_t(format), uint8_t(count >> 8), uint8_t(count)},
                      {uint8_t(ticksPerQuarter >> 8), uint8_t(ticksPerQuarter)}});
    for (const Bytes& track : tracks) {
        file = Cat({file, {'M', 'T', 'r', 'k'}, U32(static_cast<uint32_t>(track.size())), track});
    }
    return file;
}

class MidiFileTest : public ::testing::Test {
protected:
    bool Parse(const Bytes& file, bool timeline = false, const brl::Korvax::ChannelNames* names = nullptr) {
        // A fresh file each time: truncating one in place makes ext4 flush it.
        std::filesystem::remove(Path("song.mid"));
        brl::testing::WriteFile(Path("song.mid"), std::string(file.begin(), file.end()));
        return converter.parseSMF(logger, Path("song.mid"), names, timeline);
    }
    std::string Path(const std::string& name) const { return dir.File(name); }
    V Ticks(int channel, int slot) const { return Collect(channel, slot, true); }
    V Values(int channel, int slot) const { return Collect(channel, slot, false); }
    V Collect(int channel, int slot, bool ticks) const {
        V out;
        for (const auto& event : converter.Stream(channel * 256 + slot)) {
            out.push_back(ticks ? event.tick : event.value);
        }
        return out;
    }
    brl::testing::TempDir dir;
    brl::testing::LogCapture sink;
    brl::Logging::Logger logger{&sink, L"korvax"};
    MidiFileConverter converter;
};

// tests/data/midi: made by make_sequencer_files.py.
std::string DataFile(const std::string& name) {
    return std::string(KORVAX_TEST_DATA_DIR) + "/midi/" + name;
}

TEST_F(MidiFileTest, MidiTicksBecomeSynthesizerTicksWithTheTempoInForceAndNoLostRemainder) {
    // 96 ticks per quarter at 500000 us: tick 96 is at 0.5 s, 375 ticks.
    ASSERT_TRUE(Parse(Smf({Cat({{0x00, 0x90, 0x3C, 0x40}, Vlq(96), {0x80, 0x3C, 0x00}})})));
    EXPECT_EQ(Ticks(0, 254), V{0});
    EXPECT_EQ(Ticks(0, 255), V{375});
    // The merge ends after the tick following the last event: 97 quarters/96 at 0.5 s.
    EXPECT_EQ(converter.SongLength(), 379u);
    // Five ticks of 0.25 s, then the new tempo 1 s from its own tick on: 3.75 s.
    ASSERT_TRUE(
        Parse(Smf({Cat({Vlq(5), {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}, Vlq(5), {0x90, 0x3C, 0x40}})}, 2)));
    EXPECT_EQ(Ticks(0, 254), V{2813});
    // 1 us per quarter, 3 ticks per quarter: 12003 ticks are 4001 us, just past tick 3;
    // dropping the remainder of each 333.3 ns step would land on tick 3.
    ASSERT_TRUE(
        Parse(Smf({Cat({{0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x01}, Vlq(12003), {0x90, 0x3C, 0x40}})}, 3)));
    EXPECT_EQ(Ticks(0, 254), V{4});
}

TEST_F(MidiFileTest, HugeDeltasAreCrossedInOneStepAndOverlongSongsFail) {
    const uint32_t n = 0x0FFFFFFF;
    Bytes first = {0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x01};
    const std::string name = "korvax-p:01";
    Bytes second =
        Cat({{0x00, 0xFF, 0x03, static_cast<uint8_t>(name.size())}, Bytes(name.begin(), name.end())});
    for (int i = 0; i < 4; ++i) {
        first = Cat({first, Vlq(n), {0x90, 0x3C, 0x40}});
        second = Cat({second, Vlq(n - 1), {0x90, 0x3C, 0x40}});
    }
    ASSERT_TRUE(Parse(Smf({first, second})));
    // floor(k x n x 1000 / 96) ns for k = 1..4, rounded up to ticks.
    EXPECT_EQ(Ticks(0, 254), (V{2098, 4195, 6292, 8389}));
    EXPECT_EQ(Ticks(1, 254).size(), 4u);
    EXPECT_EQ(converter.SongLength(), 8389u);
    // At 0.5 s per quarter and 1 tick per quarter one such delta is four years.
    EXPECT_FALSE(Parse(Smf({Cat({Vlq(n), {0x90, 0x3C, 0x40}})}, 1)));
    EXPECT_TRUE(sink.HasPrefix(brl::Logging::Error, L"song too long"));
}

TEST_F(MidiFileTest, MetaLengthsAreVariableLengthNumbersAndFixedKindsNeedTheirLengths) {
    // A copyright text of 300 bytes: its length takes two bytes.
    ASSERT_TRUE(Parse(Smf({Cat({{0x00, 0xFF, 0x02},
                                Vlq(300),
                                Bytes(300, 'x'),
                                {0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40, 0x60, 0x90, 0x3C, 0x40}})})));
    EXPECT_EQ(Ticks(0, 254), V{750}); // 96 ticks at one second per quarter
    struct Case {
        uint8_t type;
        uint8_t length;
        bool ok;
    };
    const Case cases[] = {{0x00, 2, true}, {0x00, 1, false}, {0x2F, 0, true}, {0x2F, 1, false},
                          {0x51, 3, true}, {0x51, 4, false}, {0x58, 4, true}, {0x58, 3, false},
                          {0x59, 2, true}, {0x59, 1, false}, {0x01, 0, true}, {0x7E, 9, true}};
    for (const Case& c : cases) {
        sink.Clear();
        const Bytes meta =
            Cat({{0x00, 0xFF, c.type, c.length}, Bytes(c.length, 0x01), {0x00, 0x90, 0x3C, 0x40}});
        EXPECT_EQ(Parse(Smf({meta})), c.ok) << int(c.type) << " " << int(c.length);
        EXPECT_EQ(sink.HasPrefix(brl::Logging::Error, L"wrong meta event "), !c.ok) << int(c.type);
        if (c.ok) {
            EXPECT_EQ(Values(0, 254), V{0x3C}) << int(c.type);
        }
    }
}

TEST_F(MidiFileTest, InputsThatAreNoRegularFilesOrTooLargeAreRefused) {
    ASSERT_EQ(::mkfifo(Path("fifo.mid").c_str(), 0600), 0);
    {
        std::ofstream large(Path("large.mid"), std::ios::binary);
        large.write("MThd", 4);
    }
    std::filesystem::resize_file(Path("large.mid"), 64 * 1024 * 1024 + 1);
    const std::pair<std::string, std::string> cases[] = {
        {Path("missing.mid"), "No such file or directory"},
        {dir.Path(), "is a directory"},
        {Path("fifo.mid"), "is not a regular file"},
        {Path("large.mid"), "is larger than 67108864 bytes"},
    };
    for (const auto& [path, problem] : cases) {
        sink.Clear();
        EXPECT_FALSE(converter.parseSMF(logger, path, nullptr, true)) << path;
        EXPECT_TRUE(
            sink.HasPrefix(brl::Logging::Error, brl::FromUtf8("cannot read file '" + path + "': " + problem)))
            << path;
        EXPECT_FALSE(std::filesystem::exists(path + "_small.xml")) << path;
    }
}

TEST_F(MidiFileTest, SysExPacketsAreSkippedByTheirLength) {
    Bytes long_(200, 0x11);
    long_.back() = 0xF7;
    ASSERT_TRUE(
        Parse(Smf({Cat({{0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, // GM system on
                        {0x00, 0xF0},
                        Vlq(200),
                        long_,                                // a length of two bytes
                        {0x00, 0xF0, 0x03, 0x43, 0x10, 0x4C}, // a packet without F7,
                        {0x00, 0xF7, 0x02, 0x00, 0xF7},       // continued
                        {0x00, 0x90, 0x3C, 0x40, 0x00, 0xF7, 0x01, 0xF8, 0x10, 0x90, 0x3E, 0x40}})})));
    EXPECT_EQ(Values(0, 254), (V{0x3C, 0x3E}));
    EXPECT_EQ(Ticks(0, 254), (V{0, 63})); // 16 ticks of 5.2 ms
    EXPECT_TRUE(sink.HasPrefix(brl::Logging::Trace, L"tick 0 track 0: sysex 0xf0 (length 200), skipped"));
    // A SysEx packet ends the running status.
    EXPECT_FALSE(Parse(Smf({{0x00, 0x90, 0x3C, 0x40, 0x00, 0xF7, 0x00, 0x00, 0x3E, 0x40}})));
    EXPECT_TRUE(sink.HasPrefix(brl::Logging::Error, L"invalid status byte: 0x3e"));
    EXPECT_FALSE(Parse(Smf({Cat({{0x00, 0xF0}, Vlq(300), Bytes(100, 0)})})));
    EXPECT_TRUE(sink.HasPrefix(brl::Logging::Error, L"truncated track"));
}

TEST_F(MidiFileTest, DamagedFilesFailWithoutReadingPastTheirData) {
    const std::pair<Bytes, std::wstring> cases[] = {
        {Cat({Smf({}, 96, 1, 1), {'M', 'T', 'r', 'k'}, U32(100), {0x00, 0x90}}), L"truncated file"},
        {Cat({{'M', 'T', 'h', 'd'}, U32(0xFFFFFFF0), {0, 1, 0, 1, 0, 96}}), L"truncated file"},
        {{'M', 'T', 'h', 'd', 0}, L"truncated file"},
        {Smf({{0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 0x3C, 0x40}}), L"delta time longer than 4 bytes"},
        {Smf({{0x00, 0x90, 0x3C, 0x40, 0x81}}), L"truncated track"},
        {Smf({{0x00, 0x90, 0x3C}}), L"truncated track"},
        {Smf({{0x00, 0x90, 0x3C, 0x40, 0x00}}), L"truncated track"},
        {Smf({{0x00, 0xFF, 0x01, 0x10, 0x41, 0x42}}), L"truncated track"},
        {Smf({{0x00, 0xFF}}), L"truncated track"},
        {Smf({{0x00, 0x3C, 0x40}}), L"invalid status byte: 0x3c"},
        {Smf({{0x00, 0xF1, 0x01}}), L"invalid status byte: 0xf1"},
        {Smf({{0x00, 0xFF, 0x01, 0x81}}), L"truncated track"},
        {Cat({Smf({}, 96, 1, 1), {'M', 'T', 'r', 0x00}, U32(0)}), L"track header magic != MTrk"},
    };
    for (const auto& [file, error] : cases) {
        sink.Clear();
        EXPECT_FALSE(Parse(file, true)) << brl::ToUtf8(error);
        EXPECT_TRUE(sink.HasPrefix(brl::Logging::Error, error)) << brl::ToUtf8(error);
        EXPECT_FALSE(std::filesystem::exists(Path("song.mid_small.xml")));
    }
}

TEST_F(MidiFileTest, SequencerLayoutsGiveTheSongOfThePlainFile) {
    ASSERT_TRUE(converter.parseSMF(logger, DataFile("plain.mid"), nullptr, false));
    const V plainTimes = converter.BuildTimeStreams();
    const std::vector<uint8_t> plainData = converter.BuildDataStreams();
    const uint32_t plainLength = converter.SongLength();
    // The phrase: three notes of 240, 240 and 480 ms on channel 5, one more 1 s later.
    EXPECT_EQ(Values(5, 254), (V{0x3C, 0x3E, 0x40, 0x43}));
    EXPECT_EQ(Ticks(5, 254), (V{0, 180, 360, 1470}));
    EXPECT_EQ(Values(5, 7), V{0x64});
    for (const char* name : {"sequencer.mid", "smpte.mid"}) {
        sink.Clear();
        ASSERT_TRUE(converter.parseSMF(logger, DataFile(name), nullptr, false)) << name;
        EXPECT_EQ(converter.BuildTimeStreams(), plainTimes) << name;
        EXPECT_EQ(converter.BuildDataStreams(), plainData) << name;
        EXPECT_EQ(converter.SongLength(), plainLength) << name;
    }
}

} // namespace
