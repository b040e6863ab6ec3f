#include "apps_test_support.h"
#include "korvax/korvaxfileio.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>

// The command lines of korvax-tool and of the renderer "korvax": exit codes,
// messages, and what they leave on disk when they fail.
namespace {

using namespace korvax_apps;

const std::string kDemoPatch = std::string(KORVAX_DEMO_DIR) + "/demo.korvax";

class CommandLine : public ScratchTest {
protected:
    bool Exists(const std::string& name) const { return std::filesystem::exists(dir.File(name)); }
    // The scratch directory's entries but the settings folder.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.path().filename() != ".config") {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // Channel 5's voice is a loop of two adds, closed past the editor as a hand-edited file could be.
    std::string CyclicPatch() const {
        brl::Logging::NullChannel log;
        auto editor = std::make_unique<brl::Korvax::SynthesizerEditor>(&log);
        brl::vergl::CVergl& graph = editor->Patches().Voice(5);
        brl::vergl::CNode* first = editor->CreateNode(graph, 8, 5);
        brl::vergl::CNode* second = editor->CreateNode(graph, 8, 5);
        EXPECT_TRUE(editor->CreateConnection(graph, first->Outputs().At(0), second->Inputs().At(0)));
        EXPECT_FALSE(editor->CreateConnection(graph, second->Outputs().At(0), first->Inputs().At(0)));
        EXPECT_NE(graph.Link(second->Outputs().At(0), first->Inputs().At(0)), nullptr);
        const std::string path = dir.File("cyclic.korvax");
        EXPECT_TRUE(brl::Korvax::SynthFileIo(*editor).SavePatchesToFile(path, L"test", false));
        return path;
    }
};

TEST_F(CommandLine, APatchWithACycleFailsToCompileRendersNoWaveAndKeepsTheExportedHeaders) {
    const std::string patch = Demo("song.korvax");
    ASSERT_EQ(Tool({"export", patch}).exitCode, 0);
    const auto headers = [&patch] {
        return std::vector{ReadBytes(patch + ".ops.h"), ReadBytes(patch + ".params.h"),
                           ReadBytes(patch + ".values.h")};
    };
    const auto exportedHeaders = headers();
    ASSERT_TRUE(CopyFile(CyclicPatch(), patch));
    const Outcome compiled = Tool({"compile", patch});
    EXPECT_EQ(compiled.exitCode, 1) << compiled.output;
    EXPECT_NE(compiled.output.find("Graph error in channel 5 'voice'."), std::string::npos)
        << compiled.output;
    EXPECT_NE(Renderer({"--render", patch}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(patch + ".wav"));
    EXPECT_NE(Tool({"render", patch}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(patch + ".wav"));
    const Outcome exported = Tool({"export", patch});
    EXPECT_EQ(exported.exitCode, 1) << exported.output;
    EXPECT_NE(exported.standardError.find("Graph error in channel 5 'voice'."), std::string::npos);
    EXPECT_EQ(headers(), exportedHeaders);
}

TEST_F(CommandLine, CommandsOnAMissingOrUnreadablePatchFailAndWriteNothing) {
    ASSERT_TRUE(WriteBytes(dir.File("text.korvax"), {'n', 'o', ' ', 'x', 'm', 'l'}));
    for (const char* patch : {"missing.korvax", "text.korvax"}) {
        for (const char* command : {"compile", "export"}) {
            const Outcome outcome = Tool({command, dir.File(patch)});
            EXPECT_EQ(outcome.exitCode, 2) << command << " " << patch << ": " << outcome.output;
            EXPECT_NE(outcome.output.find("cannot load"), std::string::npos) << outcome.output;
        }
        EXPECT_EQ(Tool({"save", dir.File(patch), dir.File("out.korvax")}).exitCode, 2);
        EXPECT_FALSE(Exists("out.korvax"));
        EXPECT_FALSE(Exists(std::string(patch) + ".values.h"));
        EXPECT_NE(Renderer({"--render", dir.File(patch)}).exitCode, 0);
        EXPECT_FALSE(Exists(std::string(patch) + ".wav"));
        EXPECT_FALSE(Exists(std::string(patch) + ".wav.tmp"));
    }
}

TEST_F(CommandLine, WrongArgumentsAreUsageErrorsAndTheRendererNeedsRender) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"transmogrify", kDemoPatch},
                                               {"compile"},
                                               {"save", kDemoPatch},
                                               {"compile", kDemoPatch, "--timeline"}}) {
        EXPECT_EQ(Tool(arguments).exitCode, 64) << arguments.size();
    }
#if !KORVAX_EDITOR
    // With the editor, the program without --render opens it (editor_program_test.cpp).
    const Outcome renderer = Renderer({});
    EXPECT_EQ(renderer.exitCode, 2);
    EXPECT_NE(renderer.output.find("no editor"), std::string::npos) << renderer.output;
#endif
}

TEST_F(CommandLine, SettingsFilesThatAreNoRegularFilesReadAsEmptyWithoutHangingOrAborting) {
    const std::string patch = Demo();
    std::filesystem::create_directory(dir.File("korvax.ini"));
    std::filesystem::create_directories(dir.File(".config/Brelm/korvax"));
    ASSERT_EQ(::mkfifo(dir.File(".config/Brelm/korvax/config.ini").c_str(), 0600), 0);
    const Outcome compiled = Tool({"compile", patch});
    EXPECT_EQ(compiled.exitCode, 0) << compiled.output;
    EXPECT_NE(compiled.standardError.find("korvax.ini' is a directory, reading it as empty"),
              std::string::npos)
        << compiled.output;
    EXPECT_NE(compiled.standardError.find("config.ini' is not a regular file, reading it as empty"),
              std::string::npos)
        << compiled.output;
    EXPECT_TRUE(std::filesystem::is_fifo(dir.File(".config/Brelm/korvax/config.ini")));
}

TEST_F(CommandLine, FileNamesReachTheFileSystemAsTheirBytes) {
    const std::string patch = Demo();
    // Not UTF-8; an overlong form of "../"; both must be used as they are.
    for (const std::string name : {"bad\xff.korvax", "\xc0\xae\xc0\xae\xc0\xafup.korvax"}) {
        const Outcome saved = Tool({"save", patch, dir.File(name)});
        ASSERT_EQ(saved.exitCode, 0) << saved.output;
        EXPECT_TRUE(Exists(name));
        EXPECT_EQ(Tool({"compile", dir.File(name)}).exitCode, 0);
    }
    EXPECT_FALSE(Exists("bad\xef\xbf\xbd.korvax"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/../up.korvax"));
    const Outcome rendered = Renderer({"--render", dir.File("bad\xff.korvax"), "--Log-Level", "5"});
    ASSERT_EQ(rendered.exitCode, 0) << rendered.output;
    EXPECT_EQ(Entries(), (std::vector<std::string>{"bad\xff.korvax", "bad\xff.korvax.wav", "demo.korvax",
                                                   "korvax.log", "\xc0\xae\xc0\xae\xc0\xafup.korvax"}));
    // A wave file name that is the patch itself (through a link) is refused.
    std::filesystem::create_symlink(patch, patch + ".wav");
    const Outcome refused = Tool({"render", patch});
    EXPECT_EQ(refused.exitCode, 1) << refused.output;
    EXPECT_NE(refused.standardError.find("is the patch itself"), std::string::npos) << refused.output;
    EXPECT_EQ(ReadBytes(patch), ReadBytes(kDemoPatch));
}

TEST_F(CommandLine, AnImportOfABrokenOrMissingFileOrThatCannotWriteAHeaderChangesNothing) {
    const std::string patch = Demo();
    const auto before = ReadBytes(patch);
    ASSERT_TRUE(WriteBytes(dir.File("cut.mid"), {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1}));
    const std::string midi = dir.File("song.mid");
    ASSERT_TRUE(CopyFile(std::string(KORVAX_TEST_DATA_DIR) + "/midi/duet.mid", midi));
    std::filesystem::create_directory(midi + ".datastreams.h");
    for (const std::string& input : {dir.File("cut.mid"), dir.File("missing.mid"), midi}) {
        const Outcome imported = Tool({"import-midi", input, patch, "--timeline"});
        EXPECT_EQ(imported.exitCode, 1) << imported.output;
        EXPECT_NE(imported.standardError.find("nothing written"), std::string::npos) << imported.output;
        EXPECT_EQ(ReadBytes(patch), before);
    }
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"cut.mid", "demo.korvax", "song.mid", "song.mid.datastreams.h"}));
    std::filesystem::remove(midi + ".datastreams.h");
    const Outcome retried = Tool({"import-midi", midi, patch, "--timeline"});
    ASSERT_EQ(retried.exitCode, 0) << retried.output;
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"cut.mid", "demo.korvax", "song.mid", "song.mid.datastreams.h",
                                        "song.mid.timestreams.h", "song.mid_small.xml"}));
    EXPECT_EQ(SongTicks(ReadText(patch)), 5652u); // 5787 MIDI ticks of 625000 / 480 us
}

TEST_F(CommandLine, TwoRendersOfOnePatchAtOnceBothWriteAWholeFile) {
    const std::string patch = SonglessPatch();
    const std::string renderer = Quote(KORVAX_RENDERER);
    const std::string both = renderer + " --render " + Quote(patch) + " --Log-Level 4 & first=$!; " +
                             renderer + " --render " + Quote(patch) +
                             " --Log-Level 4; second=$?; wait $first; exit $(($? * 16 + $second))";
    const Outcome outcome = RunProgram(dir.Path(), "/bin/sh", {"-c", both});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.output;
    const auto wave = ReadBytes(patch + ".wav");
    ASSERT_TRUE(wave);
    EXPECT_EQ(wave->size(), WaveSize(kTailTicks));
    // No temporary file is left.
    for (const std::string& name : Entries()) {
        EXPECT_NE(name[0], '.') << name;
    }
}

TEST_F(CommandLine, RendererAndPlayerAnswerHelpAndVersionWithoutWritingFiles) {
    const Outcome help = Renderer({"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.output;
    EXPECT_EQ(help.standardOutput.rfind(
                  KORVAX_EDITOR ? "usage: korvax [PATCH]" : "usage: korvax --render PATCH", 0),
              0u)
        << help.output;
    const Outcome version = Renderer({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.standardOutput, "korvax core v19\n");
    const Outcome playerHelp = RunProgram(dir.Path(), KORVAX_PLAYER, {"--help"});
    EXPECT_EQ(playerHelp.exitCode, 0) << playerHelp.output;
    EXPECT_EQ(playerHelp.standardOutput.rfind("usage: korvax-player [OUTPUT.wav]", 0), 0u);
    EXPECT_NE(RunProgram(dir.Path(), KORVAX_PLAYER, {"--bogus"}).exitCode, 0);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(CommandLine, ToolTakesSettingsFromItsFileAndBeforeTheCommandLeavesTheFileAndLogsToStandardError) {
    const std::string patch = Demo();
    // A value that is no number reads as 0 (nothing logged) and is named once.
    const Outcome unparsed = Tool({"compile", patch, "--Log-Level", "abc"});
    EXPECT_EQ(unparsed.exitCode, 0);
    EXPECT_EQ(unparsed.standardError,
              "setting is not a number: commandline:--Log-Level = 'abc', read as 0\n");
    const std::string settings = "# my settings\n[Log]\nLevel=5\nnot an entry\nName = caf\xe9\n;kept\n";
    ASSERT_TRUE(WriteBytes(dir.File("korvax.ini"), std::vector<uint8_t>(settings.begin(), settings.end())));
    const Outcome compiled = Tool({"--Log-Level", "6", "compile", patch});
    EXPECT_EQ(compiled.exitCode, 0) << compiled.output;
    EXPECT_TRUE(compiled.standardOutput.empty()) << compiled.standardOutput;
    EXPECT_NE(compiled.standardError.find("compile ok. ("), std::string::npos) << compiled.output;
    const Outcome quiet = Tool({"compile", patch});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.standardError.find("compile ok. ("), std::string::npos) << quiet.output;
    // A read-only command leaves the settings file as it was.
    EXPECT_EQ(ReadText(dir.File("korvax.ini")), settings);
    EXPECT_FALSE(Exists(".config/Brelm/korvax/config.ini"));
}

} // namespace
