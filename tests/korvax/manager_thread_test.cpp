#include "korvax/korvaxfileio.h"
#include "korvax/korvaxmanager.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::TempDir;
using namespace std::chrono_literals;

constexpr int kEnvelope = 5;
// The envelope's eight value inputs take these defaults.
constexpr float kEnvelopeDefaults[] = {0.5f, 0.5f, 0.5f, 0.0f, 0.9921875f, 0.5f, 0.25f, 0.0f};

class TestManager : public Manager {
public:
    TestManager() : Manager(&log) {}
    int64_t GetPosition() const override { return 0; }
    int64_t GetSampleRate() const override { return 96000; }
    int64_t GetInputLatency() const override { return 0; }
    int64_t GetOutputLatency() const override { return 0; }
    bool IsDeviceless() const override { return true; }
    float Slot(int channel, int number) const { return Memory()[channel * kControllersPerChannel + number]; }

private:
    brl::Logging::NullChannel log;
};

// Stands in for an audio device: renders a buffer about every 1.3 ms while it lives.
class Ticking {
public:
    explicit Ticking(Synthesizer& synth)
        : thread([this, &synth] {
              while (!stop.load()) {
                  synth.RenderBuffer();
                  buffers.fetch_add(1);
                  std::this_thread::sleep_for(1333us);
              }
          }) {}
    ~Ticking() {
        stop = true;
        thread.join();
    }
    bool WaitBuffers(int count) {
        const int target = buffers.load() + count;
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (buffers.load() < target && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(100us);
        }
        return buffers.load() >= target;
    }

private:
    std::atomic<bool> stop{false};
    std::atomic<int> buffers{0};
    std::thread thread;
};

TEST(EditingAsAudioStarts, LoadAndClearDropEventsQueuedBeforeSoTheValuesStay) {
    TempDir dir;
    const String path = dir.WideFile("envelope.korvax");
    {
        TestManager author;
        author.CreateNode(author.Patches().Voice(2), kEnvelope, 2);
        ASSERT_TRUE(author.SaveState(path, L"test", false));
    }
    for (const bool clear : {false, true}) {
        TestManager manager;
        // MIDI input queues while no audio device runs.
        SynthEvent stale;
        stale.type = kEventController;
        stale.channel = 2;
        stale.index = 128;
        stale.value = 0.125f;
        ASSERT_TRUE(manager.QueueEvents(&stale, 1, SynthesizerRealtime::kQueueDrop));
        ASSERT_TRUE(clear ? manager.ClearState() : manager.LoadState(path));
        Ticking audio(manager);
        ASSERT_TRUE(audio.WaitBuffers(3));
        EXPECT_EQ(manager.Slot(2, 128), clear ? 0.0f : 0.5f) << (clear ? "clear" : "load");
    }
}

TEST(EditingWhileAudioRuns, NewEnvelopeCostsNoWaitAndACopyAndASaveRightAfterHaveItsValues) {
    TempDir dir;
    const String path = dir.WideFile("live.korvax");
    TestManager manager;
    Ticking audio(manager);
    ASSERT_TRUE(audio.WaitBuffers(1));
    const uint32_t waits = manager.WaitCount();
    brl::vergl::CNode* envelope = manager.CreateNode(manager.Patches().Voice(2), kEnvelope, 2);
    EXPECT_EQ(manager.WaitCount(), waits);
    SynthFileIo io(manager);
    const std::string copied = io.SaveGraphToString({envelope}, 2);
    ASSERT_TRUE(manager.SaveState(path, L"test", false));
    EXPECT_LE(manager.WaitCount(), waits + 1);

    TestManager reader;
    ASSERT_TRUE(reader.LoadState(path));
    ASSERT_TRUE(SynthFileIo(reader).LoadGraphFromString(copied, reader.Patches().Voice(3), 3));
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(reader.Slot(2, 128 + k), kEnvelopeDefaults[k]) << "saved " << k;
        EXPECT_EQ(reader.Slot(3, 128 + k), kEnvelopeDefaults[k]) << "copied " << k;
    }
}

TEST(EditingAsAudioStops, ValueSetJustAfterTheLastBufferIsSaved) {
    TempDir dir;
    const String path = dir.WideFile("stopped.korvax");
    TestManager manager;
    manager.CreateNode(manager.Patches().Voice(2), kEnvelope, 2);
    {
        Ticking audio(manager);
        ASSERT_TRUE(audio.WaitBuffers(1));
    }
    // Within the alive time-out the value is queued, and nothing renders it any more.
    EXPECT_TRUE(manager.SetControllerValue(2, 130, 0.75f));
    ASSERT_TRUE(manager.SaveState(path, L"test", false));
    TestManager reader;
    ASSERT_TRUE(reader.LoadState(path));
    EXPECT_EQ(reader.Slot(2, 130), 0.75f);
    EXPECT_EQ(reader.Slot(2, 129), kEnvelopeDefaults[1]);
}

} // namespace
