#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using namespace brl::Korvax;
using korvax_reference::ByteCode;
using korvax_reference::Dynamic;
using korvax_reference::Param;
using korvax_reference::VoiceField;
using korvax_runtime_test::MakeSynth;

// Voice list of channel 0: note -> map note -> set -> phase -> sine oscillator -> output.
ByteCode SineVoice() {
    ByteCode code;
    const int list = korvax_reference::VoiceList(0);
    code.Add(list, korvax_reference::kMapNote, {Dynamic(0), VoiceField(kVoiceNote)});
    code.Add(list, korvax_reference::kSet, {Dynamic(0x80), Dynamic(0)});
    code.Add(list, korvax_reference::kPhase, {Dynamic(0x100), Dynamic(0x80), Param(0, 0)});
    code.Add(list, korvax_reference::kOsc, {Dynamic(0x180), Dynamic(0x100), Param(0, 1), Param(0, 2)});
    code.Add(list, korvax_reference::kOutput, {Dynamic(0x180), Dynamic(0x180)});
    return code;
}

TEST(EndToEnd, NoteSixtyNinePlaysASineAtFourHundredFortyHertz) {
    auto synth = MakeSynth();
    ASSERT_TRUE(synth->Load(SineVoice()));
    synth->Memory()[Param(0, 0)] = 0.0f; // pulse width
    synth->Memory()[Param(0, 1)] = 1.0f; // amplification
    synth->Memory()[Param(0, 2)] = 0.0f; // sine
    synth->NoteOn(0, 69, 100);
    std::vector<float> left;
    synth->Render(750, &left); // one second

    // Rising zero crossings, interpolated within the sample step.
    std::vector<double> crossings;
    float peak = 0.0f;
    for (size_t i = 1; i < left.size(); ++i) {
        peak = std::max(peak, std::fabs(left[i]));
        if (left[i - 1] < 0.0f && left[i] >= 0.0f) {
            crossings.push_back(static_cast<double>(i - 1) + left[i - 1] / (left[i - 1] - left[i]));
        }
    }
    EXPECT_NEAR(peak, 1.0f, 1e-3);
    ASSERT_GE(crossings.size(), 400u);
    EXPECT_NEAR(static_cast<double>(crossings.size()), 440.0, 1.0);
    const double period = (crossings.back() - crossings.front()) / static_cast<double>(crossings.size() - 1);
    EXPECT_NEAR(period, 96000.0 / 440.0, 0.01);
    EXPECT_EQ(synth->Memory()[kOutputLeft + 5], synth->Memory()[kOutputRight + 5]);
}

TEST(EndToEnd, ReleaseNodeFadesAndEndsTheVoice) {
    auto synth = MakeSynth();
    ByteCode code;
    const int list = korvax_reference::VoiceList(6);
    code.Add(list, korvax_reference::kRelease,
             {Dynamic(0), VoiceField(kVoiceFinished), Param(6, 0), VoiceField(kVoiceRelease)});
    code.Add(list, korvax_reference::kOutput, {Dynamic(0), Dynamic(0)});
    ASSERT_TRUE(synth->Load(code));
    synth->Memory()[Param(6, 0)] = 0.0f; // TimeToSamples(0) = 9 samples of release
    const float* left = synth->Memory() + kOutputLeft;

    synth->NoteOn(6, 50, 100);
    synth->Render(2);
    EXPECT_EQ(left[0], 1.0f);
    EXPECT_EQ(left[127], 1.0f);
    const float* record = synth->Voice(6, 0);
    EXPECT_EQ(record[kVoiceActive], 1.0f);

    synth->NoteOff(6, 50);
    synth->Render(1);
    EXPECT_EQ(left[0], 1.0f);
    EXPECT_NEAR(left[3], 1.0f - 3.0f / 9.0f, 1e-6);
    EXPECT_NEAR(left[9], 0.0f, 1e-6);
    EXPECT_EQ(left[10], 0.0f);
    EXPECT_EQ(left[127], 0.0f);
    EXPECT_EQ(record[kVoiceFinished], 1.0f);
    EXPECT_EQ(record[kVoiceActive], 0.0f);
    EXPECT_EQ(record[kVoiceAge], 3.0f);

    synth->Render(1);
    EXPECT_EQ(left[0], 0.0f);
    EXPECT_EQ(record[kVoiceAge], 3.0f); // a free voice is not rendered

    // The freed voice is the first choice for the next note, from a clean state.
    synth->NoteOn(6, 52, 100);
    synth->Render(1);
    EXPECT_EQ(record[kVoiceActive], 1.0f);
    EXPECT_EQ(left[64], 1.0f);
}

} // namespace
