// The program "korvax": the patch editor, playing live (korvax [PATCH]), or
// the renderer of a patch file with its song to a wave file (--render FILE).
#include "../common/korvaxidentity.h"
#include "korvax/korvaxrender.h"
#include "libbrelm/app.h"
#include "libbrelm/config.h"

#if defined(KORVAX_WITH_GUI)
#include "synthesizer/guimanager.h"
#include "synthesizer/synth_native.h"
#endif

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace brl::Korvax {

namespace {

void PrintUsage() {
#if defined(KORVAX_WITH_GUI)
    std::printf("usage: korvax [PATCH] [--Section-Key value ...]\n"
                "       korvax --render PATCH [--Section-Key value ...]\n"
                "       korvax --help | --version\n\n"
                "  PATCH            opens the editor on PATCH (without it, on an empty patch set)\n");
#else
    std::printf("usage: korvax --render PATCH [--Section-Key value ...]\n"
                "       korvax --help | --version\n\n"
                "  (this build has no editor)\n");
#endif
    std::printf("  --render PATCH   renders PATCH with its song to PATCH.wav (32-bit float stereo,\n"
                "                   96000 Hz, the song and a tail of 30 seconds) and exits\n"
                "  --help           prints this text\n"
                "  --version        prints the version\n\n"
                "Settings are given as --Section-Key value, e.g. --Log-Level 9 for trace output.\n");
}

#if defined(KORVAX_WITH_GUI)
// The patch to open: the first argument that is neither a setting given as
// "--Section-Key value" nor such a setting's value; 0 for none.
size_t PatchArgument(const ArgumentList& arguments) {
    for (size_t i = 1; i < arguments.Size(); ++i) {
        if (arguments[i].rfind(L"--", 0) == 0) {
            ++i;
            continue;
        }
        return i;
    }
    return 0;
}

extern "C" void RequestQuit(int) {
    Gui::GuiSupport::RequestQuit();
}

// The editor: the toolkit, the native manager, the GUI manager and the patch
// named on the command line (loaded before any window), then the GUI loop;
// shut down in the exact reverse order.
int RunEditor(StandaloneApp& app) {
    Logging::Logger& log = app.Log();
    const String theme = Config::Setting<String>(app.ConfigFrontend(), "Synth/GtkTheme", String()).Get();
    if (!theme.empty()) {
        setenv("GTK2_RC_FILES", ToUtf8(theme).c_str(), 1);
    }
    if (!Gui::GuiSupport::StartToolkit(app.Arguments().Size() > 0 ? app.Arguments().Bytes(0) : "korvax")) {
        BRL_LOG_ERROR(log, "the GUI toolkit did not start (is there a display?)");
        std::fprintf(stderr, "korvax: cannot open the editor without a display; use --render PATCH\n");
        return 1;
    }
    std::signal(SIGINT, RequestQuit);
    std::signal(SIGTERM, RequestQuit);
    int result = 0;
    {
        auto native = std::make_unique<Synth::NativeManager>(&app.LogRoot());
        auto gui = std::make_unique<Synth::Gui::GuiManager>(app, *native, native.get());
        if (const size_t file = PatchArgument(app.Arguments()); file != 0) {
            gui->LoadInitial(FromUtf8(app.Arguments().Bytes(file)));
        }
        result = gui->Run();
        gui.reset();
        native.reset();
    }
    Gui::GuiSupport::StopToolkit();
    return result;
}
#endif

} // namespace

int Main(ArgumentList arguments) {
    // Asked before anything is set up, so that no settings or log file are touched.
    for (size_t i = 1; i < arguments.Size(); ++i) {
        if (arguments[i] == L"--help" || arguments[i] == L"-h") {
            PrintUsage();
            return 0;
        }
        if (arguments[i] == L"--version") {
            std::printf("korvax %s\n", ToUtf8(KorvaxBuild()).c_str());
            return 0;
        }
    }

    AppOptions options;
    options.fileLogDefault = true;
    options.wantBuffer = true;
    StandaloneApp app(KorvaxIdentity(), KorvaxBuild(), std::move(arguments), options);
    Logging::Logger& log = app.Log();

    // There is no heap compatibility query on this platform.
    BRL_LOG_VERBOSE(log, "heap check not available on this platform");
    // The sampling profiler is not built; the setting is read so it shows up in the settings.
    Config::Setting<bool>(app.ConfigFrontend(), "Profiler/Sampling", false).Get();

    if (const size_t index = app.Arguments().OptionValueIndex(L"--render"); index != 0) {
        // The file name exactly as given, not decoded and encoded again.
        const std::string& path = app.Arguments().Bytes(index);
        RenderResult result;
        const bool lanes = Config::Setting<bool>(app.ConfigFrontend(), "Synth/VoiceLanes", true).Get();
        if (!Render(path, &app.LogRoot(), &result, lanes)) {
            std::fprintf(stderr, "korvax: rendering '%s' failed\n", path.c_str());
            return 1;
        }
        const double factor = result.wallSeconds > 0.0 ? result.audioSeconds / result.wallSeconds : 0.0;
        std::printf("rendered %s: %.1f s of audio in %.2f s, realtime factor %.1f\n",
                    result.outputPath.c_str(), result.audioSeconds, result.wallSeconds, factor);
        return 0;
    }
#if defined(KORVAX_WITH_GUI)
    return RunEditor(app);
#else
    BRL_LOG_ERROR(log, "the editor is not built (KORVAX_GUI is off); use --render FILE");
    std::fprintf(stderr, "korvax: this build has no editor; use: korvax --render PATCH\n");
    return 2;
#endif
}

} // namespace brl::Korvax

int main(int argc, char** argv) {
    // Character classification follows the user's locale; number formatting stays
    // classic so that written files do not depend on the user's language.
    std::setlocale(LC_CTYPE, "");
    return brl::Korvax::Main(brl::ArgumentList(argc, argv));
}
