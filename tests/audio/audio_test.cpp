#include "audio/audio.h"

#include "libbrelm/config.h"
#include "libbrelm/configproviders.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using namespace brl::Audio;
using brl::String;
using brl::testing::LogCapture;

TEST(SampleConversion, ScalesAndClampsToEightAndSixteenBits) {
    struct Case {
        float in;
        int8_t eight;
        int16_t sixteen;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1.0f, 127, 32767},   {-1.0f, -128, -32768}, {0.0f, 0, 0},          {0.5f, 64, 16384},
        {-0.5f, -64, -16384}, {2.5f, 127, 32767},    {-7.0f, -128, -32768}, {0.999f, 127, 32735},
        {0.0078f, 0, 255},    {-0.0078f, 0, -255},   {1.0f / 128, 1, 256},  {nan, 0, 0},
        {inf, 127, 32767},    {-inf, -128, -32768},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToInt8(c.in), c.eight) << c.in;
        EXPECT_EQ(ToInt16(c.in), c.sixteen) << c.in;
    }
    EXPECT_EQ(FromInt16(-32768), -1.0f);
    EXPECT_EQ(FromInt8(-128), -1.0f);
    EXPECT_EQ(FromInt16(16384), 0.5f);
}

TEST(SampleConversion, InterleavesFramesInEveryWidthAndReadsThemBack) {
    const std::vector<float> left = {0.0f, 0.5f, -1.0f, 1.0f, 0.25f};
    const std::vector<float> right = {-0.5f, 0.75f, 2.0f, -0.25f, 0.125f};
    const float* channels[] = {left.data(), right.data()};
    for (int width : {4, 2, 1}) {
        // Frames 1..3 of the chunk only.
        std::vector<unsigned char> bytes(3 * 2 * width, 0xee);
        Interleave(channels, 2, 1, 3, width, bytes.data());
        std::vector<float> backLeft(5, 9.0f);
        std::vector<float> backRight(5, 9.0f);
        float* back[] = {backLeft.data(), backRight.data()};
        Deinterleave(bytes.data(), width, 2, 1, 3, back);
        EXPECT_EQ(backLeft[0], 9.0f);
        EXPECT_EQ(backLeft[4], 9.0f);
        for (int frame = 1; frame <= 3; ++frame) {
            if (width == 4) {
                EXPECT_EQ(backLeft[frame], left[frame]);
                EXPECT_EQ(backRight[frame], right[frame]);
                continue;
            }
            // Integer samples reach at most one step below +1.
            const float step = width == 2 ? 1.0f / 32768 : 1.0f / 128;
            EXPECT_NEAR(backLeft[frame], std::fmin(left[frame], 1.0f - step), step) << width;
            EXPECT_NEAR(backRight[frame], std::fmin(right[frame], 1.0f - step), step) << width;
        }
    }
    int16_t words[2] = {};
    Interleave(channels, 2, 3, 1, 2, words);
    EXPECT_EQ(words[0], 32767);
    EXPECT_EQ(words[1], -8192);
    float floats[2] = {};
    Interleave(channels, 2, 2, 1, 4, floats);
    EXPECT_EQ(floats[0], -1.0f);
    EXPECT_EQ(floats[1], 2.0f); // float samples are passed on unchanged
}

// A platform that accepts some sample widths, as a sound card driver would.
struct FakePlatform {
    std::vector<int> accepted;
    std::vector<int> tried;
    bool Accept(int width) {
        tried.push_back(width);
        return std::find(accepted.begin(), accepted.end(), width) != accepted.end();
    }
};

TEST(SampleWidthNegotiation, TriesFourThenHalvesUntilThePlatformAccepts) {
    struct Case {
        std::vector<int> accepted;
        int result;
        std::vector<int> tried;
    };
    const Case cases[] = {
        {{4, 2, 1}, 4, {4}}, {{2}, 2, {4, 2}},   {{1, 2}, 2, {4, 2}},
        {{1}, 1, {4, 2, 1}}, {{}, 0, {4, 2, 1}}, {{3, 8}, 0, {4, 2, 1}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        brl::Logging::Logger logger(&capture, L"audio");
        FakePlatform platform{c.accepted, {}};
        EXPECT_EQ(NegotiateSampleWidth(logger, [&](int width) { return platform.Accept(width); }), c.result);
        EXPECT_EQ(platform.tried, c.tried);
        std::vector<String> lines;
        for (const auto& record : capture.Records()) {
            EXPECT_EQ(record.level, brl::Logging::Trace);
            lines.push_back(record.message);
        }
        std::vector<String> expected;
        for (int width : c.tried) {
            expected.push_back(L"trying " + std::to_wstring(width) + L" byte wide samples");
        }
        EXPECT_EQ(lines, expected);
    }
}

TEST(UnderrunClassification, DependsOnTheChunksStillQueued) {
    struct Case {
        uint32_t queued;
        uint32_t chunks;
        Underrun result;
    };
    const Case cases[] = {
        {3, 4, Underrun::None},     {2, 4, Underrun::Soft}, {1, 4, Underrun::Hard},
        {0, 4, Underrun::Confused}, {4, 4, Underrun::None}, {1, 2, Underrun::None},
        {0, 2, Underrun::Confused}, {1, 3, Underrun::Hard}, {2, 3, Underrun::None},
        {5, 8, Underrun::Soft},     {7, 8, Underrun::None}, {0, 0, Underrun::Confused},
        {1, 1, Underrun::None},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ClassifyUnderrun(c.queued, c.chunks), c.result) << c.queued << " of " << c.chunks;
    }
    EXPECT_STREQ(UnderrunText(Underrun::Soft), L"big jitter (soft underrun)");
    EXPECT_STREQ(UnderrunText(Underrun::Hard), L"hard underrun");
    EXPECT_STREQ(UnderrunText(Underrun::Confused), L"underrun and seriously confused");
    EXPECT_EQ(UnderrunLevel(Underrun::Soft), brl::Logging::Verbose);
    EXPECT_EQ(UnderrunLevel(Underrun::Hard), brl::Logging::Warning);
    EXPECT_EQ(UnderrunLevel(Underrun::Confused), brl::Logging::Error);
}

TEST(ChannelMask, FitsTheChannelCount) {
    struct Case {
        uint64_t mask;
        uint32_t channels;
        bool fits;
    };
    const uint64_t stereo = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    const Case cases[] = {
        {0, 0, true},
        {0, 7, true},
        {stereo, 2, true},
        {stereo, 3, false},
        {stereo, 1, false},
        {SPEAKER_ALL | SPEAKER_FRONT_LEFT, 2, true},
        {SPEAKER_ALL | SPEAKER_FRONT_LEFT, 1, true},
        {SPEAKER_ALL | stereo | SPEAKER_FRONT_CENTER, 2, false},
        {SPEAKER_ALL, 0, true},
        {(1ull << 40) | stereo, 2, true},
        {(1ull << 40) | stereo, 1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ChannelMaskFits(c.mask, c.channels), c.fits) << std::hex << c.mask << " " << c.channels;
    }
}

TEST(TextForms, NameSpeakersConfigAndCaps) {
    EXPECT_EQ(ChannelMaskToString(SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_LEFT | SPEAKER_TOP_BACK_RIGHT),
              L" FRONT_LEFT FRONT_RIGHT TOP_BACK_RIGHT");
    EXPECT_EQ(ChannelMaskToString(SPEAKER_ALL | (1ull << 20) | SPEAKER_LOW_FREQUENCY),
              L" LOW_FREQUENCY BIT_20 ALL");
    EXPECT_EQ(ChannelMaskToString(0), L"");
    EXPECT_EQ(SpeakerOfChannel(0), SPEAKER_FRONT_LEFT);
    EXPECT_EQ(SpeakerOfChannel(17), SPEAKER_TOP_BACK_RIGHT);
    EXPECT_EQ(SpeakerOfChannel(18), SPEAKER_ALL);

    EXPECT_EQ(ToString(PortConfig()), L"FramesPerChunk: 2048\nInputChunks: 0\nOutputChunks: 4\n");
    EXPECT_EQ(PortConfig().ClientName, L"brelm");
    EXPECT_EQ(PortConfig().PortName, L"audio");
    EXPECT_EQ(PortConfig().Priority, 0);

    Caps caps;
    caps.FramesPerSecond = {44100, 48000, 96000};
    caps.FramesPerChunk = {16, 8192};
    caps.Chunks = {2, 16};
    caps.OutputChannelMasks = {SPEAKER_FRONT_LEFT, SPEAKER_FRONT_RIGHT};
    EXPECT_EQ(caps.ToString(), L"FramesPerSecond: 44100 - 96000\nFramesPerChunk: 16 - 8192\nChunks: 2 - 16\n"
                               L"InputChannels: 0\nInputChannelMasks:\nOutputChannels: 2\n"
                               L"OutputChannelMasks: FRONT_LEFT FRONT_RIGHT\n");
    caps.Clear();
    EXPECT_TRUE(caps.FramesPerSecond.empty());
    EXPECT_EQ(caps.Chunks, Range());
}

TEST(DeviceSettings, DefaultsAndOverridesUnderAPrefix) {
    brl::Config::Frontend config;
    const DeviceSettings defaults = DeviceSettings::Read(config);
    EXPECT_EQ(defaults.SamplingRate, 96000);
    EXPECT_EQ(defaults.LatencyMs, 20);
    EXPECT_EQ(defaults.ChannelMask, 0);
    EXPECT_EQ(defaults.Api, L"");
    EXPECT_EQ(defaults.Id, L"");

    brl::Config::CommandlineProvider commandLine(
        {L"korvax", L"--Synth-Audio-SamplingRate", L"48000", L"--Synth-Audio-Device-API", L"UNIX_JACK",
         L"--Synth-Audio-Device-ID", L"0", L"--Audio-Latency", L"5"});
    brl::Config::Frontend overridden;
    overridden.AddBase(&commandLine);
    const DeviceSettings read = DeviceSettings::Read(overridden, L"Synth");
    EXPECT_EQ(read.SamplingRate, 48000);
    EXPECT_EQ(read.LatencyMs, 20); // "--Audio-Latency" is outside the prefix
    EXPECT_EQ(read.Api, L"UNIX_JACK");
    EXPECT_EQ(read.Id, L"0");
}

TEST(DeviceSettings, LatencyBecomesWholeFrames) {
    EXPECT_EQ(FramesForLatency(20, 96000), 1920u);
    EXPECT_EQ(FramesForLatency(10, 44100), 441u);
    EXPECT_EQ(FramesForLatency(1, 44100), 44u);
    EXPECT_EQ(FramesForLatency(0, 96000), 1u);
    EXPECT_EQ(FramesForLatency(-5, 96000), 1u);
}

} // namespace
