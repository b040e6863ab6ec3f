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

TEST_F(PlayerTest, NoteOnsTakeVelocitiesInOrderAndPrecedeNoteOffs) {
    Add(1, 253, 0, 100);
    Add(1, 253, 0, 50);
    Add(1, 253, 2, 20); // a velocity without its note-on is never played
    Add(1, 254, 0, 60);
    Add(1, 254, 0, 60);
    Add(4, 253, 0, 80);
    Add(4, 254, 0, 62);
    Add(4, 255, 0, 62);
    auto player = Make();
    player->RenderBuffer();
    // The second note-on of 60 released the voice of the first and took a new one.
    EXPECT_EQ(player->Voice(1, 0)[kVoiceVelocity], 100 / 128.0f);
    EXPECT_EQ(player->Voice(1, 0)[kVoiceRelease], 1.0f);
    EXPECT_EQ(player->Voice(1, 1)[kVoiceVelocity], 50 / 128.0f);
    EXPECT_EQ(player->Voice(1, 1)[kVoiceRelease], 0.0f);
    // Note-on and note-off in one tick: the voice starts, then is released.
    EXPECT_EQ(player->Voice(4, 0)[kVoiceVelocity], 80 / 128.0f);
    EXPECT_EQ(player->Voice(4, 0)[kVoiceRelease], 1.0f);
    EXPECT_EQ(player->Memory()[4 * 256 + 255], 62 / 128.0f);
    for (int buffer = 0; buffer < 3; ++buffer) {
        player->RenderBuffer();
    }
    EXPECT_EQ(player->Memory()[256 + 253], 50 / 128.0f);
    EXPECT_EQ(player->UnmatchedNoteOns(), 0u);
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
