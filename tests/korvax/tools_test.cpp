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

TEST(ToolArithmetic, MixersSumTheirInputsAndUnconnectedOnesReadZero) {
    ToolRig rig;
    for (int b = 0; b < 8; ++b) {
        for (int i = 0; i < kSamplesPerBuffer; ++i) {
            rig.Buffer(b)[i] = static_cast<float>((b + 1) * (i + 1)); // small integers: sums are exact
        }
    }
    rig.Run(ModuleId::Mix4, {Global(10), Global(0), Global(1), Global(2), Global(3)});
    rig.Run(ModuleId::Mix8, {Global(11), Global(0), Global(1), Global(2), Global(3), Global(4), Global(5),
                             Global(6), Global(7)});
    rig.Run(ModuleId::Mix8, {Global(12), Global(2), kZero, kZero, kZero, kZero, kZero, kZero, Global(2)});
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        EXPECT_EQ(rig.Buffer(10)[i], static_cast<float>(10 * (i + 1)));
        EXPECT_EQ(rig.Buffer(11)[i], static_cast<float>(36 * (i + 1)));
        EXPECT_EQ(rig.Buffer(12)[i], static_cast<float>(6 * (i + 1)));
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

TEST(ToolShaping, ClampAndClipLimitTheirInput) {
    ToolRig rig;
    const float inputs[] = {-3.0f, 0.5f, 7.0f, 0.0f, 1.0f, -0.2f, 0.2f};
    const float clamped[] = {0.0f, 0.5f, 1.0f, 0.0f, 1.0f, 0.0f, 0.2f};
    const float clipped[] = {-0.25f, 0.25f, 0.25f, 0.0f, 0.25f, -0.2f, 0.2f};
    for (int i = 0; i < 7; ++i) {
        rig.Buffer(0)[i] = inputs[i];
    }
    rig.Value(0) = 0.0f;
    rig.Value(1) = 0.25f;
    rig.Run(ModuleId::Clamp, {Global(1), Global(0)});
    rig.Run(ModuleId::Clip, {Global(2), Global(0), Param(0, 1)});
    rig.Run(ModuleId::Clip, {Global(3), Global(0), Param(0, 0)});
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(rig.Buffer(1)[i], clamped[i]) << inputs[i];
        EXPECT_EQ(rig.Buffer(2)[i], clipped[i]) << inputs[i];
        EXPECT_EQ(rig.Buffer(3)[i], 0.0f) << inputs[i]; // level 0 silences
    }
}

TEST(ToolValues, ValueModulesComputeOncePerBuffer) {
    ToolRig rig;
    rig.Value(0) = 0.25f;
    rig.Run(ModuleId::Balance, {Param(0, 1), Param(0, 2), Param(0, 0)});
    rig.Run(ModuleId::Panning, {Param(0, 3), Param(0, 4), Param(0, 0)});
    EXPECT_EQ(rig.Value(1), 0.75f);
    EXPECT_EQ(rig.Value(2), 0.25f);
    EXPECT_NEAR(rig.Value(3), std::sqrt(0.75), 1e-7);
    EXPECT_EQ(rig.Value(4), 0.5f);
    const float cases[][2] = {{0.0f, -1.0f}, {0.5f, 0.0f}, {1.0f, 1.0f}, {0.75f, 0.5f}};
    for (const auto& c : cases) {
        rig.Value(5) = c[0];
        rig.Run(ModuleId::ScaleDown, {Param(0, 6), Param(0, 5)});
        EXPECT_EQ(rig.Value(6), c[1]);
        rig.Run(ModuleId::ScaleUp, {Param(0, 7), Param(0, 6)});
        EXPECT_EQ(rig.Value(7), c[0]);
    }
    rig.Value(10) = 0.125f; // target
    rig.Value(11) = 0.25f;  // source
    rig.Value(12) = 0.5f;   // amount
    rig.Run(ModuleId::Modulate, {Param(0, 13), Param(0, 10), Param(0, 11), Param(0, 12)});
    EXPECT_EQ(rig.Value(13), 0.25f);
    rig.Value(20) = 0.5f; // high
    rig.Value(21) = 1.0f; // low
    rig.Run(ModuleId::Highres, {Param(0, 22), Param(0, 20), Param(0, 21)});
    EXPECT_EQ(rig.Value(22), 0.5078125f);
}

TEST(ToolValues, TransposeShiftsBySemitonesAndDetunesByHalfASemitone) {
    ToolRig rig;
    Node& transpose = rig.Make(ModuleId::Transpose, {Param(0, 3), Param(0, 0), Param(0, 1), Param(0, 2)});
    rig.Value(0) = 60.0f / 128.0f;
    const auto run = [&](float shift, float detune) {
        rig.Value(1) = shift;
        rig.Value(2) = detune;
        transpose.Render();
        return rig.Value(3);
    };
    EXPECT_EQ(run(0.5f, 0.5f), 60.0f / 128.0f);
    EXPECT_NEAR(run(0.5f + 7.0f / 128.0f, 0.5f), 67.0f / 128.0f, 1e-7);
    EXPECT_NEAR(run(0.5f, 1.0f), 60.5f / 128.0f, 1e-7);
    EXPECT_NEAR(run(0.5f, 0.0f), 59.5f / 128.0f, 1e-7);
}

TEST(SampleAndHold, SamplesOnlyOnARisingClockEdge) {
    ToolRig rig;
    Node& sh = rig.Make(ModuleId::SH, {Param(0, 2), Param(0, 0), Param(0, 1)});
    const auto step = [&](float clock, float source) {
        rig.Value(0) = clock;
        rig.Value(1) = source;
        sh.Render();
        return rig.Value(2);
    };
    EXPECT_EQ(step(0.0f, 0.3f), 0.0f);
    EXPECT_EQ(step(1.0f, 0.4f), 0.4f);
    EXPECT_EQ(step(0.5f, 0.6f), 0.4f); // still high: no resample
    EXPECT_EQ(step(-1.0f, 0.7f), 0.4f);
    EXPECT_EQ(step(0.0f, 0.8f), 0.4f);
    EXPECT_EQ(step(0.1f, 0.9f), 0.9f);
    sh.Reset();
    EXPECT_EQ(step(0.1f, 0.2f), 0.2f); // after Reset the previous clock is 0 again
    sh.Reset();
    EXPECT_EQ(step(0.0f, 0.5f), 0.0f);
}

TEST(NoteMapping, MapNoteAndItsHighresFormGiveTheFrequencyInNyquistUnits) {
    ToolRig rig;
    Node& mapNote = rig.Make(ModuleId::MapNote, {Param(0, 1), Param(0, 0)});
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        rig.Buffer(0)[i] = static_cast<float>(i) / 128.0f;
    }
    rig.Run(ModuleId::MapNoteHighres, {Global(1), Global(0)});
    for (int note = 0; note < kSamplesPerBuffer; ++note) {
        rig.Value(0) = static_cast<float>(note) / 128.0f;
        mapNote.Render();
        const double expected = 440.0 * std::pow(2.0, (note - 69) / 12.0) * 2.0 / 96000.0;
        EXPECT_NEAR(rig.Value(1), expected, expected * 2e-6) << note;
        EXPECT_NEAR(rig.Buffer(1)[note], expected, expected * 2e-6) << note;
    }
    EXPECT_EQ(rig.Buffer(1)[69], 880.0f / 96000.0f);
    rig.Value(0) = 69.0f / 128.0f;
    mapNote.Render();
    EXPECT_EQ(rig.Value(1), 880.0f * (1.0f / 96000.0f));
    rig.Value(0) = 60.5f / 128.0f; // between notes: geometric interpolation
    mapNote.Render();
    EXPECT_NEAR(rig.Value(1), 440.0 * std::pow(2.0, -8.5 / 12.0) * 2.0 / 96000.0, 1e-8);
}

TEST(NoteMapping, AdvancedMapUsesTuningMasterAndBaseNoteAndClampsTheTuningIndex) {
    ToolRig rig;
    Node& advanced = rig.Make(ModuleId::MapNoteAdvanced,
                              {Param(0, 5), Param(0, 0), Param(0, 1), Param(0, 2), Param(0, 3)});
    Node& plain = rig.Make(ModuleId::MapNote, {Param(0, 6), Param(0, 0)});
    const auto run = [&](float note, float tuning, float master, float base) {
        rig.Value(0) = note;
        rig.Value(1) = tuning;
        rig.Value(2) = master;
        rig.Value(3) = base;
        advanced.Render();
        return rig.Value(5);
    };
    const float note = 64.0f / 128.0f;
    rig.Value(0) = note;
    plain.Render();
    EXPECT_EQ(run(note, 0.0f, 0.0f, 0.9f), rig.Value(6)); // base 0.9 truncates to 0
    EXPECT_NEAR(run(note, 0.0f, 1.0f, 0.0f), rig.Value(6) * 450.0f / 440.0f, 1e-8);
    // Equal temperament does not depend on the base note.
    EXPECT_NEAR(run(note, 0.0f, 0.0f, 12.0f), rig.Value(6), rig.Value(6) * 1e-6);
    // Tuning selects table trunc(tuning x 15), clamped to the fifteen tables.
    EXPECT_NEAR(run(note, 2.0f / 15.0f + 0.01f, 0.0f, 0.0f), NoteTable(2)[64] * 880.0f / 96000.0f, 1e-8);
    const float d = 62.0f / 128.0f;
    const float last = run(d, 0.95f, 0.0f, 0.0f); // 14.25 -> table 14
    const float first = run(d, 0.0f, 0.0f, 0.0f);
    EXPECT_NEAR(last, NoteTable(14)[62] * 880.0f / 96000.0f, 1e-8);
    EXPECT_NE(last, run(d, 0.9f, 0.0f, 0.0f)); // table 13 differs
    EXPECT_EQ(run(d, 1.0f, 0.0f, 0.0f), last); // 15 is one past the tables
    EXPECT_EQ(run(d, 1e30f, 0.0f, 0.0f), last);
    EXPECT_EQ(run(d, -0.5f, 0.0f, 0.0f), first);
    EXPECT_EQ(run(d, std::nanf(""), 0.0f, 0.0f), first);
}

TEST(IoTaps, InputCopiesTheInputBuffersAndOutputsAddIntoTheOutputArea) {
    ToolRig rig;
    for (int i = 0; i < 8 * kSamplesPerBuffer; ++i) {
        rig.memory[kInputBufferBase + i] = static_cast<float>(i);
    }
    rig.Run(ModuleId::Input,
            {Global(10), Global(11), Global(12), Global(13), Global(14), Global(15), Global(16), Global(17)});
    EXPECT_EQ(rig.Buffer(10)[0], 0.0f);
    EXPECT_EQ(rig.Buffer(17)[127], static_cast<float>(8 * 128 - 1));
    rig.Fill(0, Ramp);
    rig.Fill(1, Wave);
    rig.Run(ModuleId::Output, {Global(0), Global(1)});
    rig.Run(ModuleId::Output, {Global(1), kZero});
    rig.Run(ModuleId::DebugNode, {kZero, Global(0), kZero, kZero, kZero, kZero, kZero, Global(1)});
    for (int i = 0; i < kSamplesPerBuffer; ++i) {
        EXPECT_EQ(rig.memory[kOutputLeft + i], Ramp(i) + Wave(i));
        EXPECT_EQ(rig.memory[kOutputRight + i], Wave(i) + Ramp(i));
        EXPECT_EQ(rig.memory[kOutputAreaBase + 7 * 128 + i], Wave(i));
        EXPECT_EQ(rig.memory[kOutputAreaBase + 2 * 128 + i], 0.0f);
    }
}

TEST(NoteTables, EqualTemperamentAndTheTemperedTunings) {
    const float* equal = NoteTable(0);
    EXPECT_EQ(equal[69], 1.0f);
    EXPECT_NEAR(equal[0], std::pow(2.0, -69 / 12.0), 1e-8);
    EXPECT_NEAR(equal[127], std::pow(2.0, 58 / 12.0), 1e-5);
    // Column 0 of the deviation rows, in tenths of a cent; column 9 (A) is 0 but in the last row.
    const int c0[12] = {30, 50, 60, 60, 60, 60, 70, 105, 120, 105, 82, 0};
    for (int k = 0; k < 12; ++k) {
        EXPECT_NEAR(NoteTable(3 + k)[60] / equal[60], std::pow(2.0, c0[k] / 12000.0), 1e-6) << k;
    }
    EXPECT_EQ(NoteTable(13)[69], 1.0f);
    EXPECT_NEAR(NoteTable(14)[69], std::pow(2.0, -82 / 12000.0), 1e-6);
    EXPECT_NEAR(NoteTable(12)[63] / equal[63], std::pow(2.0, 210 / 12000.0), 1e-6);
    EXPECT_EQ(NoteTable(-4), NoteTable(0));
    EXPECT_EQ(NoteTable(99), NoteTable(14));
}

TEST(NoteTables, ScriptTablesAreFilledRisingAndOctaveTrue) {
    for (int table = 1; table <= 2; ++table) {
        const float* t = NoteTable(table);
        for (int n = 0; n < kNotesPerTable; ++n) {
            ASSERT_GT(t[n], 0.0f) << table << " " << n;
            if (n > 0) {
                EXPECT_GT(t[n], t[n - 1]) << table << " " << n;
            }
            if (n >= 12) {
                EXPECT_EQ(t[n], t[n - 12] * 2.0f) << table << " " << n;
            }
        }
    }
    // Script B stacks pure fifths around A.
    const float* b = NoteTable(2);
    EXPECT_EQ(b[69], 1.0f);
    EXPECT_EQ(b[64], 0.75f);
    EXPECT_EQ(b[76], 1.5f);
    EXPECT_EQ(b[71], 1.125f);
    EXPECT_NEAR(b[62], 2.0 / 3.0, 1e-7);
    // Script A starts from a pure third below A and chains 381/256 fifths; its
    // seventh step writes note 69 again, closing the chain a little flat.
    const float* a = NoteTable(1);
    const double fifth = 381.0 / 256.0;
    EXPECT_EQ(a[65], 0.8f);
    EXPECT_NEAR(a[72], 0.8 * fifth, 1e-7);
    EXPECT_NEAR(a[62], 0.8 * fifth * fifth * fifth / 2.0 / 2.0, 1e-7);
    EXPECT_NEAR(a[69], 0.8 * std::pow(fifth, 4) / 4.0, 1e-6);
    EXPECT_NEAR(a[73], 0.8 * std::pow(fifth, 4) / 4.0 * 1.25, 1e-6);
}

TEST(NoteFrequencies, ClampInterpolateAndShiftByBase) {
    const double a4 = 440.0;
    EXPECT_NEAR(NoteFrequency(0, 127.5f, 440.0f, 0), a4 * std::pow(2.0, 58.0 / 12.0), 0.02);
    EXPECT_EQ(NoteFrequency(0, 127.5f, 440.0f, 0), NoteFrequency(0, 127.0f, 440.0f, 0));
    EXPECT_EQ(NoteFrequency(0, -5.0f, 440.0f, 0), NoteFrequency(0, 0.0f, 440.0f, 0));
    EXPECT_EQ(NoteFrequency(0, std::nanf(""), 440.0f, 0), NoteFrequency(0, 0.0f, 440.0f, 0));
    EXPECT_NEAR(NoteFrequency(0, 0.0f, 440.0f, 0), a4 * std::pow(2.0, -69.0 / 12.0), 1e-4);
    EXPECT_EQ(NoteFrequency(0, 69.0f, 440.0f, 0), 440.0f);
    EXPECT_NEAR(NoteFrequency(0, 69.5f, 440.0f, 0), a4 * std::pow(2.0, 1.0 / 24.0), 1e-3);
    EXPECT_NEAR(NoteFrequency(0, 69.0f, 432.0f, 0), 432.0, 1e-4);
    // In a script tuning the interpolation runs between the table's own neighbours.
    const float* b = NoteTable(2);
    EXPECT_NEAR(NoteFrequency(2, 64.5f, 440.0f, 0), 440.0 * std::sqrt(double(b[64]) * b[65]), 1e-3);
    // The base note moves the table and scales by 2^(base/12); below the base the note clamps.
    EXPECT_NEAR(NoteFrequency(2, 71.0f, 440.0f, 2), 440.0 * b[69] * std::pow(2.0, 2.0 / 12.0), 1e-3);
    EXPECT_EQ(NoteFrequency(1, 3.0f, 440.0f, 10), NoteFrequency(1, 10.0f, 440.0f, 10));
}

} // namespace
