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
#include "libbrelm/files.h"

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
    {"export", "export PATCH",
     "Writes PATCH.values.h, PATCH.ops.h and PATCH.params.h for an intro player. A patch that does not\n"
     "compile exits 1 and leaves the files of an earlier export as they were."},
    {"import-midi", "import-midi MIDI PATCH [--timeline]",
     "Converts the Standard MIDI File MIDI into the song of PATCH (saved as the current version) and writes\n"
     "MIDI.timestreams.h and MIDI.datastreams.h next to MIDI; with --timeline also MIDI_small.xml.\n"
     "When the conversion or a write fails nothing is changed."},
    {"save", "save IN OUT",
     "Loads IN and saves it as OUT in the current file version. OUT must be a regular file (or a link to\n"
     "one, whose target is replaced) or not exist."},
    {"play", "play PATCH [--seconds N]",
     "Plays PATCH live on the audio device of Audio/Device/API and Audio/Device/ID (device 0 when they are\n"
     "empty) at Audio/SamplingRate and Audio/Latency, with every MIDI input of Midi/Backends. Plays until\n"
     "Ctrl-C, N seconds of audio, or the end of the patch's song and the render's 30 s tail. The song\n"
     "sounds exactly like the render: with --Audio-Backends fd --Audio-Io-Fd-BytesPerSample 4\n"
     "--Audio-Io-Fd-OutFd 3 descriptor 3 receives the render's wave data. Exit 1 when the device does not\n"
     "open or fails."},
    {"devices", "devices",
     "Lists the audio devices of Audio/Backends with their caps and the MIDI inputs and outputs of\n"
     "Midi/Backends on standard output."},
};

void PrintHelp(std::FILE* out) {
    std::fprintf(
        out, "usage: korvax-tool [SETTINGS] COMMAND ARGUMENTS   (korvax-tool COMMAND --help for details)\n"
             "\ncommands:\n");
    for (const Command& c : kCommands) {
        std::fprintf(out, "  %s\n", c.usage);
    }
    std::fprintf(out, "\nSettings are given as --Section-Key value, before or after the command, e.g.\n"
                      "--Log-Level 9 for trace output. Messages go to standard error. File names are\n"
                      "used as given; \"--\" ends the options, so that a file name may start with \"--\".\n");
}

const Command* FindCommand(const std::string& name) {
    for (const Command& c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

// The command line split up: the command, its file arguments (the bytes as
// given) and its flags. "--Setting value" pairs are left to the configuration.
struct CommandLine {
    std::string command;
    std::vector<std::string> files;
    bool timeline = false;
    bool help = false;
    bool version = false;
    std::optional<std::string> seconds; // play --seconds N
};

CommandLine Parse(int argc, char** argv) {
    CommandLine line;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--help" || arg == "-h")) {
            line.help = true;
        } else if (options && arg == "--version") {
            line.version = true;
        } else if (options && arg == "--timeline") {
            line.timeline = true;
        } else if (options && arg == "--seconds") {
            line.seconds = i + 1 < argc ? std::string(argv[++i]) : std::string();
        } else if (options && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            ++i; // a setting and its value
        } else if (line.command.empty()) {
            line.command = arg;
        } else {
            line.files.push_back(arg);
        }
    }
    return line;
}

class Tool {
public:
    explicit Tool(StandaloneApp& application) : app(application), log(application.Log()) {}

    std::unique_ptr<SynthesizerEditor> Load(const std::string& path) {
        auto editor = std::make_unique<SynthesizerEditor>(&app.LogRoot());
        SynthFileIo io(*editor);
        if (!io.LoadPatchesFromFile(path)) {
            BRL_LOG_ERROR(log, "cannot load '", path, "'");
            return nullptr;
        }
        return editor;
    }

    int Render(const std::string& patch) {
        RenderResult result;
        const bool lanes = Config::Setting<bool>(app.ConfigFrontend(), "Synth/VoiceLanes", true).Get();
        if (!Korvax::Render(patch, &app.LogRoot(), &result, lanes)) {
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
            BRL_LOG_ERROR(log, "writing the headers of '", patch,
                          "' failed; the files are left as they were");
            return kFailed;
        }
        BRL_LOG_INFO(log, "wrote '", patch, ".values.h', '", patch, ".ops.h' and '", patch, ".params.h'");
        return kOk;
    }

    // Everything is written to temporary files first (the song headers, the
    // timeline, the patch) and renamed over the old files only when all are
    // complete, so that a failure changes nothing.
    int ImportMidi(const std::string& midi, const std::string& patch, bool timeline) {
        auto editor = Load(patch);
        if (!editor) {
            return kNoInput;
        }
        MidiFileConverter converter;
        std::string timelineXml;
        if (!converter.Convert(log, midi, &editor->Patches().channelNames,
                               timeline ? &timelineXml : nullptr)) {
            BRL_LOG_ERROR(log, "converting '", midi, "' failed; nothing written");
            return kFailed;
        }
        const std::vector<uint32_t> timeStreams = converter.BuildTimeStreams();
        const std::vector<uint8_t> dataStreams = converter.BuildDataStreams();
        Song& song = editor->Patches().song;
        song.numTicks = converter.SongLength();
        song.timeStream = timeStreams;
        song.dataStream = dataStreams;

        std::vector<std::pair<std::unique_ptr<Files::ReplacingFile>, std::string>> files;
        files.emplace_back(std::make_unique<Files::ReplacingFile>(midi + ".timestreams.h"),
                           MidiFileConverter::TimeStreamsHeader(timeStreams));
        files.emplace_back(std::make_unique<Files::ReplacingFile>(midi + ".datastreams.h"),
                           MidiFileConverter::DataStreamsHeader(dataStreams));
        if (timeline) {
            files.emplace_back(std::make_unique<Files::ReplacingFile>(midi + "_small.xml"), timelineXml);
        }
        files.emplace_back(std::make_unique<Files::ReplacingFile>(patch),
                           SynthFileIo(*editor).SavePatchesToText(KorvaxBuild()));
        for (auto& [file, text] : files) {
            if (!file->Open() || !file->Write(text) || !file->Finish()) {
                BRL_LOG_ERROR(log, "cannot write '", file->Target().native(), "': ", file->Problem(),
                              "; nothing written");
                return kFailed;
            }
        }
        for (auto& entry : files) {
            if (!entry.first->Commit()) {
                BRL_LOG_ERROR(log, "cannot write '", entry.first->Target().native(),
                              "': ", entry.first->Problem());
                return kFailed;
            }
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
        if (!io.SavePatchesToFile(out, KorvaxBuild(), false)) {
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
    const CommandLine line = Parse(argc, argv);
    if (line.version && line.command.empty()) {
        std::printf("korvax-tool %s\n", ToUtf8(KorvaxBuild()).c_str());
        return kOk;
    }
    if (line.command.empty()) {
        PrintHelp(line.help ? stdout : stderr);
        return line.help ? kOk : kUsage;
    }
    const Command* command = FindCommand(line.command);
    if (command == nullptr) {
        std::fprintf(stderr, "korvax-tool: unknown command '%s'\n\n", line.command.c_str());
        PrintHelp(stderr);
        return kUsage;
    }
    if (line.help) {
        std::printf("usage: korvax-tool %s\n\n%s\n", command->usage, command->help);
        return kOk;
    }
    const std::string name = command->name;
    const size_t wanted = name == "import-midi" || name == "save" ? 2 : name == "devices" ? 0 : 1;
    std::optional<double> seconds;
    if (line.seconds) {
        char* end = nullptr;
        const double value = std::strtod(line.seconds->c_str(), &end);
        if (line.seconds->empty() || *end != '\0' || !std::isfinite(value) || value <= 0.0) {
            std::fprintf(stderr, "korvax-tool: --seconds wants a positive number of seconds\n");
            return kUsage;
        }
        seconds = value;
    }
    if (line.files.size() != wanted || (line.timeline && name != "import-midi") ||
        (seconds && name != "play")) {
        std::fprintf(stderr, "usage: korvax-tool %s\n", command->usage);
        return kUsage;
    }
#if !KORVAX_TOOL_DEVICES
    if (name == "play" || name == "devices") {
        std::fprintf(stderr,
                     "korvax-tool: '%s' is not built: this korvax-tool was configured with "
                     "KORVAX_DEVICES=OFF (no audio and MIDI devices)\n",
                     name.c_str());
        return kNoInput;
    }
#endif

    AppOptions options;
    options.plainConsole = true;
    // The device listing is the command's output; its messages only when something is wrong.
    options.consoleLevel = name == "devices" ? Logging::Warning : Logging::Info;
    options.consoleToStderr = true;
    StandaloneApp app(KorvaxIdentity(), KorvaxBuild(), ArgumentList(argc, argv), options);
    const std::vector<std::string>& files = line.files;
#if KORVAX_TOOL_DEVICES
    if (name == "play") {
        return PlayCommand(app, files[0], seconds);
    }
    if (name == "devices") {
        return DevicesCommand(app);
    }
#endif
    Tool tool(app);
    if (name == "render") {
        return tool.Render(files[0]);
    }
    if (name == "compile") {
        return tool.Compile(files[0]);
    }
    if (name == "export") {
        return tool.Export(files[0]);
    }
    if (name == "import-midi") {
        return tool.ImportMidi(files[0], files[1], line.timeline);
    }
    return tool.Save(files[0], files[1]);
}

} // namespace
} // namespace brl::Korvax

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    return brl::Korvax::Run(argc, argv);
}
