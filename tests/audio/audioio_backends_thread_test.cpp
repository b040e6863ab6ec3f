// The "dummy" and "fd" backends for real: timer threads, pipes, descriptors.

#include "audio/audioio.h"

#include "audio_settings.h"
#include "support/alloc_guard.h"
#include "support/log_capture.h"
#include "support/rendering_thread.h"

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
using brl::testing::Chunks;
using brl::testing::Stereo;
using brl::testing::WaitFor;

// Writes a ramp over the whole stream (negated on channel 1), so a lost, repeated or reordered
// frame shows; with input, channel 1 carries input channel 0 instead.
struct RampHandler : IStreamHandler {
    void Process(const Format& format, const float* const* inputs, float* const* outputs,
                 uint32_t frames) noexcept override {
        for (uint32_t i = 0; i < frames; ++i) {
            outputs[0][i] = Ramp(frame + i);
            outputs[1][i] = format.InputChannels > 0 ? inputs[0][i] : -Ramp(frame + i);
        }
        frame += frames;
        calls.fetch_add(1);
    }
    static float Ramp(uint64_t k) { return static_cast<float>(static_cast<int>(k % 509) - 254) / 256.0f; }

    uint64_t frame = 0;
    std::atomic<int> calls{0};
};

struct Pipe {
    Pipe() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read = fds[0], write = fds[1];
    }
    ~Pipe() { Close(read), Close(write); }
    static void Close(int& fd) { fd = fd >= 0 ? (::close(fd), -1) : -1; }
    // Everything in the pipe now.
    std::vector<unsigned char> Drain() const {
        ::fcntl(read, F_SETFL, O_NONBLOCK);
        std::vector<unsigned char> bytes;
        unsigned char buffer[4096];
        for (ssize_t n = 0; (n = ::read(read, buffer, sizeof(buffer))) > 0;) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
    int read = -1;
    int write = -1;
};

// The master of a backend list with the fd settings.
struct Backends {
    Backends(const String& list, std::vector<String> options)
        : settings((options.insert(options.begin(), {L"--Audio-Backends", list}), options)),
          master(capture, settings.Frontend()) {}
    Io& Port() { return *master.GetDevice(0); }
    brl::testing::LogCapture capture;
    brl::testing::CommandLineSettings settings;
    IoMaster master;
};

// Plays the port until it ends, then stops and closes it.
void PlayToEnd(Io& port, IStreamHandler& handler) {
    ASSERT_TRUE(port.Play(&handler));
    ASSERT_TRUE(WaitFor([&] { return port.IsEnded(); }));
    ASSERT_TRUE(port.Stop());
    port.Close();
}

TEST(FdBackend, WritesInterleavedSamplesOfTheConfiguredWidthUpToTheEnd) {
    for (int width : {4, 2, 1}) {
        Pipe out;
        Backends backends(L"fd", {L"--Audio-Io-Fd-BytesPerSample", std::to_wstring(width),
                                  L"--Audio-Io-Fd-OutFd", std::to_wstring(out.write)});
        Io& port = backends.Port();
        RampHandler handler;
        ASSERT_TRUE(port.Open(Stereo(), Chunks(256)));
        port.SetEndPosition(1100); // four whole chunks and a cut one
        PlayToEnd(port, handler);
        EXPECT_EQ(handler.calls.load(), 5);
        const std::vector<unsigned char> bytes = out.Drain();
        ASSERT_EQ(bytes.size(), 1100u * 2 * width);
        std::vector<float> expected;
        for (uint32_t frame = 0; frame < 1100; ++frame) {
            expected.push_back(RampHandler::Ramp(frame));
            expected.push_back(-RampHandler::Ramp(frame));
        }
        const float* channels[] = {expected.data()};
        std::vector<unsigned char> wanted(bytes.size());
        Interleave(channels, 1, 0, 2200, width, wanted.data());
        EXPECT_EQ(bytes, wanted) << width;
    }
}

TEST(FdBackend, ReadsEachChunkOfInputBeforeRenderingItUntilTheInputEnds) {
    Pipe in;
    Pipe out;
    std::vector<int16_t> input(3 * 128);
    for (size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<int16_t>(i * 80 - 15000);
    }
    ASSERT_EQ(::write(in.write, input.data(), input.size() * 2), static_cast<ssize_t>(input.size() * 2));
    Pipe::Close(in.write);
    Backends backends(L"fd", {L"--Audio-Io-Fd-InFd", std::to_wstring(in.read), L"--Audio-Io-Fd-OutFd",
                              std::to_wstring(out.write)});
    Io& port = backends.Port();
    RampHandler handler;
    ASSERT_TRUE(port.Open(Stereo(48000, 1), Chunks(128, 4, 1)));
    PlayToEnd(port, handler);
    EXPECT_EQ(handler.calls.load(), 3);
    EXPECT_TRUE(backends.capture.Has(brl::Logging::Error, L"read_buffer() failed."));
    const std::vector<unsigned char> bytes = out.Drain();
    ASSERT_EQ(bytes.size(), input.size() * 4);
    for (size_t i = 0; i < input.size(); ++i) {
        int16_t right = 0;
        std::memcpy(&right, bytes.data() + i * 4 + 2, 2);
        ASSERT_EQ(right, input[i]) << i;
    }
}

TEST(FdBackend, StopsWhileBlockedAndSurvivesAReaderThatGoesAway) {
    Pipe out;
    Backends backends(L"fd", {L"--Audio-Io-Fd-OutFd", std::to_wstring(out.write)});
    Io& port = backends.Port();
    RampHandler handler;
    // 16 KiB chunks: four fill the pipe, then the thread waits to write.
    ASSERT_TRUE(port.Open(Stereo(), Chunks(4096)));
    ASSERT_TRUE(port.Play(&handler));
    ASSERT_TRUE(WaitFor([&] { return handler.calls.load() >= 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int calls = handler.calls.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(handler.calls.load(), calls);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(port.Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // Without a reader the write fails with EPIPE; SIGPIPE does not end the process.
    Pipe::Close(out.read);
    PlayToEnd(port, handler);
    EXPECT_TRUE(backends.capture.Has(brl::Logging::Error, L"write_buffer() failed."));
}

// Counts the audio thread's allocations from the handler's third call on: the guard made in one
// call sees everything the port and its backend do until the next one.
struct AllocationProbe : IStreamHandler {
    static constexpr int kFirst = 3;
    static constexpr int kLast = 23;
    void Process(const Format&, const float* const*, float* const*, uint32_t) noexcept override {
        const int call = calls.load() + 1;
        if (guard) {
            allocations.fetch_add(guard->Count());
            guard.reset();
        }
        if (call >= kFirst && call < kLast) {
            guard.emplace(brl::testing::AllocationGuard::Scope::ThisThread);
        }
        calls.store(call);
    }
    std::optional<brl::testing::AllocationGuard> guard;
    std::atomic<long> allocations{0};
    std::atomic<int> calls{0};
};

TEST(AudioThread, AllocatesNothingBetweenChunks) {
    // The chunks of the calls counted (512 bytes each) fit in the pipe: nothing needs to read it.
    Pipe out;
    Backends backends(L"fd", {L"--Audio-Io-Fd-OutFd", std::to_wstring(out.write)});
    for (Io* port : backends.master.GetDevices()) {
        AllocationProbe probe;
        ASSERT_TRUE(port->Open(Stereo(), Chunks(128)) && port->Play(&probe));
        EXPECT_TRUE(WaitFor([&] { return probe.calls.load() >= AllocationProbe::kLast; }));
        ASSERT_TRUE(port->Stop());
        port->Close();
        EXPECT_EQ(probe.allocations.load(), 0) << brl::ToUtf8(port->GetDescription());
    }
}

} // namespace
