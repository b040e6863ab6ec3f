#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxnotes.h"
#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <memory>
#include <vector>

namespace {

using namespace brl::Korvax;
using korvax_reference::Global;
using korvax_reference::Param;
using korvax_runtime_test::MakeSynth;
using korvax_runtime_test::TestSynth;

constexpr uint16_t kZero = korvax_reference::kZeroBuffer;

// One tool node on a synthesizer's memory: global buffers and value slots of
// channel 0 serve as its inputs and outputs.
class ToolRig {
public:
    ToolRig() : synth(MakeSynth()), memory(synth->Memory()) {}
    float* Buffer(int b) { return memory + Global(b); }
    float& Value(int number) { return memory[Param(0, number)]; }
    void Fill(int b, float (*f)(int)) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            Buffer(b)[i] = f(i);
        }
    }
    Node& Make(uint8_t opcode, std::initializer_list<uint16_t> operands) {
        const std::vector<uint16_t> codes(operands);
        nodes.emplace_back(InstantiateNode(opcode, codes.data(), synth.get(), 0, 0));
        EXPECT_NE(nodes.back(), nullptr);
        EXPECT_EQ(nodes.back()->argCount, static_cast<int>(codes.size()));
        return *nodes.back();
    }
    void Run(uint8_t opcode, std::initializer_list<uint16_t> operands) { Make(opcode, operands).Render(); }
    std::unique_ptr<TestSynth> synth;
    float* memory;
    std::vector<std::unique_ptr<Node>> nodes;
};

constexpr auto Ramp = [](int i) { return static_cast<float>(i - 64) * 0.015625f; }; // -1 .. 0.984375, exact
const auto Wave = [](int i) { return static_cast<float>(std::sin(i * 0.3)); };

TEST(ToolArithmetic, BufferModulesComputePerSample) {
    ToolRig rig;
    rig.Fill(0, Ramp);
    rig.Fill(1, Wave);
    rig.Value(0) = 0.5f;
    rig.Run(ModuleId::Add, {Global(10), Global(0), Global(1)});
    rig.Run(ModuleId::Mul, {Global(11), Global(0), Global(1)});
    rig.Run(ModuleId::Amp, {Global(12), Global(0), Param(0, 0)});
    rig.Run(ModuleId::Bias, {Global(13), Global(0), Param(0, 0)});
    rig.Run(ModuleId::Set, {Global(14), Param(0, 0)});
    rig.Run(ModuleId::Invert, {Global(15), Global(1)});
    rig.Run(ModuleId::OneMinusX, {Global(16), Global(0)});
    rig.Run(ModuleId::Copy, {Global(17), Global(18), Global(1)});
    rig.Value(1) = 1.0f;
    rig.Run(ModuleId::Gain, {Global(19), Global(1), Param(0, 1)}); // +32 dB
    rig.Run(ModuleId::MidSide, {Global(20), Global(21), Global(0), Global(1)});
    const double up = std::pow(10.0, 32.0 / 20.0);
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        const float a = Ramp(i);
        const float b = Wave(i);
        EXPECT_EQ(rig.Buffer(10)[i], a + b);
        EXPECT_EQ(rig.Buffer(11)[i], a * b);
        EXPECT_EQ(rig.Buffer(12)[i], a / 2);
        EXPECT_EQ(rig.Buffer(13)[i], static_cast<float>(i - 32) * 0.015625f);
        EXPECT_EQ(rig.Buffer(14)[i], 0.5f);
        EXPECT_EQ(rig.Buffer(15)[i], -b);
        EXPECT_EQ(rig.Buffer(16)[i], static_cast<float>(128 - i) * 0.015625f);
        EXPECT_EQ(rig.Buffer(17)[i], b);
        EXPECT_EQ(rig.Buffer(18)[i], b);
        EXPECT_NEAR(rig.Buffer(19)[i], b * up, 1e-5);
        EXPECT_NEAR(rig.Buffer(20)[i], (a + b) / std::sqrt(2.0), 1e-6);
        EXPECT_NEAR(rig.Buffer(21)[i], (a - b) / std::sqrt(2.0), 1e-6);
    }
}

TEST(ToolArithmetic, InPlaceAndOverlappingArgumentsFollowTheSampleOrder) {
    ToolRig rig;
    rig.Fill(0, Ramp);
    rig.Fill(1, Wave);
    rig.Run(ModuleId::Add, {Global(0), Global(0), Global(1)}); // in place: src1 += src2
    rig.Fill(4, Ramp);
    rig.Run(ModuleId::Mul, {Global(4), Global(1), Global(4)}); // in place on the second input
    rig.Fill(5, Wave);
    rig.Run(ModuleId::Add, {Global(5), Global(5), Global(5)}); // output and both inputs one block
    rig.Fill(6, Wave);
    rig.Run(ModuleId::Invert, {Global(6), Global(6)});
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        EXPECT_EQ(rig.Buffer(0)[i], Ramp(i) + Wave(i));
        EXPECT_EQ(rig.Buffer(4)[i], Wave(i) * Ramp(i));
        EXPECT_EQ(rig.Buffer(5)[i], Wave(i) + Wave(i));
        EXPECT_EQ(rig.Buffer(6)[i], -Wave(i));
    }
    // Output one slot behind the input: each sample reads the input before it is overwritten.
    rig.Fill(2, Ramp);
    rig.Run(ModuleId::Invert, {static_cast<uint16_t>(Global(2) - 1), Global(2)});
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        EXPECT_EQ(rig.memory[Global(2) - 1 + i], -Ramp(i));
    }
    // Output one slot ahead: each sample reads what the previous one wrote.
    rig.Fill(3, Ramp);
    rig.Run(ModuleId::Invert, {static_cast<uint16_t>(Global(3) + 1), Global(3)});
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        EXPECT_EQ(rig.memory[Global(3) + 1 + i], i % 2 == 0 ? -Ramp(0) : Ramp(0));
    }
}

// Notes outside the table, NaN among them, clamp instead of reading past it.
TEST(NoteFrequencies, ClampToTheTable) {
    EXPECT_EQ(NoteFrequency(0, 127.5f, 440.0f, 0), NoteFrequency(0, 127.0f, 440.0f, 0));
    EXPECT_EQ(NoteFrequency(0, -5.0f, 440.0f, 0), NoteFrequency(0, 0.0f, 440.0f, 0));
    EXPECT_EQ(NoteFrequency(0, std::nanf(""), 440.0f, 0), NoteFrequency(0, 0.0f, 440.0f, 0));
    EXPECT_EQ(NoteFrequency(0, 69.0f, 440.0f, 0), 440.0f);
    EXPECT_EQ(NoteFrequency(1, 3.0f, 440.0f, 10), NoteFrequency(1, 10.0f, 440.0f, 10));
    EXPECT_EQ(NoteTable(-4), NoteTable(0));
    EXPECT_EQ(NoteTable(99), NoteTable(14));
}

} // namespace
