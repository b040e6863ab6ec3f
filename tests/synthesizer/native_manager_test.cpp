#include "native_test_support.h"

#include "korvax/korvaxplayer.h"
#include "korvax/korvaxrender.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

// The native manager's audio callback driven from the test's thread.
namespace {

using namespace native_test;
using brl::testing::LogCapture;
namespace korvax = brl::Korvax;

// A scripted manager and a device that calls it from the test's thread.
struct ScriptedRig : ::testing::Test {
    LogCapture log;
    std::unique_ptr<ScriptedManager> manager = std::make_unique<ScriptedManager>(&log);
    TestDevice device;
};
using NativeCallback = ScriptedRig;
using NativeSong = ScriptedRig;

TEST_F(NativeCallback, ServesAnyBufferSizeFromBlocksOf128RenderedOnceEach) {
    const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {
        {100, {1, 2, 3, 4, 4, 5}}, // 100, then 28 + 72, ...
        {300, {3, 5, 8}},          // three renders in the first call
        {1, {1, 1, 1}},
    };
    for (const auto& [frames, rendersAfterEachCall] : cases) {
        SCOPED_TRACE(std::to_string(frames) + "-frame buffers");
        manager = std::make_unique<ScriptedManager>(&log);
        manager->signal = [](int buffer, uint64_t frame) {
            return buffer == 0 ? static_cast<float>(frame) : buffer == 1 ? -static_cast<float>(frame) : 0.0f;
        };
        device = TestDevice();
        for (uint32_t expected : rendersAfterEachCall) {
            device.Run(*manager, frames);
            EXPECT_EQ(manager->renders.load(), expected);
        }
        // The stream is the blocks back to back, no frame lost or repeated.
        for (size_t k = 0; k < device.recorded[0].size(); ++k) {
            ASSERT_EQ(device.recorded[0][k], static_cast<float>(k)) << k;
            ASSERT_EQ(device.recorded[1][k], -static_cast<float>(k)) << k;
        }
    }
}

// The player the offline render builds for the manager's state.
std::unique_ptr<korvax::SynthPlayer> RenderPlayer(NativeManager& manager) {
    korvax::CompiledProgram program;
    korvax::SynthCompiler compiler(manager.Log());
    EXPECT_TRUE(compiler.CompileGraph(manager.Patches(), program));
    return korvax::MakeSongPlayer(korvax::SongValueBytes(manager.Memory()), program, manager.Patches().song,
                                  nullptr, nullptr);
}

// Compares the recorded frames with the render's, tick by tick: the left channel plus `leftOffset`, the
// right one to the bit (where the live synthesizer is silent the song's samples are exactly the
// render's). Returns the energy of the render's left and right channels.
std::pair<double, double> CompareWithRender(const TestDevice& device, korvax::SynthPlayer& reference,
                                            uint32_t ticks, float leftOffset) {
    std::pair<double, double> energy;
    for (size_t k = 0; k < size_t{ticks} * 128; ++k) {
        if (k % 128 == 0) {
            reference.RenderBuffer();
        }
        const float left = reference.Memory()[korvax::kOutputLeft + k % 128];
        const float right = reference.Memory()[korvax::kOutputRight + k % 128];
        if (device.recorded[0].at(k) != left + leftOffset ||
            std::memcmp(&device.recorded[1].at(k), &right, sizeof right) != 0) {
            ADD_FAILURE() << "the device's frame " << k << " is not the render's";
            return energy;
        }
        energy.first += double{left} * left;
        energy.second += double{right} * right;
    }
    return energy;
}

TEST_F(NativeSong, PlaysTheRendersSongFromTheNextBlockBesideTheLiveSynthesizer) {
    ASSERT_TRUE(manager->LoadState(brl::FromUtf8(kDemoPatch)));
    ASSERT_GT(manager->Patches().song.numTicks, 0u);
    // The live synthesizer plays a constant on the left only.
    const uint8_t emptyLists[korvax::kCompiledLists] = {};
    ASSERT_TRUE(manager->UpdateBytecode(emptyLists, korvax::kCompiledLists, nullptr, 0));
    manager->signal = [](int buffer, uint64_t) { return buffer == 0 ? 1.0f : 0.0f; };
    auto reference = RenderPlayer(*manager);
    ASSERT_TRUE(reference->IsValid());
    ASSERT_TRUE(manager->StartSong());
    EXPECT_EQ(manager->GetSongLength(), manager->Patches().song.numTicks + 22500);
    const uint32_t ticks = 800;
    for (uint32_t frames = 0; frames < ticks * 128; frames += 300) {
        device.Run(*manager, 300);
    }
    EXPECT_EQ(manager->GetSongPosition(), (device.recorded[0].size() + 127) / 128);
    EXPECT_GT(CompareWithRender(device, *reference, ticks, 1.0f).second, 0.0);
    manager->StopSong();
    EXPECT_FALSE(manager->HasSong());
    // The rest of the block rendered with the song still plays, then the live synthesizer alone.
    device.recorded[1].clear();
    device.Run(*manager, 512);
    EXPECT_TRUE(std::all_of(device.recorded[1].begin() + 128, device.recorded[1].end(),
                            [](float x) { return x == 0.0f; }));
}

TEST_F(NativeSong, TheLiveSongEndsAfterItsLastTick) {
    manager->Patches().song.timeStream.assign(korvax::kValueSlotCount, 0xFFFFFFFFu);
    manager->Patches().song.numTicks = 5;
    ASSERT_TRUE(manager->StartLiveSong());
    device.Run(*manager, 4 * 128);
    EXPECT_TRUE(manager->IsLiveSongPlaying());
    device.Run(*manager, 3 * 128);
    EXPECT_FALSE(manager->IsLiveSongPlaying());
    EXPECT_EQ(manager->GetLiveSongPosition(), 5u);
}

// The live song sample by sample against the render (the thread test hears changes and the stop).
TEST(NativeLiveSong, PlaysExactlyWhatTheRenderPlaysWhileNothingIsChanged) {
    LogCapture log;
    auto manager = std::make_unique<NativeManager>(&log);
    EXPECT_FALSE(manager->StartLiveSong());
    EXPECT_FALSE(log.Find(L"there is no song to play").empty());
    ASSERT_TRUE(manager->LoadState(brl::FromUtf8(kDemoPatch)));
    auto reference = RenderPlayer(*manager);
    ASSERT_TRUE(reference->IsValid());
    ASSERT_TRUE(manager->StartLiveSong());
    EXPECT_EQ(manager->GetLiveSongLength(), manager->Patches().song.numTicks);
    TestDevice device;
    const uint32_t ticks = 1200;
    for (uint32_t tick = 0; tick < ticks; ++tick) {
        device.Run(*manager, 128);
    }
    EXPECT_EQ(manager->GetLiveSongPosition(), ticks);
    EXPECT_GT(CompareWithRender(device, *reference, ticks, 0.0f).first, 1.0);
}

} // namespace
