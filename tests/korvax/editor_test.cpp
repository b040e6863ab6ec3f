#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxeditor.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::vergl::CLink;
using brl::vergl::CNode;
using brl::vergl::CPin;
using brl::vergl::CVergl;

enum Module {
    kOscillator = ModuleId::Osc,
    kFilter = ModuleId::MoogFilter,
    kEnvelope = ModuleId::Envelope,
    kLfo = ModuleId::Lfo,
    kSet = ModuleId::Set,
    kMapNote = ModuleId::MapNote
};

// Keeps its warnings and the notifications of the controller-name hook.
class RecordingEditor : private brl::testing::LogCapture, public SynthesizerEditor {
public:
    RecordingEditor() : SynthesizerEditor(static_cast<LogCapture*>(this)) {}
    void ControllerNameChanged(int channel, int number, const String& name) override {
        names.emplace_back(channel, number, name);
    }
    bool Warned(const String& message) const { return Has(brl::Logging::Warning, message); }
    std::vector<std::tuple<int, int, String>> names;
};

class Editing : public ::testing::Test {
protected:
    std::unique_ptr<RecordingEditor> editor = std::make_unique<RecordingEditor>();
    CVergl& graph = editor->Patches().Voice(0);
    CNode* Add(int moduleId, int channel = 0) { return editor->CreateNode(graph, moduleId, channel); }
    bool Connect(CPin* a, CPin* b) { return editor->CreateConnection(graph, a, b); }
    static CPin* In(CNode* node, size_t k = 0) { return node->Inputs().At(k); }
    static CPin* Out(CNode* node, size_t k = 0) { return node->Outputs().At(k); }
    static bool Linked(const CPin* from, const CPin* to) {
        return std::any_of(from->Links().begin(), from->Links().end(),
                           [&](const CLink* link) { return link->Pin1() == from && link->Pin2() == to; });
    }
    float Slot(int channel, int number) const {
        return editor->Memory()[channel * kControllersPerChannel + number];
    }
};

TEST_F(Editing, ConnectionGoesFromOutputToInputInEitherOrderAndReplacesAFullInput) {
    CNode* osc = Add(kOscillator);
    CNode* other = Add(kOscillator);
    CNode* filter = Add(kFilter);
    ASSERT_TRUE(Connect(In(filter), Out(osc)));
    EXPECT_TRUE(Linked(Out(osc), In(filter)));
    ASSERT_TRUE(Connect(Out(other), In(filter)));
    EXPECT_TRUE(Linked(Out(other), In(filter)));
    EXPECT_TRUE(Out(osc)->HasNoLinks());
    EXPECT_EQ(graph.Links().Count(), 1u);
}

TEST_F(Editing, RefusedConnectionsLogWhyAndKeepEveryLink) {
    CNode* osc = Add(kOscillator);
    CNode* filter = Add(kFilter);
    CNode* envelope = Add(kEnvelope);
    CNode* bufferIn = editor->CreateNodeBufferInput(graph);
    CNode* secondBufferIn = editor->CreateNodeBufferInput(graph);
    CNode* bufferOut = editor->CreateNodeBufferOutput(graph);
    CNode* voice = editor->CreateNodeVoiceParamsOutput(graph);
    CNode* finished = editor->CreateNodeVoiceParamsInput(graph);
    ASSERT_TRUE(Connect(Out(osc), In(filter)));
    ASSERT_TRUE(Connect(Out(filter), In(bufferIn)));
    const size_t links = graph.Links().Count();
    const std::vector<std::tuple<CPin*, CPin*, String>> refused = {
        {In(osc), In(filter), L"Pin1 is no output or buffer."},
        {Out(osc), Out(filter), L"Pin2 is no input or buffer."},
        {Out(bufferOut), In(secondBufferIn), L"There must be at least one module in between."},
        {Out(voice, 1), In(secondBufferIn), L"There must be at least one module in between."},
        {Out(filter), In(secondBufferIn), L"only one single buffer can follow a render node"},
        {Out(envelope), In(finished), L"A buffer output cannot feed the voice parameter 'fin'."},
        {Out(filter), In(osc, 0), L"This link would close a loop."},
    };
    for (const auto& [from, to, message] : refused) {
        EXPECT_FALSE(Connect(from, to)) << brl::ToUtf8(message);
        EXPECT_TRUE(editor->Warned(message)) << brl::ToUtf8(message);
    }
    EXPECT_FALSE(Connect(Out(osc), In(osc, 0)));
    EXPECT_EQ(graph.Links().Count(), links);
    EXPECT_TRUE(Linked(Out(osc), In(filter)));
}

TEST_F(Editing, ValueSourceIntoBufferTargetGoesThroughASetNodeHalfway) {
    CNode* lfo = Add(kLfo, 2);
    CNode* filter = Add(kFilter, 2);
    lfo->SetPosition(100, 41);
    filter->SetPosition(301, -200);
    ASSERT_TRUE(Connect(Out(lfo), In(filter)));
    ASSERT_EQ(graph.Nodes().Count(), 3u);
    CNode* set = graph.Nodes().At(2);
    EXPECT_EQ(GetNodeRecord(set)->number, kSet);
    EXPECT_EQ(set->X(), (100 + 301) / 2);
    EXPECT_EQ(set->Y(), (41 - 200) / 2);
    EXPECT_TRUE(Linked(Out(lfo), In(set)));
    EXPECT_TRUE(Linked(Out(set), In(filter)));
    EXPECT_EQ(GetPinRecord(In(set))->controllerChannel, 0);
    EXPECT_EQ(GetPinRecord(In(set))->controllerNumber, 128);
}

// The defaults a new node writes are checked through a save in the manager tests.
TEST_F(Editing, NewNodesTakeTheNextFreeControllersAndValuesWithoutAudioAreWrittenAtOnce) {
    editor->CreateNode(editor->Patches().Voice(2), kEnvelope, 2);
    EXPECT_EQ(editor->FindFreeController(2), 136);
    EXPECT_EQ(editor->CreateNode(graph, kEnvelope, kChannels), nullptr);
    // Without audio a value is written at once and nothing is queued.
    EXPECT_FALSE(editor->SetControllerValue(kChannels, 0, 0.5f));
    EXPECT_FALSE(editor->SetControllerValue(0, kControllersPerChannel, 0.5f));
    EXPECT_TRUE(editor->SetControllerValue(4, 7, 0.75f));
    EXPECT_EQ(Slot(4, 7), 0.75f);
    EXPECT_EQ(editor->QueuedCount(), 0u);
}

TEST_F(Editing, ControllerNamesFollowTheUnconnectedInputsAndNotifyEveryChange) {
    CNode* mapNote = Add(kMapNote);
    const String pinName = In(mapNote)->Name();
    ASSERT_TRUE(editor->Compile());
    EXPECT_EQ(editor->names, (std::vector{std::make_tuple(0, 128, pinName)}));
    editor->SetControllerName(0, 128, L"pitch");
    editor->SetControllerName(kChannels, 0, L"nowhere");
    ASSERT_TRUE(editor->Compile());
    EXPECT_EQ(In(mapNote)->Name(), L"pitch");
    EXPECT_EQ(editor->names.back(), std::make_tuple(0, 128, String(L"pitch")));
    EXPECT_EQ(editor->names.size(), 2u);
    // A linked input leaves its controller unused, and the name goes.
    ASSERT_TRUE(Connect(Out(Add(kMapNote)), In(mapNote)));
    ASSERT_TRUE(editor->Compile());
    EXPECT_EQ(editor->ControllerName(0, 128), L"");
    EXPECT_NE(std::find(editor->names.begin(), editor->names.end(), std::make_tuple(0, 128, String())),
              editor->names.end());
}

} // namespace
