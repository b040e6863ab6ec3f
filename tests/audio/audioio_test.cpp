#include "audio/audioio.h"

#include "audio_settings.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace brl::Audio;
using brl::String;
using brl::testing::CommandLineSettings;
using brl::testing::LogCapture;
using Calls = std::vector<std::string>;

// A port whose platform is the test: every Internal step is recorded and can
// be told to fail, and the test renders chunks in place of an audio thread.
class FakeIo final : public Io {
public:
    explicit FakeIo(brl::Logging::Channel& log, Calls* journal = nullptr)
        : Io(log, {L"Fake", L"1.0", L"Speaker", L"fake 7", L"FAKE", L"7"}),
          calls(journal ? *journal : ownCalls) {}
    ~FakeIo() override { CloseBeforeDestruction(); }

    uint32_t Render() { return RenderChunk(); }
    void Underrun(uint32_t queued) { NoteUnderrun(queued); }
    float* Output(int channel) { return OutputBuffers()[channel]; }

    bool initOk = true, openOk = true, playOk = true, stopOk = true, closeOk = true;
    uint32_t deviceChunk = 0; // a device that insists on its own chunk size
    Calls ownCalls;
    Calls& calls;

protected:
    bool InternalInit() override {
        calls.push_back("init");
        MutableCaps().FramesPerSecond = {48000};
        if (!initOk) {
            SetInitFailure(L"unplugged");
        }
        return initOk;
    }
    bool InternalOpen() override {
        calls.push_back("open");
        return openOk && (deviceChunk == 0 || ResizeChunk(deviceChunk));
    }
    bool InternalPlay() override { return calls.push_back("play"), playOk; }
    bool InternalStop() override { return calls.push_back("stop"), stopOk; }
    bool InternalClose() override { return calls.push_back("close"), closeOk; }
};

Format Stereo(uint32_t rate = 48000, uint32_t inputs = 0) {
    return Format{inputs, 0, 2, 0, rate};
}

PortConfig Chunks(uint32_t frames, uint32_t output = 4, uint32_t input = 0) {
    PortConfig config;
    config.FramesPerChunk = frames;
    config.OutputChunks = output;
    config.InputChunks = input;
    return config;
}

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

TEST(PortLifeCycle, MovesThroughItsStatesAndRefusesStepsOutOfOrder) {
    LogCapture capture;
    FakeIo port(capture);
    CountingHandler handler;
    EXPECT_FALSE(port.Open(Stereo(), Chunks(256)));
    EXPECT_FALSE(port.Play(&handler));
    EXPECT_EQ(port.GetState(), PORTSTATE_CLOSED);
    EXPECT_TRUE(port.Init() && port.Init());
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    EXPECT_FALSE(port.Play(&handler));
    EXPECT_EQ(port.GetLatency(), 0u);
    EXPECT_EQ(capture.Find(L"BUG PortState < PORTSTATE_OPEN").size(), 1u);
    EXPECT_TRUE(port.Open(Stereo(), PortConfig()));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_EQ(port.GetOutputLatency(), 6144u); // (4 - 1) * 2048
    EXPECT_EQ(port.GetInputLatency(), 0u);
    EXPECT_TRUE(port.Play(&handler) && port.Play(&handler));
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    EXPECT_TRUE(port.Stop() && port.Stop());
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_TRUE(port.Play(&handler));
    // Opening an open port closes it first.
    EXPECT_TRUE(port.Open(Stereo(96000), Chunks(64)));
    EXPECT_EQ(port.GetFormat().FramesPerSecond, 96000u);
    port.Close();
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    EXPECT_EQ(port.calls, (Calls{"init", "open", "play", "stop", "play", "stop", "close", "open", "close"}));
}

TEST(PortLifeCycle, AFailedStepLeavesTheStateAsItWas) {
    LogCapture capture;
    FakeIo port(capture);
    CountingHandler handler;
    port.initOk = false;
    EXPECT_FALSE(port.Init());
    EXPECT_EQ(port.GetState(), PORTSTATE_CLOSED);
    EXPECT_EQ(port.GetInitFailure(), L"unplugged");
    EXPECT_TRUE(capture.Has(
        brl::Logging::Warning,
        L"error initializing audio port: 'Fake (1.0) - Speaker (fake 7)' [FramesPerSecond: 48000\n"
        L"FramesPerChunk: 0 - 0\nChunks: 0 - 0\nInputChannels: 0\nInputChannelMasks:\n"
        L"OutputChannels: 0\nOutputChannelMasks:\n]"));
    port.initOk = true;
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

    // A port that did not stop keeps its handler and buffers: its thread may
    // still be rendering into them.
    port.stopOk = false;
    EXPECT_FALSE(port.Stop());
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    port.Render();
    EXPECT_EQ(handler.calls, 1);
    port.stopOk = true;

    // A close that fails fails the next open.
    port.closeOk = false;
    EXPECT_FALSE(port.Open(Stereo(44100), Chunks(128)));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_EQ(port.GetFormat().FramesPerSecond, 48000u);
    port.closeOk = true;
    port.Close();
}

TEST(PortLifeCycle, DestroyingAnOpenPortReportsAndClosesIt) {
    LogCapture capture;
    Calls calls;
    {
        FakeIo port(capture, &calls);
        ASSERT_TRUE(port.Init() && port.Open(Stereo(), Chunks(256)) && port.Play(nullptr));
    }
    EXPECT_EQ(calls, (Calls{"init", "open", "play", "stop", "close"}));
    EXPECT_EQ(capture.Find(L"BUG PortState >= PORTSTATE_OPEN").size(), 1u);
}

TEST(PortOpen, ValidatesChunksMasksAndRateBeforeAskingTheDevice) {
    const uint64_t stereo = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    struct Case {
        Format format;
        PortConfig config;
        bool opens;
    };
    const Case cases[] = {
        {Stereo(), Chunks(256), true},
        {Stereo(), Chunks(256, 0, 0), false},
        {Format{2, 0, 0, 0, 48000}, Chunks(256, 0, 2), true},
        {Format{0, 0, 2, stereo, 48000}, Chunks(256), true},
        {Format{0, 0, 3, stereo, 48000}, Chunks(256), false},
        {Format{0, 0, 2, SPEAKER_ALL | SPEAKER_FRONT_LEFT, 48000}, Chunks(256), true},
        {Format{1, stereo, 2, 0, 48000}, Chunks(256, 4, 1), false},
        {Format{2, stereo, 2, stereo, 48000}, Chunks(256, 4, 1), true},
        {Stereo(0), Chunks(256), false},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        FakeIo port(capture);
        ASSERT_TRUE(port.Init());
        EXPECT_EQ(port.Open(c.format, c.config), c.opens) << &c - cases;
        EXPECT_EQ(port.GetState(), c.opens ? PORTSTATE_OPEN : PORTSTATE_INIT) << &c - cases;
        EXPECT_EQ(port.calls.size(), c.opens ? 2u : 1u) << &c - cases;
        port.Close();
    }
}

TEST(ChunkRendering, GoesThroughTheHandlerOrPlaysSilenceAndCutsTheChunkThatReachesTheEnd) {
    LogCapture capture;
    FakeIo port(capture);
    CountingHandler handler;
    ASSERT_TRUE(port.Init() && port.Open(Stereo(44100, 1), Chunks(100, 4, 3)));
    EXPECT_EQ(port.GetInputLatency(), 100u); // one chunk, however many are queued
    std::fill(port.Output(1), port.Output(1) + 100, 0.5f);
    ASSERT_TRUE(port.Play(nullptr));
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_EQ(port.Output(1)[99], 0.0f);
    ASSERT_TRUE(port.Stop() && port.Play(&handler));
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_EQ(handler.calls, 2);
    EXPECT_EQ(handler.seen, Stereo(44100, 1));
    EXPECT_EQ(handler.seenFrames, 100u);
    EXPECT_EQ(port.Output(1)[0], 3.0f);
    // The port is a clock of the frames played since Play.
    EXPECT_EQ(port.Now(), 200u);
    EXPECT_EQ(port.Frequency(), 44100u);
    ASSERT_TRUE(port.Stop());
    EXPECT_EQ(port.Now(), 0u);

    // The chunk that reaches the end position is cut.
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

    // Open forgets the end; a device may choose its own chunk size.
    port.deviceChunk = 1024;
    ASSERT_TRUE(port.Open(Stereo(), Chunks(100)) && port.Play(&handler));
    EXPECT_FALSE(port.IsEnded());
    EXPECT_EQ(port.GetPortConfig().FramesPerChunk, 1024u);
    EXPECT_EQ(port.Render(), 1024u);
    EXPECT_EQ(handler.seenFrames, 1024u);
    EXPECT_EQ(port.Output(1)[1023], 5.0f);
}

TEST(PortUnderruns, AreCountedByClassAndReportedOnce) {
    LogCapture capture;
    FakeIo port(capture);
    ASSERT_TRUE(port.Init() && port.Open(Stereo(), Chunks(256, 4)) && port.Play(nullptr));
    for (uint32_t queued : {3u, 2u, 2u, 1u, 0u, 4u}) {
        port.Underrun(queued);
    }
    EXPECT_EQ(port.GetUnderruns(), 2u);
    EXPECT_EQ(port.GetUnderrunCounts().Soft, 2u);
    port.ReportUnderruns();
    EXPECT_TRUE(capture.Has(brl::Logging::Verbose, L"big jitter (soft underrun) (2x)"));
    EXPECT_TRUE(capture.Has(brl::Logging::Warning, L"hard underrun (1x)"));
    EXPECT_TRUE(capture.Has(brl::Logging::Error, L"underrun and seriously confused (1x)"));
    capture.Clear();
    port.Underrun(1);
    ASSERT_TRUE(port.Stop());
    ASSERT_EQ(capture.Records().size(), 1u);
    EXPECT_EQ(capture.Records()[0].message, L"hard underrun (1x)");
    ASSERT_TRUE(port.Play(nullptr));
    EXPECT_EQ(port.GetUnderruns(), 0u);
}

std::vector<String> ProviderNames(const IoMaster& master) {
    std::vector<String> names;
    for (const auto& provider : master.GetProviders()) {
        names.push_back(provider->GetName());
    }
    return names;
}

TEST(BackendSelection, AppendsDummyOnceSkipsEmptyNamesAndNamesUnknownAndUnavailableBackends) {
    struct Case {
        std::vector<String> options;
        std::vector<String> providers;
    };
    const Case cases[] = {
        {{L"--Audio-Backends", L""}, {L"Dummy"}},
        {{L"--Audio-Backends", L"dummy"}, {L"Dummy"}},
        {{L"--Audio-Backends", L"dummy,fd"}, {L"Dummy", L"File Descriptor"}},
        {{L"--Audio-Backends", L" fd , fd,"}, {L"File Descriptor", L"Dummy"}},
        {{L"--Synth-Audio-Backends", L"fd", L"--Audio-Backends", L"x"}, {L"File Descriptor", L"Dummy"}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        CommandLineSettings settings(c.options);
        IoMaster master(capture, settings.Frontend(),
                        c.options[0] == L"--Synth-Audio-Backends" ? L"Synth" : L"");
        EXPECT_EQ(ProviderNames(master), c.providers) << &c - cases;
        EXPECT_EQ(master.GetDevices().size(), c.providers.size());
        EXPECT_TRUE(capture.Find(L"unknown").empty() && capture.Find(L"backend").empty());
    }
    // Unknown and unavailable backends are named.
    LogCapture capture;
    CommandLineSettings settings(
        {L"--Audio-Backends",
         L"winmm,directsound,wasapi,asio,winamp,brelmsound,ao,artsc,openal,portaudio,sdl,oss,fd"});
    IoMaster master(capture, settings.Frontend());
    for (const wchar_t* name : {L"winmm", L"directsound", L"wasapi", L"asio", L"winamp", L"brelmsound", L"ao",
                                L"artsc", L"openal", L"portaudio", L"sdl"}) {
        EXPECT_TRUE(
            capture.Has(brl::Logging::Warning, String(L"backend '") + name + L"' not available, ignoring"))
            << brl::ToUtf8(name);
    }
    EXPECT_TRUE(capture.Has(brl::Logging::Warning, L"unknown backend 'oss', ignoring"));
    EXPECT_EQ(ProviderNames(master), (std::vector<String>{L"File Descriptor", L"Dummy"}));
}

TEST(DeviceListing, LogsEveryDeviceWithItsIndexAndFindsThemBySetting) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd"});
    IoMaster master(capture, settings.Frontend());
    std::vector<std::pair<int, String>> lines;
    for (const auto& record : capture.Records()) {
        if (record.function == "brl::Audio::IoMaster::LogDevices") {
            lines.emplace_back(record.level, record.message.substr(0, record.message.find(L'\n')));
        }
    }
    const std::vector<std::pair<int, String>> expected = {
        {6, L"audio devices:"},
        {6, L"  0: File Descriptor - Descriptors"},
        {8, L"  0: FramesPerSecond: 8000 - 192000"},
        {6, L"  1: Dummy - Discard"},
        {8, L"  1: FramesPerSecond: 8000 - 192000"},
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(master.FindDevice(L"", L""), 0);
    EXPECT_EQ(master.FindDevice(L"Dummy", L"0"), 1);
    EXPECT_EQ(master.FindDevice(L"Dummy", L"1"), -1);
}

} // namespace
