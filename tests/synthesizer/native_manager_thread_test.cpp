#include "native_test_support.h"

#include "audio/audio_settings.h"
#include "support/alloc_guard.h"
#include "support/log_capture.h"
#include "support/ogg_writer.h"
#include "support/reference_voice.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

// The native manager with real devices and threads.
namespace {

using namespace native_test;
using brl::String;
using brl::testing::CommandLineSettings;
using brl::testing::LogCapture;
namespace korvax = brl::Korvax;
using Clock = std::chrono::steady_clock;

brl::ApplicationInfo Identity() {
    brl::ApplicationInfo info;
    info.applicationLongName = L"korvax";
    return info;
}

template <typename Condition> bool WaitUntil(Condition condition, double seconds = 10.0) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A pipe whose float stereo stream is read on its own thread.
class StreamReader {
public:
    StreamReader() {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
        thread = std::thread([this] { Run(read); });
    }
    ~StreamReader() {
        stop = true;
        thread.join();
        ::close(read);
        ::close(write);
    }
    int read = -1;
    int write = -1;
    // Left samples of ticks [from, to), once that much has been read.
    bool LeftOfTicks(uint32_t from, uint32_t to, std::vector<float>& out) {
        if (!WaitUntil([&] { return Frames() >= size_t{to} * 128; }, 30.0)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        out.clear();
        for (size_t frame = size_t{from} * 128; frame < size_t{to} * 128; ++frame) {
            out.push_back(samples[2 * frame]);
        }
        return true;
    }
    // The stream from its first sample that is not zero on.
    std::vector<float> FromFirstSound() {
        std::lock_guard<std::mutex> lock(mutex);
        const auto first = std::find_if(samples.begin(), samples.end(), [](float x) { return x != 0.0f; });
        return std::vector<float>(first, samples.end());
    }

private:
    size_t Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return samples.size() / 2;
    }
    void Run(int fd) {
        std::vector<float> chunk(4096);
        while (!stop) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 20) != 1) {
                continue;
            }
            const ssize_t got = ::read(fd, chunk.data(), chunk.size() * sizeof(float));
            if (got <= 0) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            samples.insert(samples.end(), chunk.begin(),
                           chunk.begin() + got / static_cast<ssize_t>(sizeof(float)));
        }
    }
    std::mutex mutex;
    std::vector<float> samples;
    std::atomic<bool> stop{false};
    std::thread thread;
};

// A voice that plays a sine at the note's pitch, at half amplitude, on channel 0.
bool LoadSineVoice(NativeManager& manager) {
    korvax_reference::ByteCode code;
    korvax_reference::AddSineVoice(code, 0);
    std::vector<uint8_t> opcodes;
    std::vector<uint16_t> operands;
    code.Flatten(opcodes, operands);
    std::vector<float> values(korvax::kValueSlotCount, 0.0f);
    values[1] = 0.5f; // amplitude; pulse width and waveform (sine) stay 0
    return manager.WriteValueSlots(values.data()) &&
           manager.UpdateBytecode(opcodes.data(), opcodes.size(), operands.data(), operands.size());
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
    EXPECT_EQ(log.Find(L"Using midi input device 'dummy device' (0)").size(), 1u);
    // Starting an open input again does nothing and says nothing.
    EXPECT_TRUE(manager->StartMidiDevice(1));
    EXPECT_EQ(log.Find(L"Using midi input device").size(), 2u);
    for (int round = 0; round < 2; ++round) {
        log.Clear();
        ASSERT_TRUE(manager->SetAudioDevice(1, 48000, 20, 0, Identity())) << round;
        EXPECT_TRUE(manager->IsMidiDeviceStarted(0));
        EXPECT_TRUE(manager->IsMidiDeviceStarted(1));
        EXPECT_EQ(log.Find(L"Closing midi input device").size(), 2u);
        EXPECT_EQ(log.Find(L"Using midi input device").size(), 2u);
        EXPECT_EQ(log.Find(L"Trying device 1 (Dummy - Discard)").size(), 1u);
        EXPECT_TRUE(log.Has(brl::Logging::Info, L"Using device 1 (Dummy - Discard)"));
        EXPECT_TRUE(WaitUntil([&] { return manager->GetPosition() > 0; }));
        EXPECT_EQ(manager->GetSampleRate(), 48000);
        // 20 ms at 48 kHz: eight chunks of 128 frames queued.
        EXPECT_EQ(manager->GetOutputLatency(), 8 * 128);
    }
    EXPECT_EQ(manager->GetAudioDeviceIndex(), 1);
    // A device that does not open, and one that does not exist: silent, the MIDI inputs still open.
    for (int index : {0, 7}) {
        log.Clear();
        EXPECT_FALSE(manager->SetAudioDevice(index, 48000, 20, 0, Identity()));
        EXPECT_FALSE(manager->IsAudioPlaying());
        EXPECT_FALSE(log.Find(L"Failed opening device " + std::to_wstring(index)).empty()) << index;
        EXPECT_TRUE(manager->IsMidiDeviceStarted(0));
        EXPECT_TRUE(manager->IsMidiDeviceStarted(1));
        EXPECT_EQ(manager->GetSampleRate(), 1);
        EXPECT_EQ(manager->GetPosition(), 0);
    }
    log.Clear();
    manager->StopMidiDevice(0);
    manager->StopMidiDevice(0);
    EXPECT_EQ(log.Find(L"Closing midi input device").size(), 1u);
    manager->Deinit();
    EXPECT_EQ(log.Find(L"Closing midi input device 'DirectInput - Midi Keyboard' (1)").size(), 1u);
}

// MIDI over TCP into the manager is the MIDI tests' and the same input handler as the others.
TEST(NativeDevices, ANoteFromAnotherThreadIsHeardAtItsPitch) {
    LogCapture log;
    StreamReader reader;
    ASSERT_GE(reader.read, 0);
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-BytesPerSample", L"4",
                                  L"--Audio-Io-Fd-OutFd", std::to_wstring(reader.write), L"--Midi-Backends",
                                  L"dummy"});
    auto manager = std::make_unique<NativeManager>(&log);
    ASSERT_TRUE(manager->Init(settings.Frontend()));
    ASSERT_TRUE(LoadSineVoice(*manager));
    ASSERT_TRUE(manager->SetAudioDevice(0, 96000, 20, 0, Identity()));
    std::thread input([&] { EXPECT_TRUE(manager->QueueMidiEvent(brl::Midi::Event(0x90, 69, 100))); });
    input.join();
    std::vector<float> note;
    WaitUntil(
        [&] {
            note = reader.FromFirstSound();
            return note.size() >= 2 * 24000;
        },
        20.0);
    manager->Deinit();
    ASSERT_GE(note.size(), 2u * 24000) << "the note was not heard";
    // Zero crossings of the left channel over 0.2 s: two per period.
    int crossings = 0;
    float peak = 0.0f;
    for (size_t frame = 2000; frame < 2000 + 19200; ++frame) {
        const float a = note[2 * frame];
        const float b = note[2 * frame + 2];
        crossings += (a < 0.0f) != (b < 0.0f) ? 1 : 0;
        peak = std::max(peak, std::fabs(a));
        ASSERT_EQ(note[2 * frame], note[2 * frame + 1]) << frame;
    }
    EXPECT_NEAR(crossings / 2.0 / 0.2, 440.0, 440.0 * 0.01);
    EXPECT_NEAR(peak, 0.5f, 0.01f);
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

double Energy(const std::vector<float>& samples) {
    double sum = 0.0;
    for (float x : samples) {
        sum += double{x} * x;
    }
    return sum;
}

TEST(NativeAudioThread, TheLiveSongPlaysIntoTheDeviceHearsControllerChangesAndStops) {
    brl::Logging::NullChannel log;
    StreamReader reader;
    ASSERT_GE(reader.read, 0);
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-BytesPerSample", L"4",
                                  L"--Audio-Io-Fd-OutFd", std::to_wstring(reader.write), L"--Midi-Backends",
                                  L"dummy"});
    auto manager = std::make_unique<NativeManager>(&log);
    ASSERT_TRUE(manager->Init(settings.Frontend()));
    ASSERT_TRUE(manager->LoadState(brl::FromUtf8(kDemoPatch)));
    // Started before the device: the song's ticks are the stream's.
    ASSERT_TRUE(manager->StartLiveSong());
    ASSERT_TRUE(manager->SetAudioDevice(0, 96000, 20, 0, Identity()));
    ASSERT_TRUE(WaitUntil([&] { return manager->GetLiveSongPosition() >= 1000; }, 30.0));
    manager->Patches().ForEachUnconnectedValueInput(
        [&](int, brl::vergl::CNode* node, int, brl::vergl::CPin*, const korvax::PinRecord& pin) {
            if (korvax::GetNodeRecord(node)->number == 1) { // every oscillator silent
                manager->SetControllerValue(pin.controllerChannel, pin.controllerNumber, 0.0f);
            }
            return true;
        });
    const uint32_t changed = manager->GetLiveSongPosition();
    ASSERT_TRUE(WaitUntil([&] { return manager->GetLiveSongPosition() >= changed + 1000; }, 30.0));
    const uint32_t stopped = manager->GetLiveSongPosition();
    manager->StopLiveSong();
    std::vector<float> loud;
    std::vector<float> muted;
    std::vector<float> silent;
    ASSERT_TRUE(reader.LeftOfTicks(200, 1000, loud));
    ASSERT_TRUE(reader.LeftOfTicks(changed + 200, changed + 1000, muted));
    ASSERT_TRUE(reader.LeftOfTicks(stopped + 100, stopped + 400, silent));
    manager->Deinit();
    EXPECT_GT(Energy(loud), 1.0);
    EXPECT_LT(Energy(muted), Energy(loud) * 0.01);
    EXPECT_EQ(Energy(silent), 0.0);
}

} // namespace
