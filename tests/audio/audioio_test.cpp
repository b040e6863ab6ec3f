#include "audio/audioio.h"

#include "audio_settings.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace brl::Audio;
using brl::String;
using brl::testing::Chunks;
using brl::testing::CommandLineSettings;
using brl::testing::LogCapture;
using brl::testing::Stereo;
using Calls = std::vector<std::string>;

// A port whose platform is the test: every Internal step is journalled and can
// be told to fail, and the test renders chunks in place of an audio thread.
class FakeIo final : public Io {
public:
    FakeIo(brl::Logging::Channel& log, Calls& journal)
        : Io(log, {L"Fake", L"1.0", L"Speaker", L"fake 7", L"FAKE", L"7"}), calls(journal) {}
    ~FakeIo() override { CloseBeforeDestruction(); }
    uint32_t Render() { return RenderChunk(); }
    float* Output(int channel) { return OutputBuffers()[channel]; }

    bool openOk = true, playOk = true, stopOk = true;
    Calls& calls;

protected:
    bool InternalInit() override {
        calls.push_back("init");
        MutableCaps().FramesPerSecond = {48000};
        return true;
    }
    bool InternalOpen() override { return calls.push_back("open"), openOk; }
    bool InternalPlay() override { return calls.push_back("play"), playOk; }
    bool InternalStop() override { return calls.push_back("stop"), stopOk; }
    bool InternalClose() override { return calls.push_back("close"), true; }
};

// Fills output channel c with c + the number of the call.
struct CountingHandler : IStreamHandler {
    void Process(const Format& format, const float* const*, float* const* outputs,
                 uint32_t frames) noexcept override {
        ++calls;
        seen = format;
        seenFrames = frames;
        for (uint32_t c = 0; c < format.OutputChannels; ++c) {
            std::fill(outputs[c], outputs[c] + frames, static_cast<float>(c + calls));
        }
    }
    int calls = 0;
    Format seen;
    uint32_t seenFrames = 0;
};

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
    float backLeft[5] = {};
    float backRight[5] = {};
    float* back[] = {backLeft, backRight};
    Deinterleave(words, 2, 2, 2, 3, back);
    EXPECT_EQ(std::vector<float>(backLeft, backLeft + 5),
              (std::vector<float>{0, 0, 0.5f, -1.0f, 32767.0f / 32768.0f}));
    EXPECT_EQ(backRight[4], -0.25f);
}

TEST(PortLifeCycle, MovesThroughItsStatesRefusesStepsOutOfOrderAndClosesWhenDestroyed) {
    LogCapture capture;
    Calls calls;
    {
        FakeIo port(capture, calls);
        CountingHandler handler;
        EXPECT_FALSE(port.Open(Stereo(), Chunks(256)));
        EXPECT_FALSE(port.Play(&handler));
        EXPECT_EQ(port.GetState(), PORTSTATE_CLOSED);
        EXPECT_TRUE(port.Init() && port.Init());
        EXPECT_FALSE(port.Play(&handler));
        EXPECT_EQ(port.GetLatency(), 0u);
        EXPECT_EQ(capture.Find(L"BUG PortState < PORTSTATE_OPEN").size(), 1u);
        EXPECT_TRUE(port.Open(Stereo(), PortConfig()));
        EXPECT_EQ(port.GetOutputLatency(), 6144u); // (4 - 1) * 2048
        EXPECT_TRUE(port.Play(&handler) && port.Play(&handler));
        EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
        EXPECT_TRUE(port.Stop() && port.Stop());
        EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
        EXPECT_TRUE(port.Play(&handler));
        EXPECT_TRUE(port.Open(Stereo(96000), Chunks(64))); // closes the open port first
        EXPECT_EQ(port.GetFormat().FramesPerSecond, 96000u);
        port.Close();
        port.Close();
        EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
        ASSERT_TRUE(port.Open(Stereo(), Chunks(256)) && port.Play(nullptr));
    }
    EXPECT_EQ(calls, (Calls{"init", "open", "play", "stop", "play", "stop", "close", "open", "close", "open",
                            "play", "stop", "close"}));
    EXPECT_EQ(capture.Find(L"BUG PortState >= PORTSTATE_OPEN").size(), 1u);
}

TEST(PortLifeCycle, AFailedStepLeavesTheStateAsItWasAndChunksGoThroughTheHandlerUpToTheEnd) {
    LogCapture log;
    Calls calls;
    FakeIo port(log, calls);
    CountingHandler handler;
    ASSERT_TRUE(port.Init());
    port.openOk = false;
    EXPECT_FALSE(port.Open(Stereo(), Chunks(256)));
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    EXPECT_EQ(port.GetFormat(), Format());
    port.openOk = true;
    ASSERT_TRUE(port.Open(Stereo(), Chunks(256)));
    port.playOk = false;
    EXPECT_FALSE(port.Play(&handler));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    port.Render();
    EXPECT_EQ(handler.calls, 0); // the handler was not kept
    port.playOk = true;
    ASSERT_TRUE(port.Play(&handler));
    // A port that did not stop keeps its handler and buffers: its thread may still render.
    port.stopOk = false;
    EXPECT_FALSE(port.Stop());
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    port.Render();
    EXPECT_EQ(handler.calls, 1);
    port.stopOk = true;
    port.Close();

    // Chunks go through the handler; the chunk that reaches the end position is cut.
    handler.calls = 0;
    ASSERT_TRUE(port.Open(Stereo(44100, 1), Chunks(100, 4, 3)));
    EXPECT_EQ(port.GetInputLatency(), 100u); // one chunk, however many are queued
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.Render() + port.Render(), 200u);
    EXPECT_EQ(handler.calls, 2);
    EXPECT_EQ(handler.seen, Stereo(44100, 1));
    EXPECT_EQ(handler.seenFrames, 100u);
    EXPECT_EQ(port.Output(1)[0], 3.0f);
    EXPECT_EQ(port.Now(), 200u); // a clock of the frames played since Play
    EXPECT_EQ(port.Frequency(), 44100u);
    ASSERT_TRUE(port.Stop());
    EXPECT_EQ(port.Now(), 0u);
    handler.calls = 0;
    ASSERT_TRUE(port.Open(Stereo(), Chunks(100)));
    port.SetEndPosition(250);
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.Render() + port.Render(), 200u);
    EXPECT_FALSE(port.IsEnded());
    EXPECT_EQ(port.Render(), 50u);
    EXPECT_TRUE(port.IsEnded());
    EXPECT_EQ(port.Output(0)[49], 3.0f);
    EXPECT_EQ(port.Output(0)[50], 0.0f);
    EXPECT_EQ(port.Render(), 0u);
    EXPECT_EQ(handler.calls, 3);
    EXPECT_EQ(port.GetPosition(), 250u);
}

TEST(BackendSelection, AppendsDummyOnceSkipsEmptyNamesNamesUnknownOnesAndListsTheDevices) {
    const struct {
        std::vector<String> options;
        std::vector<String> providers;
        int warnings = 0; // unknown and unavailable backends
    } cases[] = {
        {{L"--Audio-Backends", L""}, {L"Dummy"}},
        {{L"--Audio-Backends", L"dummy,fd"}, {L"Dummy", L"File Descriptor"}},
        {{L"--Audio-Backends", L" fd , fd,"}, {L"File Descriptor", L"Dummy"}},
        {{L"--Synth-Audio-Backends", L"fd", L"--Audio-Backends", L"x"}, {L"File Descriptor", L"Dummy"}},
        {{L"--Audio-Backends", L"winmm,sdl,oss,fd"}, {L"File Descriptor", L"Dummy"}, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        LogCapture capture;
        CommandLineSettings settings(c.options);
        IoMaster master(capture, settings.Frontend(),
                        c.options[0] == L"--Synth-Audio-Backends" ? L"Synth" : L"");
        std::vector<String> names;
        for (const auto& provider : master.GetProviders()) {
            names.push_back(provider->GetName());
        }
        EXPECT_EQ(names, c.providers);
        EXPECT_EQ(master.GetDevices().size(), c.providers.size());
        EXPECT_EQ(capture.Count(brl::Logging::Warning), c.warnings);
    }
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd"});
    IoMaster master(capture, settings.Frontend());
    EXPECT_TRUE(capture.Has(brl::Logging::Info, L"  1: Dummy - Discard"));
}

} // namespace
