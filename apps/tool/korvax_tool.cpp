// korvax-tool: the headless commands that build scripts use to turn patches and
// MIDI files into wave files and the C headers an intro player includes.
#include "../common/korvaxidentity.h"
#if KORVAX_TOOL_DEVICES
#include "tool_devices.h"
#endif
#include "korvax/korvaxcompiler.h"
#include "korvax/korvaxeditor.h"
#include "korvax/korvaxfileio.h"
#include "korvax/korvaxheaders.h"
#include "korvax/korvaxmidifile.h"
#include "korvax/korvaxrender.h"
#include "libbrelm/app.h"
#include "libbrelm/config.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
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
    {"play", "play PATCH [--seconds N]",
     "Plays PATCH live on the audio device of Audio/Device/API and Audio/Device/ID (device 0 when they are\n"
     "empty) at Audio/SamplingRate and Audio/Latency, with every MIDI input of Midi/Backends. Plays until\n"
     "Ctrl-C, N seconds of audio, or the end of the patch's song and the render's 30 s tail. The song "
     "sounds\n"
     "exactly like the render: with --Audio-Backends fd --Audio-Io-Fd-BytesPerSample 4 --Audio-Io-Fd-OutFd "
     "3\n"
     "descriptor 3 receives the render's wave data. Exit 1 when the device does not open or fails."},
    {"devices", "devices",
     "Lists the audio devices of Audio/Backends with their caps and the MIDI inputs and outputs of\n"
     "Midi/Backends."},
};

bool IsDeviceCommand(const std::string& name) {
    return name == "play" || name == "devices";
}

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

// Positional arguments after the command, without "--Setting value" pairs;
// --timeline and --seconds N are taken out on the way.
std::vector<std::string> Positionals(int argc, char** argv, bool& timeline,
                                     std::optional<std::string>& seconds) {
    std::vector<std::string> out;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--timeline") {
            timeline = true;
        } else if (arg == "--seconds") {
            seconds = i + 1 < argc ? std::string(argv[++i]) : std::string();
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
    std::optional<std::string> secondsText;
    const std::vector<std::string> args = Positionals(argc, argv, timeline, secondsText);
    const std::string name = command->name;
    const size_t wanted = name == "import-midi" || name == "save" ? 2 : name == "devices" ? 0 : 1;
    if (help) {
        std::printf("usage: korvax-tool %s\n\n%s\n", command->usage, command->help);
        return kOk;
    }
    std::optional<double> seconds;
    if (secondsText) {
        char* end = nullptr;
        const double value = std::strtod(secondsText->c_str(), &end);
        if (secondsText->empty() || *end != '\0' || !std::isfinite(value) || value <= 0.0) {
            std::fprintf(stderr, "korvax-tool: --seconds wants a positive number of seconds\n");
            return kUsage;
        }
        seconds = value;
    }
    if (args.size() != wanted || (timeline && name != "import-midi") || (seconds && name != "play")) {
        std::fprintf(stderr, "usage: korvax-tool %s\n", command->usage);
        return kUsage;
    }
#if !KORVAX_TOOL_DEVICES
    if (IsDeviceCommand(name)) {
        std::fprintf(stderr,
                     "korvax-tool: '%s' is not built: this korvax-tool was configured with "
                     "KORVAX_DEVICES=OFF (no audio and MIDI devices)\n",
                     name.c_str());
        return kNoInput;
    }
#endif

    AppOptions options;
    options.plainConsole = true;
    options.consoleLevel = name == "devices" ? Logging::Warning : Logging::Info;
    // The device commands keep standard output for their data (or the terminal's status line).
    options.consoleToStderr = IsDeviceCommand(name);
    StandaloneApp app(KorvaxIdentity(), KorvaxBuild(), ArgumentList(argc, argv), options);
#if KORVAX_TOOL_DEVICES
    if (name == "play") {
        return PlayCommand(app, args[0], seconds);
    }
    if (name == "devices") {
        return DevicesCommand(app);
    }
#endif
    Tool tool(app);
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
