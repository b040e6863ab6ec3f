#include "midi/midiio.h"
#include "midi_test_support.h"
#include "support/log_capture.h"
#include "support/sound_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <rtmidi/RtMidi.h>
#include <thread>
#include <unistd.h>

using brl::String;
using brl::Midi::Event;
using brl::Midi::IoMaster;
using brl::testing::EventCollector;
using brl::testing::LogCapture;
using brl::testing::OptionConfig;

#if defined(__SANITIZE_THREAD__)
// JACK and RtMidi are not instrumented: ThreadSanitizer cannot see JACK's lock-free
// hand-over between its threads. The pump and stream hand-over are checked without them.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libjack.so\nrace:librtmidi.so\n";
}
#endif

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
    bool WaitFor(size_t count, double seconds) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                [&] { return messages.size() >= count; });
    }
};

} // namespace

TEST(MidiRtmidi, AnUnusableSequencerIsLoggedAndTheOtherApisCarryOn) {
    // A JACK server name that nothing answers to.
    ::setenv("JACK_DEFAULT_SERVER", ("korvax-none-" + std::to_string(::getpid())).c_str(), 1);
    OptionConfig config({L"--Midi-Backends", L"rtmidi,dummy"});
    LogCapture log;
    IoMaster master(&log, config.Frontend());
    ASSERT_NE(master.FindBackend(L"rtmidi"), nullptr);
    EXPECT_EQ(master.FindInput(L"dummy device"), static_cast<int>(master.Inputs().size()) - 1);
    if (!std::filesystem::exists("/dev/snd/seq")) {
        EXPECT_EQ(log.Find(L"RtMidi ALSA not available: ").size(), 1u);
    }
    // No JACK server runs here: JACK says so once and its outputs are not tried.
    EXPECT_EQ(log.Find(L"RtMidi Jack: MidiInJack").size(), 1u);
    EXPECT_TRUE(log.Find(L"RtMidi Jack: MidiOutJack").empty());
    ::unsetenv("JACK_DEFAULT_SERVER");
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
    EventCollector events;
    IoMaster master(&log, config.Frontend());
    const int in = master.FindInput(L"RtMidi - korvax-peer:out");
    const int out = master.FindOutput(L"RtMidi - korvax-peer-in:in");
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    // JACK applies a new connection at a later cycle: what is sent before that
    // is lost, so each direction is first tried until a message gets through.
    brl::Midi::InputStream& input = *master.Inputs()[static_cast<size_t>(in)];
    ASSERT_TRUE(input.Start(&events));
    const uint64_t before = input.GetClock().Now();
    const std::vector<unsigned char> noteOn = {0x90, 60, 127};
    for (int tries = 0; tries < 100 && events.Count() == 0; ++tries) {
        peerOut.sendMessage(&noteOn);
        events.WaitFor(1, 0.1);
    }
    ASSERT_GE(events.Count(), 1u);
    const Event got = events.All()[0].event;
    EXPECT_EQ(events.Text().substr(0, 6), "903C7F");
    EXPECT_EQ(got.clock, &input.GetClock());
    EXPECT_GE(got.time, before);
    EXPECT_LE(got.time, input.GetClock().Now());
    brl::Midi::OutputStream& output = *master.Outputs()[static_cast<size_t>(out)];
    ASSERT_TRUE(output.Start());
    const Event ping(0x8F, 0, 0);
    for (int tries = 0; tries < 100 && !received.WaitFor(1, 0.1); ++tries) {
        output.Send(ping);
    }
    EXPECT_TRUE(output.Send(Event(0xC3, 9, 0)));
    EXPECT_TRUE(output.Send(Event(0x83, 61, 64)));
    const std::vector<std::vector<unsigned char>> expected = {{0xC3, 9}, {0x83, 61, 64}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::vector<unsigned char>> sent;
    while (sent.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> lock(received.mutex);
        sent.clear();
        for (const auto& message : received.messages) {
            if (message[0] != ping.status) {
                sent.push_back(message);
            }
        }
    }
    EXPECT_EQ(sent, expected);
    input.Stop();
    output.Stop();
    EXPECT_FALSE(output.Send(Event(0x90, 1, 1)));
}
