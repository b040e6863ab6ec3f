#include "korvax/korvaxfileio.h"

#include "support/deviceless_manager.h"
#include "support/rendering_thread.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace {

using namespace brl::Korvax;
using brl::String;
using brl::testing::RenderingThread;
using brl::testing::TempDir;

constexpr int kEnvelope = 5;
// The defaults of the envelope's eight value inputs.
constexpr float kEnvelopeDefaults[] = {0.5f, 0.5f, 0.5f, 0.0f, 0.9921875f, 0.5f, 0.25f, 0.0f};

using TestManager = brl::testing::DevicelessManager;

using Audio = RenderingThread<Synthesizer>;
constexpr std::chrono::microseconds kPeriod(1333);

TEST(EditingAsAudioStarts, LoadAndClearDropEventsQueuedBeforeSoTheValuesStay) {
    TempDir dir;
    const String path = dir.WideFile("envelope.korvax");
    TestManager author;
    author.CreateNode(author.Patches().Voice(2), kEnvelope, 2);
    ASSERT_TRUE(author.SaveState(path, L"test", false));
    for (const bool clear : {false, true}) {
        TestManager manager;
        const SynthEvent stale{kEventController, 2, 128, 0.125f}; // as MIDI input queues without audio
        ASSERT_TRUE(manager.QueueEvents(&stale, 1, SynthesizerRealtime::kQueueDrop));
        ASSERT_TRUE(clear ? manager.ClearState() : manager.LoadState(path));
        Audio audio(manager, kPeriod);
        ASSERT_TRUE(audio.WaitBuffers(3));
        EXPECT_EQ(manager.Slot(2, 128), clear ? 0.0f : 0.5f) << (clear ? "clear" : "load");
    }
}

TEST(EditingWhileAudioRuns, NewEnvelopeCostsNoWaitAndCopiesAndSavesRightAfterHaveItsValues) {
    TempDir dir;
    const String path = dir.WideFile("live.korvax");
    TestManager manager;
    SynthFileIo io(manager);
    std::string copied;
    {
        std::optional<Audio> audio(std::in_place, manager, kPeriod);
        ASSERT_TRUE(audio->WaitBuffers(1));
        const uint32_t waits = manager.WaitCount();
        brl::vergl::CNode* envelope = manager.CreateNode(manager.Patches().Voice(2), kEnvelope, 2);
        EXPECT_EQ(manager.WaitCount(), waits);
        copied = io.SaveGraphToString({envelope}, 2);
        ASSERT_TRUE(manager.SaveState(path, L"test", false));
        EXPECT_LE(manager.WaitCount(), waits + 1);
        audio.reset();
        // Within the alive time-out this value is queued, and no buffer renders it any more.
        EXPECT_TRUE(manager.SetControllerValue(2, 135, 0.75f));
        ASSERT_TRUE(manager.SaveState(dir.WideFile("stopped.korvax"), L"test", false));
    }
    TestManager reader;
    ASSERT_TRUE(reader.LoadState(path));
    ASSERT_TRUE(SynthFileIo(reader).LoadGraphFromString(copied, reader.Patches().Voice(3), 3));
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(reader.Slot(2, 128 + k), kEnvelopeDefaults[k]) << "saved " << k;
        EXPECT_EQ(reader.Slot(3, 128 + k), kEnvelopeDefaults[k]) << "copied " << k;
    }
    ASSERT_TRUE(reader.LoadState(dir.WideFile("stopped.korvax")));
    EXPECT_EQ(reader.Slot(2, 135), 0.75f);
}

} // namespace
