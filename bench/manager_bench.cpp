// The time from the compile of a full patch set to the end of the first buffer
// that the audio thread renders with the new program: 98 graphs holding 2000
// nodes in chains, built through the editing model, and a thread that renders
// buffers back to back the way an audio device asks for them.

#include "korvax/korvaxmanager.h"
#include "support/deviceless_manager.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <thread>
#include <vector>

#include <time.h>

namespace {

using namespace brl::Korvax;
using brl::vergl::CNode;
using brl::vergl::CPin;
using brl::vergl::CVergl;
using Clock = std::chrono::steady_clock;

constexpr int kPatchNodes = 2000;
// Buffer modules with the buffer output first and a buffer input first.
constexpr int kChainModules[] = {7, 15, 18, 3, 20, 21, 2, 48, 46, 44, 45};

// CPU time of the calling thread: unlike the wall clock it does not count the
// time other processes of a busy machine hold the cores.
double ThreadMilliseconds() noexcept {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

class BenchManager : public brl::testing::DevicelessManager {
public:
    using DevicelessManager::DevicelessManager;

    // The program of the last buffer that was finished.
    const NodeProgram* Rendered() const noexcept { return rendered.load(std::memory_order_acquire); }
    // Thread CPU time of the last finished buffer, in milliseconds.
    double BufferCpu() const noexcept { return bufferCpu.load(std::memory_order_acquire); }
    void RenderUntil(const std::atomic<bool>& stop) noexcept {
        while (!stop.load(std::memory_order_acquire)) {
            const double start = ThreadMilliseconds();
            RenderBuffer();
            bufferCpu.store(ThreadMilliseconds() - start, std::memory_order_release);
            rendered.store(acquired, std::memory_order_release);
        }
    }

protected:
    void AcquireProgram() noexcept override {
        Manager::AcquireProgram();
        acquired = currentProgram;
    }

private:
    const NodeProgram* acquired = nullptr; // audio thread only
    std::atomic<const NodeProgram*> rendered{nullptr};
    std::atomic<double> bufferCpu{0.0};
};

// Every graph gets a chain of buffer modules ending in an output module; the
// nodes are spread evenly over the 98 graphs.
int BuildChains(Manager& manager) {
    const auto graphs = manager.Patches().AllGraphs();
    int remaining = kPatchNodes;
    int built = 0;
    for (size_t g = 0; g < graphs.size(); ++g) {
        CVergl& graph = *graphs[g];
        const int nodes = remaining / static_cast<int>(graphs.size() - g);
        remaining -= nodes;
        const int channel = g == 0 ? 0 : std::min(static_cast<int>(g - 1) / 3, kChannels - 1);
        CPin* source = nullptr;
        for (int i = 0; i + 1 < nodes; ++i) {
            const int moduleId = kChainModules[(static_cast<size_t>(i) + g) % std::size(kChainModules)];
            CNode* node = manager.CreateNode(graph, moduleId, channel);
            if (source != nullptr) {
                manager.CreateConnection(graph, source, node->Inputs().At(0));
            }
            source = node->Outputs().At(0);
        }
        CNode* output = manager.CreateNode(graph, 42, channel);
        if (source != nullptr) {
            manager.CreateConnection(graph, source, output->Inputs().At(0));
            manager.CreateConnection(graph, source, output->Inputs().At(1));
        }
    }
    for (const CVergl* graph : graphs) {
        built += static_cast<int>(graph->Nodes().Count());
    }
    return built;
}

struct HandOverFigures {
    int nodes = 0;
    std::vector<double> total; // ms from before Compile to the end of the first new buffer
    std::vector<double> compileCpu;
    std::vector<double> bufferCpu; // the first buffer of the new program
};
HandOverFigures figures;

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void CompileToAudio(benchmark::State& state) {
    brl::Logging::NullChannel log;
    auto manager = std::make_unique<BenchManager>(&log);
    figures = HandOverFigures{};
    figures.nodes = BuildChains(*manager);
    std::atomic<bool> stop{false};
    std::thread audio([&] { manager->RenderUntil(stop); });
    while (manager->Rendered() == nullptr) {
        std::this_thread::yield();
    }
    for (auto _ : state) {
        const NodeProgram* before = manager->Rendered();
        const Clock::time_point start = Clock::now();
        const double cpuStart = ThreadMilliseconds();
        const bool compiled = manager->Compile();
        const double compileCpu = ThreadMilliseconds() - cpuStart;
        if (!compiled) {
            state.SkipWithError("compile refused");
            break;
        }
        while (manager->Rendered() == before) {
            std::this_thread::yield();
        }
        const Clock::time_point end = Clock::now();
        const double total = std::chrono::duration<double, std::milli>(end - start).count();
        state.SetIterationTime(total * 1e-3);
        figures.total.push_back(total);
        figures.compileCpu.push_back(compileCpu);
        figures.bufferCpu.push_back(manager->BufferCpu());
    }
    stop = true;
    audio.join();
    state.counters["nodes"] = figures.nodes;
}

// The wall time depends on how soon a loaded machine schedules the rendering
// thread; the CPU-bound figure is what it takes with the cores to itself: the
// compile, a buffer of the old program still in flight, and the first new one.
void PrintHandOverFigure(const benchmark::State&) {
    const double compileCpu = Median(figures.compileCpu);
    const double bufferCpu = Median(figures.bufferCpu);
    std::printf("compile to audio: nodes %d, milliseconds %.2f (wall, median of %zu); CPU-bound %.2f "
                "(compile %.2f, buffer %.2f)\n",
                figures.nodes, Median(figures.total), figures.total.size(), compileCpu + 2.0 * bufferCpu,
                compileCpu, bufferCpu);
    std::fflush(stdout);
}

[[maybe_unused]] const auto* const kRegistered =
    benchmark::RegisterBenchmark("manager/compile_to_audio", CompileToAudio) -> Unit(benchmark::kMillisecond)
        -> UseManualTime() -> Iterations(30) -> Teardown(PrintHandOverFigure);

} // namespace
