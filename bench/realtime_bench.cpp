// Realtime synthesizer: the cost of queueing and applying events, and the time
// from queueing an event to its application while an audio thread ticks every
// 1333 us (128 samples at 96 kHz).

#include "korvax/korvaxrealtime.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace brl::Korvax;
using Clock = std::chrono::steady_clock;

constexpr auto kTickPeriod = std::chrono::microseconds(1333);

SynthEvent ControllerEvent(float value) {
    SynthEvent event;
    event.type = kEventController;
    event.channel = 0;
    event.index = 1;
    event.value = value;
    return event;
}

// Exposes the tick and records when each tick finished applying its events.
class ProbeSynth : public SynthesizerRealtime {
public:
    explicit ProbeSynth(uint32_t latencyMs, size_t maxTicks)
        : SynthesizerRealtime(nullptr, latencyMs), ticks(maxTicks) {}

    struct Tick {
        uint32_t processed;
        Clock::time_point applied;
    };

    // The event phase of a buffer, without rendering.
    void ApplyDueEvents() noexcept {
        AcquireProgram();
        DoTick();
        ReleaseProgram();
    }

    void DoTick() noexcept override {
        SynthesizerRealtime::DoTick();
        if (tickCount < ticks.size()) {
            ticks[tickCount++] = {ProcessedCount(), Clock::now()};
        }
    }

    std::vector<Tick> ticks; // preallocated: the audio thread only stores
    size_t tickCount = 0;
};

struct LatencyFigures {
    double minimum = 0;
    double median = 0;
    double p99 = 0;
    double maximum = 0;
    size_t events = 0;
};

// Queues events at random moments while a rendering thread ticks on a fixed
// schedule, and measures for each event the time until the tick that applied it.
LatencyFigures MeasureEventLatency(uint32_t latencyMs, int events) {
    const size_t maxTicks = static_cast<size_t>(events) * 4 + 1000;
    ProbeSynth synth(latencyMs, maxTicks);
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        auto next = Clock::now();
        while (!stop.load(std::memory_order_acquire)) {
            synth.RenderBuffer();
            next += kTickPeriod;
            std::this_thread::sleep_until(next);
        }
    });

    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> gap(0, 3000);
    std::vector<std::pair<uint32_t, Clock::time_point>> queued;
    queued.reserve(static_cast<size_t>(events));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < events; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(gap(random)));
        const SynthEvent event = ControllerEvent(static_cast<float>(i));
        const Clock::time_point at = Clock::now();
        uint32_t sequence = 0;
        if (synth.QueueEvents(&event, 1, SynthesizerRealtime::kQueueDrop, &sequence)) {
            queued.emplace_back(sequence, at);
        }
    }
    while (synth.ProcessedCount() != synth.QueuedCount()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop.store(true, std::memory_order_release);
    audio.join();

    std::vector<double> micros;
    size_t tick = 0;
    for (const auto& [sequence, at] : queued) {
        while (tick < synth.tickCount && synth.ticks[tick].processed < sequence) {
            ++tick;
        }
        if (tick == synth.tickCount) {
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(synth.ticks[tick].applied - at).count());
    }
    LatencyFigures figures;
    if (micros.empty()) {
        return figures;
    }
    std::sort(micros.begin(), micros.end());
    figures.events = micros.size();
    figures.minimum = micros.front();
    figures.median = micros[micros.size() / 2];
    figures.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    figures.maximum = micros.back();
    return figures;
}

void EventLatency(benchmark::State& state) {
    const auto latencyMs = static_cast<uint32_t>(state.range(0));
    LatencyFigures figures;
    for (auto _ : state) {
        figures = MeasureEventLatency(latencyMs, 1000);
    }
    state.counters["min_us"] = figures.minimum;
    state.counters["median_us"] = figures.median;
    state.counters["p99_us"] = figures.p99;
    state.counters["max_us"] = figures.maximum;
    state.counters["events"] = static_cast<double>(figures.events);
}
BENCHMARK(EventLatency)->Arg(0)->Arg(5)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Queueing one event without waiting, with a tick to drain the ring now and then.
void QueueEvent(benchmark::State& state) {
    ProbeSynth synth(0, 0);
    const SynthEvent event = ControllerEvent(0.5f);
    int sinceDrain = 0;
    for (auto _ : state) {
        synth.QueueEvents(&event, 1, SynthesizerRealtime::kQueueDrop);
        if (++sinceDrain == 8192) {
            state.PauseTiming();
            synth.ApplyDueEvents();
            sinceDrain = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(QueueEvent);

// A tick that applies n controller events.
void ApplyEvents(benchmark::State& state) {
    ProbeSynth synth(0, 0);
    const auto count = static_cast<uint32_t>(state.range(0));
    std::vector<SynthEvent> events(count, ControllerEvent(0.25f));
    for (auto _ : state) {
        state.PauseTiming();
        synth.QueueEvents(events.data(), count, SynthesizerRealtime::kQueueDrop);
        state.ResumeTiming();
        synth.ApplyDueEvents();
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(ApplyEvents)->Arg(1)->Arg(64)->Arg(4096);

} // namespace

// The latency figures as text, for a caller that prints a summary after the run.
void PrintRealtimeEventLatency() {
    const LatencyFigures figures = MeasureEventLatency(0, 1000);
    std::printf("event latency (tick every %lld us, %zu events): min %.0f us, median %.0f us, p99 %.0f us, "
                "max %.0f us\n",
                static_cast<long long>(kTickPeriod.count()), figures.events, figures.minimum, figures.median,
                figures.p99, figures.maximum);
}
