#include "korvax/korvaxplayer.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

using namespace brl::Korvax;

class PlayerTest : public ::testing::Test {
protected:
    // Adds an event at an absolute tick; Make packs the streams into deltas.
    void Add(int channel, int k, uint32_t tick, uint8_t value) {
        events[channel * 256 + k].push_back({tick, value});
    }

    // The empty program by default: 98 empty opcode lists.
    std::unique_ptr<SynthPlayer> Make(std::vector<uint8_t> opcodes = std::vector<uint8_t>(98),
                                      std::vector<uint16_t> operands = {}) {
        for (int s = 0; s < 8192; ++s) {
            std::pair<uint32_t, uint8_t> previous{0, 0};
            for (const auto& event : events[s]) {
                times.push_back(event.first - previous.first);
                data.push_back(static_cast<uint8_t>(event.second - previous.second));
                previous = event;
            }
            times.push_back(0xFFFFFFFFu);
        }
        return std::make_unique<SynthPlayer>(values.data(), opcodes.data(), opcodes.size(), operands.data(),
                                             operands.size(), times.data(), times.size(), data.data(),
                                             data.size(), &log);
    }

    std::map<int, std::vector<std::pair<uint32_t, uint8_t>>> events;
    std::vector<uint32_t> times;
    std::vector<uint8_t> data;
    std::vector<uint8_t> values = std::vector<uint8_t>(8192);
    brl::testing::LogCapture log;
};

TEST_F(PlayerTest, AnEventAtTickTTakesEffectInBufferTPlusOne) {
    values[2 * 256 + 7] = 32;
    Add(0, 5, 0, 96);
    Add(2, 7, 3, 64);
    Add(2, 7, 3, 100);
    auto player = Make();
    const float* memory = player->Memory();
    EXPECT_EQ(memory[2 * 256 + 7], 0.25f);
    player->RenderBuffer();
    EXPECT_EQ(memory[5], 0.75f);
    EXPECT_EQ(memory[8192 + 5], 1.0f);
    player->RenderBuffer();
    EXPECT_EQ(memory[8192 + 5], 0.0f);
    player->RenderBuffer();
    EXPECT_EQ(memory[2 * 256 + 7], 0.25f);
    player->RenderBuffer();
    EXPECT_EQ(memory[2 * 256 + 7], 100 / 128.0f);
    EXPECT_EQ(memory[8192 + 2 * 256 + 7], 1.0f);
    player->RenderBuffer();
    EXPECT_EQ(memory[8192 + 2 * 256 + 7], 0.0f);
    EXPECT_EQ(player->Tick(), 5u);
}

TEST_F(PlayerTest, BrokenStreamsOrByteCodeAreRefusedAndPlayNothing) {
    Add(0, 7, 0, 10);
    Make();
    const uint8_t opcodes[98] = {};
    for (const auto& [timeCount, dataCount] : {std::pair<size_t, size_t>{8192, 1}, {8193, 0}}) {
        log.Clear();
        SynthPlayer player(values.data(), opcodes, 98, nullptr, 0, times.data(), timeCount, data.data(),
                           dataCount, &log);
        EXPECT_FALSE(player.IsValid());
        EXPECT_EQ(log.Messages(brl::Logging::Error).size(), 1u);
        player.RenderBuffer();
        player.DoTickWork(1000);
        EXPECT_EQ(player.Memory()[7], 0.0f);
    }
    EXPECT_FALSE(Make({200})->IsValid());
    events.clear(); // a song of no events at all is fine
    times.clear();
    data.clear();
    auto player = Make();
    EXPECT_TRUE(player->IsValid());
    player->DoTickWork(0xFFFFFFFFu);
    player->RenderBuffer();
    EXPECT_EQ(player->Voice(0, 0)[kVoiceActive], 0.0f);
}

} // namespace
