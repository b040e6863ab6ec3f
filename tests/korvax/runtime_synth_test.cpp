#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

std::vector<uint8_t> EmptyLists() {
    return std::vector<uint8_t>(kCompiledLists, 0);
}

TEST(RenderLoop, WithoutProgramClearsTriggersAndOutputAndStaysSilent) {
    auto synth = MakeSynth();
    synth->playing = false;
    float* memory = synth->Memory();
    std::fill(memory + kTriggerSlotBase, memory + kTriggerSlotBase + kValueSlotCount, 1.0f);
    std::fill(memory + kOutputAreaBase, memory + kOutputAreaEnd, 0.5f);
    memory[100] = 0.75f;
    synth->NoteOn(2, 60, 100);
    synth->RenderBuffer();
    EXPECT_EQ(synth->ticks, 1);
    EXPECT_TRUE(
        std::all_of(memory + kOutputAreaBase, memory + kOutputAreaEnd, [](float x) { return x == 0.0f; }));
    // Only the velocity and note of the note-on, written during the tick, are set.
    EXPECT_EQ(std::count(memory + kTriggerSlotBase, memory + kTriggerSlotBase + kValueSlotCount, 0.0f),
              kValueSlotCount - 2);
    EXPECT_EQ(memory[100], 0.75f);
    EXPECT_EQ(synth->Voice(2, 0)[kVoiceActive], 1.0f);
    EXPECT_EQ(synth->Voice(2, 0)[kVoiceAge], 0.0f); // no program: no voice render, no ageing
    EXPECT_EQ(synth->CurrentProgram(), nullptr);
}

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
    EXPECT_EQ(synth->Voice(0, 3)[kVoiceActive], 1.0f);
    EXPECT_EQ(synth->Voice(0, 7)[kVoiceAge], 1.0f);
    EXPECT_EQ(synth->Voice(0, 7)[kVoiceActive], 0.0f); // finished during its render
    EXPECT_EQ(synth->Voice(5, 5)[kVoiceAge], 4.0f);
    // A voice whose graph never finishes keeps sounding.
    log.clear();
    synth->RenderBuffer();
    EXPECT_EQ(std::count(log.begin(), log.end(), kListVoice + 3), 1);
    EXPECT_EQ(std::count(log.begin(), log.end(), kListVoice + 7), 0);
    EXPECT_EQ(synth->Voice(0, 3)[kVoiceAge], 4.0f);
}

#if defined(__x86_64__)
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
    EXPECT_GT(a * a, 0.0f); // outside the render the thread's own mode holds
}
#endif

// Twelve held voices on distinct notes (voice v plays v/128), all of one age.
void FillChannel(Synthesizer& synth, int channel, float age) {
    for (int voice = 0; voice < 12; ++voice) {
        Activate(synth, channel, voice, voice * kStep, age, false);
    }
}

TEST(VoiceAllocation, FreeThenOldestReleasedThenOldestHeldOnTheNoteThenOldestHeld) {
    auto synth = MakeSynth();
    Activate(*synth, 4, 0, 0.5f, 10.0f, true);
    Activate(*synth, 4, 2, 0.5f, 10.0f, true);
    EXPECT_EQ(synth->AllocateVoice(4, 0.25f), 1);
    EXPECT_EQ(synth->AllocateVoice(4, 0.25f), 3);
    EXPECT_EQ(synth->AllocateVoice(5, 0.25f), 0);
    // A released voice goes before any held one, even one on the same note.
    FillChannel(*synth, 0, 100.0f);
    Activate(*synth, 0, 2, 2 * kStep, 5.0f, true);
    Activate(*synth, 0, 9, 9 * kStep, 6.0f, true);
    EXPECT_EQ(synth->AllocateVoice(0, 0.0f), 9);
    // Of held voices, the oldest on the same note (within 1/12800) goes first.
    FillChannel(*synth, 1, 50.0f);
    Activate(*synth, 1, 0, 0.9f, 90.0f, false);
    Activate(*synth, 1, 4, 0.5f, 3.0f, false);
    Activate(*synth, 1, 8, 0.5f + 5e-5f, 4.0f, false);
    Activate(*synth, 1, 10, 0.5f + 1e-4f, 80.0f, false); // a different note
    EXPECT_EQ(synth->AllocateVoice(1, 0.5f), 8);
    // Otherwise the oldest held voice, ties to the lowest number.
    FillChannel(*synth, 2, 7.0f);
    EXPECT_EQ(synth->AllocateVoice(2, 0.9f), 0);
    FillChannel(*synth, 2, 7.0f);
    synth->Voice(2, 5)[kVoiceAge] = 8.0f;
    synth->Voice(2, 6)[kVoiceAge] = 8.0f;
    EXPECT_EQ(synth->AllocateVoice(2, 0.9f), 5);
}

TEST(VoiceAllocation, RetriggeredNoteTakesItsOwnVoiceAndReleaseMarksVoicesWithinTheTolerance) {
    auto synth = MakeSynth();
    for (int voice = 0; voice < 12; ++voice) {
        Activate(*synth, 3, voice, voice * kStep, 20.0f - voice, false);
    }
    synth->Voice(3, 6)[kVoiceVelocity] = 0.9f;
    EXPECT_EQ(synth->StartNote(3, 6 * kStep, 0.5f), 6);
    const float* record = synth->Voice(3, 6);
    EXPECT_EQ(record[kVoiceRelease], 0.0f);
    EXPECT_EQ(record[kVoiceAge], 0.0f);
    EXPECT_EQ(record[kVoiceActive], 1.0f);
    EXPECT_EQ(record[kVoiceTrigger], 1.0f);
    EXPECT_EQ(record[kVoiceVelocity], 0.5f);
    EXPECT_EQ(record[kVoiceNote], 6 * kStep);
    EXPECT_EQ(synth->Voice(3, 0)[kVoiceRelease], 0.0f);
    Activate(*synth, 7, 0, 0.5f, 1.0f, false);
    Activate(*synth, 7, 1, 0.5f + 7e-5f, 1.0f, false);
    Activate(*synth, 7, 2, 0.5f + 1e-4f, 1.0f, false);
    synth->Voice(7, 3)[kVoiceNote] = 0.5f; // free
    Activate(*synth, 8, 0, 0.5f, 1.0f, false);
    synth->ReleaseNote(7, 0.5f);
    EXPECT_EQ(synth->Voice(7, 0)[kVoiceRelease], 1.0f);
    EXPECT_EQ(synth->Voice(7, 1)[kVoiceRelease], 1.0f);
    EXPECT_EQ(synth->Voice(7, 2)[kVoiceRelease], 0.0f);
    EXPECT_EQ(synth->Voice(7, 3)[kVoiceRelease], 0.0f);
    EXPECT_EQ(synth->Voice(8, 0)[kVoiceRelease], 0.0f);
}

// Twelve instances of a voice list, each with its own state: a sample and hold
// clocked by voice field 8, sampling value slot 0 into voice field 3.
TEST(NodeProgram, EachVoiceHasItsOwnModulesWhichAStolenVoiceResets) {
    auto synth = MakeSynth();
    ByteCode code;
    code.Add(korvax_reference::VoiceList(0), ModuleId::SH, {VoiceField(3), VoiceField(8), Param(0, 0)});
    ASSERT_TRUE(synth->Load(code));
    EXPECT_EQ(synth->program.lists[kListVoice + 12][0], nullptr); // channel 1 has no voice graph
    // Voices sampled in turn keep their own values: a shared module would hand
    // its clock history from one voice to the next and resample.
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
    EXPECT_EQ(synth->Voice(0, 0)[3], 0.25f);
    EXPECT_EQ(synth->Voice(0, 1)[3], 0.5f);
    EXPECT_EQ(synth->Voice(0, 2)[3], 0.75f);
    // All twelve voices busy with other notes, voice 0 the oldest: it is stolen
    // and its module starts from its reset state.
    for (int note = 63; note < 72; ++note) {
        synth->NoteOn(0, note, 100);
    }
    synth->Render(1);
    synth->NoteOn(0, 80, 100);
    synth->Render(1);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceNote], 80.0f / 128.0f);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceAge], 1.0f);
    EXPECT_EQ(synth->Voice(0, 0)[3], 0.0f);
}

TEST(NodeProgram, BindsOperandsWithTheCursorsOfEachList) {
    auto synth = MakeSynth();
    ByteCode code;
    code.Add(korvax_reference::kMixPreList, kOpSet, {Global(1), Param(0, 1)});
    code.Add(korvax_reference::ChannelPreList(5), kOpAdd, {Global(2), Global(3), Global(4)});
    code.Add(korvax_reference::VoiceList(5), kOpSet, {Dynamic(0), VoiceField(2)});
    code.Add(korvax_reference::VoiceList(5), kOpSet, {Dynamic(0x80), VoiceField(1)});
    code.Add(korvax_reference::ChannelPostList(5), kOpSet, {Global(5), VoiceField(2)});
    code.Add(korvax_reference::kMixList, kOpSet, {Global(6), VoiceField(7)});
    ASSERT_TRUE(synth->Load(code));
    const NodeProgram& program = synth->program;
    float* memory = synth->Memory();
    EXPECT_EQ(program.lists[kListMixPre][0]->args[0], memory + Global(1));
    EXPECT_EQ(program.lists[kListMixPre][0]->args[1], memory + Param(0, 1));
    EXPECT_EQ(program.lists[kListChannelPre + 5][0]->args[2], memory + Global(4));
    for (int voice = 0; voice < 12; ++voice) {
        NodeList list = program.lists[kListVoice + 5 * 12 + voice];
        EXPECT_EQ(list[0]->args[1], synth->Voice(5, voice) + kVoiceNote);
        EXPECT_EQ(list[1]->args[0], memory + Dynamic(0x80));
        EXPECT_EQ(list[1]->args[1], synth->Voice(5, voice) + kVoiceVelocity);
        EXPECT_EQ(list[1]->args[2], nullptr);
    }
    // Channel and mix lists that name voice fields reach voice 0 of their channel (0 for mix).
    EXPECT_EQ(program.lists[kListChannelPost + 5][0]->args[0], memory + Global(5));
    EXPECT_EQ(program.lists[kListChannelPost + 5][0]->args[1], synth->Voice(5, 0) + kVoiceNote);
    EXPECT_EQ(program.lists[kListMix][0]->args[1], synth->Voice(0, 0) + kVoiceActive);
}

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
        std::vector<uint8_t> opcodes = EmptyLists();
        opcodes.insert(opcodes.begin() + at, opcode);
        return opcodes;
    };
    LogCapture capture;
    EXPECT_FALSE(build(with(40, 49), {}));
    const auto bugs = capture.Find(L"BUG ");
    ASSERT_EQ(bugs.size(), 1u);
    EXPECT_EQ(bugs[0].level, brl::Logging::Critical);
    EXPECT_EQ(bugs[0].message, L"BUG !n");
    EXPECT_EQ(bugs[0].function, "brl::Korvax::InstantiateNode");
    EXPECT_FALSE(build(std::vector<uint8_t>(kCompiledLists - 1, 0), {})); // a list missing
    std::vector<uint8_t> unterminated = EmptyLists();
    unterminated.back() = kOpSet;
    EXPECT_FALSE(build(unterminated, {0, 0}));
    EXPECT_FALSE(build(with(97, kOpAdd), {Global(0), Global(1)})); // operands short in the mix list
    EXPECT_EQ(program.lists[kListMixPre][0], before);
    synth->Memory()[Param(0, 0)] = 0.5f;
    synth->RenderBuffer();
    EXPECT_EQ(synth->Memory()[Global(0)], 0.5f);
    std::vector<uint8_t> trailing = EmptyLists();
    trailing.push_back(200); // opcodes after the 98th list are not read
    EXPECT_TRUE(build(trailing, {}));
    // The operands of a voice list are counted once, not once per voice.
    EXPECT_TRUE(
        build(with(korvax_reference::VoiceList(0), kOpAdd), {Dynamic(0), Dynamic(0x80), Dynamic(0x100)}));
    EXPECT_NE(program.lists[kListVoice + 11][0], nullptr);
}

TEST(NodeBinding, VoiceCodesNameFieldsAndOtherCodesNameSlots) {
    auto synth = MakeSynth();
    uint16_t operands[8] = {0x5000, 0x500F, 0x5010, 0x4FFF, 0xFFFF, 0x7000, 0x0000, 0x5005};
    Node* node = InstantiateNode(40, operands, synth.get(), 31, 11); // DebugNode: 8 buffer inputs
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->synthesizer, synth.get());
    EXPECT_EQ(node->args[0], synth->Voice(31, 11));
    EXPECT_EQ(node->args[1], synth->Voice(31, 11) + 15);
    EXPECT_EQ(node->args[2], synth->Memory() + 0x5010);
    EXPECT_EQ(node->args[3], synth->Memory() + 0x4FFF);
    EXPECT_EQ(node->args[4], synth->Memory() + 0xFFFF);
    EXPECT_EQ(node->args[7], synth->Voice(31, 11) + kVoiceFinished);
    delete node;
}

TEST(NodeBinding, BuffersAtTheEndsOfMemoryStayInsideTheSynthesizer) {
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

TEST(NodeInstantiation, EveryOpcodeMatchesItsCatalogueRecord) {
    auto synth = MakeSynth();
    uint16_t operands[kMaxNodeArgs];
    for (int i = 0; i < kMaxNodeArgs; ++i) {
        operands[i] = Dynamic(i * 128);
    }
    for (int opcode = 1; opcode <= kModuleCount; ++opcode) {
        SCOPED_TRACE(opcode);
        const int pins = PinCount(FindModule(opcode));
        EXPECT_EQ(NodeArgumentCount(static_cast<uint8_t>(opcode)), pins);
        Node* node = InstantiateNode(static_cast<uint8_t>(opcode), operands, synth.get(), 1, 2);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->argCount, pins);
        for (int i = 0; i < kMaxNodeArgs; ++i) {
            EXPECT_EQ(node->args[i], i < pins ? synth->Memory() + operands[i] : nullptr);
        }
        delete node;
    }
    EXPECT_EQ(NodeArgumentCount(34), 16);
    LogCapture capture;
    EXPECT_EQ(InstantiateNode(0, operands, synth.get(), 0, 0), nullptr);
    EXPECT_EQ(InstantiateNode(49, operands, synth.get(), 0, 0), nullptr);
    EXPECT_EQ(capture.Messages(brl::Logging::Critical).size(), 2u);
    EXPECT_EQ(NodeArgumentCount(0), 0);
    EXPECT_EQ(NodeArgumentCount(49), 0);
}

TEST(ParameterConversions, TimesTruncateAndFrequenciesGainsAndTypesFollowTheirForms) {
    auto synth = MakeSynth();
    EXPECT_EQ(synth->TimeToSamples(0.0f), 9); // 0.1 ms x 96 = 9.6
    EXPECT_EQ(synth->TimeToSamples(1.0f), 480000);
    EXPECT_EQ(synth->TimeToSamples(0.5f), static_cast<int>(96000.0 * 0.1 * std::sqrt(50000.0) * 0.001));
    EXPECT_EQ(synth->TimeToSamples(-100.0f), 0);
    EXPECT_EQ(synth->TimeToSamples(100.0f), std::numeric_limits<int32_t>::max());
    for (double x : {0.0, 0.25, 1.0}) {
        const double filter = std::exp2(x * 32.0 / 3.0 - 5.75) * 880.0 / 96000.0;
        const double band = std::exp2(x * 32.0 / 3.0 - 32.0 / 3.0) * 44100.0 / 96000.0;
        const double lfo = std::exp2(x * 32.0 / 3.0 - 14.75) * 112640.0 / 96000.0;
        EXPECT_NEAR(synth->FilterFrequency(static_cast<float>(x)), filter, filter * 2e-6);
        EXPECT_NEAR(synth->BandFrequency(static_cast<float>(x)), band, band * 2e-6);
        EXPECT_NEAR(synth->LfoFrequency(static_cast<float>(x)), lfo, lfo * 2e-6);
    }
    synth->SetSampleRate(44100.0f);
    EXPECT_EQ(synth->InverseSampleRate(), 1.0f / 44100.0f);
    EXPECT_EQ(synth->TimeToSamples(0.0f), 4);
    EXPECT_EQ(Synthesizer::GainFull(0.5f), 1.0f);
    EXPECT_NEAR(Synthesizer::GainFull(1.0f), std::pow(10.0, 1.6), 1e-4);
    EXPECT_EQ(Synthesizer::GainCut(1.0f), 1.0f);
    EXPECT_NEAR(Synthesizer::GainCut(0.0f), std::pow(10.0, -1.6), 1e-7);
    // Seven selectors: 16 (n = 16), 32 (n = 17), ..., 127.
    const std::pair<float, int> buckets[] = {{0.125f, 16}, {0.1328125f, 32},   {0.5f, 64},
                                             {0.75f, 96},  {0.7578125f, 127},  {1.0f, 127},
                                             {-3.0f, 16},  {std::nanf(""), 16}};
    for (const auto& [value, bucket] : buckets) {
        EXPECT_EQ(Synthesizer::TypeBucket(value), bucket) << value;
    }
}

TEST(RandomGenerator, ComposesThreeGeneratorStepsAndIsDeterministic) {
    auto a = MakeSynth();
    auto b = MakeSynth();
    // First value from state 0: bits 30..31 from step 3, 15..29 and 0..14 from steps 2 and 1.
    uint64_t x = 0;
    uint32_t steps[3];
    for (uint32_t& step : steps) {
        x = (x * 214013u + 2531011u) % 4294967296u;
        step = static_cast<uint32_t>(x);
    }
    const double r = ((steps[2] >> 16) % 4) * 1073741824.0 + ((steps[1] >> 16) % 32768) * 32768.0 +
                     (steps[0] >> 16) % 32768;
    EXPECT_NEAR(a->RandomRange(-1.0f, 1.0f), -1.0 + r * 2.0 / 4294967296.0, 1e-6);
    b->RandomRange(-1.0f, 1.0f);
    for (int i = 0; i < 1000; ++i) {
        const float value = a->RandomRange(0.25f, 0.5f);
        ASSERT_EQ(value, b->RandomRange(0.25f, 0.5f));
        ASSERT_GE(value, 0.25f);
        ASSERT_LE(value, 0.5f);
    }
}

} // namespace
