// korvax-tool: the headless commands that build scripts use to turn patches and
// MIDI files into wave files and the C headers an intro player includes.
#include "../common/korvaxidentity.h"
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "korvax/korvaxheaders.h"
#include "korvax/korvaxmidifile.h"
#include "korvax/korvaxrender.h"
#include "libbrelm/app.h"
#include "libbrelm/config.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace brl::Korvax {
namespace {

// Exit codes.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // the command ran and failed (graph error, bad MIDI, write error)
constexpr int kNoInput = 2; // a patch that cannot be loaded
constexpr int kUsage = 64;  // wrong arguments

struct Command {
    const char* name;
    const char* usage;
    const char* help;
};

const Command kCommands[] = {
    {"render", "render PATCH", "Renders PATCH with its song to PATCH.wav (32-bit float stereo, 96000 Hz)."},
    {"compile", "compile PATCH",
     "Loads and compiles PATCH and prints the compile messages. Exit 0 on success, 1 on a graph error,\n"
     "2 when the file cannot be loaded."},
    {"export", "export PATCH", "Writes PATCH.values.h, PATCH.ops.h and PATCH.params.h for an intro player."},
    {"import-midi", "import-midi MIDI PATCH [--timeline]",
     "Converts the Standard MIDI File MIDI into the song of PATCH (saved as the current version) and writes\n"
     "MIDI.timestreams.h and MIDI.datastreams.h next to MIDI; with --timeline also MIDI_small.xml.\n"
     "When the conversion fails nothing is written."},
    {"save", "save IN OUT", "Loads IN and saves it as OUT in the current file version."},
};

void PrintHelp(std::FILE* out) {
    std::fprintf(
        out,
        "usage: korvax-tool COMMAND ARGUMENTS   (korvax-tool COMMAND --help for details)\n\ncommands:\n");
    for (const Command& c : kCommands) {
        std::fprintf(out, "  %s\n", c.usage);
    }
    std::fprintf(out,
                 "\nSettings can be given as --Section-Key value, e.g. --Log-Level 9 for trace output.\n");
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

// Positional arguments after the command, without "--Setting value" pairs.
std::vector<std::string> Positionals(int argc, char** argv, bool& timeline) {
    std::vector<std::string> out;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--timeline") {
            timeline = true;
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0 && arg != "--help") {
            ++i; // a setting and its value
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

class Tool {
public:
    explicit Tool(StandaloneApp& application) : app(application), log(application.Log()) {}

    std::unique_ptr<SynthesizerEditor> Load(const std::string& path) {
        auto editor = std::make_unique<SynthesizerEditor>(&app.LogRoot());
        SynthFileIo io(*editor);
        if (!io.LoadPatchesFromFile(FromUtf8(path))) {
            BRL_LOG_ERROR(log, "cannot load '", path, "'");
            return nullptr;
        }
        return editor;
    }

    int Render(const std::string& patch) {
        RenderResult result;
        const bool lanes = Config::Setting<bool>(app.ConfigFrontend(), "Synth/VoiceLanes", true).Get();
        if (!Korvax::Render(FromUtf8(patch), &app.LogRoot(), &result, lanes)) {
            return kFailed;
        }
        const double factor = result.wallSeconds > 0.0 ? result.audioSeconds / result.wallSeconds : 0.0;
        BRL_LOG_INFO(log, "rendered '", result.outputPath, "': ", result.audioSeconds,
                     " s of audio, realtime factor ", factor);
        return kOk;
    }

    int Compile(const std::string& patch) {
        auto editor = Load(patch);
        if (!editor) {
            return kNoInput;
        }
        SynthCompiler compiler(editor->Log());
        CompiledProgram program;
        return compiler.CompileGraph(editor->Patches(), program) ? kOk : kFailed;
    }

    int Export(const std::string& patch) {
        auto editor = Load(patch);
        if (!editor) {
            return kNoInput;
        }
        if (!ExportHeaders(patch, editor->Patches(), editor->Memory(), editor->Log())) {
            BRL_LOG_ERROR(log, "writing the headers of '", patch, "' failed");
            return kFailed;
        }
        BRL_LOG_INFO(log, "wrote '", patch, ".values.h', '", patch, ".ops.h' and '", patch, ".params.h'");
        return kOk;
    }

    int ImportMidi(const std::string& midi, const std::string& patch, bool timeline) {
        auto editor = Load(patch);
        if (!editor) {
            return kNoInput;
        }
        MidiFileConverter converter;
        if (!converter.parseSMF(log, FromUtf8(midi), &editor->Patches().channelNames, timeline)) {
            BRL_LOG_ERROR(log, "converting '", midi, "' failed; nothing written");
            return kFailed;
        }
        const std::vector<uint32_t> timeStreams = converter.BuildTimeStreams();
        const std::vector<uint8_t> dataStreams = converter.BuildDataStreams();
        Song& song = editor->Patches().song;
        song.numTicks = converter.SongLength();
        song.timeStream = timeStreams;
        song.dataStream = dataStreams;
        SynthFileIo io(*editor);
        if (!io.SavePatchesToFile(FromUtf8(patch), KorvaxBuild(), false)) {
            BRL_LOG_ERROR(log, "saving '", patch, "' failed");
            return kFailed;
        }
        if (!MidiFileConverter::ExportHeaders(log, timeStreams, dataStreams, FromUtf8(midi))) {
            BRL_LOG_ERROR(log, "writing the song headers of '", midi, "' failed");
            return kFailed;
        }
        BRL_LOG_INFO(log, "imported '", midi, "' into '", patch, "': ", song.numTicks, " ticks");
        return kOk;
    }

    int Save(const std::string& in, const std::string& out) {
        auto editor = Load(in);
        if (!editor) {
            return kNoInput;
        }
        SynthFileIo io(*editor);
        if (!io.SavePatchesToFile(FromUtf8(out), KorvaxBuild(), false)) {
            BRL_LOG_ERROR(log, "saving '", out, "' failed");
            return kFailed;
        }
        BRL_LOG_INFO(log, "saved '", out, "'");
        return kOk;
    }

private:
    StandaloneApp& app;
    Logging::Logger& log;
};

int Run(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        PrintHelp(argc < 2 ? stderr : stdout);
        return argc < 2 ? kUsage : kOk;
    }
    const Command* command = FindCommand(argv[1]);
    if (command == nullptr) {
        std::fprintf(stderr, "korvax-tool: unknown command '%s'\n\n", argv[1]);
        PrintHelp(stderr);
        return kUsage;
    }
    bool timeline = false;
    bool help = false;
    for (int i = 2; i < argc; ++i) {
        help = help || std::strcmp(argv[i], "--help") == 0;
    }
    const std::vector<std::string> args = Positionals(argc, argv, timeline);
    const size_t wanted =
        std::strcmp(command->name, "import-midi") == 0 || std::strcmp(command->name, "save") == 0 ? 2 : 1;
    if (help) {
        std::printf("usage: korvax-tool %s\n\n%s\n", command->usage, command->help);
        return kOk;
    }
    if (args.size() != wanted || (timeline && std::strcmp(command->name, "import-midi") != 0)) {
        std::fprintf(stderr, "usage: korvax-tool %s\n", command->usage);
        return kUsage;
    }

    AppOptions options;
    options.plainConsole = true;
    options.consoleLevel = Logging::Info;
    StandaloneApp app(KorvaxIdentity(), KorvaxBuild(), ArgumentList(argc, argv), options);
    Tool tool(app);
    const std::string name = command->name;
    if (name == "render") {
        return tool.Render(args[0]);
    }
    if (name == "compile") {
        return tool.Compile(args[0]);
    }
    if (name == "export") {
        return tool.Export(args[0]);
    }
    if (name == "import-midi") {
        return tool.ImportMidi(args[0], args[1], timeline);
    }
    return tool.Save(args[0], args[1]);
}

} // namespace
} // namespace brl::Korvax

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    return brl::Korvax::Run(argc, argv);
}
