// Voices rendered in lanes must give the scalar loop's results bit for bit:
// every module with random inputs (NaN, infinities, denormals, huge and
// negative values), notes starting, releasing and being stolen, on every
// instruction set this processor runs.

#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"
#include "lanes/korvaxlanes.h"
#include "support/reference_voice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
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

constexpr int kChannel = 3;

// Plays a byte code; notes come from a seeded script and every started voice
// gets random values in its free fields 8..15, which the graphs read.
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

    NodeProgram program;

protected:
    void AcquireProgram() noexcept override { currentProgram = &program; }
    void ReleaseProgram() noexcept override { currentProgram = nullptr; }
    void DoTick() noexcept override {
        std::uniform_int_distribution<int> note(40, 60);
        const int starts = std::uniform_int_distribution<int>(0, 3)(random);
        for (int i = 0; i < starts; ++i) {
            const int voice = StartNote(kChannel, static_cast<float>(note(random)) * 0.0078125f, 0.75f);
            float* record = Voice(kChannel, voice);
            for (int field = 8; field < kVoiceFields; ++field) {
                record[field] = Value(random);
            }
        }
        if (std::uniform_int_distribution<int>(0, 2)(random) == 0) {
            ReleaseNote(kChannel, static_cast<float>(note(random)) * 0.0078125f);
        }
    }

public:
    // Mostly ordinary parameters, sometimes the values that break arithmetic.
    static float Value(std::mt19937& random) {
        static const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::infinity(),
                                        -std::numeric_limits<float>::infinity(),
                                        1.0e-40f,
                                        -3.0e-39f,
                                        1.0e30f,
                                        -7.5e12f,
                                        -0.0f,
                                        0.0f,
                                        1.0f};
        const int kind = std::uniform_int_distribution<int>(0, 19)(random);
        if (kind < 10) {
            return special[kind];
        }
        return std::uniform_real_distribution<float>(kind < 17 ? 0.0f : -4.0f,
                                                     kind < 17 ? 1.0f : 4.0f)(random);
    }

    std::mt19937 random;
};

bool SameFloat(float a, float b) {
    return (a != a && b != b) || std::memcmp(&a, &b, sizeof a) == 0;
}

// The first slot (or voice field, numbered from 0x10000) where two synthesizers
// differ, or -1.
int FirstDifference(const Synthesizer& a, const Synthesizer& b) {
    for (int i = 0; i < kMemorySlots; ++i) {
        if (!SameFloat(a.memory[i], b.memory[i])) {
            return i;
        }
    }
    for (int i = 0; i < kVoiceRecords * kVoiceFields; ++i) {
        if (!SameFloat(a.voices[i], b.voices[i])) {
            return 0x10000 + i;
        }
    }
    return -1;
}

// Fills the shared inputs of a tick: parameters and global buffers 0..15.
void FillShared(Synthesizer& synth, std::mt19937& random, bool uniformNice) {
    float* memory = synth.Memory();
    for (int k = 0; k < 32; ++k) {
        memory[Param(kChannel, k)] = uniformNice ? std::uniform_real_distribution<float>(0.0f, 1.0f)(random)
                                                 : ScriptSynth::Value(random);
    }
    for (int i = 0; i < 16 * kSamplesPerBuffer; ++i) {
        memory[Global(0) + i] = ScriptSynth::Value(random);
    }
}

// Renders `code` with and without lanes and compares everything after each tick.
void ExpectSameAsScalar(const ByteCode& code, uint32_t seed, int ticks, bool uniformNice, bool expectLanes,
                        const std::string& what) {
    ScriptSynth scalar(false, seed);
    ScriptSynth lanes(true, seed);
    ASSERT_TRUE(scalar.Load(code)) << what;
    ASSERT_TRUE(lanes.Load(code)) << what;
    EXPECT_EQ(Lanes::RunsInLanes(lanes.program, kChannel), expectLanes) << what;
    EXPECT_FALSE(Lanes::RunsInLanes(scalar.program, kChannel)) << what;
    std::mt19937 sharedA(seed * 7 + 1);
    std::mt19937 sharedB(seed * 7 + 1);
    for (int tick = 0; tick < ticks; ++tick) {
        FillShared(scalar, sharedA, uniformNice);
        FillShared(lanes, sharedB, uniformNice);
        scalar.RenderBuffer();
        lanes.RenderBuffer();
        const int at = FirstDifference(scalar, lanes);
        ASSERT_EQ(at, -1) << what << ": tick " << tick << ", slot " << at << ": "
                          << (at < 0x10000 ? scalar.memory[at] : scalar.voices[at - 0x10000]) << " scalar, "
                          << (at < 0x10000 ? lanes.memory[at] : lanes.voices[at - 0x10000]) << " in lanes";
    }
}

// A voice list around one module: every buffer input is a global buffer scaled
// by a per-voice field (so each lane sees its own signal), value inputs read a
// per-voice field or a shared parameter, and every output is summed into the
// output area voice by voice.
ByteCode ModuleVoice(int module, bool valuesPerVoice) {
    ByteCode code;
    const int list = korvax_reference::VoiceList(kChannel);
    const ModuleSpec& spec = FindModule(module);
    std::vector<uint16_t> operands;
    int cell = 0x200;
    std::vector<std::pair<uint16_t, bool>> outputs; // operand, is a buffer
    for (int pin = 0; pin < PinCount(spec); ++pin) {
        const PinSpec& p = spec.pins[pin];
        const bool buffer = p.dataType == PinDataType::Buffer;
        if (p.direction == PinDirection::Output) {
            const uint16_t at = Dynamic(buffer ? cell : 0x100 + pin);
            cell += buffer ? kSamplesPerBuffer : 0;
            operands.push_back(at);
            outputs.emplace_back(at, buffer);
        } else if (buffer) {
            const uint16_t at = Dynamic(cell);
            cell += kSamplesPerBuffer;
            code.Add(list, ModuleId::Amp, {at, Global(pin), VoiceField(8 + pin % 8)});
            operands.push_back(at);
        } else {
            const bool selector = p.kind >= PinKind::DiscretUnspec;
            operands.push_back(valuesPerVoice && !selector ? VoiceField(8 + (pin + 3) % 8)
                                                           : Param(kChannel, pin));
        }
    }
    code.operands[list].insert(code.operands[list].end(), operands.begin(), operands.end());
    code.opcodes[list].push_back(static_cast<uint8_t>(module));
    std::vector<uint16_t> blocks;
    for (const auto& [at, buffer] : outputs) {
        uint16_t block = at;
        if (!buffer) {
            block = Dynamic(cell);
            cell += kSamplesPerBuffer;
            code.Add(list, ModuleId::Set, {block, at});
        }
        blocks.push_back(block);
    }
    // One output node: the first output left, the sum of the others right.
    if (blocks.size() > 2) {
        const uint16_t sum = Dynamic(cell);
        code.Add(list, ModuleId::Add, {sum, blocks[1], blocks[2]});
        for (size_t k = 3; k < blocks.size(); ++k) {
            code.Add(list, ModuleId::Add, {sum, sum, blocks[k]});
        }
        blocks.resize(2);
        blocks[1] = sum;
    }
    if (!blocks.empty()) {
        code.Add(list, ModuleId::Output, {blocks.front(), blocks.back()});
    }
    return code;
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

TEST_P(LanePaths, EveryModuleRendersAsTheScalarLoop) {
    for (int module = 1; module <= kModuleCount; ++module) {
        for (const bool perVoice : {true, false}) {
            const std::string what =
                std::string(FindModule(module).shortName) + (perVoice ? " per voice" : "");
            ExpectSameAsScalar(ModuleVoice(module, perVoice), static_cast<uint32_t>(module * 2 + perVoice),
                               30, !perVoice, true, what);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST_P(LanePaths, ReferenceVoicesWithEffectsRenderAsTheScalarLoop) {
    using korvax_reference::VoiceEffect;
    for (const VoiceEffect effect :
         {VoiceEffect::None, VoiceEffect::Delay, VoiceEffect::Chorus, VoiceEffect::RMSDetect}) {
        ByteCode code;
        korvax_reference::AddReferenceVoice(code, kChannel, effect);
        ScriptSynth scalar(false, 5);
        ScriptSynth lanes(true, 5);
        ASSERT_TRUE(scalar.Load(code));
        ASSERT_TRUE(lanes.Load(code));
        EXPECT_TRUE(Lanes::RunsInLanes(lanes.program, kChannel));
        korvax_reference::SetReferenceParameters(scalar.Memory(), kChannel);
        korvax_reference::SetReferenceParameters(lanes.Memory(), kChannel);
        float peak = 0.0f;
        for (int tick = 0; tick < 200; ++tick) {
            scalar.RenderBuffer();
            lanes.RenderBuffer();
            ASSERT_EQ(FirstDifference(scalar, lanes), -1) << int(effect) << " tick " << tick;
            peak = std::max(peak, std::fabs(lanes.Memory()[kOutputLeft]));
        }
        EXPECT_GT(peak, 0.0f);
    }
}

// A voice that reads a buffer before writing it hears what the previous voice
// wrote: such a channel runs scalar and sounds as before.
TEST_P(LanePaths, VoicesThatReadEachOthersBuffersRunScalar) {
    const int list = korvax_reference::VoiceList(kChannel);
    ByteCode dependent;
    dependent.Add(list, ModuleId::Mul, {Dynamic(0x200), Global(20), Global(1)});
    dependent.Add(list, ModuleId::Amp, {Global(20), Global(2), VoiceField(9)});
    dependent.Add(list, ModuleId::Output, {Dynamic(0x200), Global(20)});
    ExpectSameAsScalar(dependent, 11, 40, false, false, "reads before it writes");

    ByteCode noise; // two noise sources draw from the shared generator voice by voice
    noise.Add(list, ModuleId::Phase, {Dynamic(0x180), Global(0), Param(kChannel, 0)});
    noise.Add(list, ModuleId::Osc, {Dynamic(0x200), Dynamic(0x180), VoiceField(8), Param(kChannel, 1)});
    noise.Add(list, ModuleId::Osc, {Dynamic(0x280), Dynamic(0x180), VoiceField(9), Param(kChannel, 1)});
    noise.Add(list, ModuleId::Output, {Dynamic(0x200), Dynamic(0x280)});
    ExpectSameAsScalar(noise, 12, 40, false, false, "two oscillators");

    ByteCode twoOutputs; // sums into the output area interleave voice by voice
    twoOutputs.Add(list, ModuleId::Amp, {Dynamic(0x200), Global(2), VoiceField(9)});
    twoOutputs.Add(list, ModuleId::Output, {Dynamic(0x200), Global(3)});
    twoOutputs.Add(list, ModuleId::Output, {Global(4), Dynamic(0x200)});
    ExpectSameAsScalar(twoOutputs, 14, 40, false, false, "two outputs");

    ByteCode independent; // the same graph writing first: lanes
    independent.Add(list, ModuleId::Amp, {Global(20), Global(2), VoiceField(9)});
    independent.Add(list, ModuleId::Mul, {Dynamic(0x200), Global(20), Global(1)});
    independent.Add(list, ModuleId::Output, {Dynamic(0x200), Global(20)});
    ExpectSameAsScalar(independent, 13, 40, false, true, "writes before it reads");
}

INSTANTIATE_TEST_SUITE_P(Paths, LanePaths,
                         testing::Values(Lanes::Path::Sse2, Lanes::Path::Avx2, Lanes::Path::Avx512),
                         [](const testing::TestParamInfo<Lanes::Path>& info) {
                             std::string name = Lanes::PathName(info.param);
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

TEST(LanePaths, TheBestPathIsOneTheProcessorRuns) {
    EXPECT_TRUE(Lanes::Supported(Lanes::BestPath()));
    EXPECT_EQ(Lanes::CurrentPath(), Lanes::BestPath());
    EXPECT_TRUE(Lanes::Supported(Lanes::Path::Scalar));
}

} // namespace
