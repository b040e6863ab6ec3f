#include "apps_test_support.h"

#include <signal.h>

// korvax-tool play and devices as a user runs them.
namespace {

using namespace korvax_apps;

class DeviceCommands : public ScratchTest {
protected:
    // Plays into descriptor 3, which goes to `raw`.
    Outcome PlayIntoFile(const std::string& patch, const std::string& raw,
                         std::vector<std::string> extra = {}) const {
        extra.insert(extra.begin(), {"play", patch, "--Audio-Backends", "fd", "--Midi-Backends", "dummy",
                                     "--Audio-Io-Fd-BytesPerSample", "4", "--Audio-Io-Fd-OutFd", "3"});
        return Tool(extra, "3>" + Quote(raw));
    }
};

TEST_F(DeviceCommands, PlayIntoADescriptorIsTheRendersWaveDataUntilTheEndOrTheSecondsAskedFor) {
    const std::string demo = Demo();
    const Outcome rendered = Tool({"render", demo});
    ASSERT_EQ(rendered.exitCode, 0) << rendered.output;
    const auto wave = ReadBytes(demo + ".wav");
    ASSERT_TRUE(wave);
    const Outcome played = PlayIntoFile(demo, dir.File("play.raw"));
    EXPECT_EQ(played.exitCode, 0) << played.output;
    EXPECT_EQ(played.standardOutput, "") << "messages go to standard error only";
    EXPECT_NE(played.standardError.find("finished after 5376512 frames"), std::string::npos) << played.output;
    const auto raw = ReadBytes(dir.File("play.raw"));
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->size() + 44, wave->size());
    EXPECT_TRUE(std::equal(raw->begin(), raw->end(), wave->begin() + 44));
    const struct {
        std::string patch;
        std::string seconds;
        size_t frames;
    } cases[] = {{SonglessPatch(), "0.5", 48000}, {demo, "0.25", 24000}, {demo, "1e-9", 0}};
    for (const auto& c : cases) {
        const Outcome timed = PlayIntoFile(c.patch, dir.File("play.raw"), {"--seconds", c.seconds});
        EXPECT_EQ(timed.exitCode, 0) << timed.output;
        const auto part = ReadBytes(dir.File("play.raw"));
        ASSERT_TRUE(part);
        EXPECT_EQ(part->size(), c.frames * 8) << c.patch << " " << c.seconds;
        if (c.patch == demo) {
            EXPECT_TRUE(std::equal(part->begin(), part->end(), wave->begin() + 44));
        }
    }
}

TEST_F(DeviceCommands, CtrlCStopsPlayingWithDevicesClosedAndExitZero) {
    const std::string log = dir.File("play.log");
    brl::testing::ChildProcess play;
    ASSERT_TRUE(StartProgram(
        play, dir.Path(), KORVAX_TOOL,
        {"play", SonglessPatch(), "--Audio-Backends", "dummy", "--Midi-Backends", "dummy"}, log));
    ASSERT_TRUE(WaitForText(log, "Ctrl-C stops")) << ReadText(log);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(play.Pid(), SIGINT), 0);
    EXPECT_EQ(play.Wait(), 0) << ReadText(log);
    const std::string text = ReadText(log);
    EXPECT_NE(text.find("Closing midi input device 'dummy device' (0)"), std::string::npos) << text;
    EXPECT_NE(text.find("stopped after "), std::string::npos) << text;
}

TEST_F(DeviceCommands, PlayWithoutASoundDeviceOrPatchExitsNonZeroAndSaysWhy) {
    const std::string patch = SonglessPatch();
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        // The descriptor backend without a descriptor does not open.
        {{"play", patch, "--Audio-Backends", "fd", "--Midi-Backends", "dummy"},
         1,
         {"no descriptor to read or write", "Failed opening device 0", "cannot play: audio device 0"}},
        {{"play", patch, "--Audio-Device-API", "nothing", "--Midi-Backends", "dummy"},
         1,
         {"there is no audio device with API 'nothing'"}},
        {{"play", dir.File("missing.korvax"), "--Audio-Backends", "dummy"}, 2, {"cannot load"}},
        {{"play", patch, "--seconds", "-1"}, 64, {"--seconds wants a positive number"}},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Tool(c.arguments);
        EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.output;
        for (const std::string& message : c.messages) {
            EXPECT_NE(outcome.output.find(message), std::string::npos) << message << "\n" << outcome.output;
        }
    }
}

TEST_F(DeviceCommands, DevicesListsAudioDevicesWithCapsAndTheMidiPortsOnStandardOutput) {
    const Outcome listed = Tool({"devices", "--Audio-Backends", "fd", "--Midi-Backends", "dummy,keyboard"});
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    EXPECT_EQ(listed.standardError, "");
    for (const char* line : {"  0: File Descriptor - Descriptors\n     API 'File Descriptor' ID '0'\n",
                             "     FramesPerSecond: 8000 - 192000\n", "  1: Dummy - Discard\n",
                             "midi input devices:\ndummy device (in)\nDirectInput - Midi Keyboard (in)\n",
                             "midi output devices:\ndummy device (out)\n"}) {
        EXPECT_NE(listed.standardOutput.find(line), std::string::npos) << line << "\n" << listed.output;
    }
}

} // namespace
