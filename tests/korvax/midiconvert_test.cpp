#include "korvax/korvaxmidirealtime.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <tuple>

using brl::Korvax::SynthEvent;
using brl::Midi::Event;
namespace korvax = brl::Korvax;

namespace {

class MidiConversion : public ::testing::Test {
protected:
    brl::testing::LogCapture log;
    korvax::SynthesizerMidi synth{&log, 0};
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
        // A running sequencer's clock, start, continue and stop: no event and no warning.
        {0xF8, 0, 0, true, korvax::kEventNone, -1, -1, 0, 0},
        {0xFA, 0, 0, true, korvax::kEventNone, -1, -1, 0, 0},
        {0xFB, 0, 0, true, korvax::kEventNone, -1, -1, 0, 0},
        {0xFC, 0, 0, true, korvax::kEventNone, -1, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SynthEvent out;
        out.type = 99;
        ASSERT_EQ(synth.ConvertMidiEvent(Event(c.status, c.data1, c.data2), out), c.understood)
            << int(c.status);
        // The values are whole 128ths: exact.
        EXPECT_EQ(std::tuple(out.type, out.channel, out.index, out.value, out.value2),
                  std::tuple(c.type, c.channel, c.index, c.value, c.value2))
            << int(c.status);
    }
    // Queued, they warn of nothing; the clock is logged only on request.
    synth.SetLogTimingClock(false);
    for (const uint8_t status : {0xF8, 0xFA, 0xFB, 0xFC}) {
        EXPECT_TRUE(synth.QueueMidiEvent(Event(status, 0, 0))) << int(status);
    }
    EXPECT_EQ(log.Count(brl::Logging::Warning), 0);
    EXPECT_EQ(log.Count(brl::Logging::Verbose), 3);
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
