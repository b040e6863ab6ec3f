// The program "korvax": renders a patch file with its song to a wave file
// (--render FILE). The interactive editor is not part of this build.
#include "../common/korvaxidentity.h"
#include "korvax/korvaxrender.h"
#include "libbrelm/app.h"
#include "libbrelm/config.h"

#include <clocale>
#include <cstdio>

namespace brl::Korvax {

namespace {

void PrintUsage() {
    std::printf("usage: korvax --render PATCH [--Section-Key value ...]\n"
                "       korvax --help | --version\n\n"
                "  --render PATCH   renders PATCH with its song to PATCH.wav (32-bit float stereo,\n"
                "                   96000 Hz, the song and a tail of 30 seconds) and exits\n"
                "  --help           prints this text\n"
                "  --version        prints the version\n\n"
                "Settings are given as --Section-Key value, e.g. --Log-Level 9 for trace output.\n");
}

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
    BRL_LOG_ERROR(log, "the editor is not built yet; use --render FILE");
    std::fprintf(stderr, "korvax: the interactive editor is not built yet; use: korvax --render PATCH\n");
    return 2;
}

} // namespace brl::Korvax

int main(int argc, char** argv) {
    // Character classification follows the user's locale; number formatting stays
    // classic so that written files do not depend on the user's language.
    std::setlocale(LC_CTYPE, "");
    return brl::Korvax::Main(brl::ArgumentList(argc, argv));
}
