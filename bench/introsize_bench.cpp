// The intro size of the demo: gathering the exported tables and compressing
// them three times (program, song, all) at xz preset 9 extreme, as the
// synthesizer state window does aside after each compile.

#include "korvax/korvaxfileio.h"
#include "korvax/korvaxintrosize.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace brl::Korvax;

void IntroSizeOfTheDemo(benchmark::State& state) {
    brl::Logging::NullChannel log;
    auto editor = std::make_unique<SynthesizerEditor>(&log);
    if (!SynthFileIo(*editor).LoadPatchesFromFile(KORVAX_DEMO_PATCH) || !editor->Compile()) {
        state.SkipWithError("the demo does not load");
        return;
    }
    std::optional<IntroSize> size;
    for (auto _ : state) {
        size = MeasureIntroSize(MakeIntroTables(editor->Patches(), editor->LastProgram()));
    }
    if (size) {
        state.counters["bytes"] = static_cast<double>(size->programBytes + size->songBytes);
        state.counters["xz"] = static_cast<double>(size->allCompressed);
    }
}

[[maybe_unused]] const auto* const kRegistered =
    benchmark::RegisterBenchmark("intro/size_demo", IntroSizeOfTheDemo) -> Unit(benchmark::kMillisecond)
        -> Iterations(10);

} // namespace
