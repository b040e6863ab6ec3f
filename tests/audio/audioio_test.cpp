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

// A port whose platform is the test: every Internal step is recorded and can
// be told to fail, and the test renders chunks in place of an audio thread.
class FakeIo final : public Io {
public:
    explicit FakeIo(brl::Logging::Channel& log, std::vector<std::string>* journal = nullptr)
        : Io(log, {L"Fake", L"1.0", L"Speaker", L"fake 7", L"FAKE", L"7"}),
          calls(journal ? *journal : ownCalls) {}
    ~FakeIo() override { CloseBeforeDestruction(); }

    uint32_t Render() { return RenderChunk(); }
    void Underrun(uint32_t queued) { NoteUnderrun(queued); }
    float* const* Outputs() { return OutputBuffers(); }
    float* const* Inputs() { return InputBuffers(); }

    bool initOk = true;
    bool openOk = true;
    bool playOk = true;
    bool stopOk = true;
    bool closeOk = true;
    uint32_t deviceChunk = 0; // a device that insists on its own chunk size
    std::vector<std::string> ownCalls;
    std::vector<std::string>& calls;

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
    bool InternalPlay() override {
        calls.push_back("play");
        return playOk;
    }
    bool InternalStop() override {
        calls.push_back("stop");
        return stopOk;
    }
    bool InternalClose() override {
        calls.push_back("close");
        return closeOk;
    }
};

Format Stereo(uint32_t rate = 48000) {
    Format format;
    format.OutputChannels = 2;
    format.FramesPerSecond = rate;
    return format;
}

PortConfig Chunks(uint32_t frames, uint32_t output = 4, uint32_t input = 0) {
    PortConfig config;
    config.FramesPerChunk = frames;
    config.OutputChunks = output;
    config.InputChunks = input;
    return config;
}

// Fills every output channel with the channel's number plus the call count
// and remembers what it was given.
struct RecordingHandler : IStreamHandler {
    void Process(const Format& format, const float* const* inputs, float* const* outputs,
                 uint32_t frames) noexcept override {
        ++calls;
        seenFormat = format;
        seenFrames = frames;
        firstInput = format.InputChannels > 0 ? inputs[0][0] : 0.0f;
        for (uint32_t c = 0; c < format.OutputChannels; ++c) {
            for (uint32_t i = 0; i < frames; ++i) {
                outputs[c][i] = static_cast<float>(c + calls);
            }
        }
    }
    int calls = 0;
    Format seenFormat;
    uint32_t seenFrames = 0;
    float firstInput = 0.0f;
};

TEST(PortLifeCycle, MovesThroughItsStatesAndSkipsStepsAlreadyTaken) {
    LogCapture capture;
    FakeIo port(capture);
    RecordingHandler handler;
    EXPECT_EQ(port.GetState(), PORTSTATE_CLOSED);
    EXPECT_TRUE(port.Init());
    EXPECT_TRUE(port.Init());
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    EXPECT_TRUE(port.Open(Stereo(), Chunks(256)));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_TRUE(port.Play(&handler));
    EXPECT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    EXPECT_TRUE(port.Stop());
    EXPECT_TRUE(port.Stop());
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_TRUE(port.Play(&handler));
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    port.Close();
    EXPECT_EQ(port.calls,
              (std::vector<std::string>{"init", "open", "play", "stop", "play", "stop", "close"}));
    EXPECT_TRUE(capture.Find(L"BUG").empty());
}

TEST(PortLifeCycle, RefusesOperationsBeforeTheirState) {
    LogCapture capture;
    FakeIo port(capture);
    EXPECT_FALSE(port.Open(Stereo(), Chunks(256)));
    EXPECT_FALSE(port.Play(nullptr));
    EXPECT_EQ(port.GetState(), PORTSTATE_CLOSED);
    ASSERT_TRUE(port.Init());
    EXPECT_FALSE(port.Play(nullptr));
    EXPECT_EQ(port.GetLatency(), 0u);
    EXPECT_EQ(port.GetOutputLatency(), 0u);
    EXPECT_EQ(port.GetInputLatency(), 0u);
    const auto bugs = capture.Find(L"BUG PortState < PORTSTATE_OPEN");
    ASSERT_GE(bugs.size(), 3u);
    EXPECT_EQ(bugs[0].level, brl::Logging::Critical);
    EXPECT_EQ(port.calls, std::vector<std::string>{"init"});
}

TEST(PortLifeCycle, AFailedStepLeavesTheStateAsItWas) {
    LogCapture capture;
    FakeIo port(capture);
    RecordingHandler handler;

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
    EXPECT_EQ(port.GetInitFailure(), L"");

    port.openOk = false;
    EXPECT_FALSE(port.Open(Stereo(), Chunks(256)));
    EXPECT_EQ(port.GetState(), PORTSTATE_INIT);
    EXPECT_EQ(port.GetFormat(), Format());
    port.openOk = true;
    ASSERT_TRUE(port.Open(Stereo(), Chunks(256)));

    port.playOk = false;
    EXPECT_FALSE(port.Play(&handler));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_EQ(port.Render(), 256u); // the handler was not kept
    EXPECT_EQ(handler.calls, 0);
    port.playOk = true;
    ASSERT_TRUE(port.Play(&handler));

    // A port that did not stop keeps its handler and buffers: its thread may
    // still be rendering.
    port.stopOk = false;
    EXPECT_FALSE(port.Stop());
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_PLAYING);
    port.Render();
    EXPECT_EQ(handler.calls, 1);
    port.stopOk = true;
    ASSERT_TRUE(port.Stop());

    port.closeOk = false;
    port.Close();
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_FALSE(port.Open(Stereo(44100), Chunks(128)));
    EXPECT_EQ(port.GetFormat().FramesPerSecond, 48000u);
    EXPECT_FALSE(capture.Find(L"error closing audio port").empty());
    port.closeOk = true;
}

TEST(PortLifeCycle, OpeningAnOpenPortClosesItFirst) {
    LogCapture capture;
    FakeIo port(capture);
    RecordingHandler handler;
    ASSERT_TRUE(port.Init());
    ASSERT_TRUE(port.Open(Stereo(), Chunks(256)));
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_TRUE(port.Open(Stereo(96000), Chunks(64)));
    EXPECT_EQ(port.GetState(), PORTSTATE_OPEN);
    EXPECT_EQ(port.GetFormat().FramesPerSecond, 96000u);
    EXPECT_EQ(port.calls, (std::vector<std::string>{"init", "open", "play", "stop", "close", "open"}));
    EXPECT_EQ(port.Render(), 64u);
}

TEST(PortOpen, ValidatesChunksMasksAndRate) {
    struct Case {
        const char* what;
        Format format;
        PortConfig config;
        bool opens;
    };
    const uint64_t stereo = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    auto format = [](uint32_t in, uint64_t inMask, uint32_t out, uint64_t outMask, uint32_t rate) {
        return Format{in, inMask, out, outMask, rate};
    };
    const Case cases[] = {
        {"plain stereo", format(0, 0, 2, 0, 48000), Chunks(256), true},
        {"no chunks at all", format(0, 0, 2, 0, 48000), Chunks(256, 0, 0), false},
        {"input chunks only", format(2, 0, 0, 0, 48000), Chunks(256, 0, 2), true},
        {"two speakers, two channels", format(0, 0, 2, stereo, 48000), Chunks(256), true},
        {"two speakers, three channels", format(0, 0, 3, stereo, 48000), Chunks(256), false},
        {"any speaker and one named, two channels", format(0, 0, 2, SPEAKER_ALL | SPEAKER_FRONT_LEFT, 48000),
         Chunks(256), true},
        {"input mask too wide", format(1, stereo, 2, 0, 48000), Chunks(256, 4, 1), false},
        {"input mask fits", format(2, stereo, 2, stereo, 48000), Chunks(256, 4, 1), true},
        {"no rate", format(0, 0, 2, 0, 0), Chunks(256), false},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        FakeIo port(capture);
        ASSERT_TRUE(port.Init());
        EXPECT_EQ(port.Open(c.format, c.config), c.opens) << c.what;
        EXPECT_EQ(port.GetState(), c.opens ? PORTSTATE_OPEN : PORTSTATE_INIT) << c.what;
        // Validation happens before the device is asked.
        EXPECT_EQ(port.calls.size(), c.opens ? 2u : 1u) << c.what;
        port.Close();
    }
}

TEST(PortLatency, FollowsTheChunkConfiguration) {
    struct Case {
        PortConfig config;
        uint64_t output;
        uint64_t input;
    };
    const Case cases[] = {
        {PortConfig(), 6144, 0},     {Chunks(2048, 4, 3), 6144, 2048}, {Chunks(2048, 4, 1), 6144, 2048},
        {Chunks(128, 2, 0), 128, 0}, {Chunks(128, 1, 0), 0, 0},        {Chunks(512, 0, 2), 0, 512},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        FakeIo port(capture);
        ASSERT_TRUE(port.Init());
        Format format = Stereo();
        format.InputChannels = 2;
        ASSERT_TRUE(port.Open(format, c.config));
        EXPECT_EQ(port.GetOutputLatency(), c.output);
        EXPECT_EQ(port.GetInputLatency(), c.input);
        EXPECT_EQ(port.GetLatency(), c.output + c.input);
        port.Close();
    }
}

TEST(ChunkRendering, CallsTheHandlerWithTheFormatAndFrames) {
    LogCapture capture;
    FakeIo port(capture);
    RecordingHandler handler;
    ASSERT_TRUE(port.Init());
    Format format = Stereo(44100);
    format.InputChannels = 1;
    ASSERT_TRUE(port.Open(format, Chunks(100, 4, 2)));
    port.Inputs()[0][0] = 0.25f;
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_EQ(handler.calls, 2);
    EXPECT_EQ(handler.seenFormat, format);
    EXPECT_EQ(handler.seenFrames, 100u);
    EXPECT_EQ(handler.firstInput, 0.25f);
    EXPECT_EQ(port.Outputs()[0][99], 2.0f);
    EXPECT_EQ(port.Outputs()[1][0], 3.0f);

    // The port is a clock of frames while it plays.
    EXPECT_EQ(port.GetPosition(), 200u);
    EXPECT_EQ(port.Now(), 200u);
    EXPECT_EQ(port.Frequency(), 44100u);
    EXPECT_EQ(port.Resolution(), 1u);
    EXPECT_EQ(port.Name(), L"");
    ASSERT_TRUE(port.Stop());
    EXPECT_EQ(port.Now(), 0u);
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.GetPosition(), 0u);
}

TEST(ChunkRendering, PlaysSilenceWithoutAHandler) {
    LogCapture capture;
    FakeIo port(capture);
    ASSERT_TRUE(port.Init());
    ASSERT_TRUE(port.Open(Stereo(), Chunks(64)));
    for (int c = 0; c < 2; ++c) {
        std::fill(port.Outputs()[c], port.Outputs()[c] + 64, 0.5f);
    }
    ASSERT_TRUE(port.Play(nullptr));
    EXPECT_EQ(port.Render(), 64u);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(port.Outputs()[c][i], 0.0f);
        }
    }
    EXPECT_EQ(port.GetPosition(), 64u);
}

TEST(ChunkRendering, CutsTheChunkThatReachesTheEndPosition) {
    LogCapture capture;
    FakeIo port(capture);
    RecordingHandler handler;
    ASSERT_TRUE(port.Init());
    ASSERT_TRUE(port.Open(Stereo(), Chunks(100)));
    port.SetEndPosition(250);
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_EQ(port.Render(), 100u);
    EXPECT_FALSE(port.IsEnded());
    EXPECT_EQ(port.Render(), 50u);
    EXPECT_TRUE(port.IsEnded());
    EXPECT_EQ(port.Outputs()[0][49], 3.0f);
    EXPECT_EQ(port.Outputs()[0][50], 0.0f);
    EXPECT_EQ(port.Outputs()[1][99], 0.0f);
    EXPECT_EQ(port.Render(), 0u);
    EXPECT_EQ(handler.calls, 3);
    EXPECT_EQ(port.GetPosition(), 250u);

    // Open forgets the end.
    ASSERT_TRUE(port.Open(Stereo(), Chunks(100)));
    EXPECT_FALSE(port.IsEnded());
    ASSERT_TRUE(port.Play(&handler));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(port.Render(), 100u);
    }
}

TEST(ChunkRendering, ADeviceMayChooseTheChunkSize) {
    LogCapture capture;
    FakeIo port(capture);
    RecordingHandler handler;
    port.deviceChunk = 1024;
    ASSERT_TRUE(port.Init());
    ASSERT_TRUE(port.Open(Stereo(), Chunks(960)));
    EXPECT_EQ(port.GetPortConfig().FramesPerChunk, 1024u);
    ASSERT_TRUE(port.Play(&handler));
    EXPECT_EQ(port.Render(), 1024u);
    EXPECT_EQ(handler.seenFrames, 1024u);
    EXPECT_EQ(port.Outputs()[1][1023], 2.0f);
}

TEST(PortUnderruns, AreCountedByClassAndReportedOnce) {
    LogCapture capture;
    FakeIo port(capture);
    ASSERT_TRUE(port.Init());
    ASSERT_TRUE(port.Open(Stereo(), Chunks(256, 4)));
    ASSERT_TRUE(port.Play(nullptr));
    for (uint32_t queued : {3u, 2u, 2u, 1u, 0u, 4u}) {
        port.Underrun(queued);
    }
    const UnderrunCounts counts = port.GetUnderrunCounts();
    EXPECT_EQ(counts.Soft, 2u);
    EXPECT_EQ(counts.Hard, 1u);
    EXPECT_EQ(counts.Confused, 1u);
    EXPECT_EQ(port.GetUnderruns(), 2u);

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
    EXPECT_EQ(port.GetUnderrunCounts().Soft, 0u);
}

TEST(PortLifeCycle, DestroyingAnOpenPortReportsAndClosesIt) {
    LogCapture capture;
    std::vector<std::string> calls;
    {
        FakeIo port(capture, &calls);
        ASSERT_TRUE(port.Init());
        ASSERT_TRUE(port.Open(Stereo(), Chunks(256)));
        ASSERT_TRUE(port.Play(nullptr));
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"init", "open", "play", "stop", "close"}));
    EXPECT_EQ(capture.Find(L"BUG PortState >= PORTSTATE_OPEN").size(), 1u);
}

TEST(PortDescription, JoinsTheNonEmptyParts) {
    LogCapture capture;
    FakeIo port(capture);
    EXPECT_EQ(port.GetDescription(), L"Fake (1.0) - Speaker (fake 7)");
    EXPECT_EQ(port.GetApi(), L"FAKE");
    EXPECT_EQ(port.GetDeviceId(), L"7");
}

std::vector<String> ProviderNames(const IoMaster& master) {
    std::vector<String> names;
    for (const auto& provider : master.GetProviders()) {
        names.push_back(provider->GetName());
    }
    return names;
}

TEST(BackendSelection, AppendsDummyOnceAndSkipsEmptyNames) {
    struct Case {
        String setting;
        std::vector<String> providers;
    };
    const Case cases[] = {
        {L"", {L"Dummy"}},
        {L"dummy", {L"Dummy"}},
        {L"fd,dummy", {L"File Descriptor", L"Dummy"}},
        {L"dummy,fd", {L"Dummy", L"File Descriptor"}},
        {L" fd , fd,", {L"File Descriptor", L"Dummy"}},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        CommandLineSettings settings({L"--Audio-Backends", c.setting});
        IoMaster master(capture, settings.Frontend());
        EXPECT_EQ(ProviderNames(master), c.providers) << brl::ToUtf8(c.setting);
        EXPECT_EQ(master.GetDevices().size(), c.providers.size());
        EXPECT_TRUE(capture.Find(L"unknown").empty());
        EXPECT_TRUE(capture.Find(L"backend").empty());
    }
}

TEST(BackendSelection, NamesUnknownAndUnavailableBackends) {
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
        EXPECT_FALSE(IoMaster::IsAvailable(name));
    }
    EXPECT_TRUE(capture.Has(brl::Logging::Warning, L"unknown backend 'oss', ignoring"));
    EXPECT_EQ(ProviderNames(master), (std::vector<String>{L"File Descriptor", L"Dummy"}));
}

TEST(BackendSelection, ReadsTheListBelowTheHostPrefix) {
    LogCapture capture;
    CommandLineSettings settings({L"--Synth-Audio-Backends", L"fd", L"--Audio-Backends", L"nothing"});
    IoMaster master(capture, settings.Frontend(), L"Synth");
    EXPECT_EQ(ProviderNames(master), (std::vector<String>{L"File Descriptor", L"Dummy"}));
    EXPECT_TRUE(capture.Find(L"unknown").empty());
}

TEST(BackendSelection, DefaultsToRtaudio) {
    EXPECT_EQ(IoMaster::DefaultBackends(), std::vector<String>{L"rtaudio"});
    EXPECT_EQ(IoMaster::KnownBackends().size(), 17u);
}

TEST(DeviceListing, LogsEveryDeviceWithItsIndexAndCaps) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd"});
    IoMaster master(capture, settings.Frontend());
    std::vector<std::pair<int, String>> lines;
    bool listing = false;
    for (const auto& record : capture.Records()) {
        listing = listing || record.message == L"audio devices:";
        if (listing) {
            lines.emplace_back(record.level, record.message);
        }
    }
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], std::make_pair(6, String(L"audio devices:")));
    EXPECT_EQ(lines[1], std::make_pair(6, String(L"  0: File Descriptor - Descriptors")));
    EXPECT_EQ(lines[2].first, brl::Logging::Debug);
    EXPECT_EQ(lines[2].second.rfind(L"  0: FramesPerSecond: 8000 - 192000\n", 0), 0u);
    EXPECT_EQ(lines[3], std::make_pair(6, String(L"  1: Dummy - Discard")));
    EXPECT_EQ(capture.Records().back().function, "brl::Audio::IoMaster::LogDevices");
}

TEST(DeviceListing, FindsDevicesByApiAndIdentifier) {
    LogCapture capture;
    CommandLineSettings settings({L"--Audio-Backends", L"fd"});
    IoMaster master(capture, settings.Frontend());
    EXPECT_EQ(master.FindDevice(L"", L""), 0);
    EXPECT_EQ(master.FindDevice(L"File Descriptor", L"0"), 0);
    EXPECT_EQ(master.FindDevice(L"Dummy", L"0"), 1);
    EXPECT_EQ(master.FindDevice(L"Dummy", L"1"), -1);
    EXPECT_EQ(master.FindDevice(L"UNIX_JACK", L"0"), -1);
    EXPECT_EQ(master.GetDefault(), master.GetDevice(0));
    EXPECT_EQ(master.GetDevice(2), nullptr);
}

} // namespace
