#include "native_test_support.h"

#include "audio/audio_settings.h"
#include "support/alloc_guard.h"
#include "support/log_capture.h"
#include "support/ogg_writer.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <memory>

// The native manager with real devices and threads.
namespace {

using namespace native_test;
using brl::String;
using brl::testing::CommandLineSettings;
using brl::testing::LogCapture;
namespace korvax = brl::Korvax;

brl::ApplicationInfo Identity() {
    brl::ApplicationInfo info;
    info.applicationLongName = L"korvax";
    return info;
}

TEST(NativeDevices, ReopeningAudioKeepsTheMidiInputsThatWereOpenAndAFailedOpenLeavesItSilent) {
    LogCapture log;
    // Device 0 is "fd" without descriptors, which does not open; device 1 is "dummy".
    CommandLineSettings settings({L"--Audio-Backends", L"fd,dummy", L"--Midi-Backends", L"dummy,keyboard"});
    auto manager = std::make_unique<NativeManager>(&log);
    ASSERT_TRUE(manager->Init(settings.Frontend()));
    ASSERT_EQ(manager->GetMidiMaster()->Inputs().size(), 2u);
    ASSERT_TRUE(manager->StartMidiDevice(0));
    ASSERT_TRUE(manager->StartMidiDevice(1));
    for (int round = 0; round < 2; ++round) {
        log.Clear();
        ASSERT_TRUE(manager->SetAudioDevice(1, 48000, 20, 0, Identity())) << round;
        EXPECT_TRUE(manager->IsMidiDeviceStarted(0) && manager->IsMidiDeviceStarted(1));
        EXPECT_EQ(log.Find(L"Closing midi input device").size(), 2u);
        EXPECT_EQ(log.Find(L"Using midi input device").size(), 2u);
        EXPECT_TRUE(WaitUntil([&] { return manager->GetPosition() > 0; }));
        EXPECT_EQ(manager->GetSampleRate(), 48000);
        // 20 ms at 48 kHz: eight chunks of 128 frames queued.
        EXPECT_EQ(manager->GetOutputLatency(), 8 * 128);
    }
    // A device that does not open, and one that does not exist: silent, the MIDI inputs still open.
    for (int index : {0, 7}) {
        log.Clear();
        EXPECT_FALSE(manager->SetAudioDevice(index, 48000, 20, 0, Identity()));
        EXPECT_FALSE(manager->IsAudioPlaying());
        EXPECT_FALSE(log.Find(L"Failed opening device " + std::to_wstring(index)).empty()) << index;
        EXPECT_TRUE(manager->IsMidiDeviceStarted(0) && manager->IsMidiDeviceStarted(1));
        EXPECT_EQ(manager->GetPosition(), 0);
    }
    log.Clear();
    manager->Deinit();
    EXPECT_EQ(log.Find(L"Closing midi input device 'DirectInput - Midi Keyboard' (1)").size(), 1u);
}

// Counts the allocations made inside every callback, on the device's thread.
class GuardedManager : public NativeManager {
public:
    using NativeManager::NativeManager;
    std::atomic<long> allocations{0};
    std::atomic<long> callbacks{0};
    void Process(const brl::Audio::Format& format, const float* const* inputs, float* const* outputs,
                 uint32_t frames) noexcept override {
        brl::testing::AllocationGuard guard(brl::testing::AllocationGuard::Scope::ThisThread);
        NativeManager::Process(format, inputs, outputs, frames);
        allocations.fetch_add(guard.Count());
        callbacks.fetch_add(1);
    }
};

TEST(NativeAudioThread, RendersMetersAndFeedsTheSampleWithoutAllocating) {
    brl::testing::TempDir dir;
    ASSERT_TRUE(brl::testing::WriteOgg(dir.File("input.ogg"), 2, 48000, 4800, [](int, long frame) {
        return static_cast<float>(0.3 * std::sin(frame * 0.05));
    }));
    const int sink = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(sink, 0);
    brl::Logging::NullChannel log;
    // Slow and debug meters, the demo's program with notes and its song.
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-OutFd", std::to_wstring(sink),
                                  L"--Synth-FastPPM", L"0", L"--Synth-DebugAudioOutput", L"1",
                                  L"--Midi-Backends", L"dummy"});
    auto manager = std::make_unique<GuardedManager>(&log);
    ASSERT_TRUE(manager->Init(settings.Frontend()));
    ASSERT_TRUE(manager->LoadState(brl::FromUtf8(kDemoPatch)));
    ASSERT_TRUE(manager->LoadInputSample(dir.WideFile("input.ogg")));
    ASSERT_TRUE(manager->StartSong());
    // An odd chunk: blocks are carried over between callbacks.
    brl::ApplicationInfo identity = Identity();
    ASSERT_TRUE(manager->SetAudioDevice(0, 96000, 10, 0, identity));
    for (int note = 0; note < 24; ++note) {
        ASSERT_TRUE(manager->QueueMidiEvent(
            brl::Midi::Event(static_cast<uint8_t>(0x90 | (note % 4)), static_cast<uint8_t>(40 + note), 100)));
    }
    ASSERT_TRUE(WaitUntil([&] { return manager->GetSongPosition() > 3000; }));
    manager->StopSong();
    ASSERT_TRUE(WaitUntil([&] { return manager->callbacks.load() > 4000; }));
    manager->Deinit();
    ::close(sink);
    EXPECT_EQ(manager->allocations.load(), 0);
    EXPECT_GT(manager->OutputMeters()[0].PeakHold(), 0.0f);
}

TEST(NativeAudioThread, MetersAndSongChangeWhileAudioRuns) {
    LogCapture log;
    CommandLineSettings settings({L"--Audio-Backends", L"dummy", L"--Midi-Backends", L"dummy",
                                  L"--Audio-PPM-ClippingTimeoutMS", L"10", L"--Audio-SamplingRate",
                                  L"48000"});
    auto manager = std::make_unique<ScriptedManager>(&log);
    manager->signal = [](int buffer, uint64_t frame) {
        return buffer < 2 && frame % 4800 == 0 ? 1.5f : 0.1f;
    };
    ASSERT_TRUE(manager->Init(settings.Frontend()));
    manager->Patches().song.timeStream.assign(korvax::kValueSlotCount, 0xFFFFFFFFu);
    ASSERT_TRUE(manager->SetAudioDevice(0, 48000, 10, 0, Identity()));
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(manager->ConfigureMeters(settings.Frontend()));
        ASSERT_TRUE(manager->StartSong());
        const uint32_t renders = manager->renders.load();
        ASSERT_TRUE(WaitUntil([&] { return manager->renders.load() > renders + 2; }));
        manager->StopSong();
    }
    EXPECT_EQ(manager->OutputMeters()[0].ClipHold(), 480);
    EXPECT_EQ(manager->OutputMeters()[1].RmsWindow(), 192);
    EXPECT_TRUE(WaitUntil([&] { return manager->OutputMeters()[0].PeakOut() > 0.0f; }));
    manager->Deinit();
}

} // namespace
