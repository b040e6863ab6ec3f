#include "synthesizer/controllervalues.h"

#include "korvax/korvaxmidilearn.h"
#include "korvax/node_test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using namespace brl::Synth::Gui;
using brl::String;
using brl::Korvax::PinKind;
using brl::Korvax::Synthesizer;
using Host = brl::Korvax::Testing::NodeHost;

TEST(ControllerValueText, EachRangeKindShowsItsUnitAtAnySampleRateThenTheRawValueAndSteps) {
    Host synth; // 96000 Hz
    const struct {
        PinKind kind;
        float value;
        const wchar_t* text;
    } cases[] = {
        {PinKind::Amp, 0.75f, L"50.0% (0.7500) [96]"},
        {PinKind::Gain, 0.25f, L"-16.0dB (0.2500) [32]"},
        {PinKind::Freq, 0.0f, L"8.2Hz (0.0000) [0]"}, // 440 Hz * 2^-5.75: the curve is in Nyquist units
        {PinKind::FreqBand, 1.0f, L"22050.0Hz (1.0000) [128]"}, // 44100 Hz / 2
        {PinKind::Time, 1.0f, L"5000.0ms (1.0000) [128]"},      // 480000 samples
        {PinKind::Note, 69.0f / 128.0f, L"A-5 (0.5391) [69]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ValueText(c.kind, c.value, synth), c.text) << static_cast<int>(c.kind) << " " << c.value;
    }
    synth.SetSampleRate(48000.0f);
    // The same Hz and ms at any rate: the curves divide by the rate, the texts multiply.
    EXPECT_EQ(ValueText(PinKind::FreqBand, 1.0f, synth), L"22050.0Hz (1.0000) [128]");
    EXPECT_EQ(ValueText(PinKind::Time, 1.0f, synth), L"5000.0ms (1.0000) [128]");
    EXPECT_NEAR(std::wcstod(ValueText(PinKind::Freq, 1.0f, synth).c_str(), nullptr), 26580.0 / 2.0, 20.0);
}

TEST(ControllerControls, MidiLearnSetsWhatTheControlWouldSet) {
    // A CC is a slider position, or on a combo box the value choosing an existing entry stores.
    for (int kind = 0; kind < brl::Korvax::kPinKindCount; ++kind) {
        const auto pinKind = static_cast<brl::Korvax::PinKind>(kind);
        const int entries = static_cast<int>(ComboEntries(DiscreteKind(pinKind)).size());
        EXPECT_EQ(brl::Korvax::MidiLearn::DiscreteEntries(pinKind), entries) << kind;
        for (int cc = 0; cc < 128; ++cc) {
            const float value = brl::Korvax::MidiLearn::ControllerValue(pinKind, cc);
            if (entries == 0) {
                ASSERT_EQ(value, SliderValue(cc));
            } else {
                ASSERT_EQ(value, ComboValue(ComboSelection(value, entries))) << kind << " " << cc;
            }
        }
    }
}

} // namespace
