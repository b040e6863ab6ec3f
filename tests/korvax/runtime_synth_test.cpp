#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

using namespace brl::Korvax;
using brl::testing::LogCapture;
using korvax_reference::ByteCode;
using korvax_reference::Dynamic;
using korvax_reference::Global;
using korvax_reference::Param;
using korvax_reference::VoiceField;
using korvax_runtime_test::MakeSynth;

constexpr uint8_t kOpSet = ModuleId::Set;
constexpr uint8_t kOpAdd = ModuleId::Add;
constexpr float kStep = 1.0f / 128.0f;

// Records the lists it runs in, and what it sees of its voice record.
class Recorder : public Node {
public:
    Recorder(std::vector<int>* log, int id, float* record) : log(log), id(id), record(record) {}
    void Render() noexcept override {
        log->push_back(id);
        if (record != nullptr) {
            triggerSeen = record[kVoiceTrigger];
            record[kVoiceFinished] = finishOnRender ? 1.0f : record[kVoiceFinished];
        }
    }
    std::vector<int>* log;
    int id;
    float* record;
    float triggerSeen = -1.0f;
    bool finishOnRender = false;
};

void Activate(Synthesizer& synth, int channel, int voice, float note, float age, bool released) {
    float* record = synth.Voice(channel, voice);
    record[kVoiceActive] = 1.0f;
    record[kVoiceNote] = note;
    record[kVoiceAge] = age;
    record[kVoiceRelease] = released ? 1.0f : 0.0f;
}

// Guards the list order, voice selection, trigger clearing, ageing and the "fin" flag.
TEST(RenderLoop, RunsListsInOrderAndOnlyTheActiveVoices) {
    auto synth = MakeSynth();
    std::vector<int> log;
    log.reserve(1024);
    Recorder* recorders[kNodeLists] = {};
    for (int list = 0; list < kNodeLists; ++list) {
        const int index = list - kListVoice;
        float* record = list >= kListVoice && list < kListChannelPost
                            ? synth->Voice(index / kVoicesPerChannel, index % kVoicesPerChannel)
                            : nullptr;
        recorders[list] = new Recorder(&log, list, record);
        synth->program.lists[list] = new Node* [2] { recorders[list], nullptr };
    }
    Activate(*synth, 0, 3, 0.5f, 2.0f, false);
    Activate(*synth, 0, 7, 0.5f, 0.0f, true);
    Activate(*synth, 31, 11, 0.25f, 0.0f, false);
    synth->Voice(0, 3)[kVoiceTrigger] = 1.0f;
    synth->Voice(5, 5)[kVoiceAge] = 4.0f; // free voice: neither rendered nor aged
    recorders[kListVoice + 7]->finishOnRender = true;
    synth->RenderBuffer();
    std::vector<int> expected = {kListMixPre};
    for (int channel = 0; channel < kChannels; ++channel) {
        expected.push_back(kListChannelPre + channel);
        if (channel == 0) {
            expected.insert(expected.end(), {kListVoice + 3, kListVoice + 7});
        }
        if (channel == 31) {
            expected.push_back(kListVoice + 31 * 12 + 11);
        }
        expected.push_back(kListChannelPost + channel);
    }
    expected.push_back(kListMix);
    EXPECT_EQ(log, expected);
    EXPECT_EQ(recorders[kListVoice + 3]->triggerSeen, 1.0f);
    EXPECT_EQ(synth->Voice(0, 3)[kVoiceTrigger], 0.0f);
    EXPECT_EQ(synth->Voice(0, 3)[kVoiceAge], 3.0f);
    EXPECT_EQ(synth->Voice(0, 7)[kVoiceAge], 1.0f);
    EXPECT_EQ(synth->Voice(0, 7)[kVoiceActive], 0.0f); // finished during its render
    EXPECT_EQ(synth->Voice(5, 5)[kVoiceAge], 4.0f);
    log.clear();
    synth->RenderBuffer();
    EXPECT_EQ(std::count(log.begin(), log.end(), kListVoice + 3), 1); // never finishes: keeps sounding
    EXPECT_EQ(std::count(log.begin(), log.end(), kListVoice + 7), 0);
}

#if defined(__x86_64__)
// Guards subnormal slow-downs in the render, and the thread's own mode outside it.
TEST(RenderLoop, FlushesDenormalsToZeroAndRestoresTheControlWord) {
    auto synth = MakeSynth();
    ByteCode code;
    code.Add(korvax_reference::kMixPreList, ModuleId::Amp, {Global(1), Global(0), Param(0, 0)});
    ASSERT_TRUE(synth->Load(code));
    float* memory = synth->Memory();
    std::fill(memory + Global(0), memory + Global(0) + kSamplesPerBuffer, 1e-20f);
    memory[Param(0, 0)] = 1e-20f; // the product 1e-40 is subnormal
    const unsigned int before = _mm_getcsr();
    synth->RenderBuffer();
    EXPECT_EQ(_mm_getcsr(), before);
    EXPECT_EQ(memory[Global(1)], 0.0f);
    volatile float a = 1e-20f;
    EXPECT_GT(a * a, 0.0f);
}
#endif

// Guards the stealing order: free, oldest released, oldest held on the note, oldest held.
TEST(VoiceAllocation, FreeThenOldestReleasedThenOldestHeldOnTheNoteThenOldestHeldAndReleaseByNote) {
    auto synth = MakeSynth();
    const auto fill = [&](int channel, float age) {
        for (int voice = 0; voice < 12; ++voice) {
            Activate(*synth, channel, voice, voice * kStep, age, false);
        }
    };
    Activate(*synth, 4, 0, 0.5f, 10.0f, true);
    Activate(*synth, 4, 2, 0.5f, 10.0f, true);
    EXPECT_EQ(synth->AllocateVoice(4, 0.25f), 1);
    EXPECT_EQ(synth->AllocateVoice(4, 0.25f), 3);
    fill(0, 100.0f);
    Activate(*synth, 0, 2, 2 * kStep, 5.0f, true);
    Activate(*synth, 0, 9, 9 * kStep, 6.0f, true);
    EXPECT_EQ(synth->AllocateVoice(0, 0.0f), 9);
    fill(1, 50.0f);
    Activate(*synth, 1, 0, 0.9f, 90.0f, false);
    Activate(*synth, 1, 4, 0.5f, 3.0f, false);
    Activate(*synth, 1, 8, 0.5f + 5e-5f, 4.0f, false);   // the same note within 1/12800
    Activate(*synth, 1, 10, 0.5f + 1e-4f, 80.0f, false); // a different note
    EXPECT_EQ(synth->AllocateVoice(1, 0.5f), 8);
    fill(2, 7.0f);
    synth->Voice(2, 5)[kVoiceAge] = 8.0f;
    synth->Voice(2, 6)[kVoiceAge] = 8.0f;
    EXPECT_EQ(synth->AllocateVoice(2, 0.9f), 5); // ties to the lowest number
    // A release marks the held voices on the note within the tolerance, and no free ones.
    Activate(*synth, 7, 0, 0.5f, 1.0f, false);
    Activate(*synth, 7, 1, 0.5f + 7e-5f, 1.0f, false);
    Activate(*synth, 7, 2, 0.5f + 1e-4f, 1.0f, false);
    synth->Voice(7, 3)[kVoiceNote] = 0.5f;
    synth->ReleaseNote(7, 0.5f);
    const float released[] = {1.0f, 1.0f, 0.0f, 0.0f};
    for (int voice = 0; voice < 4; ++voice) {
        EXPECT_EQ(synth->Voice(7, voice)[kVoiceRelease], released[voice]) << voice;
    }
}

// Guards per-voice module state (a shared module resamples) and the reset of a stolen voice.
TEST(NodeProgram, EachVoiceHasItsOwnModulesWhichAStolenVoiceResets) {
    auto synth = MakeSynth();
    ByteCode code; // sample and hold clocked by voice field 8, sampling value slot 0 into field 3
    code.Add(korvax_reference::VoiceList(0), ModuleId::SH, {VoiceField(3), VoiceField(8), Param(0, 0)});
    ASSERT_TRUE(synth->Load(code));
    float* source = synth->Memory() + Param(0, 0);
    for (int voice = 0; voice < 3; ++voice) {
        synth->NoteOn(0, 60 + voice, 100);
        synth->Render(1);
        *source = 0.25f * static_cast<float>(voice + 1);
        synth->Voice(0, voice)[8] = 1.0f;
        synth->Render(1);
        synth->Voice(0, voice)[8] = 0.0f;
    }
    synth->Render(1);
    for (int voice = 0; voice < 3; ++voice) {
        EXPECT_EQ(synth->Voice(0, voice)[3], 0.25f * static_cast<float>(voice + 1));
    }
    for (int note = 63; note < 72; ++note) {
        synth->NoteOn(0, note, 100);
    }
    synth->Render(1);
    synth->NoteOn(0, 80, 100); // steals voice 0, the oldest
    synth->Render(1);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceNote], 80.0f / 128.0f);
    EXPECT_EQ(synth->Voice(0, 0)[3], 0.0f);
}

// Guards the byte code checks: a refused program leaves the playing one in place.
TEST(NodeProgram, RefusesBadByteCodeAndKeepsThePreviousProgram) {
    auto synth = MakeSynth();
    ByteCode good;
    good.Add(korvax_reference::kMixPreList, kOpSet, {Global(0), Param(0, 0)});
    ASSERT_TRUE(synth->Load(good));
    NodeProgram& program = synth->program;
    Node* const before = program.lists[kListMixPre][0];
    const auto build = [&](std::vector<uint8_t> opcodes, const std::vector<uint16_t>& operands) {
        return Synthesizer::BuildNodeProgram(program, synth.get(), opcodes.data(), opcodes.size(),
                                             operands.data(), operands.size());
    };
    const auto with = [](int at, uint8_t opcode) {
        std::vector<uint8_t> opcodes(kCompiledLists, 0);
        opcodes.insert(opcodes.begin() + at, opcode);
        return opcodes;
    };
    LogCapture capture;
    EXPECT_FALSE(build(with(40, 49), {}));
    const auto bugs = capture.Find(L"BUG ");
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_EQ(bugs[0].message, L"BUG !n");
    EXPECT_EQ(bugs[0].function, "brl::Korvax::InstantiateNode");
    EXPECT_FALSE(build(std::vector<uint8_t>(kCompiledLists - 1, 0), {})); // a list missing
    std::vector<uint8_t> unterminated(kCompiledLists, 0);
    unterminated.back() = kOpSet;
    EXPECT_FALSE(build(unterminated, {0, 0}));
    EXPECT_FALSE(build(with(97, kOpAdd), {Global(0), Global(1)})); // operands short in the mix list
    EXPECT_EQ(program.lists[kListMixPre][0], before);
    synth->Memory()[Param(0, 0)] = 0.5f;
    synth->RenderBuffer();
    EXPECT_EQ(synth->Memory()[Global(0)], 0.5f);
    // The operands of a voice list are counted once, not once per voice.
    EXPECT_TRUE(
        build(with(korvax_reference::VoiceList(0), kOpAdd), {Dynamic(0), Dynamic(0x80), Dynamic(0x100)}));
    EXPECT_NE(program.lists[kListVoice + 11][0], nullptr);
}

// Guards writes past the memory: buffers at 0xFFFF and voice field 15 of the last voice.
TEST(NodeProgram, BuffersAtTheEndsOfMemoryStayInsideTheSynthesizer) {
    auto synth = MakeSynth();
    ByteCode code;
    code.Add(korvax_reference::kMixPreList, kOpSet, {0xFFFF, Param(0, 0)});
    code.Add(korvax_reference::VoiceList(31), kOpSet, {VoiceField(15), Param(0, 0)});
    code.Add(korvax_reference::VoiceList(31), kOpAdd, {Global(0), 0xFFFF, VoiceField(15)});
    ASSERT_TRUE(synth->Load(code));
    synth->Memory()[Param(0, 0)] = 0.25f;
    for (int voice = 0; voice < 12; ++voice) {
        synth->NoteOn(31, 40 + voice, 100);
    }
    synth->RenderBuffer();
    EXPECT_EQ(synth->Memory()[0xFFFF], 0.25f);
    EXPECT_EQ(synth->Memory()[Global(0) + 127], 0.5f);
}

} // namespace
