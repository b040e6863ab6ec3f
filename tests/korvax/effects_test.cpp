#include "korvax/korvaxcatalogue.h"
#include "korvax/korvaxsynth.h"

#include "node_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace brl::Korvax {
namespace {

constexpr int kN = kSamplesPerBuffer;
constexpr int kLine = 960000;
constexpr int kFullLineBlocks = kLine / kN + 1;

using Effect = Testing::NodeRig;

float Noise(int n) {
    uint32_t x = static_cast<uint32_t>(n) * 2654435761u + 12345u;
    x = (x ^ (x >> 15)) * 2246822519u;
    return static_cast<float>(static_cast<int32_t>(x ^ (x >> 13))) * 0x1p-31f;
}
constexpr auto Impulse = [](int n) { return n == 0 ? 1.0f : 0.0f; };
constexpr auto Constant = [](int) { return 0.8f; };

TEST(DelayLines, DelaySignalByTheConvertedLengthAndNoFurtherThanTheLine) {
    const std::vector<float> short9 = Effect(ModuleId::DelaySignal, 96000.0f).Run(2, Noise);
    const std::vector<float> none = Effect(ModuleId::DelaySignal, 8000.0f).Run(2, Noise);
    for (int n = 0; n < 2 * kN; ++n) {
        ASSERT_EQ(short9[n], n < 9 ? 0.0f : Noise(n - 9)) << n;
        ASSERT_EQ(none[n], Noise(n)) << n;
    }
    // 5 s at 384000 Hz asks for 1920000 samples.
    const std::vector<float> late =
        Effect(ModuleId::DelaySignal, 384000.0f, {{2, 1.0f}}).Run(kFullLineBlocks, Impulse);
    const std::vector<float> echo =
        Effect(ModuleId::Delay, 384000.0f, {{2, 1.0f}, {3, 1.0f}, {5, 1.0f}}).Run(kFullLineBlocks, Impulse);
    for (int n = 0; n < kFullLineBlocks * kN; ++n) {
        ASSERT_EQ(late[n], n == kLine - 1 ? 1.0f : 0.0f) << n;
        ASSERT_EQ(echo[n], n == 0 || n == kLine ? 1.0f : 0.0f) << n;
    }
}

TEST(CompressorGain, NonsenseControlsLeaveTheGainRecoverable) {
    // A NaN level or ratio does not compress; a NaN or negative attack is instant;
    // an expanding ratio far below 1 may not leave an infinite gain behind.
    struct Controls {
        float level, ratio, attack;
    } cases[] = {
        {NAN, 0.1f, 0.0f}, {0.4f, NAN, 0.0f}, {0.4f, 0.1f, NAN}, {0.4f, 0.1f, -1e-6f}, {1e3f, 1e-4f, 0.0f}};
    for (const Controls& c : cases) {
        Effect e(ModuleId::Compressor, 96000.0f,
                 {{3, 0.5f}, {4, 0.625f}, {5, c.attack}, {6, 0.01f}, {7, c.ratio}, {8, 0.5f}});
        std::fill(e.Pin(2), e.Pin(2) + kN, c.level);
        const std::vector<float> hostile = e.Run(2, Constant);
        const bool compresses = !std::isnan(c.level) && !std::isnan(c.ratio);
        EXPECT_TRUE(compresses || hostile == std::vector<float>(2 * kN, 0.8f));
        e[6] = e[7] = 0.0f; // recover at once
        EXPECT_NEAR(e.Run(1, Constant).back(), 0.8, 1e-6) << c.level << " " << c.ratio << " " << c.attack;
    }
}

TEST(EnvelopeFollowers, RMSFollowsAMovingSumAcrossWindowChangesAndTheLineEnd) {
    const float lengths[8] = {1.0f, 0.3f, 1.0f, 0.0f, 0.9f, 1.0f, 0.5f, 1.0f};
    Effect e(ModuleId::RMSDetect, 384000.0f);
    const std::vector<float> out = e.Run(8000, Noise, 1, [&](int b) { e[2] = lengths[b / 1000]; });
    uint32_t sum = 0; // wrapping, over the last `window` squares
    std::vector<uint32_t> squares;
    for (int n = 0, window = 0; n < 8000 * kN; ++n) {
        const int wanted = std::clamp(e.host->TimeToSamples(lengths[n / kN / 1000]), 1, kLine - 1);
        for (; window < wanted; ++window) {
            sum += n - 1 - window >= 0 ? squares[n - 1 - window] : 0;
        }
        for (; window > wanted; --window) {
            sum -= n - window >= 0 ? squares[n - window] : 0;
        }
        sum -= n - window >= 0 ? squares[n - window] : 0;
        squares.push_back(static_cast<uint32_t>(Noise(n) * Noise(n) * 32768.0f));
        sum += squares.back();
        const float expected =
            std::sqrt(static_cast<float>(sum) * 3.0517578e-5f * (1.0f / window)) * 1.4142135f;
        ASSERT_EQ(out[n], expected) << n;
    }
    const float wild[4] = {NAN, INFINITY, -1e30f, 3e4f};
    const std::vector<float> hostile = e.Run(3, [&wild](int n) { return wild[n % 4]; });
    EXPECT_TRUE(std::all_of(hostile.begin(), hostile.end(), [](float x) { return std::isfinite(x); }));
}

} // namespace
} // namespace brl::Korvax
