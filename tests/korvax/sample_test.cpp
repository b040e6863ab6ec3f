#include "korvax/korvaxsample.h"

#include "support/deviceless_manager.h"
#include "support/log_capture.h"
#include "support/ogg_writer.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using brl::String;
using brl::Sfx::Sample;
using brl::testing::TempDir;
using brl::testing::WriteOgg;

// Sines of the channels' frequencies at amplitude 0.5.
std::function<float(int, long)> Sine(long rate, std::vector<double> frequencies) {
    return [=](int channel, long frame) {
        const double t = static_cast<double>(frame) / static_cast<double>(rate);
        return static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * frequencies[channel] * t));
    };
}

// Zero crossings (two per period of a sine) and rms of a channel over 0.4 s
// from 0.05 s on, at 96 kHz.
std::pair<int, double> Measure(const Sample& sample, int channel) {
    const float* data = sample.Data(channel);
    int crossings = 0;
    double squares = 0.0;
    for (uint32_t i = 4800; i < 43200; ++i) {
        crossings += (data[i] < 0.0f) != (data[i + 1] < 0.0f) ? 1 : 0;
        squares += static_cast<double>(data[i]) * data[i];
    }
    return {crossings, std::sqrt(squares / 38400.0)};
}

TEST(InputSample, DecodingResamplesAndKeepsTheFirstTwoChannels) {
    TempDir dir;
    ASSERT_TRUE(WriteOgg(dir.File("stereo.ogg"), 2, 44100, 22050, Sine(44100, {1000.0, 2000.0})));
    ASSERT_TRUE(WriteOgg(dir.File("mono.ogg"), 1, 48000, 24000, Sine(48000, {1000.0})));
    ASSERT_TRUE(WriteOgg(dir.File("three.ogg"), 3, 48000, 24000, Sine(48000, {500.0, 1000.0, 3000.0})));
    const struct {
        const char* file;
        int left, right; // crossings
    } cases[] = {{"stereo.ogg", 800, 1600}, {"mono.ogg", 800, 800}, {"three.ogg", 400, 800}};
    for (const auto& c : cases) {
        Sample sample(nullptr);
        ASSERT_TRUE(sample.Load(dir.File(c.file), 96000.0)) << c.file;
        EXPECT_EQ(sample.TargetRate(), 96000.0);
        EXPECT_NEAR(sample.Length(), 48000.0, 64.0) << c.file;
        for (const int channel : {0, 1}) {
            const auto [crossings, rms] = Measure(sample, channel);
            EXPECT_NEAR(crossings, channel == 0 ? c.left : c.right, 4) << c.file << " " << channel;
            EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.02) << c.file << " " << channel;
        }
    }
    Sample mono(nullptr); // at its own rate: the exact decoded length, both channels alike
    ASSERT_TRUE(mono.Load(dir.File("mono.ogg"), 48000.0));
    EXPECT_EQ(mono.Length(), 24000u);
    EXPECT_TRUE(std::equal(mono.Data(0), mono.Data(0) + mono.Length(), mono.Data(1)));
}

// Refusals come early (a small file that claims 375 Hz would be resampled 256 times
// over), say why, and leave the previous sample in place.
TEST(InputSample, RefusedFilesSayWhyAndLeaveThePreviousSampleInPlace) {
    TempDir dir;
    ASSERT_TRUE(WriteOgg(dir.File("sine.ogg"), 2, 48000, 4800, Sine(48000, {1000.0, 1000.0})));
    brl::testing::WriteFile(dir.File("text.ogg"), std::string(8192, 'x'));
    ASSERT_TRUE(WriteOgg(dir.File("slow.ogg"), 1, 8000, 80000, Sine(8000, {100.0}), 375));
    ASSERT_TRUE(WriteOgg(dir.File("fast.ogg"), 1, 48000, 4800, Sine(48000, {100.0}), 400000));
    // Ten minutes and a second of silence.
    ASSERT_TRUE(WriteOgg(dir.File("long.ogg"), 1, 8000, 601 * 8000, [](int, long) { return 0.0f; }));
    ASSERT_EQ(::mkfifo(dir.File("fifo.ogg").c_str(), 0600), 0);
    brl::testing::LogCapture log;
    Sample sample(&log);
    ASSERT_TRUE(sample.Load(dir.File("sine.ogg"), 48000.0));
    const std::vector<float> before(sample.Data(0), sample.Data(0) + sample.Length());
    const auto started = std::chrono::steady_clock::now();
    for (const char* name : {"text.ogg", "none.ogg", "slow.ogg", "fast.ogg", "long.ogg", "fifo.ogg"}) {
        EXPECT_FALSE(sample.Load(dir.File(name), 96000.0)) << name;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_FALSE(sample.Load(dir.File("sine.ogg"), 0.0));
    const auto load = [&](const char* name) { return L"cannot load '" + dir.WideFile(name) + L"': "; };
    EXPECT_EQ(
        log.Messages(),
        (std::vector<String>{L"not an ogg vorbis file '" + dir.WideFile("text.ogg") + L"'",
                             L"cannot open '" + dir.WideFile("none.ogg") + L"': No such file or directory",
                             load("slow.ogg") + L"sample rate 375 Hz is outside 8000 to 384000 Hz",
                             load("fast.ogg") + L"sample rate 400000 Hz is outside 8000 to 384000 Hz",
                             load("long.ogg") + L"longer than 10 minutes",
                             L"cannot open '" + dir.WideFile("fifo.ogg") + L"': is not a regular file",
                             load("sine.ogg") + L"invalid sample rate 0"}));
    EXPECT_EQ(std::vector<float>(sample.Data(0), sample.Data(0) + sample.Length()), before);
    EXPECT_EQ(sample.TargetRate(), 48000.0);
}

TEST(InputSample, ReplacingTheSampleWhileTheAudioThreadFeedsIsSafe) {
    TempDir dir;
    ASSERT_TRUE(WriteOgg(dir.File("a.ogg"), 1, 96000, 300, Sine(96000, {1000.0})));
    ASSERT_TRUE(WriteOgg(dir.File("b.ogg"), 2, 48000, 3000, Sine(48000, {800.0, 900.0})));
    auto manager = std::make_unique<brl::testing::DevicelessManager>();
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        while (!stop.load()) {
            manager->FeedInputSample();
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(manager->LoadInputSample(dir.WideFile(i % 2 == 0 ? "a.ogg" : "b.ogg")));
    }
    stop = true;
    audio.join();
    EXPECT_NEAR(manager->InputSampleLength(), 6000.0, 64.0);
}

} // namespace
