#include "korvax/korvaxrealtime.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <vector>

using brl::Korvax::NodeProgram;
using brl::Korvax::SynthesizerRealtime;
using brl::Korvax::SynthEvent;
namespace korvax = brl::Korvax;
namespace logging = brl::Logging;

namespace {

constexpr uint64_t kTicksPerMs = uint64_t{1} << 32;
constexpr int kWait = SynthesizerRealtime::kQueueWait;
constexpr int kDrop = SynthesizerRealtime::kQueueDrop;

using brl::testing::LogCapture;

// A clock that moves only when told, in the steady clock's units.
class ManualClock : public brl::Time::ClockImpl {
public:
    explicit ManualClock(std::atomic<uint64_t>* now) : now(now) {}
    bool IsAvailable() const override { return true; }
    uint64_t Now() override { return now->load(); }
    uint64_t Frequency() override { return 1000 * kTicksPerMs; }
    uint64_t Resolution() override { return kTicksPerMs; }
    brl::String Name() const override { return L"manual"; }

private:
    std::atomic<uint64_t>* now;
};

// A node that counts its resets.
class ResetCounter : public korvax::Node {
public:
    void Render() noexcept override {}
    void Reset() noexcept override { ++resets; }
    int resets = 0;
};

// The synthesizer with its audio-thread side and exchange state in reach.
class ProbeSynth : public SynthesizerRealtime {
public:
    using SynthesizerRealtime::AcquireProgram, SynthesizerRealtime::PublishProgram,
        SynthesizerRealtime::ReleaseProgram;
    using SynthesizerRealtime::SynthesizerRealtime;

    // Publishes a program whose mix list holds one reset counter.
    bool PublishResetCounter() {
        return PublishProgram([&](NodeProgram& program) {
            DestroyNodeProgram(program);
            program.lists[korvax::kListMix] = new korvax::Node* [2] { new ResetCounter, nullptr };
            return true;
        });
    }
    const NodeProgram* Slot(uint8_t slot) const { return &programs[SlotIndex(slot)]; }
};

SynthEvent Make(uint32_t type, int channel, int index = -1, float value = 0.0f, float value2 = 0.0f) {
    return SynthEvent{type, channel, index, value, value2};
}
SynthEvent Controller(int channel, int index, float value) {
    return Make(korvax::kEventController, channel, index, value);
}

class Realtime : public ::testing::Test {
protected:
    std::unique_ptr<ProbeSynth> MakeSynth(uint32_t latencyMs) {
        return std::make_unique<ProbeSynth>(&log, latencyMs, std::make_unique<ManualClock>(&now));
    }
    void Advance(uint64_t ms) { now += ms * kTicksPerMs; }
    bool Queue(const SynthEvent& event) { return synth->QueueEvents(&event, 1, kWait); }
    float Slot(int channel, int stream) const { return synth->Memory()[channel * 256 + stream]; }

    LogCapture log;
    std::atomic<uint64_t> now{1000 * kTicksPerMs};
    std::unique_ptr<ProbeSynth> synth = MakeSynth(0);
};

} // namespace

TEST_F(Realtime, QueueCountsEventsAndDropsWhatDoesNotFitWhole) {
    std::vector<SynthEvent> events(16383, Controller(0, 0, 1.0f));
    uint32_t sequence = 0;
    ASSERT_TRUE(synth->QueueEvents(events.data(), 1, kWait, &sequence));
    EXPECT_EQ(sequence, 1u);
    ASSERT_TRUE(synth->QueueEvents(events.data(), 16382, kDrop, &sequence));
    EXPECT_EQ(sequence, 16383u);
    EXPECT_FALSE(synth->QueueEvents(events.data(), 2, kDrop, &sequence));
    EXPECT_EQ(sequence, 0u);
    EXPECT_EQ(log.Count(logging::Error, L"event discarded"), 1);
    EXPECT_TRUE(synth->QueueEvents(events.data(), 1, kDrop, &sequence));
    EXPECT_EQ(sequence, 16384u);
    // Waiting for room is pointless while no audio thread drains the ring.
    EXPECT_FALSE(synth->QueueEvents(events.data(), 1, kWait, &sequence));
    EXPECT_EQ(log.Count(logging::Error, L"event discarded"), 2);
    EXPECT_EQ(synth->QueuedCount(), 16384u);
}

TEST_F(Realtime, EventsApplyInTheBufferAfterTheyAreQueuedAndNoneOvertakesAnEarlierOne) {
    Queue(Controller(0, 7, 0.5f));
    synth->RenderBuffer();
    EXPECT_EQ(Slot(0, 7), 0.5f);
    EXPECT_EQ(synth->Memory()[korvax::kTriggerSlotBase + 7], 1.0f);
    Queue(Controller(0, 7, 0.75f));
    EXPECT_EQ(Slot(0, 7), 0.5f);
    synth->RenderBuffer();
    EXPECT_EQ(Slot(0, 7), 0.75f);
    synth->RenderBuffer();
    EXPECT_EQ(synth->Memory()[korvax::kTriggerSlotBase + 7], 0.0f);
    // Writers stamp before they take the queue lock, so a later record can carry an earlier time.
    Queue(Controller(0, 1, 0.5f));
    now -= 10 * kTicksPerMs;
    Queue(Controller(0, 2, 0.5f));
    synth->RenderBuffer();
    EXPECT_EQ(synth->ProcessedCount(), 2u);
    Advance(10);
    synth->RenderBuffer();
    EXPECT_EQ(synth->ProcessedCount(), 4u);
}

TEST_F(Realtime, LatencyHoldsEventsBackAndAudioIsAliveFiftyMillisecondsAfterATickAcrossAClockWrap) {
    now = std::numeric_limits<uint64_t>::max() - 3 * kTicksPerMs;
    synth = MakeSynth(5);
    EXPECT_FALSE(synth->IsAlive());
    Queue(Controller(0, 1, 0.5f));
    Advance(4);
    synth->RenderBuffer();
    EXPECT_EQ(synth->ProcessedCount(), 0u);
    Advance(1);
    synth->RenderBuffer();
    EXPECT_EQ(Slot(0, 1), 0.5f);
    Advance(50);
    EXPECT_TRUE(synth->IsAlive());
    Advance(1);
    EXPECT_FALSE(synth->IsAlive());
}

TEST_F(Realtime, EventsOutsideTheSynthesizerAreCountedButChangeNothing) {
    const std::vector<float> before(synth->Memory(), synth->Memory() + korvax::kMemorySlots);
    const SynthEvent refused[] = {Make(0, 0),
                                  Make(6, 0),
                                  Make(korvax::kEventNoteOn, -1),
                                  Make(korvax::kEventNoteOff, 32),
                                  Controller(-1, 0, 1.0f),
                                  Controller(0, 256, 1.0f),
                                  Controller(31, -1, 1.0f)};
    synth->AcquireProgram();
    for (const SynthEvent& event : refused) {
        EXPECT_FALSE(synth->ProcessEvent(event));
    }
    synth->ReleaseProgram();
    EXPECT_EQ(synth->ProcessedCount(), std::size(refused));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), synth->Memory()));
}

TEST_F(Realtime, WithoutAudioQueuedEventsApplyFirstAndNewOnesGoStraightIntoTheMemory) {
    // A note sounds on channel 1 from while audio ran; then the audio thread stops.
    ASSERT_TRUE(synth->PublishResetCounter());
    ASSERT_TRUE(Queue(Make(korvax::kEventNoteOn, 1, -1, 0.5f, 1.0f)));
    synth->RenderBuffer();
    const auto* marker = static_cast<const ResetCounter*>(synth->Slot(2)->lists[korvax::kListMix][0]);
    const int resets = marker->resets;
    Advance(51);
    ASSERT_TRUE(Queue(Controller(0, 7, 0.25f)));
    ASSERT_TRUE(Queue(Controller(0, 8, 0.5f)));
    ASSERT_TRUE(Queue(Make(korvax::kEventNoteOff, 1, -1, 0.5f)));
    const SynthEvent now[] = {Controller(0, 7, 0.75f), Make(korvax::kEventNoteOn, 2, -1, 0.25f, 0.5f)};
    ASSERT_TRUE(synth->ApplyOrQueueEvents(now, 2));
    EXPECT_EQ(Slot(0, 7), 0.75f);
    EXPECT_EQ(Slot(0, 8), 0.5f);
    EXPECT_EQ(synth->Voice(1, 0)[korvax::kVoiceRelease], 1.0f);
    EXPECT_EQ(Slot(2, korvax::kStreamNoteOn), 0.25f);
    EXPECT_EQ(synth->Voice(2, 0)[korvax::kVoiceActive], 0.0f); // no buffer renders to play it
    EXPECT_EQ(synth->QueuedCount(), synth->ProcessedCount());
    // The panic stops the voices and resets the program played last, and logs only when asked.
    EXPECT_TRUE(synth->SendAllSoundsOff(false));
    EXPECT_EQ(synth->Voice(1, 0)[korvax::kVoiceActive], 0.0f);
    EXPECT_EQ(marker->resets, resets + 1);
    EXPECT_EQ(log.Count(logging::Warning, L"PANIC pressed, switching off all sounds"), 0);
    EXPECT_TRUE(synth->SendAllSoundsOff(true));
    EXPECT_EQ(log.Count(logging::Warning, L"PANIC pressed, switching off all sounds"), 1);
    // A reader settles what is queued without waiting for audio that does not come.
    ASSERT_TRUE(Queue(Controller(0, 9, 1.0f)));
    EXPECT_TRUE(synth->SettleEvents());
    EXPECT_EQ(Slot(0, 9), 1.0f);
    EXPECT_EQ(synth->WaitCount(), 0u);
    synth->RenderBuffer();
    EXPECT_EQ(Slot(0, 7), 0.75f); // nothing stale comes back
}

TEST_F(Realtime, DiscardedEventsNeverApplyWhetherAudioRunsOrNot) {
    for (const bool running : {true, false}) {
        synth = MakeSynth(0);
        if (running) {
            synth->RenderBuffer();
        }
        ASSERT_TRUE(Queue(Controller(0, 1, 0.5f)));
        synth->DiscardQueuedEvents();
        ASSERT_TRUE(Queue(Controller(0, 2, 0.5f)));
        synth->RenderBuffer();
        EXPECT_EQ(Slot(0, 1), 0.0f) << running;
        EXPECT_EQ(Slot(0, 2), 0.5f) << running;
        EXPECT_EQ(synth->ProcessedCount(), 2u) << running;
    }
}
