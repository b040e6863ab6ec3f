// The program "korvax": renders a patch file with its song to a wave file
// (--render FILE). The interactive editor is not part of this build.
#include "../common/korvaxidentity.h"
#include "korvax/korvaxrender.h"
#include "libbrelm/app.h"
#include "libbrelm/config.h"

#include <clocale>
#include <cstdio>

namespace brl::Korvax {

int Main(ArgumentList arguments) {
    AppOptions options;
    options.fileLogDefault = true;
    StandaloneApp app(KorvaxIdentity(), KorvaxBuild(), std::move(arguments), options);
    Logging::Logger& log = app.Log();

    // There is no heap compatibility query on this platform.
    BRL_LOG_VERBOSE(log, "heap check not available on this platform");
    // The sampling profiler is not built; the setting is read so it shows up in the settings.
    Config::Setting<bool>(app.ConfigFrontend(), "Profiler/Sampling", false).Get();

    if (app.Arguments().HasOption(L"--render")) {
        const String path = app.Arguments().OptionValue(L"--render", L"");
        RenderResult result;
        const bool lanes = Config::Setting<bool>(app.ConfigFrontend(), "Synth/VoiceLanes", true).Get();
        if (!Render(path, &app.LogRoot(), &result, lanes)) {
            std::fprintf(stderr, "korvax: rendering '%s' failed\n", ToUtf8(path).c_str());
            return 1;
        }
        const double factor = result.wallSeconds > 0.0 ? result.audioSeconds / result.wallSeconds : 0.0;
        std::printf("rendered %s: %.1f s of audio in %.2f s, realtime factor %.1f\n",
                    ToUtf8(result.outputPath).c_str(), result.audioSeconds, result.wallSeconds, factor);
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
