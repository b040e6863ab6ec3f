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
using korvax_runtime_test::MakeSynth;
using korvax_runtime_test::TestSynth;

// One tool node on a synthesizer's memory: global buffers and value slots of
// channel 0 serve as its inputs and outputs.
class ToolRig {
public:
    ToolRig() : synth(MakeSynth()), memory(synth->Memory()) {}
    float* Buffer(int b) { return memory + Global(b); }
    void Fill(int b, float (*f)(int)) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            Buffer(b)[i] = f(i);
        }
    }
    void Run(uint8_t opcode, std::initializer_list<uint16_t> operands) {
        const std::vector<uint16_t> codes(operands);
        nodes.emplace_back(InstantiateNode(opcode, codes.data(), synth.get(), 0, 0));
        ASSERT_NE(nodes.back(), nullptr);
        EXPECT_EQ(nodes.back()->argCount, static_cast<int>(codes.size()));
        nodes.back()->Render();
    }
    std::unique_ptr<TestSynth> synth;
    float* memory;
    std::vector<std::unique_ptr<Node>> nodes;
};

constexpr auto Ramp = [](int i) { return static_cast<float>(i - 64) * 0.015625f; }; // -1 .. 0.984375, exact
const auto Wave = [](int i) { return static_cast<float>(std::sin(i * 0.3)); };

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
