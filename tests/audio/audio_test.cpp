#include "audio/audio.h"

#include "audio_settings.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

using namespace brl::Audio;

TEST(SampleConversion, ScalesClampsAndInterleavesPartOfAChunkAndReadsItBack) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        int8_t eight;
        int16_t sixteen;
    } cases[] = {
        {1.0f, 127, 32767},    {-1.0f, -128, -32768}, {0.5f, 64, 16384},
        {-7.0f, -128, -32768}, {0.999f, 127, 32735},  {-0.0078f, 0, -255},
        {inf, 127, 32767},     {-inf, -128, -32768},  {std::numeric_limits<float>::quiet_NaN(), 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(ToInt8(c.in), c.eight) << c.in;
        EXPECT_EQ(ToInt16(c.in), c.sixteen) << c.in;
    }
    const float left[] = {9.0f, 0.5f, -1.0f, 1.0f, 9.0f};
    const float right[] = {9.0f, 0.75f, 2.0f, -0.25f, 9.0f};
    const float* channels[] = {left, right};
    int16_t words[6] = {};
    Interleave(channels, 2, 1, 3, 2, words);
    EXPECT_EQ(std::vector<int16_t>(words, words + 6),
              (std::vector<int16_t>{16384, 24576, -32768, 32767, 32767, -8192}));
    int8_t bytes[6] = {};
    Interleave(channels, 2, 1, 3, 1, bytes);
    EXPECT_EQ(std::vector<int8_t>(bytes, bytes + 6), (std::vector<int8_t>{64, 96, -128, 127, 127, -32}));
    float floats[6] = {};
    Interleave(channels, 2, 1, 3, 4, floats);
    EXPECT_EQ(floats[3], 2.0f); // float samples pass unchanged
    float backLeft[5] = {};
    float backRight[5] = {};
    float* back[] = {backLeft, backRight};
    Deinterleave(words, 2, 2, 2, 3, back);
    EXPECT_EQ(std::vector<float>(backLeft, backLeft + 5),
              (std::vector<float>{0, 0, 0.5f, -1.0f, 32767.0f / 32768.0f}));
    EXPECT_EQ(backRight[4], -0.25f);
    Deinterleave(bytes, 1, 2, 0, 1, back);
    EXPECT_EQ(backLeft[0], 0.5f);
}

TEST(SampleWidthNegotiation, TriesFourThenHalvesUntilThePlatformAccepts) {
    const struct {
        std::vector<int> accepted; // by a fake platform
        int result;
        std::vector<int> tried;
    } cases[] = {{{4, 2, 1}, 4, {4}}, {{1, 2}, 2, {4, 2}}, {{1}, 1, {4, 2, 1}}, {{3, 8}, 0, {4, 2, 1}}};
    for (const auto& c : cases) {
        brl::testing::LogCapture capture;
        brl::Logging::Logger logger(&capture, L"audio");
        std::vector<int> tried;
        const int width = NegotiateSampleWidth(logger, [&](int w) {
            tried.push_back(w);
            return std::find(c.accepted.begin(), c.accepted.end(), w) != c.accepted.end();
        });
        EXPECT_EQ(width, c.result);
        EXPECT_EQ(tried, c.tried);
        EXPECT_EQ(capture.Count(brl::Logging::Trace), static_cast<int>(c.tried.size()));
    }
}

TEST(DeviceSettings, ReadUnderTheProgramsPrefixAndLatencyBecomesFramesRoundedButAtLeastOne) {
    brl::testing::CommandLineSettings settings({L"--Synth-Audio-Latency", L"7"});
    EXPECT_EQ(DeviceSettings::Read(settings.Frontend(), L"Synth").LatencyMs, 7);
    EXPECT_EQ(FramesForLatency(20, 96000), 1920u);
    EXPECT_EQ(FramesForLatency(1, 44100), 44u);
    EXPECT_EQ(FramesForLatency(-5, 96000), 1u);
}

} // namespace
