#include "midi/midiio.h"
#include "midi/midiiokeyboard.h"
#include "midi/midiionetwin32.h"
#include "midi_test_support.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstring>

using brl::String;
using brl::Midi::Event;
using brl::Midi::IoMaster;
using brl::testing::LogCapture;
using OptionConfig = brl::testing::CommandLineSettings;

namespace {

std::vector<String> Names(const auto& streams) {
    std::vector<String> names;
    for (const auto* stream : streams) {
        names.push_back(stream->Name());
    }
    return names;
}

} // namespace

TEST(MidiBackendSelection, SkipsUnavailableUnknownAndRepeatedNamesAndListsTheRest) {
    OptionConfig config({L"--Midi-Backends", L"portmidi,dummy,win32,bogus,keyboard,dummy"});
    LogCapture log;
    IoMaster master(&log, config.Frontend());
    EXPECT_EQ(Names(master.Inputs()), (std::vector<String>{L"dummy device", L"DirectInput - Midi Keyboard"}));
    EXPECT_EQ(Names(master.Outputs()), (std::vector<String>{L"dummy device"}));
    EXPECT_EQ(log.Messages(brl::Logging::Warning), (std::vector<String>{
                                                       L"backend 'portmidi' not available, ignoring",
                                                       L"backend 'win32' not available, ignoring",
                                                       L"unknown backend 'bogus', ignoring",
                                                       L"backend 'dummy' listed twice, ignoring",
                                                   }));
    const std::vector<String> listing = {L"midi input devices:", L"dummy device (in)",
                                         L"DirectInput - Midi Keyboard (in)", L"midi output devices:",
                                         L"dummy device (out)"};
    EXPECT_EQ(master.DeviceListing(), listing);
    EXPECT_NE(master.Keyboard(), nullptr);
}

TEST(MidiNetRecord, CarriesTheMessageWordInDecimalDigitsAndRefusesWhatIsNotARecord) {
    const brl::Midi::NetRecord record = brl::Midi::EncodeNetRecord(Event(0x90, 60, 127));
    const char expected[20] = {'8', '3', '3', '8', '5', '7', '6'};
    EXPECT_EQ(std::memcmp(record.data(), expected, sizeof(expected)), 0);
    uint32_t word = 0;
    ASSERT_TRUE(brl::Midi::DecodeNetRecord(record.data(), word));
    EXPECT_EQ(word, 0x7F3C90u);
    ASSERT_TRUE(brl::Midi::DecodeNetRecord(brl::Midi::EncodeNetRecord(Event(0xFF, 0xFF, 0xFF)).data(), word));
    EXPECT_EQ(word, 0xFFFFFFu);
    // Empty, text, ten digits (no room for the terminator), more than 24 bits, junk after or before.
    for (const char* text : {"", "GET / HTTP", "1234567890", "16777216", "12a", " 12"}) {
        char bad[20] = {};
        std::memcpy(bad, text, std::strlen(text));
        EXPECT_FALSE(brl::Midi::DecodeNetRecord(bad, word)) << text;
    }
}

namespace {

// A started keyboard stream and what it delivers.
struct KeyboardFixture {
    OptionConfig config{{L"--Midi-Backends", L"keyboard"}};
    LogCapture log;
    brl::testing::EventCollector events; // outlives the master, which stops the stream
    IoMaster master{&log, config.Frontend()};
    brl::Midi::KeyboardStream& keyboard = *master.Keyboard();

    KeyboardFixture() { keyboard.Start(&events); }
};

constexpr uint32_t kKeyQ = 24;
constexpr uint32_t kKeyF1 = 67;

} // namespace

TEST(MidiKeyboard, SendsProgramChangeThenTheNoteAndReleasesWhatItPressed) {
    KeyboardFixture f;
    EXPECT_TRUE(f.keyboard.KeyDown(kKeyQ)); // octave 5: middle C
    EXPECT_TRUE(f.keyboard.KeyUp(kKeyQ));
    EXPECT_TRUE(f.keyboard.KeyDown(kKeyF1)); // octave 1
    EXPECT_TRUE(f.keyboard.KeyUp(kKeyF1));
    f.keyboard.KeyDown(kKeyQ);      // note 12
    f.keyboard.KeyDown(kKeyQ);      // a repeat of a held key sends nothing
    f.keyboard.KeyDown(kKeyF1 + 8); // F9: octave 9
    f.keyboard.KeyUp(kKeyQ);        // releases 12, not 108
    f.keyboard.KeyDown(33);         // P in octave 9: 124
    EXPECT_EQ(f.keyboard.Octave(), 9);
    ASSERT_TRUE(f.events.WaitFor(10));
    EXPECT_EQ(f.events.Text(), "C00000 903C7F C00000 803C7F C00000 900C7F C00000 800C7F C00000 907C7F");
}

TEST(MidiKeyboard, StoppingReleasesHeldNotesAndLeavesKeysToTheWindow) {
    KeyboardFixture f;
    f.keyboard.KeyDown(kKeyQ);
    f.keyboard.KeyDown(52); // Z: 48
    f.keyboard.Stop();
    // Every release is delivered by the time Stop returns.
    EXPECT_EQ(f.events.Text(), "C00000 903C7F C00000 90307F C00000 803C7F C00000 80307F");
    // A stopped keyboard consumes nothing; neither does a key that plays nothing.
    EXPECT_FALSE(f.keyboard.KeyDown(kKeyQ));
    ASSERT_TRUE(f.keyboard.Start(&f.events));
    EXPECT_FALSE(f.keyboard.KeyDown(38)); // A
    EXPECT_FALSE(f.keyboard.KeyUp(kKeyQ + 100));
}
