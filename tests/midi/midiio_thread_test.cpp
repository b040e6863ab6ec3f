#include "midi/midiio.h"
#include "midi_test_support.h"
#include "support/log_capture.h"
#include "support/rendering_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

using brl::Midi::Event;
using brl::testing::EventCollector;

namespace {

// An input stream fed by the test, the way a device callback feeds one.
class TestInput : public brl::Midi::QueuedInputStream {
public:
    explicit TestInput(brl::Logging::Channel* log)
        : QueuedInputStream(L"test input", brl::Logging::Logger(log, L"midi")) {}
    ~TestInput() override { Stop(); }
    bool Feed(uint8_t status, uint8_t data1, uint8_t data2) { return Post(Stamp(status, data1, data2)); }

protected:
    bool Open() override { return OpenPump(); }
    void Close() override { ClosePump(); }
};

// Blocks in its first event until released.
class BlockingHandler : public brl::Midi::InputHandler {
public:
    void OnMidiEvent(brl::Midi::Stream&, const Event&) override {
        entered.set_value();
        release.get_future().wait();
        ++calls;
    }
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<int> calls{0};
};

class ThrowingHandler : public EventCollector {
public:
    void OnMidiEvent(brl::Midi::Stream& stream, const Event& event) override {
        if (event.data1 == 0) {
            throw std::runtime_error("refused");
        }
        EventCollector::OnMidiEvent(stream, event);
    }
};

} // namespace

TEST(MidiEventPump, RefusesWhenFullAndDropsTheRestWhenStopped) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    std::atomic<int> consumed{0};
    brl::Midi::EventPump pump(
        [&](const Event&) {
            entered = true;
            released.wait();
            ++consumed;
        },
        2);
    ASSERT_TRUE(pump.Start(L"pump test"));
    ASSERT_TRUE(pump.Push(Event(0x90, 1, 1)));
    while (!entered.load()) {
        std::this_thread::yield();
    }
    // The consumer holds the first event; two more fill the queue.
    EXPECT_TRUE(pump.Push(Event(0x90, 2, 2)));
    EXPECT_TRUE(pump.Push(Event(0x90, 3, 3)));
    EXPECT_FALSE(pump.Push(Event(0x90, 4, 4)));
    EXPECT_EQ(pump.Overflows(), 1u);
    std::thread stopper([&] { pump.Stop(); });
    while (pump.IsRunning()) {
        std::this_thread::yield();
    }
    release.set_value();
    stopper.join();
    EXPECT_EQ(consumed.load(), 1);
}

TEST(MidiInputStream, ChangingTheHandlerWaitsForTheDeliveryInProgressAndAThrowingHandlerLosesOnlyThatEvent) {
    brl::testing::LogCapture log;
    TestInput input(&log);
    BlockingHandler first;
    ThrowingHandler second;
    ASSERT_TRUE(input.Start(&first));
    ASSERT_TRUE(input.Feed(0x90, 60, 100));
    first.entered.get_future().wait();
    std::atomic<bool> changed{false};
    std::thread changer([&] {
        input.SetHandler(&second);
        changed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(changed.load());
    first.release.set_value();
    changer.join();
    EXPECT_TRUE(changed.load());
    EXPECT_EQ(first.calls.load(), 1);
    ASSERT_TRUE(input.Feed(0x80, 60, 0) && input.Feed(0x90, 0, 1) && input.Feed(0x90, 1, 1));
    ASSERT_TRUE(second.WaitFor(2));
    EXPECT_EQ(second.Text(), "803C00 900101");
    EXPECT_EQ(second.All()[0].clock, &input.GetClock());
    EXPECT_EQ(log.Find(L"test input: midi handler failed, event dropped: refused").size(), 1u);
    input.SetHandler(nullptr);
    ASSERT_TRUE(input.Feed(0x90, 1, 1)); // dropped, no handler
    input.Stop();
    EXPECT_EQ(second.All().size(), 2u);
    EXPECT_FALSE(input.Feed(0x90, 2, 2));
}
