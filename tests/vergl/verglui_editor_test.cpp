// The view driving the real editing model, as the main window wires them.
#include "verglui_fixture.h"

#include "support/log_capture.h"
#include "support/sample_graph.h"

namespace verglui {
namespace {

using brl::Korvax::SynthesizerEditor;

class ViewOnEditor : public ::testing::Test {
protected:
    ViewOnEditor() {
        view.SetGraph(&graph);
        view.SetHandler(&owner);
    }
    ~ViewOnEditor() override { view.SetGraph(nullptr); }

    // Drags in graph units (the view is not scrolled or zoomed).
    void Drag(const CPin* from, const CPin* to) {
        const NodeRect a = view.PinBounds(from);
        const NodeRect b = view.PinBounds(to);
        view.MouseDown(MouseButton::Left, a.left + 4, a.top + 4, {});
        view.MouseMotion((a.left + b.left) / 2.0f, (a.top + b.top) / 2.0f, {});
        view.MouseMotion(b.left + 5, b.top + 5, {});
        view.MouseUp(MouseButton::Left, b.left + 5, b.top + 5, {});
    }

    brl::testing::LogCapture log;
    SynthesizerEditor editor{&log};
    CVergl& graph = editor.Patches().Voice(0);
    brl::testing::SampleVoice sample{editor, graph};
    TestView view;
    brl::testing::EditorViewOwner owner{editor};
};

TEST_F(ViewOnEditor, AnOutputDraggedOntoAnInputBecomesThatLink) {
    const size_t before = graph.Links().Count();
    CPin* from = sample.envelope->Outputs().At(0);
    CPin* to = sample.output->Inputs().At(1);
    Drag(from, to);
    EXPECT_EQ(owner.connectRequests, 1);
    ASSERT_EQ(graph.Links().Count(), before);
    // The input was full: its old link gave way to the new one.
    ASSERT_EQ(to->Links().Count(), 1u);
    EXPECT_EQ(to->Links().At(0)->Pin1(), from);
}

TEST_F(ViewOnEditor, AWrongPinTypeGetsTheModelsWarningAndNoLink) {
    const size_t before = graph.Links().Count();
    Drag(sample.envelope->Outputs().At(0), sample.oscillator->Outputs().At(0));
    EXPECT_TRUE(log.Has(brl::Logging::Warning, L"Pin2 is no input or buffer."));
    Drag(sample.filter->Inputs().At(1), sample.envelope->Inputs().At(0));
    EXPECT_TRUE(log.Has(brl::Logging::Warning, L"Pin1 is no output or buffer."));
    EXPECT_EQ(graph.Links().Count(), before);
    EXPECT_TRUE(sample.envelope->Outputs().At(0)->HasNoLinks());
}

TEST_F(ViewOnEditor, DeletingTheSelectedNodeThroughTheOwnerClearsTheSelection) {
    view.SelectOnly(sample.filter);
    view.KeyUp(UiKey::Delete);
    EXPECT_EQ(view.SelectionCount(), 0u);
    EXPECT_EQ(graph.Nodes().Count(), 5u);
    EXPECT_EQ(owner.selectionChanges, 2);
}

} // namespace
} // namespace verglui
