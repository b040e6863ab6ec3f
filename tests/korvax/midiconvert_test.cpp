#include "korvax/korvaxmidirealtime.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using brl::Korvax::SynthEvent;
using brl::Midi::Event;
namespace korvax = brl::Korvax;
namespace logging = brl::Logging;

namespace {

// Reads back what was queued, as the audio thread would see it.
class ProbeSynth : public korvax::SynthesizerMidi {
public:
    using SynthesizerMidi::SynthesizerMidi;
    std::vector<SynthEvent> Drain() {
        std::vector<SynthEvent> events;
        SynthEvent event;
        while (eventRing.Read(&event, sizeof(event))) {
            events.push_back(event);
        }
        return events;
    }
};

class MidiConversion : public ::testing::Test {
protected:
    SynthEvent Convert(uint8_t status, uint8_t data1, uint8_t data2) {
        SynthEvent out;
        EXPECT_TRUE(synth.ConvertMidiEvent(Event(status, data1, data2), out));
        return out;
    }
    brl::testing::LogCapture log;
    ProbeSynth synth{&log, 0};
};

constexpr float kScale = 1.0f / 128.0f;

} // namespace

TEST_F(MidiConversion, EveryStatusClassConvertsByTheTable) {
    struct Case {
        uint8_t status, data1, data2;
        bool understood;
        uint32_t type;
        int channel, index;
        float value, value2;
    };
    const Case cases[] = {
        {0x90, 60, 100, true, korvax::kEventNoteOn, 0, -1, 60 * kScale, 100 * kScale},
        {0x80, 64, 90, true, korvax::kEventNoteOff, 0, -1, 0.5f, 0},
        {0x90, 64, 0, true, korvax::kEventNoteOff, 0, -1, 0.5f, 0},
        {0xB0, 74, 127, true, korvax::kEventController, 0, 74, 127 * kScale, 0},
        {0xB3, 120, 5, true, korvax::kEventResetAll, -1, -1, 0, 0},
        {0xB9, 123, 5, true, korvax::kEventReleaseAll, -1, -1, 0, 0},
        {0xC5, 3, 0x90, true, korvax::kEventNone, -1, -1, 0, 0}, // a stray third byte is not read
        {0xF6, 0, 0, true, korvax::kEventNone, -1, -1, 0, 0},
        {0xFE, 0, 0, true, korvax::kEventNone, -1, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SynthEvent out;
        out.type = 99;
        ASSERT_EQ(synth.ConvertMidiEvent(Event(c.status, c.data1, c.data2), out), c.understood)
            << int(c.status);
        EXPECT_EQ(out.type, c.type) << int(c.status);
        EXPECT_EQ(out.channel, c.channel) << int(c.status);
        EXPECT_EQ(out.index, c.index) << int(c.status);
        EXPECT_FLOAT_EQ(out.value, c.value) << int(c.status);
        EXPECT_FLOAT_EQ(out.value2, c.value2) << int(c.status);
    }
    const uint8_t refused[][3] = {
        {0xB0, 121, 0}, {0xB0, 122, 0},   {0xB0, 124, 0},   {0xB0, 127, 0},  // other channel modes
        {0xA0, 60, 10}, {0xD0, 10, 0},    {0xE0, 0, 64},                     // pressure, pitch bend
        {0xF0, 0, 0},   {0xF2, 1, 2},     {0xF9, 0, 0},     {0xFF, 0, 0},    // system
        {0x3C, 64, 0},  {0x90, 0x80, 64}, {0x90, 64, 0xC0}, {0xC0, 0x85, 0}, // malformed
    };
    for (const auto& bytes : refused) {
        SynthEvent out;
        EXPECT_FALSE(synth.ConvertMidiEvent(Event(bytes[0], bytes[1], bytes[2]), out)) << int(bytes[0]);
    }
    EXPECT_EQ(synth.GetProgramMap(0), 0u);
}

TEST_F(MidiConversion, ProgramChangeSelectsTheSynthChannelOfItsMidiChannelOnly) {
    EXPECT_EQ(Convert(0xC2, 40, 0).type, korvax::kEventNone);
    EXPECT_EQ(synth.GetProgramMap(2), 8u);
    EXPECT_EQ(Convert(0x92, 60, 100).channel, 8);
    EXPECT_EQ(Convert(0x82, 60, 0).channel, 8);
    EXPECT_EQ(Convert(0xB2, 1, 5).channel, 8);
    EXPECT_EQ(Convert(0x93, 60, 100).channel, 0);
    Convert(0xC2, 127, 0);
    EXPECT_EQ(Convert(0x92, 60, 100).channel, 31);
}

TEST_F(MidiConversion, ForcedChannelWinsOverEverythingAndSaysSo) {
    Convert(0xC9, 3, 0);
    synth.SetUseMidiChannel(true);
    synth.SetForcedChannel(5);
    EXPECT_EQ(synth.GetForcedChannel(), 5);
    EXPECT_EQ(Convert(0x99, 60, 100).channel, 5);
    EXPECT_EQ(log.Count(logging::Info, L"forcing channel to 5"), 1);
    synth.SetForcedChannel(32); // outside the synthesizer: stops forcing
    EXPECT_EQ(synth.GetForcedChannel(), -1);
    EXPECT_EQ(Convert(0x99, 60, 100).channel, 9);
    EXPECT_EQ(log.Count(logging::Verbose, L"forcing channel to midi channel (9)"), 1);
    synth.SetUseMidiChannel(false);
    EXPECT_EQ(Convert(0x99, 60, 100).channel, 3);
}

TEST_F(MidiConversion, QueuedMessagesAreLoggedStampedAndKeepTheirOrderAndUnsupportedOnesAreNotQueued) {
    EXPECT_TRUE(synth.QueueMidiEvent(Event(0xC1, 4, 0)));
    EXPECT_TRUE(synth.QueueMidiEvent(Event(0x91, 60, 100)));
    EXPECT_FALSE(synth.QueueMidiEvent(Event(0xE0, 0x00, 0x40)));
    EXPECT_EQ(log.Count(logging::Verbose, L"raw:913C64   Ch:01 Not:C-5 Vol:100   Note On              "), 1);
    EXPECT_EQ(
        log.Count(logging::Warning,
                  L"unsupported midi event, ignoring (raw:E00040   Ch:00 Pitch:    0         Pitch Bend   "
                  L"        )"),
        1);
    EXPECT_EQ(synth.QueuedCount(), 2u);
    const std::vector<SynthEvent> events = synth.Drain();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, korvax::kEventNone);
    EXPECT_EQ(events[1].type, korvax::kEventNoteOn);
    EXPECT_EQ(events[1].channel, 4);
    EXPECT_GT(events[1].time, 0u);
    EXPECT_GE(events[1].time, events[0].time);
}

// A running sequencer's start, clock, stop and continue, and active sensing:
// no events of their own, no warnings; clock and sensing logged only on request.
TEST_F(MidiConversion, ClockAndTransportAreNoWarningsAndRealtimeLogsFollowTheirFlags) {
    synth.SetLogActiveSensing(false);
    synth.SetLogTimingClock(false);
    std::vector<uint8_t> messages = {0xFA, 0xFE};
    messages.insert(messages.end(), 24, 0xF8);
    messages.insert(messages.end(), {0xFC, 0xFB});
    for (const uint8_t status : messages) {
        EXPECT_TRUE(synth.QueueMidiEvent(Event(status, 0, 0))) << int(status);
    }
    EXPECT_EQ(log.Count(logging::Warning), 0);
    EXPECT_EQ(log.Count(logging::Verbose), 3); // start, stop and continue
    synth.SetLogActiveSensing(true);
    synth.SetLogTimingClock(true);
    EXPECT_TRUE(synth.QueueMidiEvent(Event(0xFE, 0, 0)));
    EXPECT_TRUE(synth.QueueMidiEvent(Event(0xF8, 0, 0)));
    EXPECT_EQ(log.Count(logging::Verbose), 5);
    EXPECT_EQ(synth.QueuedCount(), 30u);
    for (const SynthEvent& event : synth.Drain()) {
        EXPECT_EQ(event.type, korvax::kEventNone);
    }
}
