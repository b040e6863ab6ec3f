// Canvas windows and the graph view in real windows on a private X server.
#include "gui_test_support.h"

#include "audio/audio_settings.h"
#include "gui/canvaswindow.h"
#include "support/log_capture.h"
#include "support/sample_graph.h"
#include "vergl/vergluiwxw.h"

#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/uiaction.h>

#include <cstdlib>
#include <memory>

namespace {

using brl::String;
using brl::gui::CanvasWindow;
using brl::gui::Colour;
using namespace std::chrono_literals;

using Settings = brl::testing::CommandLineSettings;

// Empty when the pixel is within the tolerance of the colour, else what it is.
std::string Off(const wxImage& image, int x, int y, Colour expected, int tolerance = 12) {
    if (!image.IsOk() || x >= image.GetWidth() || y >= image.GetHeight()) {
        return "outside";
    }
    const int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
    const bool near = std::abs(r - int(expected.R())) <= tolerance &&
                      std::abs(g - int(expected.G())) <= tolerance &&
                      std::abs(b - int(expected.B())) <= tolerance;
    return near ? "" : std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b);
}

struct BackendCase {
    const char* name;
    std::vector<String> arguments;
    CanvasWindow::Backend backend;
    bool alphaShown; // whether a colour of alpha 40 shows at all
};

class CanvasWindowPaints : public ::testing::TestWithParam<BackendCase> {};

const Colour kBackground = Colour::Rgba(20, 20, 60);
const Colour kRed = Colour::Rgba(210, 30, 30);

TEST_P(CanvasWindowPaints, ShapesTransformsAndAlphaReachTheScreen) {
    brl::testing::LogCapture log;
    Settings settings(GetParam().arguments);
    float textWidth = 0.0f;
    guitest::Frame frame("canvas", wxSize(240, 220));
    auto* window = new CanvasWindow(frame.frame, settings.Frontend(), L"Test");
    window->SetRedraw([&textWidth](brl::gui::Canvas& canvas) {
        canvas.Clear(kBackground);
        canvas.Rectangle(40, 40, 120, 100, kRed, Colour(0), 0.0f);
        canvas.Line(10, 150, 190, 150, Colour::Rgba(0, 255, 0, 40), 12.0f);
        canvas.SetFont(L"", 12.0f, 1.0f, 0.0f, 0.0f);
        canvas.Text(10, 170, Colour::Rgba(255, 255, 255), L"Korvax 0.19");
        textWidth = canvas.TextWidth(L"Korvax 0.19");
        canvas.SetOrigin(150, 20);
        canvas.SetScale(2.0f);
        canvas.RoundedRectangle(0, 0, 20, 20, 2, kRed, Colour(0), 0.0f);
        canvas.SetScale(1.0f);
        canvas.SetOrigin(0, 0);
    });
    EXPECT_EQ(window->ActiveBackend(), GetParam().backend);
    frame.frame->Show();
    ASSERT_TRUE(guitest::PumpUntil([&] { return window->PaintCount() > 0; }));
    const wxImage picture = guitest::Grab(window);
    EXPECT_EQ(Off(picture, 5, 5, kBackground), "");
    EXPECT_EQ(Off(picture, 80, 70, kRed), "");
    EXPECT_EQ(Off(picture, 170, 40, kRed), ""); // scaled twice, moved
    EXPECT_EQ(Off(picture, 135, 40, kBackground), "");
    EXPECT_EQ(Off(picture, 100, 150, kBackground, 4).empty(), !GetParam().alphaShown);
    EXPECT_GT(textWidth, 40.0f);
    EXPECT_TRUE(log.Find(L"OpenGL error").empty());
}

INSTANTIATE_TEST_SUITE_P(
    Backends, CanvasWindowPaints,
    ::testing::Values(
        BackendCase{"Cairo", {}, CanvasWindow::Backend::Toolkit, true},
        BackendCase{"DeviceContext", {L"--Ui-Draw-Cairo", L"0"}, CanvasWindow::Backend::Toolkit, false},
        BackendCase{"OpenGL", {L"--Test-Draw-OpenGL", L"1"}, CanvasWindow::Backend::OpenGL, true}),
    [](const ::testing::TestParamInfo<BackendCase>& info) { return std::string(info.param.name); });

// The graph view in a frame, showing the sample voice graph of the editing model.
class GraphViewWindow : public ::testing::TestWithParam<BackendCase> {
protected:
    void SetUp() override {
        frame = new wxFrame(nullptr, wxID_ANY, "graph", wxPoint(0, 0), wxSize(640, 480));
        view = new brl::vergl::CUiWxw(frame, settings.Frontend());
        view->SetTheme(brl::vergl::ReadTheme(settings.Frontend()));
        view->SetBehaviours(brl::vergl::ReadEditorBehaviours(settings.Frontend()));
        view->SetGraph(&graph);
        view->SetHandler(&owner);
        view->ScrollTo(-320, -220);
        frame->Show();
        ASSERT_TRUE(guitest::PumpUntil([&] { return view->PaintCount() > 0; }));
    }
    void TearDown() override {
        view->SetGraph(nullptr);
        guitest::DestroyNow(frame);
        guitest::Pump(20ms);
    }

    // Screen position of a pin's middle.
    wxPoint Screen(const brl::vergl::CPin* pin) const {
        const brl::vergl::NodeRect r = view->PinBounds(pin);
        const int x = static_cast<int>((r.left + r.right) / 2 - view->ScrollX());
        const int y = static_cast<int>((r.top + r.bottom) / 2 - view->ScrollY());
        return view->ClientToScreen(wxPoint(x, y));
    }

    void Drag(wxPoint from, wxPoint to) {
        wxUIActionSimulator mouse;
        mouse.MouseMove(from);
        guitest::Pump(60ms);
        mouse.MouseDown();
        guitest::Pump(60ms);
        for (int step = 1; step <= 8; ++step) {
            mouse.MouseMove(from + (to - from) * step / 8);
            guitest::Pump(25ms);
        }
        mouse.MouseUp();
        guitest::Pump(100ms);
    }

    brl::testing::LogCapture log;
    Settings settings{GetParam().arguments};
    brl::Korvax::SynthesizerEditor editor{&log};
    brl::vergl::CVergl& graph = editor.Patches().Voice(0);
    brl::testing::SampleVoice sample{editor, graph};
    brl::testing::EditorViewOwner owner{editor};
    wxFrame* frame = nullptr;
    brl::vergl::CUiWxw* view = nullptr;
};

TEST_P(GraphViewWindow, AMouseDragLinksAnOutputToAnInputAndOntoAnotherOutputWarnsAndLinksNothing) {
    EXPECT_EQ(view->ActiveBackend(), GetParam().backend);
    brl::vergl::CPin* from = sample.envelope->Outputs().At(0);
    const size_t links = graph.Links().Count();
    Drag(Screen(from), Screen(sample.oscillator->Outputs().At(0)));
    ASSERT_TRUE(guitest::PumpUntil([&] { return owner.connectRequests == 1; }, 2000ms));
    EXPECT_TRUE(log.Has(brl::Logging::Warning, L"Pin2 is no input or buffer."));
    EXPECT_EQ(graph.Links().Count(), links);
    EXPECT_TRUE(from->HasNoLinks());
    brl::vergl::CPin* to = sample.output->Inputs().At(1);
    Drag(Screen(from), Screen(to));
    ASSERT_TRUE(guitest::PumpUntil([&] { return !from->HasNoLinks(); }, 2000ms));
    EXPECT_EQ(owner.connectRequests, 2);
    ASSERT_EQ(to->Links().Count(), 1u);
    EXPECT_EQ(to->Links().At(0)->Pin1(), from);
    view->SelectOnly(nullptr);
    wxUIActionSimulator().MouseMove(view->ClientToScreen(wxPoint(620, 20)));
    guitest::Pump(150ms);
    guitest::SaveScreenshot(frame, GetParam().backend == CanvasWindow::Backend::Toolkit
                                       ? "graph-view-sample.png"
                                       : "graph-view-sample-opengl.png");
}

INSTANTIATE_TEST_SUITE_P(
    Backends, GraphViewWindow,
    ::testing::Values(BackendCase{"Toolkit", {}, CanvasWindow::Backend::Toolkit, true},
                      BackendCase{
                          "OpenGL", {L"--Vergl-Draw-OpenGL", L"1"}, CanvasWindow::Backend::OpenGL, true}),
    [](const ::testing::TestParamInfo<BackendCase>& info) { return std::string(info.param.name); });

} // namespace
