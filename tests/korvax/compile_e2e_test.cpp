#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxsynth.h"

#include "runtime_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::vergl::CNode;
using brl::vergl::CVergl;

CNode* Module(CVergl& graph, int moduleId, std::initializer_list<int> controllers) {
    CNode* node = CreateModuleNode(graph, moduleId);
    auto next = controllers.begin();
    for (auto* pin : node->Inputs()) {
        PinRecord* record = GetPinRecord(pin);
        if (record->value && next != controllers.end()) {
            record->controllerNumber = *next++;
        }
    }
    return node;
}

void Connect(CVergl& graph, CNode* from, size_t output, CNode* to, size_t input) {
    ASSERT_NE(graph.Link(from->Outputs().At(output), to->Inputs().At(input)), nullptr);
}

// The voice of channel 0:
//   note -> map note -> set -> phase -> sine -> x release -> output left and right,
// where the release, fed by the voice's release flag, ends the voice through "fin".
void BuildSineVoice(PatchSet& patches) {
    CVergl& graph = patches.Voice(0);
    // Created consumers first, so the order has to come from the links.
    CNode* output = Module(graph, 42, {});
    CNode* multiply = Module(graph, 9, {});
    CNode* finished = CreateVoiceParamsInputNode(graph);
    CNode* release = Module(graph, 23, {3, 4});
    CNode* osc = Module(graph, 1, {1, 2});
    CNode* phase = Module(graph, 27, {0});
    CNode* set = Module(graph, 10, {5});
    CNode* mapNote = Module(graph, 13, {6});
    CNode* voice = CreateVoiceParamsOutputNode(graph);
    Connect(graph, voice, 1, mapNote, 0);
    Connect(graph, mapNote, 0, set, 0);
    Connect(graph, set, 0, phase, 0);
    Connect(graph, phase, 0, osc, 0);
    Connect(graph, osc, 0, multiply, 0);
    Connect(graph, voice, 2, release, 1);
    Connect(graph, release, 0, multiply, 1);
    Connect(graph, release, 1, finished, 0);
    Connect(graph, multiply, 0, output, 0);
    Connect(graph, multiply, 0, output, 1);
}

TEST(CompileEndToEnd, NoteSixtyNinePlaysA440HzSineUntilItsReleaseEndsTheVoice) {
    brl::Logging::NullChannel log;
    PatchSet patches;
    BuildSineVoice(patches);
    CompiledProgram program;
    ASSERT_TRUE(SynthCompiler(log).CompileGraph(patches, program));
    auto synth = korvax_runtime_test::MakeSynth();
    ASSERT_TRUE(Synthesizer::BuildNodeProgram(synth->program, synth.get(), program.opcodes.data(),
                                              program.opcodes.size(), program.operands.data(),
                                              program.operands.size()));
    float* values = synth->Memory();
    values[0] = 0.0f; // pulse width
    values[1] = 0.5f; // amplification
    values[2] = 0.0f; // sine
    values[3] = 0.2f; // release time
    const auto silent = [&](int buffers) {
        std::vector<float> out;
        synth->Render(buffers, &out);
        return std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; });
    };
    EXPECT_TRUE(silent(2));
    synth->NoteOn(0, 69, 100);
    std::vector<float> left;
    std::vector<float> right;
    synth->Render(60, &left, &right);
    EXPECT_EQ(left, right);
    // Rising zero crossings, interpolated: 440 Hz at 96 kHz is one every 218.18 samples.
    std::vector<double> crossings;
    for (size_t i = 1; i < left.size(); ++i) {
        if (left[i - 1] < 0.0f && left[i] >= 0.0f) {
            crossings.push_back(static_cast<double>(i - 1) + left[i - 1] / (left[i - 1] - left[i]));
        }
    }
    ASSERT_GE(crossings.size(), 30u);
    const double period = (crossings.back() - crossings.front()) / static_cast<double>(crossings.size() - 1);
    EXPECT_NEAR(kDefaultSampleRate / period, 440.0, 0.5);
    for (size_t i = 1; i < crossings.size(); ++i) {
        ASSERT_NEAR(crossings[i] - crossings[i - 1], period, 0.05) << i;
    }
    EXPECT_NEAR(*std::max_element(left.begin(), left.end()), 0.5f, 0.005f);
    EXPECT_NEAR(*std::min_element(left.begin(), left.end()), -0.5f, 0.005f);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceActive], 1.0f);
    synth->NoteOff(0, 69);
    synth->Render(3);
    EXPECT_EQ(synth->Voice(0, 0)[kVoiceActive], 0.0f);
    EXPECT_TRUE(silent(2));
}

} // namespace
