// korvax-gui-bench, tool windows: redrawing the level meters, the CPU meter
// and the slider bank with the demo loaded. Target: under 2 ms per redraw. Runs inside the
// toolkit application that gui_bench.cpp starts.

#include "gui/guicanvasbackends.h"
#include "korvax/korvaxmanager.h"
#include "libbrelm/config.h"
#include "synthesizer/cpumeter.h"
#include "synthesizer/ppmdisplay.h"
#include "synthesizer/schiebebank.h"

#include <benchmark/benchmark.h>

#include <wx/app.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/sizer.h>

#include <cmath>
#include <memory>

namespace {

using namespace brl;
using namespace brl::Synth::Gui;

class BenchManager : public Korvax::Manager {
public:
    BenchManager() : Manager(nullptr) {}
    int64_t GetPosition() const override { return 0; }
    int64_t GetSampleRate() const override { return 96000; }
    int64_t GetInputLatency() const override { return 0; }
    int64_t GetOutputLatency() const override { return 0; }
    bool IsDeviceless() const override { return true; }
};

// Levels that move a little on every redraw, the right output clipping.
struct MovingLevels {
    int step = 0;
    MeterLevels Next(float offsetDb, bool clip) {
        ++step;
        const float db = offsetDb - static_cast<float>(step % 30);
        MeterLevels m;
        m.peakOut = std::pow(10.0f, db / 20.0f);
        m.rmsOut = m.peakOut * 0.5f;
        m.peakHold = std::pow(10.0f, (db + 3.0f) / 20.0f);
        m.rmsHold = m.peakHold * 0.5f;
        m.clipOut = clip;
        return m;
    }
};

void ReportRedraws(benchmark::State& state) {
    state.counters["ms/redraw"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 1e-3,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The meter painting alone into an off-screen bitmap, at its own size
// (argument 1) or scaled to twice that (argument 2), through Cairo.
void BM_LevelMetersPaint(benchmark::State& state) {
    Config::Frontend config;
    PpmDisplaySettings settings;
    settings.scale = true;
    const int scale = static_cast<int>(state.range(0));
    const int width = static_cast<int>(settings.Length()) * scale;
    const int height = static_cast<int>(settings.Breadth()) * scale;
    wxBitmap bitmap(width, height, 24);
    wxMemoryDC dc(bitmap);
    MovingLevels levels;
    for (auto _ : state) {
        gui::WxCanvas canvas(dc, gui::WxCanvas::Options{});
        PaintPpmDisplay2(canvas, settings, levels.Next(-3.0f, false), levels.Next(2.0f, true));
    }
    ReportRedraws(state);
}

// The CPU meter painting alone into an off-screen bitmap of a status bar field.
void BM_CpuMeterPaint(benchmark::State& state) {
    wxBitmap bitmap(160, 20, 24);
    wxMemoryDC dc(bitmap);
    CpuMeter meter;
    int step = 0;
    for (auto _ : state) {
        meter.Update(static_cast<float>(step % 100) * 0.01f, 0.8f);
        ++step;
        gui::WxCanvas canvas(dc, gui::WxCanvas::Options{});
        PaintCpuMeter(canvas, meter);
    }
    ReportRedraws(state);
}

// A whole redraw of a real meter window (invalidate, paint, show).
void BM_LevelMetersWindow(benchmark::State& state) {
    Config::Frontend config;
    MovingLevels levels;
    auto* frame = new wxFrame(nullptr, wxID_ANY, "meters", wxPoint(0, 0), wxSize(860, 200));
    auto* display = new PPM_Display2(
        frame, config, [&] { return levels.Next(-3.0f, false); }, [&] { return levels.Next(2.0f, true); });
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(display, 1, wxEXPAND);
    frame->SetSizer(sizer);
    frame->Show();
    for (int i = 0; i < 50 && display->PaintCount() == 0; ++i) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
    if (display->PaintCount() == 0) {
        state.SkipWithError("the window never painted");
    }
    for (auto _ : state) {
        display->UpdateDisplay();
        display->Update();
    }
    frame->Destroy();
    wxTheApp->Yield(true);
    ReportRedraws(state);
}

// The slider bank with the demo's most used program: a refresh of all 240
// widgets (one controller changed each time) and the repaint that follows.
void BM_SliderBankRedraw(benchmark::State& state) {
    Config::Frontend config;
    auto manager = std::make_unique<BenchManager>();
    if (!manager->LoadState(FromUtf8(KORVAX_SOURCE_DIR "/examples/demo/demo.korvax"))) {
        state.SkipWithError("the demo did not load");
        return;
    }
    manager->SetCurrentProgram(2);
    auto* bank = new Schiebebank(nullptr, *manager, config);
    bank->Show();
    manager->NotifyProgramSelected();
    for (int i = 0; i < 30; ++i) {
        wxTheApp->Yield(true);
        wxMilliSleep(10);
    }
    int step = 0;
    for (auto _ : state) {
        manager->SetControllerValue(2, 128 + step % 40, static_cast<float>(step % 128) / 128.0f);
        ++step;
        manager->Update();
        bank->Update();
    }
    bank->Destroy();
    wxTheApp->Yield(true);
    ReportRedraws(state);
}

BENCHMARK(BM_LevelMetersPaint)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_CpuMeterPaint)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_LevelMetersWindow)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SliderBankRedraw)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
