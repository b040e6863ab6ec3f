// Delay lines: committed ones touch no fresh page, uncommitted ones sound the same.
// (LanePaths.ReferenceVoicesRenderAsTheScalarLoopWithoutAllocating guards allocations.)

#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <sys/resource.h>

namespace {

using namespace brl::Korvax;
using korvax_reference::VoiceEffect;
using korvax_runtime_test::MakeSynth;
using korvax_runtime_test::TestSynth;

// Channels 0..2 play the delay, chorus and RMS voices with this effect time, from `note` up.
std::unique_ptr<TestSynth> DelayLineVoices(float effectTime, bool commit, int notes, int note) {
    auto synth = MakeSynth();
    synth->SetCommitNodeMemory(commit);
    korvax_reference::ByteCode code;
    const VoiceEffect effects[] = {VoiceEffect::Delay, VoiceEffect::Chorus, VoiceEffect::RMSDetect};
    for (int channel = 0; channel < 3; ++channel) {
        korvax_reference::AddReferenceVoice(code, channel, effects[channel]);
        korvax_reference::SetReferenceParameters(synth->Memory(), channel);
        synth->Memory()[channel * kStreamsPerChannel + korvax_reference::kEffectTime] = effectTime;
    }
    EXPECT_TRUE(synth->Load(code));
    for (int channel = 0; channel < 3; ++channel) {
        for (int voice = 0; voice < notes; ++voice) {
            synth->NoteOn(channel, note + channel + voice, 100);
        }
    }
    return synth;
}

long ThreadPageFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

// Guards page faults: delay lines are committed when built, so ten-second lines touch no fresh page.
TEST(RealtimeSafety, RenderingDelayLineVoicesTakesNoPageFaults) {
    auto synth = DelayLineVoices(1.0f, true, kVoicesPerChannel, 40); // the whole line
    synth->Render(2); // first touches of the render loop's own stack and tables
    const long before = ThreadPageFaults();
    synth->Render(200); // 25600 samples: 100 KiB into each of 36 lines
    EXPECT_EQ(ThreadPageFaults() - before, 0);
}

// Guards stale memory: uncommitted lines built on dirty memory must sound as committed ones.
TEST(RealtimeSafety, UncommittedDelayLinesSoundAsCommittedOnes) {
    std::vector<float> outputs[2];
    for (int run = 0; run < 2; ++run) {
        {
            // Freed blocks of the delay lines' size that the next allocations may reuse.
            std::vector<std::vector<float>> garbage(8, std::vector<float>(1000000, std::nanf("")));
        }
        DelayLineVoices(0.01f, run == 0, 1, 45)->Render(60, &outputs[run]);
    }
    ASSERT_EQ(outputs[0].size(), outputs[1].size());
    EXPECT_EQ(std::memcmp(outputs[0].data(), outputs[1].data(), outputs[0].size() * sizeof(float)), 0);
    EXPECT_TRUE(std::any_of(outputs[1].begin(), outputs[1].end(), [](float x) { return x != 0.0f; }));
}

} // namespace
