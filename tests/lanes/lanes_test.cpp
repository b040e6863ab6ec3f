// Voices rendered in lanes give the scalar loop's results bit for bit, on
// every instruction set this processor runs.

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"
#include "korvax/node_test_util.h"
#include "lanes/korvaxlanes.h"
#include "support/alloc_guard.h"
#include "support/reference_voice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace brl::Korvax;
using korvax_reference::ByteCode;
using korvax_reference::Dynamic;
using korvax_reference::Global;
using korvax_reference::Param;
using korvax_reference::VoiceField;
using Testing::SameFloat;

constexpr int kChannel = 3;
const int kVoiceList = korvax_reference::VoiceList(kChannel);
const uint16_t kZero = korvax_reference::kZeroBuffer;

// Plays a byte code with notes from a seeded script; a started voice gets random
// values in its free fields: any float in 8..14, a parameter (0..1) in 15.
class ScriptSynth : public Synthesizer {
public:
    ScriptSynth(bool lanes, uint32_t seed) : random(seed) { Lanes::Enable(*this, lanes); }
    ~ScriptSynth() override { DestroyNodeProgram(program); }
    bool Load(const ByteCode& code) {
        std::vector<uint8_t> opcodes;
        std::vector<uint16_t> operands;
        code.Flatten(opcodes, operands);
        return BuildNodeProgram(program, this, opcodes.data(), opcodes.size(), operands.data(),
                                operands.size());
    }
    // Mostly ordinary parameters, sometimes the values that break arithmetic.
    static float Value(std::mt19937& random) {
        constexpr float kInf = std::numeric_limits<float>::infinity();
        static const float special[] = {NAN,     kInf,     -kInf, 1.0e-40f, -3.0e-39f,
                                        1.0e30f, -7.5e12f, -0.0f, 0.0f,     1.0f};
        const int kind = std::uniform_int_distribution<int>(0, 19)(random);
        if (kind < 10) {
            return special[kind];
        }
        return std::uniform_real_distribution<float>(kind < 17 ? 0.0f : -4.0f,
                                                     kind < 17 ? 1.0f : 4.0f)(random);
    }
    NodeProgram program;
    std::mt19937 random;

protected:
    void AcquireProgram() noexcept override { currentProgram = &program; }
    void ReleaseProgram() noexcept override { currentProgram = nullptr; }
    void DoTick() noexcept override {
        std::uniform_int_distribution<int> note(40, 60);
        const int starts = std::uniform_int_distribution<int>(0, 3)(random);
        for (int i = 0; i < starts; ++i) {
            const int voice = StartNote(kChannel, static_cast<float>(note(random)) * 0.0078125f, 0.75f);
            float* record = Voice(kChannel, voice);
            for (int field = 8; field < 15; ++field) {
                record[field] = Value(random);
            }
            record[15] = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
        }
        if (std::uniform_int_distribution<int>(0, 2)(random) == 0) {
            ReleaseNote(kChannel, static_cast<float>(note(random)) * 0.0078125f);
        }
    }
};

// The first slot (voice fields from 0x10000, the random state 0x20000) where two
// synthesizers differ, but for cells the lanes leave stale; -1 when they agree.
int FirstDifference(const Synthesizer& a, const Synthesizer& b, const NodeProgram& lanes) {
    for (int i = 0; i < kMemorySlots; ++i) {
        if (!SameFloat(a.memory[i], b.memory[i]) && !Lanes::LeavesStale(lanes, i)) {
            return i;
        }
    }
    for (int i = 0; i < kVoiceRecords * kVoiceFields; ++i) {
        if (!SameFloat(a.voices[i], b.voices[i])) {
            return 0x10000 + i;
        }
    }
    return a.randomState == b.randomState ? -1 : 0x20000;
}

// Fixed parameters 40..49: oscillator types (noise, saw), then times and levels.
constexpr float kFixed[10] = {88.0f / 128, 56.0f / 128, 0.2f, 0.25f, 0.3f, 0.0f, 1.0f, 0.5f, 0.25f, 0.0f};

// Fills the shared inputs of a tick: parameters 0..31 (random), 40..49 (fixed)
// and global buffers 0..15.
void FillShared(Synthesizer& synth, std::mt19937& random, bool nice) {
    float* memory = synth.Memory();
    for (int k = 0; k < 32; ++k) {
        memory[Param(kChannel, k)] =
            nice ? std::uniform_real_distribution<float>(0.0f, 1.0f)(random) : ScriptSynth::Value(random);
    }
    for (int k = 0; k < 10; ++k) {
        memory[Param(kChannel, 40 + k)] = kFixed[k];
    }
    for (int i = 0; i < 16 * kSamplesPerBuffer; ++i) {
        memory[Global(0) + i] = ScriptSynth::Value(random);
    }
}

// Renders `code` with and without lanes, compares everything after each tick
// and returns how the lane renderer ran the modules.
std::vector<Lanes::ModuleRuns> ExpectSameAsScalar(const ByteCode& code, uint32_t seed, int ticks, bool nice,
                                                  bool expectLanes, const std::string& what) {
    ScriptSynth scalar(false, seed);
    ScriptSynth lanes(true, seed);
    EXPECT_TRUE(scalar.Load(code) && lanes.Load(code)) << what;
    EXPECT_EQ(Lanes::RunsInLanes(lanes.program, kChannel), expectLanes) << what;
    EXPECT_FALSE(Lanes::RunsInLanes(scalar.program, kChannel)) << what;
    std::mt19937 sharedA(seed * 7 + 1);
    std::mt19937 sharedB(seed * 7 + 1);
    for (int tick = 0; tick < ticks; ++tick) {
        FillShared(scalar, sharedA, nice);
        FillShared(lanes, sharedB, nice);
        scalar.RenderBuffer();
        lanes.RenderBuffer();
        const int at = FirstDifference(scalar, lanes, lanes.program);
        if (at >= 0) {
            ADD_FAILURE() << what << ": tick " << tick << ", slot " << at;
            break;
        }
    }
    return Lanes::Runs(lanes.program);
}

// One module in a voice list: buffer inputs are global buffers scaled per voice, value
// inputs per-voice fields or shared parameters, every output summed into the output area.
ByteCode ModuleVoice(int module, bool valuesPerVoice) {
    ByteCode code;
    const ModuleSpec& entry = FindModule(module);
    std::vector<uint16_t> operands;
    int cell = 0x200;
    std::vector<std::pair<uint16_t, bool>> outputs; // operand, is a buffer
    for (int pin = 0; pin < PinCount(entry); ++pin) {
        const PinSpec& p = entry.pins[pin];
        const bool buffer = p.dataType == PinDataType::Buffer;
        if (p.direction == PinDirection::Output) {
            const uint16_t at = Dynamic(buffer ? cell : 0x100 + pin);
            cell += buffer ? kSamplesPerBuffer : 0;
            operands.push_back(at);
            outputs.emplace_back(at, buffer);
        } else if (buffer) {
            const uint16_t at = Dynamic(cell);
            cell += kSamplesPerBuffer;
            code.Add(kVoiceList, ModuleId::Amp, {at, Global(pin), VoiceField(8 + pin % 8)});
            operands.push_back(at);
        } else {
            const bool selector = p.kind >= PinKind::DiscretUnspec;
            operands.push_back(valuesPerVoice && !selector ? VoiceField(8 + (pin + 3) % 8)
                                                           : Param(kChannel, pin));
        }
    }
    code.operands[kVoiceList].insert(code.operands[kVoiceList].end(), operands.begin(), operands.end());
    code.opcodes[kVoiceList].push_back(static_cast<uint8_t>(module));
    std::vector<uint16_t> blocks;
    for (const auto& [at, buffer] : outputs) {
        uint16_t block = at;
        if (!buffer) {
            block = Dynamic(cell);
            cell += kSamplesPerBuffer;
            code.Add(kVoiceList, ModuleId::Set, {block, at});
        }
        blocks.push_back(block);
    }
    // One output node: the first output left, the sum of the others right.
    if (blocks.size() > 2) {
        const uint16_t sum = Dynamic(cell);
        code.Add(kVoiceList, ModuleId::Add, {sum, blocks[1], blocks[2]});
        for (size_t k = 3; k < blocks.size(); ++k) {
            code.Add(kVoiceList, ModuleId::Add, {sum, sum, blocks[k]});
        }
        blocks.resize(2);
        blocks[1] = sum;
    }
    if (!blocks.empty()) {
        code.Add(kVoiceList, ModuleId::Output, {blocks.front(), blocks.back()});
    }
    return code;
}

// The modules that always run voice by voice: their voices' lines are memory
// of their own, or their steps branch per sample and voice.
bool VoiceByVoiceOnly(int module) {
    return module == ModuleId::Chorus || module == ModuleId::Delay || module == ModuleId::DelaySignal ||
           module == ModuleId::RMSDetect || module == ModuleId::Compressor ||
           module == ModuleId::PeakDetect || module == ModuleId::ExponentialEnvelope;
}

class LanePaths : public testing::TestWithParam<Lanes::Path> {
protected:
    void SetUp() override {
        if (!Lanes::ForcePath(GetParam())) {
            GTEST_SKIP() << Lanes::PathName(GetParam()) << " is not available on this processor";
        }
    }
    void TearDown() override { Lanes::ResetPath(); }
};

TEST_P(LanePaths, EveryModuleRendersAsTheScalarLoopAndKernelsRunInLanes) {
    for (int module = 1; module <= kModuleCount; ++module) {
        uint64_t inLanes = 0;
        for (const bool perVoice : {true, false}) {
            const std::string what =
                std::string(FindModule(module).shortName) + (perVoice ? " per voice" : "");
            const auto runs =
                ExpectSameAsScalar(ModuleVoice(module, perVoice),
                                   static_cast<uint32_t>(module * 2 + perVoice), 30, !perVoice, true, what);
            inLanes += runs[static_cast<size_t>(module)].inLanes;
            if (HasFailure()) {
                return;
            }
        }
        const bool sums = module == ModuleId::Output || module == ModuleId::DebugNode;
        if (!VoiceByVoiceOnly(module) && !sums) {
            EXPECT_GT(inLanes, 0u) << FindModule(module).shortName << " never ran in lanes";
        }
    }
}

using Ops = std::vector<std::pair<uint8_t, std::vector<uint16_t>>>;

ByteCode VoiceCode(const Ops& ops) {
    ByteCode code;
    for (const auto& [module, operands] : ops) {
        code.opcodes[kVoiceList].push_back(module);
        code.operands[kVoiceList].insert(code.operands[kVoiceList].end(), operands.begin(), operands.end());
    }
    return code;
}

// Voices summing into shared blocks run in lanes, a voice reading what the previous one
// wrote runs scalar; an oscillator whose type may select nothing keeps the previous value.
TEST_P(LanePaths, GraphsRenderAsTheScalarLoopAndInLanesWhereVoicesDoNotDependOnEachOther) {
    const uint16_t a = Dynamic(0x200);
    const uint16_t b = Dynamic(0x280);
    const uint16_t phase = Dynamic(0x180);
    const uint16_t type = Dynamic(0x010);
    const struct {
        const char* what;
        Ops voice;
        bool lanes;
    } cases[] = {
        {"two buses and two terms into one",
         {{ModuleId::Amp, {a, Global(2), VoiceField(9)}},
          {ModuleId::Add, {Global(20), Global(20), a}},
          {ModuleId::Amp, {b, Global(3), VoiceField(10)}},
          {ModuleId::Add, {Global(21), b, Global(21)}},
          {ModuleId::Add, {Global(20), Global(20), b}}},
         true},
        {"a bus that a voice also reads",
         {{ModuleId::Amp, {a, Global(2), VoiceField(9)}},
          {ModuleId::Add, {Global(20), Global(20), a}},
          {ModuleId::Mul, {b, Global(20), a}},
          {ModuleId::Output, {b, b}}},
         false},
        {"a bus added to itself",
         {{ModuleId::Amp, {a, Global(2), VoiceField(9)}},
          {ModuleId::Add, {Global(20), Global(20), Global(20)}}},
         false},
        {"reads before it writes",
         {{ModuleId::Mul, {a, Global(20), Global(1)}},
          {ModuleId::Amp, {Global(20), Global(2), VoiceField(9)}},
          {ModuleId::Output, {a, Global(20)}}},
         false},
        {"writes before it reads",
         {{ModuleId::Amp, {Global(20), Global(2), VoiceField(9)}},
          {ModuleId::Mul, {a, Global(20), Global(1)}},
          {ModuleId::Output, {a, Global(20)}}},
         true},
        {"reads part of a written block",
         {{ModuleId::Amp, {a, Global(2), VoiceField(9)}},
          {ModuleId::Mul, {Dynamic(0x300), static_cast<uint16_t>(a + 64), Global(1)}},
          {ModuleId::Output, {Dynamic(0x300), a}}},
         false},
        {"a shared type that may select nothing",
         {{ModuleId::Phase, {phase, Global(0), kZero}},
          {ModuleId::Osc, {a, phase, VoiceField(9), Param(kChannel, 7)}},
          {ModuleId::Output, {a, a}},
          {ModuleId::Amp, {a, Global(1), VoiceField(10)}},
          {ModuleId::Output, {a, kZero}}},
         true},
        {"a computed type that may select nothing",
         {{ModuleId::Bias, {Dynamic(0x100), Global(9), VoiceField(12)}},
          {ModuleId::Set, {type, Dynamic(0x100)}},
          {ModuleId::Phase, {phase, Global(0), kZero}},
          {ModuleId::Osc, {a, phase, VoiceField(9), type}},
          {ModuleId::Output, {a, a}}},
         true},
    };
    uint32_t seed = 100;
    for (const auto& c : cases) {
        ByteCode code = VoiceCode(c.voice);
        // The channel list reads the bus the voices sum into.
        code.Add(korvax_reference::ChannelPostList(kChannel), ModuleId::Output, {Global(20), Global(21)});
        ExpectSameAsScalar(code, seed++, 40, false, c.lanes, c.what);
    }
}

// Reference voices with effects, notes played, released and stolen on every
// channel: lanes render as the scalar loop and neither allocates on the audio thread.
TEST_P(LanePaths, ReferenceVoicesRenderAsTheScalarLoopWithoutAllocating) {
    using korvax_reference::VoiceEffect;
    const std::pair<int, VoiceEffect> voices[] = {{0, VoiceEffect::Chorus},
                                                  {1, VoiceEffect::None},
                                                  {2, VoiceEffect::Delay},
                                                  {kChannel, VoiceEffect::RMSDetect}};
    ByteCode code;
    for (const auto& [channel, effect] : voices) {
        korvax_reference::AddReferenceVoice(code, channel, effect);
    }
    korvax_reference::QueueSynth scalar;
    korvax_reference::QueueSynth lanes;
    Lanes::Enable(lanes, true);
    ASSERT_TRUE(scalar.Load(code) && lanes.Load(code));
    for (korvax_reference::QueueSynth* synth : {&scalar, &lanes}) {
        for (const auto& [channel, effect] : voices) {
            korvax_reference::SetReferenceParameters(synth->Memory(), channel);
            for (int voice = 0; voice < kVoicesPerChannel; ++voice) {
                synth->NoteOn(channel, 40 + voice, 100);
            }
            synth->RenderBuffer();
        }
    }
    for (const auto& [channel, effect] : voices) {
        EXPECT_TRUE(Lanes::RunsInLanes(lanes.program, channel)) << channel;
    }
    {
        brl::testing::AllocationGuard probe; // the guard sees a direct call, which the compiler may not elide
        ::operator delete(::operator new(16));
        ASSERT_EQ(probe.Count(), 1);
    }
    float peak = 0.0f;
    brl::testing::AllocationGuard guard;
    for (int tick = 0; tick < 200; ++tick) {
        const int channel = voices[tick % 4].first;
        for (korvax_reference::QueueSynth* synth : {&scalar, &lanes}) {
            synth->NoteOff(channel, 40 + tick % 12);
            synth->NoteOn(channel, 40 + (tick + 5) % 12, 90);
            synth->RenderBuffer();
        }
        ASSERT_EQ(FirstDifference(scalar, lanes, lanes.program), -1) << "tick " << tick;
        peak = std::max(peak, std::fabs(lanes.Memory()[kOutputLeft]));
    }
    EXPECT_EQ(guard.Count(), 0);
    EXPECT_GT(peak, 0.0f);
    EXPECT_GT(Lanes::Runs(lanes.program)[ModuleId::MoogFilter].inLanes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, LanePaths,
                         testing::Values(Lanes::Path::Sse2, Lanes::Path::Avx2, Lanes::Path::Avx512),
                         [](const testing::TestParamInfo<Lanes::Path>& info) {
                             std::string name = Lanes::PathName(info.param);
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

} // namespace
