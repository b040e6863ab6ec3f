// RtAudio ports on private sound servers: a JACK server on its dummy driver and
// a PulseAudio daemon with a null sink, both at 96 kHz.

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

namespace {

using namespace brl::Audio;
using brl::String;
using brl::testing::CommandLineSettings;
using brl::testing::JackServer;
using brl::testing::LogCapture;
using brl::testing::PulseServer;
using Clock = std::chrono::steady_clock;

template <typename Condition> bool WaitFor(Condition condition, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Remembers the smallest and largest chunk it was asked for and writes a
// quiet square wave.
struct ChunkRecorder : IStreamHandler {
    void Process(const Format& format, const float* const*, float* const* outputs,
                 uint32_t frames) noexcept override {
        for (uint32_t c = 0; c < format.OutputChannels; ++c) {
            for (uint32_t i = 0; i < frames; ++i) {
                outputs[c][i] = (i & 64) != 0 ? 0.1f : -0.1f;
            }
        }
        if (frames < smallest.load()) {
            smallest.store(frames);
        }
        if (frames > largest.load()) {
            largest.store(frames);
        }
        rate.store(format.FramesPerSecond);
        calls.fetch_add(1);
    }
    std::atomic<uint32_t> smallest{UINT32_MAX};
    std::atomic<uint32_t> largest{0};
    std::atomic<uint32_t> rate{0};
    std::atomic<int> calls{0};
};

Format Stereo(uint32_t rate) {
    Format format;
    format.OutputChannels = 2;
    format.FramesPerSecond = rate;
    return format;
}

PortConfig Chunk(uint32_t frames) {
    PortConfig config;
    config.FramesPerChunk = frames;
    return config;
}

Io* DeviceNamed(const IoMaster& master, const String& api, const String& name) {
    for (Io* device : master.GetDevices()) {
        if (device->GetApi() == api && device->GetDeviceName() == name) {
            return device;
        }
    }
    return nullptr;
}

// Plays until the handler has been called `calls` times, then stops and
// closes the port.
void PlayChunks(Io& port, ChunkRecorder& handler, int calls) {
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    const bool played = WaitFor([&] { return handler.calls.load() >= calls; }, std::chrono::seconds(60));
    EXPECT_TRUE(port.Stop());
    const int afterStop = handler.calls.load();
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    ASSERT_TRUE(played) << "only " << handler.calls.load() << " chunks";
    EXPECT_EQ(handler.calls.load(), afterStop);
}

TEST(RtaudioOnJack, PlaysChunksOfTheServersPeriod) {
    JackServer server(96000, 1024);
    ASSERT_TRUE(server.Ok()) << server.Error();
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"jack"});
    IoMaster master(capture, settings.Frontend());
    Io* port = DeviceNamed(master, L"UNIX_JACK", L"system");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetDeviceId(), L"0");
    EXPECT_EQ(master.FindDevice(L"UNIX_JACK", L"0"), 0);
    EXPECT_EQ(port->GetState(), PORTSTATE_INIT);
    const Caps caps = port->GetCaps();
    EXPECT_EQ(caps.FramesPerSecond, std::vector<uint32_t>{96000});
    EXPECT_GE(caps.OutputChannelMasks.size(), 2u);

    // The server's period wins over the chunk size asked for.
    ChunkRecorder handler;
    ASSERT_TRUE(port->Open(Stereo(96000), Chunk(512)));
    EXPECT_EQ(port->GetPortConfig().FramesPerChunk, 1024u);
    PlayChunks(*port, handler, 20);
    EXPECT_EQ(handler.smallest.load(), 1024u);
    EXPECT_EQ(handler.largest.load(), 1024u);
    EXPECT_EQ(handler.rate.load(), 96000u);
}

TEST(RtaudioOnJack, RefusesAnotherRateAndAVanishedServerWithoutThrowing) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"jack"});
    Io* port = nullptr;
    std::unique_ptr<IoMaster> master;
    {
        JackServer server(96000, 1024);
        ASSERT_TRUE(server.Ok()) << server.Error();
        master = std::make_unique<IoMaster>(capture, settings.Frontend());
        port = DeviceNamed(*master, L"UNIX_JACK", L"system");
        ASSERT_NE(port, nullptr);
        EXPECT_FALSE(port->Open(Stereo(48000), Chunk(1024)));
        EXPECT_EQ(port->GetState(), PORTSTATE_INIT);
        EXPECT_FALSE(capture.Find(L"openStream() failed: ").empty());
        ASSERT_TRUE(port->Open(Stereo(96000), Chunk(1024)));
        port->Close();
    }
    capture.Clear();
    EXPECT_FALSE(port->Open(Stereo(96000), Chunk(1024)));
    EXPECT_EQ(port->GetState(), PORTSTATE_INIT);
    EXPECT_TRUE(capture.Has(brl::Logging::Error, L"device 'system' is gone"));
}

TEST(RtaudioOnJack, TheDefaultOutputFollowsTheRunningServer) {
    JackServer server(96000, 1024);
    ASSERT_TRUE(server.Ok()) << server.Error();
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"rtaudio"});
    IoMaster master(capture, settings.Frontend());
    ASSERT_GE(master.GetDevices().size(), 4u);
    EXPECT_EQ(master.GetDevice(0)->GetDeviceName(), L"(default output)");
    EXPECT_EQ(master.GetDevice(1)->GetDeviceName(), L"(default input)");
    EXPECT_EQ(master.FindDevice(L"UNSPECIFIED", L"default output"), 0);
    EXPECT_EQ(master.GetDevices().back()->GetProviderName(), L"Dummy");
    EXPECT_NE(DeviceNamed(master, L"UNIX_JACK", L"system"), nullptr);

    Io& port = *master.GetDevice(0);
    ASSERT_EQ(port.GetState(), PORTSTATE_INIT) << brl::ToUtf8(port.GetInitFailure());
    ChunkRecorder handler;
    ASSERT_TRUE(port.Open(Stereo(96000), Chunk(256)));
    EXPECT_EQ(port.GetPortConfig().FramesPerChunk, 1024u);
    PlayChunks(port, handler, 10);
    EXPECT_EQ(handler.largest.load(), 1024u);
}

TEST(RtaudioOnPulse, PlaysIntoTheNullSinkInChunksOfTheSizeAskedFor) {
    PulseServer server(96000);
    ASSERT_TRUE(server.Ok()) << server.Error();
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"pulseaudio"});
    IoMaster master(capture, settings.Frontend());
    Io* port = DeviceNamed(master, L"LINUX_PULSE", L"Null Output");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->GetState(), PORTSTATE_INIT);
    const Caps caps = port->GetCaps();
    EXPECT_EQ(caps.OutputChannelMasks.size(), 2u);
    EXPECT_TRUE(std::find(caps.FramesPerSecond.begin(), caps.FramesPerSecond.end(), 96000u) !=
                caps.FramesPerSecond.end());
    EXPECT_NE(DeviceNamed(master, L"LINUX_PULSE", L"Monitor of Null Output"), nullptr);

    // 10 ms chunks. The null sink starts slowly, hence the number of chunks
    // is waited for rather than timed.
    ChunkRecorder handler;
    ASSERT_TRUE(port->Open(Stereo(96000), Chunk(960)));
    EXPECT_EQ(port->GetPortConfig().FramesPerChunk, 960u);
    PlayChunks(*port, handler, 50);
    EXPECT_EQ(handler.smallest.load(), 960u);
    EXPECT_EQ(handler.largest.load(), 960u);
    EXPECT_EQ(handler.rate.load(), 96000u);
}

} // namespace
