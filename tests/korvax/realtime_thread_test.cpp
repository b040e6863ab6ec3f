#include "korvax/korvaxrealtime.h"

#include "support/log_capture.h"
#include "support/rendering_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using brl::Korvax::NodeProgram;
using brl::Korvax::SynthesizerRealtime;
using brl::Korvax::SynthEvent;
namespace korvax = brl::Korvax;
using brl::testing::LogCapture;
using brl::testing::RenderingThread;
using brl::testing::WaitFor;
using namespace std::chrono_literals;

namespace {

SynthEvent Controller(int channel, int index, float value) {
    return SynthEvent{korvax::kEventController, channel, index, value};
}

constexpr int kWriters = 3;

// Checks on the audio thread that every writer's values only ever grow.
class OrderSynth : public SynthesizerRealtime {
public:
    using SynthesizerRealtime::SynthesizerRealtime;
    void DoTick() noexcept override {
        SynthesizerRealtime::DoTick();
        for (int w = 0; w < kWriters; ++w) {
            const float value = memory[w * korvax::kStreamsPerChannel];
            reordered += value < last[w] ? 1 : 0;
            last[w] = value;
        }
    }
    float last[kWriters] = {};
    std::atomic<int> reordered{0};
};

TEST(EventQueueThreads, ConcurrentWritersLoseNothingAndKeepTheirOrder) {
    // Two writers wait for room, the third drops and retries.
    constexpr int kEventsEach = 20000;
    LogCapture log;
    OrderSynth synth(&log, 0);
    {
        RenderingThread audio(synth, 200us);
        ASSERT_TRUE(audio.WaitBuffers(1));
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&synth, w] {
                const int mode = w < 2 ? SynthesizerRealtime::kQueueWait : SynthesizerRealtime::kQueueDrop;
                for (int k = 1; k <= kEventsEach; ++k) {
                    const SynthEvent event = Controller(w, 0, static_cast<float>(k));
                    while (!synth.QueueEvents(&event, 1, mode)) {
                        std::this_thread::sleep_for(1ms);
                    }
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }
        EXPECT_TRUE(WaitFor([&] { return synth.ProcessedCount() == synth.QueuedCount(); }));
    }
    EXPECT_EQ(synth.QueuedCount(), static_cast<uint32_t>(kWriters * kEventsEach));
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(synth.Memory()[w * korvax::kStreamsPerChannel], static_cast<float>(kEventsEach)) << w;
    }
    EXPECT_EQ(synth.reordered.load(), 0);
}

std::atomic<int> gViolations{0};

// A node that must never be rendered while its program slot is being rebuilt.
class GuardedNode : public korvax::Node {
public:
    GuardedNode(int id, std::atomic<int>* rendered) : id(id), rendered(rendered) {}
    void Render() noexcept override {
        gViolations += building.load() ? 1 : 0;
        rendered->store(id);
    }
    std::atomic<bool> building{false};
    int id;
    std::atomic<int>* rendered;
};

class ExchangeSynth : public SynthesizerRealtime {
public:
    using SynthesizerRealtime::SynthesizerRealtime;

    // Rebuilds a free slot slowly, marking its old nodes as being rebuilt.
    bool PublishGuarded(int id) {
        return PublishProgram([&](NodeProgram& program) {
            gViolations += &program == rendering.load() ? 1 : 0;
            if (korvax::NodeList list = program.lists[korvax::kListMix]) {
                static_cast<GuardedNode*>(list[0])->building = true;
                std::this_thread::yield();
            }
            DestroyNodeProgram(program);
            program.lists[korvax::kListMix] =
                new korvax::Node* [2] { new GuardedNode(id, &renderedId), nullptr };
            return true;
        });
    }
    void DoTick() noexcept override {
        rendering = currentProgram;
        SynthesizerRealtime::DoTick();
    }
    void ReleaseProgram() noexcept override {
        rendering = nullptr;
        SynthesizerRealtime::ReleaseProgram();
    }

    std::atomic<const NodeProgram*> rendering{nullptr};
    std::atomic<int> renderedId{0};
};

TEST(ProgramExchangeThreads, NoSlotIsRebuiltWhileTheAudioThreadRendersIt) {
    gViolations = 0;
    LogCapture log;
    ExchangeSynth synth(&log, 0);
    constexpr int kUpdates = 5000;
    RenderingThread audio(synth);
    for (int id = 1; id <= kUpdates; ++id) {
        ASSERT_TRUE(synth.PublishGuarded(id));
        if (id % 7 == 0) {
            std::this_thread::sleep_for(50us);
        }
    }
    EXPECT_TRUE(WaitFor([&] { return synth.renderedId.load() == kUpdates; }));
    EXPECT_EQ(gViolations.load(), 0);
}

constexpr uint64_t kTicksPerMs = uint64_t{1} << 32;

// The steady clock plus an offset the audio thread moves on to look stopped at once.
class JumpingClock : public brl::Time::ClockImpl {
public:
    explicit JumpingClock(std::atomic<uint64_t>* offset) : offset(offset) {}
    bool IsAvailable() const override { return true; }
    uint64_t Now() override { return steady.Now() + offset->load(); }
    uint64_t Frequency() override { return steady.Frequency(); }
    uint64_t Resolution() override { return steady.Resolution(); }
    brl::String Name() const override { return L"jumping"; }

private:
    brl::Time::ClockGetTickCount steady;
    std::atomic<uint64_t>* offset;
};

// Counts the buffers in which value slot 0 went back, or the first and last slots differ.
class WatchNode : public korvax::Node {
public:
    explicit WatchNode(const float* memory) : memory(memory) {}
    void Render() noexcept override {
        backwards += memory[0] < last ? 1 : 0;
        torn += memory[0] != memory[korvax::kValueSlotCount - 1] ? 1 : 0;
        last = memory[0];
        ++renders;
    }
    const float* memory;
    float last = 0.0f;
    int backwards = 0;
    int torn = 0;
    int renders = 0;
};

class WatchedSynth : public SynthesizerRealtime {
public:
    using SynthesizerRealtime::SynthesizerRealtime;
    const WatchNode* Watch() {
        auto* node = new WatchNode(memory);
        EXPECT_TRUE(PublishProgram([&](NodeProgram& program) {
            program.lists[korvax::kListMix] = new korvax::Node* [2] { node, nullptr };
            return true;
        }));
        return node;
    }
};

TEST(DirectWritesThreads, ValuesSetWhileAudioStartsAndStopsArriveInOrderAndTheLastStays) {
    constexpr int kCycles = 300;
    LogCapture log;
    std::atomic<uint64_t> offset{0};
    WatchedSynth synth(&log, 0, std::make_unique<JumpingClock>(&offset));
    const WatchNode* watch = synth.Watch();
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    std::thread audio([&] {
        uint32_t random = 12345;
        while (!stop.load()) {
            random = random * 1664525u + 1013904223u;
            for (uint32_t n = random >> 29; n > 0; --n) {
                synth.RenderBuffer();
                std::this_thread::sleep_for(50us);
            }
            offset += 100 * kTicksPerMs; // stopped, as far as anyone can tell
            cycles.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds((random >> 8) % 200));
        }
    });
    int value = 0;
    while (cycles.load() < kCycles) {
        const SynthEvent event = Controller(0, 0, static_cast<float>(++value));
        ASSERT_TRUE(synth.ApplyOrQueueEvents(&event, 1));
        std::this_thread::yield();
    }
    stop = true;
    audio.join();
    ASSERT_TRUE(synth.SettleEvents());
    EXPECT_EQ(synth.Memory()[0], static_cast<float>(value));
    EXPECT_EQ(watch->backwards, 0);
    // Both ways were taken: some values were queued, the others written directly.
    EXPECT_GT(synth.QueuedCount(), 0u);
    EXPECT_LT(synth.QueuedCount(), static_cast<uint32_t>(value));
    EXPECT_GT(watch->renders, 0);
}

TEST(DirectWritesThreads, WholeValueWritesLandBetweenBuffersWhileAudioRuns) {
    LogCapture log;
    WatchedSynth synth(&log, 0);
    const WatchNode* watch = synth.Watch();
    std::vector<float> values(korvax::kValueSlotCount);
    {
        RenderingThread audio(synth);
        ASSERT_TRUE(audio.WaitBuffers(1));
        for (int k = 1; k <= 2000; ++k) {
            std::fill(values.begin(), values.end(), static_cast<float>(k));
            ASSERT_TRUE(synth.WriteValueSlots(values.data()));
        }
        ASSERT_TRUE(audio.WaitBuffers(2));
    }
    EXPECT_EQ(watch->torn, 0);
    EXPECT_EQ(watch->backwards, 0);
    EXPECT_EQ(synth.Memory()[0], 2000.0f);
}

} // namespace
