// RtAudio ports on private sound servers at 96 kHz: a JACK server on its dummy
// driver and a PulseAudio daemon with a null sink.

#include "audio/audioio.h"

#include "audio_settings.h"
#include "support/log_capture.h"
#include "support/sound_servers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

// RtAudio's PulseAudio device probe leaves allocations of its main loop
// behind; LeakSanitizer asks for this list in sanitizer builds.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n";
}

namespace {

using namespace brl::Audio;
using brl::String;
using brl::testing::CommandLineSettings;
using brl::testing::JackServer;
using brl::testing::LogCapture;
using brl::testing::Stereo;

// Remembers the chunk sizes it was asked for and writes a quiet square wave.
struct ChunkRecorder : IStreamHandler {
    void Process(const Format& format, const float* const*, float* const* outputs,
                 uint32_t frames) noexcept override {
        for (uint32_t c = 0; c < format.OutputChannels; ++c) {
            for (uint32_t i = 0; i < frames; ++i) {
                outputs[c][i] = (i & 64) != 0 ? 0.1f : -0.1f;
            }
        }
        smallest.store(std::min(smallest.load(), frames));
        largest.store(std::max(largest.load(), frames));
        rate.store(format.FramesPerSecond);
        calls.fetch_add(1);
    }
    std::atomic<uint32_t> smallest{UINT32_MAX};
    std::atomic<uint32_t> largest{0};
    std::atomic<uint32_t> rate{0};
    std::atomic<int> calls{0};
};

Io* DeviceNamed(const IoMaster& master, const String& api, const String& name) {
    for (Io* device : master.GetDevices()) {
        if (device->GetApi() == api && device->GetDeviceName() == name) {
            return device;
        }
    }
    return nullptr;
}

// Opens the port at 96 kHz, plays until the handler has been called `calls` times (waiting, not
// timing: the machine may be busy), then stops and closes it; the chunk size the port settled on,
// which every call must have been asked for.
uint32_t PlayChunks(Io& port, uint32_t framesPerChunk, int calls) {
    ChunkRecorder handler;
    EXPECT_TRUE(port.Open(Stereo(96000), brl::testing::Chunks(framesPerChunk)));
    const uint32_t chunk = port.GetPortConfig().FramesPerChunk;
    EXPECT_TRUE(port.Play(&handler));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (handler.calls.load() < calls && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(handler.calls.load(), calls);
    EXPECT_TRUE(port.Stop());
    const int afterStop = handler.calls.load();
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(handler.calls.load(), afterStop);
    EXPECT_EQ(handler.rate.load(), 96000u);
    EXPECT_EQ(handler.smallest.load(), chunk);
    EXPECT_EQ(handler.largest.load(), chunk);
    return chunk;
}

TEST(RtaudioOnJack, PlaysChunksOfTheServersPeriodOnItsDeviceAndAsDefaultOutput) {
    JackServer server(96000, 1024);
    ASSERT_TRUE(server.Ok()) << server.Error();
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"rtaudio"});
    IoMaster master(capture, settings.Frontend());
    ASSERT_GE(master.GetDevices().size(), 4u);
    EXPECT_EQ(master.FindDevice(L"UNSPECIFIED", L"default output"), 0);
    EXPECT_EQ(master.FindDevice(L"UNSPECIFIED", L"default input"), 1);
    Io* port = DeviceNamed(master, L"UNIX_JACK", L"system");
    ASSERT_NE(port, nullptr);
    // The server's period wins over the chunk size asked for.
    EXPECT_EQ(PlayChunks(*port, 512, 20), 1024u);
    // The first API with devices is JACK's, so the default output plays there.
    ASSERT_EQ(master.GetDevice(0)->GetState(), PORTSTATE_INIT)
        << brl::ToUtf8(master.GetDevice(0)->GetInitFailure());
    EXPECT_EQ(PlayChunks(*master.GetDevice(0), 256, 10), 1024u);
}

TEST(RtaudioOnJack, RefusesAnotherRateAndAVanishedServerWithoutThrowing) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"jack"});
    std::unique_ptr<IoMaster> master;
    Io* port = nullptr;
    {
        JackServer server(96000, 1024);
        ASSERT_TRUE(server.Ok()) << server.Error();
        master = std::make_unique<IoMaster>(capture, settings.Frontend());
        port = DeviceNamed(*master, L"UNIX_JACK", L"system");
        ASSERT_NE(port, nullptr);
        EXPECT_FALSE(port->Open(Stereo(), PortConfig()));
        EXPECT_EQ(port->GetState(), PORTSTATE_INIT);
        EXPECT_FALSE(capture.Find(L"openStream() failed: ").empty());
        ASSERT_TRUE(port->Open(Stereo(96000), PortConfig()));
        port->Close();
    }
    EXPECT_FALSE(port->Open(Stereo(96000), PortConfig()));
    EXPECT_EQ(port->GetState(), PORTSTATE_INIT);
    EXPECT_TRUE(capture.Has(brl::Logging::Error, L"device 'system' is gone"));
}

TEST(RtaudioOnPulse, PlaysIntoTheNullSinkInChunksOfTheSizeAskedFor) {
    brl::testing::PulseServer server(96000);
    ASSERT_TRUE(server.Ok()) << server.Error();
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"pulseaudio"});
    IoMaster master(capture, settings.Frontend());
    Io* port = DeviceNamed(master, L"LINUX_PULSE", L"Null Output");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(PlayChunks(*port, 960, 50), 960u); // 10 ms chunks
}

} // namespace
