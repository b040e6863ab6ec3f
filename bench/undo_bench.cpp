// The cost of the edit history on the demo patch set: keeping a step before an
// edit (Record), and going back and forth (Undo then Redo, each restoring the
// whole patch set through the file reader, with and without compiling it).

#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace brl::Korvax;

class BenchManager : public Manager {
public:
    using Manager::Manager;
    int64_t GetPosition() const override { return 0; }
    int64_t GetSampleRate() const override { return 96000; }
    int64_t GetInputLatency() const override { return 0; }
    int64_t GetOutputLatency() const override { return 0; }
    bool IsDeviceless() const override { return true; }
};

struct Demo {
    brl::Logging::NullChannel log;
    std::unique_ptr<BenchManager> manager = std::make_unique<BenchManager>(&log);
    EditHistory history{*manager};

    bool Load() { return manager->LoadState(brl::FromUtf8(KORVAX_DEMO_PATCH)); }
    // A move in the first graph that has nodes.
    void Move(int step) {
        for (brl::vergl::CVergl* graph : manager->Patches().AllGraphs()) {
            if (!graph->Nodes().Empty()) {
                brl::vergl::CNode* node = graph->Nodes().At(0);
                node->SetPosition(node->X() + (step % 2 == 0 ? 12 : -12), node->Y());
                return;
            }
        }
    }
};

void RecordDemo(benchmark::State& state) {
    Demo demo;
    if (!demo.Load()) {
        state.SkipWithError("demo not loaded");
        return;
    }
    int step = 0;
    for (auto _ : state) {
        demo.history.Record(L"move");
        state.PauseTiming();
        demo.Move(step++);
        state.ResumeTiming();
    }
    state.counters["stored_kib"] = static_cast<double>(demo.history.StoredBytes()) / 1024.0;
    state.counters["steps"] = static_cast<double>(demo.history.UndoCount());
}

void UndoRedoDemo(benchmark::State& state) {
    Demo demo;
    if (!demo.Load()) {
        state.SkipWithError("demo not loaded");
        return;
    }
    demo.history.Record(L"move");
    demo.Move(0);
    const bool compile = state.range(0) != 0;
    for (auto _ : state) {
        if (!demo.history.Undo(compile) || !demo.history.Redo(compile)) {
            state.SkipWithError("undo refused");
            break;
        }
    }
}

[[maybe_unused]] const auto* const kRecord = benchmark::RegisterBenchmark("undo/record_demo", RecordDemo)
                                                 -> Unit(benchmark::kMillisecond) -> Iterations(300);
[[maybe_unused]] const auto* const kUndoRedo =
    benchmark::RegisterBenchmark("undo/undo_then_redo_demo", UndoRedoDemo) -> ArgName("compile") -> Arg(0)
        -> Arg(1) -> Unit(benchmark::kMillisecond);

} // namespace
