#include "korvax/korvaxfileio.h"

#include "support/rendering_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace brl::Korvax;

TEST(MidiLearnThreads, LearningAndForgettingWhileCcsArriveAndAudioRendersStaysConsistent) {
    brl::Logging::NullChannel log;
    auto editor = std::make_unique<SynthesizerEditor>(&log);
    SynthFileIo io(*editor);
    brl::testing::RenderingThread<SynthesizerEditor> audio(*editor, std::chrono::microseconds(50));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread midi([&] {
        for (int i = 0; !stop.load(); ++i) {
            const auto cc = static_cast<uint8_t>(i % 8);
            editor->QueueMidiEvent(brl::Midi::Event(0xB1, cc, static_cast<uint8_t>(i % 128)));
            sent.fetch_add(1);
        }
    });
    for (int round = 0; round < 300; ++round) {
        editor->MidiLearning().Learn(2, round % 16, PinKind::Invalid);
        editor->MidiLearning().Assign({3, round % 120, 4, round % 256}, PinKind::DiscretFilter);
        editor->MidiLearning().Forget(2, (round + 5) % 16);
    }
    ASSERT_TRUE(brl::testing::WaitFor([&] { return sent.load() > 1000; }));
    stop = true;
    midi.join();
    // (Saving reads the value slots, which the CCs above were still changing.)
    EXPECT_NE(io.SavePatchesToText(L"t").find("<midilearn>"), std::string::npos);
    // Every controller has at most one CC, every CC one controller.
    const auto assignments = editor->MidiLearning().Assignments();
    for (size_t a = 0; a < assignments.size(); ++a) {
        for (size_t b = a + 1; b < assignments.size(); ++b) {
            EXPECT_FALSE(assignments[a].channel == assignments[b].channel &&
                         assignments[a].number == assignments[b].number);
        }
    }
}

} // namespace
