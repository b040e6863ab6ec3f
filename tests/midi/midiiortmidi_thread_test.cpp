#include "midi/midiio.h"
#include "midi_test_support.h"
#include "support/log_capture.h"
#include "support/sound_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <rtmidi/RtMidi.h>
#include <thread>

using brl::String;
using brl::Midi::Event;
using brl::Midi::IoMaster;
using brl::testing::EventCollector;
using brl::testing::LogCapture;
using brl::testing::OptionConfig;

namespace {

// What a plain RtMidi input port of the test receives.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<unsigned char>> messages;

    static void Callback(double, std::vector<unsigned char>* message, void* user) {
        auto* self = static_cast<Received*>(user);
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->messages.push_back(*message);
        }
        self->changed.notify_all();
    }
    bool WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return messages.size() >= count; });
    }
};

} // namespace

TEST(MidiRtmidi, AnUnusableSequencerIsLoggedAndTheOtherApisCarryOn) {
    OptionConfig config({L"--Midi-Backends", L"rtmidi,dummy"});
    LogCapture log;
    IoMaster master(&log, config.Frontend());
    ASSERT_NE(master.FindBackend(L"rtmidi"), nullptr);
    EXPECT_EQ(master.FindInput(L"dummy device"), static_cast<int>(master.Inputs().size()) - 1);
    if (!std::filesystem::exists("/dev/snd/seq")) {
        EXPECT_EQ(log.Find(L"RtMidi ALSA inputs not available: ").size(), 1u);
        EXPECT_EQ(log.Find(L"RtMidi ALSA outputs not available: ").size(), 1u);
    }
}

TEST(MidiRtmidi, NotesTravelBothWaysThroughJackPortsWithClockStamps) {
    brl::testing::JackServer jack;
    ASSERT_TRUE(jack.Ok()) << jack.Error();

    // The other side: a program with one output and one input port.
    RtMidiOut peerOut(RtMidi::UNIX_JACK, "korvax-peer");
    peerOut.openVirtualPort("out");
    RtMidiIn peerIn(RtMidi::UNIX_JACK, "korvax-peer-in");
    Received received;
    peerIn.setCallback(&Received::Callback, &received);
    peerIn.openVirtualPort("in");

    OptionConfig config({L"--Midi-Backends", L"rtmidi"});
    LogCapture log;
    IoMaster master(&log, config.Frontend());
    const int in = master.FindInput(L"RtMidi - korvax-peer:out");
    const int out = master.FindOutput(L"RtMidi - korvax-peer-in:in");
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);

    EventCollector events;
    brl::Midi::InputStream& input = *master.Inputs()[static_cast<size_t>(in)];
    ASSERT_TRUE(input.Start(&events));
    const uint64_t before = input.GetClock().Now();
    const std::vector<unsigned char> noteOn = {0x90, 60, 127};
    peerOut.sendMessage(&noteOn);
    ASSERT_TRUE(events.WaitFor(1));
    const Event got = events.All()[0].event;
    EXPECT_EQ(events.Bytes()[0], (std::vector<int>{0x90, 60, 127}));
    EXPECT_EQ(got.clock, &input.GetClock());
    EXPECT_GE(got.time, before);
    EXPECT_LE(got.time, input.GetClock().Now());

    brl::Midi::OutputStream& output = *master.Outputs()[static_cast<size_t>(out)];
    ASSERT_TRUE(output.Start());
    EXPECT_TRUE(output.Send(Event(0xC3, 9, 0)));
    EXPECT_TRUE(output.Send(Event(0x83, 61, 64)));
    ASSERT_TRUE(received.WaitFor(2));
    EXPECT_EQ(received.messages[0], (std::vector<unsigned char>{0xC3, 9}));
    EXPECT_EQ(received.messages[1], (std::vector<unsigned char>{0x83, 61, 64}));

    input.Stop();
    output.Stop();
    EXPECT_FALSE(output.Send(Event(0x90, 1, 1)));
}

TEST(MidiRtmidi, APortThatHasGoneDoesNotStart) {
    brl::testing::JackServer jack;
    ASSERT_TRUE(jack.Ok()) << jack.Error();
    auto peer = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "korvax-gone");
    peer->openVirtualPort("out");
    OptionConfig config({L"--Midi-Backends", L"rtmidi"});
    LogCapture log;
    IoMaster master(&log, config.Frontend());
    const int in = master.FindInput(L"RtMidi - korvax-gone:out");
    ASSERT_GE(in, 0);
    peer.reset();
    EventCollector events;
    EXPECT_FALSE(master.Inputs()[static_cast<size_t>(in)]->Start(&events));
    EXPECT_EQ(log.Find(L"midi input 'RtMidi - korvax-gone:out' is not there any more").size(), 1u);
}
