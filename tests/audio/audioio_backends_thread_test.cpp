#include "audio/audioio.h"

#include "audio_settings.h"
#include "support/alloc_guard.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace brl::Audio;
using brl::String;
using brl::testing::AllocationGuard;
using brl::testing::CommandLineSettings;
using brl::testing::LogCapture;
using Clock = std::chrono::steady_clock;

// Waits up to `limit` for a condition; generous limits keep the tests steady
// on a busy machine.
template <typename Condition> bool WaitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Writes sample k of channel c as a ramp that runs over the whole stream, so
// any lost, repeated or reordered frame shows. Copies input channel 0 to the
// last output channel when there is input.
struct RampHandler : IStreamHandler {
    void Process(const Format& format, const float* const* inputs, float* const* outputs,
                 uint32_t frames) noexcept override {
        for (uint32_t i = 0; i < frames; ++i) {
            const float value = Ramp(frame + i);
            for (uint32_t c = 0; c < format.OutputChannels; ++c) {
                outputs[c][i] = c == 0 ? value : -value;
            }
            if (format.InputChannels > 0 && format.OutputChannels > 0) {
                outputs[format.OutputChannels - 1][i] = inputs[0][i];
            }
        }
        frame += frames;
        lastFrames.store(frames);
        calls.fetch_add(1);
    }
    static float Ramp(uint64_t k) { return static_cast<float>(static_cast<int>(k % 509) - 254) / 256.0f; }

    uint64_t frame = 0;
    std::atomic<uint32_t> lastFrames{0};
    std::atomic<int> calls{0};
};

// Counts the audio thread's allocations from the handler's third call on: the
// guard made in one call sees everything the port and its backend do until
// the next one.
struct AllocationProbe : IStreamHandler {
    static constexpr int kFirst = 3;
    static constexpr int kMeasured = 20;
    void Process(const Format&, const float* const*, float* const*, uint32_t) noexcept override {
        const int call = calls.load() + 1;
        if (guard) {
            allocations.fetch_add(guard->Count());
            guard.reset();
        }
        if (call >= kFirst && call < kFirst + kMeasured) {
            guard.emplace(AllocationGuard::Scope::ThisThread);
        }
        calls.store(call);
    }
    bool Done() const { return calls.load() >= kFirst + kMeasured; }

    std::optional<AllocationGuard> guard;
    std::atomic<long> allocations{0};
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

// A pipe whose ends close with the object.
struct Pipe {
    Pipe() {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (read >= 0) {
            ::close(read);
            read = -1;
        }
    }
    void CloseWrite() {
        if (write >= 0) {
            ::close(write);
            write = -1;
        }
    }
    // Everything that is in the pipe now.
    std::vector<unsigned char> Drain() const {
        std::vector<unsigned char> bytes;
        const int flags = ::fcntl(read, F_GETFL);
        ::fcntl(read, F_SETFL, flags | O_NONBLOCK);
        unsigned char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(read, buffer, sizeof(buffer))) > 0) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        ::fcntl(read, F_SETFL, flags);
        return bytes;
    }
    int read = -1;
    int write = -1;
};

String Number(int value) {
    return std::to_wstring(value);
}

TEST(DummyBackend, RendersOneChunkPerPeriodUntilStopped) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"dummy"});
    IoMaster master(capture, settings.Frontend());
    ASSERT_EQ(master.GetDevices().size(), 1u);
    Io& port = *master.GetDevice(0);
    EXPECT_EQ(port.GetDescription(), L"Dummy - Discard");
    EXPECT_EQ(port.GetApi(), L"Dummy");
    EXPECT_EQ(port.GetDeviceId(), L"0");
    RampHandler handler;
    // 10 ms chunks.
    ASSERT_TRUE(port.Open(Stereo(48000), Chunk(480)));
    const auto start = Clock::now();
    ASSERT_TRUE(port.Play(&handler));
    ASSERT_TRUE(WaitFor([&] { return handler.calls.load() >= 30; }, std::chrono::seconds(20)));
    ASSERT_TRUE(port.Stop());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const int calls = handler.calls.load();
    // Timer-paced: never ahead of the clock (one period of slack for the
    // timer's first tick).
    EXPECT_LE(calls, static_cast<int>(elapsed / 0.010) + 2);
    EXPECT_EQ(handler.lastFrames.load(), 480u);
    EXPECT_EQ(port.GetPosition(), static_cast<uint64_t>(calls) * 480);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(handler.calls.load(), calls);
    port.Close();
}

TEST(DummyBackend, RefusesToPlayChunksOfNoFrames) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"dummy"});
    IoMaster master(capture, settings.Frontend());
    Io& port = *master.GetDevice(0);
    ASSERT_TRUE(port.Open(Stereo(48000), Chunk(0)));
    EXPECT_FALSE(port.Play(nullptr));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_FALSE(capture.Find(L"cannot start the timer").empty());
    port.Close();
}

TEST(FdBackend, WritesInterleavedSamplesOfTheConfiguredWidthUpToTheEnd) {
    for (int width : {4, 2, 1}) {
        Pipe out;
        ASSERT_GE(out.read, 0);
        LogCapture capture;
        CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-BytesPerSample",
                                      Number(width), L"--Audio-Io-Fd-OutFd", Number(out.write)});
        IoMaster master(capture, settings.Frontend());
        Io& port = *master.GetDevice(0);
        ASSERT_EQ(port.GetProviderName(), L"File Descriptor");
        RampHandler handler;
        ASSERT_TRUE(port.Open(Stereo(48000), Chunk(256)));
        // Four whole chunks and a cut one; fits in the pipe.
        port.SetEndPosition(1100);
        ASSERT_TRUE(port.Play(&handler));
        ASSERT_TRUE(WaitFor([&] { return port.IsEnded(); }, std::chrono::seconds(20)));
        ASSERT_TRUE(port.Stop());
        port.Close();
        EXPECT_EQ(handler.calls.load(), 5);

        const std::vector<unsigned char> bytes = out.Drain();
        ASSERT_EQ(bytes.size(), 1100u * 2 * width) << width;
        for (uint32_t frame = 0; frame < 1100; ++frame) {
            const float value = RampHandler::Ramp(frame);
            for (int c = 0; c < 2; ++c) {
                const float sample = c == 0 ? value : -value;
                const unsigned char* at = bytes.data() + (frame * 2 + c) * width;
                if (width == 4) {
                    float got = 0;
                    std::memcpy(&got, at, 4);
                    ASSERT_EQ(got, sample) << frame;
                } else if (width == 2) {
                    int16_t got = 0;
                    std::memcpy(&got, at, 2);
                    ASSERT_EQ(got, ToInt16(sample)) << frame;
                } else {
                    ASSERT_EQ(static_cast<int8_t>(*at), ToInt8(sample)) << frame;
                }
            }
        }
        EXPECT_TRUE(capture.Find(L"write_buffer").empty());
    }
}

TEST(FdBackend, ReadsEachChunkOfInputBeforeRenderingIt) {
    Pipe in;
    Pipe out;
    const uint32_t frames = 3 * 128;
    std::vector<int16_t> input(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        input[i] = static_cast<int16_t>(i * 80 - 15000);
    }
    ASSERT_EQ(::write(in.write, input.data(), input.size() * 2), static_cast<ssize_t>(input.size() * 2));
    in.CloseWrite();

    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-InFd", Number(in.read),
                                  L"--Audio-Io-Fd-OutFd", Number(out.write)});
    IoMaster master(capture, settings.Frontend());
    Io& port = *master.GetDevice(0);
    Format format = Stereo(48000);
    format.InputChannels = 1;
    PortConfig config = Chunk(128);
    config.InputChunks = 1;
    RampHandler handler;
    ASSERT_TRUE(port.Open(format, config));
    ASSERT_TRUE(port.Play(&handler));
    // Three chunks of input, then the input ends.
    ASSERT_TRUE(WaitFor([&] { return port.IsEnded(); }, std::chrono::seconds(20)));
    ASSERT_TRUE(port.Stop());
    port.Close();
    EXPECT_EQ(handler.calls.load(), 3);
    EXPECT_TRUE(capture.Has(brl::Logging::Error, L"read_buffer() failed."));

    const std::vector<unsigned char> bytes = out.Drain();
    ASSERT_EQ(bytes.size(), frames * 2 * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        int16_t right = 0;
        std::memcpy(&right, bytes.data() + (i * 2 + 1) * 2, 2);
        ASSERT_EQ(right, input[i]) << i;
    }
}

TEST(FdBackend, AReaderThatGoesAwayEndsTheStreamNotTheProgram) {
    Pipe out;
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-OutFd", Number(out.write)});
    IoMaster master(capture, settings.Frontend());
    Io& port = *master.GetDevice(0);
    ASSERT_TRUE(port.Open(Stereo(48000), Chunk(256)));
    out.CloseRead();
    ASSERT_TRUE(port.Play(nullptr));
    ASSERT_TRUE(WaitFor([&] { return port.IsEnded(); }, std::chrono::seconds(20)));
    EXPECT_TRUE(capture.Has(brl::Logging::Error, L"write_buffer() failed."));
    EXPECT_TRUE(port.Stop());
    port.Close();
}

TEST(FdBackend, StopsWhileNobodyReads) {
    Pipe out;
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-OutFd", Number(out.write)});
    IoMaster master(capture, settings.Frontend());
    Io& port = *master.GetDevice(0);
    RampHandler handler;
    ASSERT_TRUE(port.Open(Stereo(48000), Chunk(4096)));
    ASSERT_TRUE(port.Play(&handler));
    // 16 KiB chunks: four fill the pipe, then the thread waits to write.
    ASSERT_TRUE(WaitFor([&] { return handler.calls.load() >= 4; }, std::chrono::seconds(20)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int calls = handler.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(handler.calls.load(), calls);
    EXPECT_FALSE(port.IsEnded());
    const auto start = Clock::now();
    EXPECT_TRUE(port.Stop());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(capture.Find(L"write_buffer").empty());
    port.Close();
}

TEST(FdBackend, RefusesSettingsItCannotUse) {
    Pipe out;
    struct Case {
        std::vector<String> options;
        String message;
    };
    const Case cases[] = {
        {{}, L"no descriptor to read or write: Audio/Io/Fd/InFd and Audio/Io/Fd/OutFd are -1"},
        {{L"--Audio-Io-Fd-OutFd", Number(out.write), L"--Audio-Io-Fd-BytesPerSample", L"3"},
         L"Audio/Io/Fd/BytesPerSample must be 1, 2 or 4, not 3"},
        {{L"--Audio-Io-Fd-OutFd", L"987"}, L"file descriptor 987 is not open"},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        std::vector<String> options = {L"--Audio-Backends", L"fd"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        CommandLineSettings settings(options);
        IoMaster master(capture, settings.Frontend());
        Io& port = *master.GetDevice(0);
        EXPECT_FALSE(port.Open(Stereo(48000), Chunk(256)));
        EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
        EXPECT_TRUE(capture.Has(brl::Logging::Error, c.message)) << brl::ToUtf8(c.message);
    }
}

TEST(AudioThread, AllocatesNothingBetweenChunks) {
    Pipe out;
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-OutFd", Number(out.write),
                                  L"--Audio-Io-Fd-BytesPerSample", L"2"});
    IoMaster master(capture, settings.Frontend());
    ASSERT_EQ(master.GetDevices().size(), 2u);
    for (Io* port : master.GetDevices()) {
        AllocationProbe probe;
        ASSERT_TRUE(port->Open(Stereo(48000), Chunk(128)));
        ASSERT_TRUE(port->Play(&probe));
        std::atomic<bool> reading{true};
        std::thread reader([&] {
            unsigned char buffer[4096];
            while (reading.load() && ::read(out.read, buffer, sizeof(buffer)) > 0) {
            }
        });
        const bool done = WaitFor([&] { return probe.Done(); }, std::chrono::seconds(20));
        ASSERT_TRUE(port->Stop());
        port->Close();
        reading.store(false);
        const unsigned char wake = 0;
        ASSERT_EQ(::write(out.write, &wake, 1), 1);
        reader.join();
        ASSERT_TRUE(done) << brl::ToUtf8(port->GetDescription());
        EXPECT_EQ(probe.allocations.load(), 0) << brl::ToUtf8(port->GetDescription());
    }
}

} // namespace
