// korvax-demo: builds the configuration stack of the application, shows which
// provider answers a few settings, and logs one line at every level.

#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"
#include "libbrelm/logsinks.h"
#include "libbrelm/string.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

void Print(const brl::String& text) {
    std::fputs((brl::ToUtf8(text) + "\n").c_str(), stdout);
}

brl::String Yes(bool value) {
    return value ? L"yes" : L"no";
}

void PrintStack(brl::Config::Config& config) {
    const auto writes = config.WriteList();
    const auto show = [&writes](const wchar_t* list, brl::Config::Backend* provider) {
        bool target = false;
        for (auto* write : writes) {
            target = target || write == provider;
        }
        Print(brl::String(L"  ") + list + provider->Name() + (target ? L"   <- write target" : L""));
    };
    Print(L"provider stack, weakest first:");
    for (auto* provider : config.BaseList()) {
        show(L"base      ", provider);
    }
    for (auto* provider : config.OverrideList()) {
        show(L"override  ", provider);
    }
}

void PrintSetting(brl::Config::Config& config, const char* key, const brl::Config::Value& defaultValue) {
    brl::Config::Backend* source = nullptr;
    const brl::Config::Value value = config.BackendRead(key, defaultValue, &source);
    const brl::String from = source != nullptr ? source->Describe(key) : brl::String(L"default");
    Print(L"  " + brl::FromUtf8(key) + L" = " + value.ToString() + L"   (" + from + L")");
}

} // namespace

int main(int argc, char** argv) {
    const brl::ApplicationInfo info{L"brelm",
                                    L"Brelm",
                                    L"brelm.org",
                                    L"korvax",
                                    L"Korvax",
                                    L"korvax.brelm.org",
                                    brl::FromUtf8(KORVAX_VERSION)};
    brl::Config::Config config(info, argc, argv);
    brl::Logging::WtfJustLog log(info, config, false, false, false);

    Print(info.applicationLongName + L" " + info.version + L" by " + info.vendorLongName);
    Print(L"portable: " + Yes(config.IsPortable()));
    PrintStack(config);
    Print(L"settings:");
    PrintSetting(config, "Application/LongName", L"");
    PrintSetting(config, "Application/Version", L"");
    PrintSetting(config, "Audio/SamplingRate", 96000);
    PrintSetting(config, "Audio/Backends", brl::Config::Value::StringList{L"rtaudio"});
    PrintSetting(config, "Log/Level", brl::Logging::Trace);
    PrintSetting(config, "Log/File", false);
    Print(L"log file: " + (log.FilePath().empty() ? brl::String(L"off") : log.FilePath()));
    std::fflush(stdout);

    brl::Logging::Logger logger(&log, L"demo");
    int passed = 0;
    for (int level = brl::Logging::Emergency; level <= brl::Logging::Trace0 + 9; ++level) {
        passed += logger.IsEnabled(level) ? 1 : 0;
        BRL_LOG(logger, level, "a line at level ", level, " (", brl::Logging::LevelName(level), ")");
    }
    Print(L"logged one line at each level 1.." + std::to_wstring(brl::Logging::Trace0 + 9) + L"; " +
          std::to_wstring(passed) + L" passed the log level (standard error)");
    return 0;
}
