#include "midi/midiio.h"
#include "midi_test_support.h"
#include "support/log_capture.h"
#include "support/sound_servers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <rtmidi/RtMidi.h>
#include <thread>
#include <unistd.h>

using brl::Midi::Event;
using brl::Midi::IoMaster;
using brl::testing::LogCapture;
using OptionConfig = brl::testing::CommandLineSettings;

#if defined(__SANITIZE_THREAD__)
// JACK and RtMidi are not instrumented: ThreadSanitizer cannot see JACK's lock-free
// hand-over between its threads. The pump and stream hand-over are checked without them.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libjack.so\nrace:librtmidi.so\n";
}
#endif

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
    peerIn.openVirtualPort("in");
    OptionConfig config({L"--Midi-Backends", L"rtmidi"});
    LogCapture log;
    brl::testing::EventCollector events;
    IoMaster master(&log, config.Frontend());
    const int in = master.FindInput(L"RtMidi - korvax-peer:out");
    const int out = master.FindOutput(L"RtMidi - korvax-peer-in:in");
    ASSERT_TRUE(in >= 0 && out >= 0);
    // JACK applies a new connection at a later cycle: what is sent before that
    // is lost, so each direction is first tried until a message gets through.
    brl::Midi::InputStream& input = *master.Inputs()[static_cast<size_t>(in)];
    ASSERT_TRUE(input.Start(&events));
    const uint64_t before = input.GetClock().Now();
    const std::vector<unsigned char> noteOn = {0x90, 60, 127};
    for (int tries = 0; tries < 100 && events.All().empty(); ++tries) {
        peerOut.sendMessage(&noteOn);
        events.WaitFor(1, 0.1);
    }
    ASSERT_FALSE(events.All().empty());
    const Event got = events.All()[0];
    EXPECT_EQ(events.Text().substr(0, 6), "903C7F");
    EXPECT_EQ(got.clock, &input.GetClock());
    EXPECT_GE(got.time, before);
    EXPECT_LE(got.time, input.GetClock().Now());
    brl::Midi::OutputStream& output = *master.Outputs()[static_cast<size_t>(out)];
    ASSERT_TRUE(output.Start());
    // What the peer received but the pings; true if anything came.
    const Event ping(0x8F, 0, 0);
    std::vector<std::vector<unsigned char>> sent;
    const auto receive = [&] {
        bool any = false;
        for (std::vector<unsigned char> message; peerIn.getMessage(&message), !message.empty(); any = true) {
            if (message[0] != ping.status) {
                sent.push_back(message);
            }
        }
        return any;
    };
    for (int tries = 0; tries < 100 && !receive(); ++tries) {
        output.Send(ping);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(output.Send(Event(0xC3, 9, 0)));
    EXPECT_TRUE(output.Send(Event(0x83, 61, 64)));
    const std::vector<std::vector<unsigned char>> expected = {{0xC3, 9}, {0x83, 61, 64}};
    for (int tries = 0; tries < 1000 && sent.size() < expected.size(); ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        receive();
    }
    EXPECT_EQ(sent, expected);
    input.Stop();
    output.Stop();
    EXPECT_FALSE(output.Send(Event(0x90, 1, 1)));
}
