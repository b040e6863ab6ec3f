#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxeditor.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::vergl::CLink;
using brl::vergl::CNode;
using brl::vergl::CPin;
using brl::vergl::CVergl;

// Keeps its warnings.
class RecordingEditor : private brl::testing::LogCapture, public SynthesizerEditor {
public:
    RecordingEditor() : SynthesizerEditor(static_cast<LogCapture*>(this)) {}
    bool Warned(const String& message) const { return Has(brl::Logging::Warning, message); }
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
};

TEST_F(Editing, RefusedConnectionsLogWhyAndKeepEveryLink) {
    CNode* osc = Add(ModuleId::Osc);
    CNode* filter = Add(ModuleId::MoogFilter);
    CNode* envelope = Add(ModuleId::Envelope);
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
    CNode* lfo = Add(ModuleId::Lfo, 2);
    CNode* filter = Add(ModuleId::MoogFilter, 2);
    lfo->SetPosition(100, 41);
    filter->SetPosition(301, -200);
    ASSERT_TRUE(Connect(Out(lfo), In(filter)));
    ASSERT_EQ(graph.Nodes().Count(), 3u);
    CNode* set = graph.Nodes().At(2);
    EXPECT_EQ(GetNodeRecord(set)->number, ModuleId::Set);
    EXPECT_EQ(set->X(), (100 + 301) / 2);
    EXPECT_EQ(set->Y(), (41 - 200) / 2);
    EXPECT_TRUE(Linked(Out(lfo), In(set)));
    EXPECT_TRUE(Linked(Out(set), In(filter)));
    EXPECT_EQ(GetPinRecord(In(set))->controllerChannel, 0);
    EXPECT_EQ(GetPinRecord(In(set))->controllerNumber, 128);
}

} // namespace
