// korvax-gui-bench: painting a graph view of 300 nodes and 600 links at
// 1600 x 1000, through each canvas backend: a patch-like layout (argument 0)
// and links at random across the view (argument 1). The off-screen paints
// report the process's CPU time, so that other work on a busy machine does not
// count. The program starts its own virtual X server; without one it says so
// and measures nothing.

#include "gui/guicanvasbackends.h"
#include "libbrelm/config.h"
#include "libbrelm/configproviders.h"
#include "support/xvfb_display.h"
#include "vergl/vergluiwxw.h"

#include <benchmark/benchmark.h>

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

namespace {

using namespace brl;

constexpr int kWidth = 1600;
constexpr int kHeight = 1000;
constexpr int kNodes = 300;
constexpr int kLinks = 600;

// 20 columns of 15 nodes, three inputs and two outputs each.
std::vector<vergl::CNode*> AddNodes(vergl::CVergl& graph) {
    std::vector<vergl::CNode*> nodes;
    for (int i = 0; i < kNodes; ++i) {
        vergl::CNode* node = graph.CreateNode();
        graph.SetPinCount(node->Inputs(), 3);
        graph.SetPinCount(node->Outputs(), 2);
        node->SetPosition(40 + (i % 20) * 78, 30 + (i / 20) * 66);
        node->SetComment(L"osc");
        node->SetName(L"node " + std::to_wstring(i));
        node->SetColor(gui::Colour::Rgba(200, 200, 200).value);
        for (vergl::CPin* pin : node->Inputs()) {
            pin->SetColor(gui::Colour::Rgba(100, 100, 240).value);
        }
        for (vergl::CPin* pin : node->Outputs()) {
            pin->SetColor(gui::Colour::Rgba(240, 200, 0).value);
        }
        nodes.push_back(node);
    }
    return nodes;
}

// As a patch is laid out: every node feeds the node below it and one beside
// that, the first two rows also the node two rows down.
void BuildPatch(vergl::CVergl& graph) {
    const std::vector<vergl::CNode*> nodes = AddNodes(graph);
    auto at = [&nodes](int row, int column) { return nodes[static_cast<size_t>(row * 20 + column)]; };
    for (int row = 0; row + 1 < 15; ++row) {
        for (int column = 0; column < 20; ++column) {
            const int beside = column % 2 == 0 ? column + 1 : column - 1;
            graph.Link(at(row, column)->Outputs().At(0), at(row + 1, column)->Inputs().At(0));
            graph.Link(at(row, column)->Outputs().At(1), at(row + 1, beside)->Inputs().At(1));
        }
    }
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 20; ++column) {
            graph.Link(at(row, column)->Outputs().At(0), at(row + 2, column)->Inputs().At(2));
        }
    }
}

// The worst case: links between nodes picked at random (seeded) all over the view.
void BuildTangle(vergl::CVergl& graph) {
    const std::vector<vergl::CNode*> nodes = AddNodes(graph);
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> pick(0, kNodes - 1);
    while (graph.Links().Count() < static_cast<size_t>(kLinks)) {
        vergl::CNode* from = nodes[static_cast<size_t>(pick(random))];
        vergl::CNode* to = nodes[static_cast<size_t>(pick(random))];
        graph.Link(from->Outputs().At(random() % 2), to->Inputs().At(random() % 3));
    }
}

// The graphs and the configurations shared by the benchmarks: the defaults,
// and the graph view on OpenGL.
struct Scene {
    Scene() : openGlOption({L"bench", L"--Vergl-Draw-OpenGL", L"1"}) {
        openGlConfig.AddBase(&openGlOption);
        BuildPatch(patch);
        BuildTangle(tangle);
    }
    ~Scene() {
        patch.Clear();
        tangle.Clear();
    }
    vergl::CVergl& Graph(int64_t which) { return which == 0 ? patch : tangle; }

    Config::CommandlineProvider openGlOption;
    Config::Frontend config;
    Config::Frontend openGlConfig;
    vergl::CVergl patch;
    vergl::CVergl tangle;
};

Scene& TheScene() {
    static Scene scene;
    return scene;
}

void ReportFrames(benchmark::State& state) {
    state.counters["ms/frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 1e-3,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The drawing alone: a window-less view painting into an off-screen bitmap
// through the toolkit backend. Argument: 0 the patch, 1 the tangle.
void PaintIntoBitmap(benchmark::State& state, bool cairo) {
    Scene& scene = TheScene();
    vergl::CUi view;
    view.SetViewSize(kWidth, kHeight);
    view.SetTheme(vergl::ReadTheme(scene.config));
    view.SetGraph(&scene.Graph(state.range(0)));
    wxBitmap bitmap(kWidth, kHeight, 24);
    wxMemoryDC dc(bitmap);
    gui::WxCanvas::Options options;
    options.graphicsContext = cairo;
    for (auto _ : state) {
        gui::WxCanvas canvas(dc, options);
        view.Paint(canvas);
    }
    view.SetGraph(nullptr);
    ReportFrames(state);
}

void BM_PaintToolkitCairo(benchmark::State& state) {
    PaintIntoBitmap(state, true);
}
void BM_PaintToolkitDeviceContext(benchmark::State& state) {
    PaintIntoBitmap(state, false);
}

// A whole frame of a real window: invalidate, paint and show.
void PaintWindow(benchmark::State& state, bool openGl) {
    Scene& scene = TheScene();
    auto* frame = new wxFrame(nullptr, wxID_ANY, "bench", wxPoint(0, 0), wxSize(kWidth, kHeight));
    auto* view = new vergl::CUiWxw(frame, openGl ? scene.openGlConfig : scene.config);
    view->SetTheme(vergl::ReadTheme(scene.config));
    view->SetGraph(&scene.patch);
    frame->Show();
    for (int i = 0; i < 20 && view->PaintCount() == 0; ++i) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
    if (view->PaintCount() == 0) {
        state.SkipWithError("the window never painted");
    }
    if (openGl && view->ActiveBackend() != gui::CanvasWindow::Backend::OpenGL) {
        state.SkipWithError("no OpenGL on this display");
    }
    for (auto _ : state) {
        // One whole paint per frame: invalidate, then run the event loop until
        // the window has painted.
        const uint64_t painted = view->PaintCount();
        view->Refresh(false);
        view->Update();
        while (view->PaintCount() == painted) {
            wxTheApp->Yield(true);
        }
    }
    view->SetGraph(nullptr);
    frame->Destroy();
    wxTheApp->Yield(true);
    ReportFrames(state);
}

void BM_WindowToolkit(benchmark::State& state) {
    PaintWindow(state, false);
}
void BM_WindowOpenGL(benchmark::State& state) {
    PaintWindow(state, true);
}

BENCHMARK(BM_PaintToolkitCairo)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_PaintToolkitDeviceContext)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
// A window's frame includes the X server's work, which runs in another process.
BENCHMARK(BM_WindowToolkit)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WindowOpenGL)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    testing::XvfbDisplay display(kWidth + 100, kHeight + 100);
    if (!display.Running()) {
        std::printf("korvax-gui-bench: skipped, no virtual X server: %s\n", display.Error().c_str());
        return 0;
    }
    wxApp::SetInstance(new wxApp());
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::printf("korvax-gui-bench: skipped, the toolkit did not start on %s\n", display.Name().c_str());
        return 0;
    }
    std::printf(
        "painting %d nodes and %d links at %d x %d on display %s; target: under 8 ms per frame with the "
        "toolkit backend\n",
        kNodes, kLinks, kWidth, kHeight, display.Name().c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return 0;
}
