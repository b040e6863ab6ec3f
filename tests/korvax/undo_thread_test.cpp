#include "korvax/korvaxmanager.h"
#include "korvax/korvaxundo.h"

#include "support/deviceless_manager.h"
#include "support/rendering_thread.h"
#include "support/sample_graph.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace brl::Korvax;
using brl::testing::RenderingThread;
using brl::testing::SampleVoice;

TEST(EditHistoryWhileAudioRuns, ValuesStillQueuedBelongToTheEditTheyWereSentIn) {
    brl::testing::DevicelessManager manager;
    SampleVoice sample(manager, manager.Patches().Voice(0));
    ASSERT_TRUE(manager.Compile());
    const int number = GetPinRecord(sample.envelope->Inputs().At(0))->controllerNumber;
    EditHistory history(manager);
    RenderingThread<Synthesizer> audio(manager, std::chrono::microseconds(1333));
    ASSERT_TRUE(audio.WaitBuffers(2));
    const float before = manager.Slot(0, number);
    for (int round = 0; round < 3; ++round) {
        history.Record(L"value");
        // Queued without waiting: the undo must not let it land afterwards.
        ASSERT_TRUE(manager.SetControllerValue(0, number, 0.125f));
        ASSERT_TRUE(history.Undo(true));
        ASSERT_TRUE(audio.WaitBuffers(3));
        EXPECT_EQ(manager.Slot(0, number), before);
        ASSERT_TRUE(history.Redo(true));
        ASSERT_TRUE(audio.WaitBuffers(3));
        EXPECT_EQ(manager.Slot(0, number), 0.125f);
        ASSERT_TRUE(history.Undo(true));
        history.Clear();
    }
}

} // namespace
