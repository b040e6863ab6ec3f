#include "libbrelm/app.h"

#include "libbrelm/config.h"
#include "libbrelm/debug.h"
#include "libbrelm/logsinks.h"

namespace brl {

ArgumentList::ArgumentList(std::vector<String> arguments) : arguments_(std::move(arguments)) {
    for (const String& argument : arguments_) {
        bytes_.push_back(ToUtf8(argument));
    }
}

ArgumentList::ArgumentList(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i) {
        bytes_.emplace_back(argv[i] != nullptr ? argv[i] : "");
        arguments_.push_back(FromUtf8(bytes_.back()));
    }
}

bool ArgumentList::HasOption(const String& name) const {
    for (size_t i = 1; i + 1 < arguments_.size(); ++i) {
        if (arguments_[i] == name) {
            return true;
        }
    }
    return false;
}

String ArgumentList::OptionValue(const String& name, const String& fallback) const {
    const size_t index = OptionValueIndex(name);
    return index != 0 ? arguments_[index] : fallback;
}

size_t ArgumentList::OptionValueIndex(const String& name) const {
    size_t index = 0;
    for (size_t i = 1; i + 1 < arguments_.size(); ++i) {
        if (arguments_[i] == name) {
            index = i + 1;
            ++i;
        }
    }
    return index;
}

NameLogger::NameLogger(const ApplicationInfo& info, const String& build, Logging::Channel& log) {
    Logging::Logger logger(&log, info.applicationShortName);
    BRL_LOG_INFO(logger, info.vendorLongName, " - ", info.applicationLongName);
    if (!info.version.empty()) {
        BRL_LOG_INFO(logger, "version: ", info.version);
    }
    BRL_LOG_INFO(logger, build);
}

// The parts of the application object, in construction order; destroyed in
// reverse, so logging outlives everything that logs.
class AppImpl {
public:
    AppImpl(const ApplicationInfo& applicationInfo, const String& buildText, ArgumentList argumentList,
            const AppOptions& options)
        : info(applicationInfo), build(buildText), arguments(std::move(argumentList)),
          config(info, arguments.All()) {
        if (options.plainConsole) {
            const int level = Config::Setting<int>(config, "Log/Level", options.consoleLevel).Get();
            console = std::make_unique<Logging::StdSink>(options.consoleToStderr ? stderr : stdout);
            filter = std::make_unique<Logging::ChannelFilter>(console.get(), level);
            root = filter.get();
        } else {
            wtf = std::make_unique<Logging::WtfJustLog>(info, config, options.fileLogDefault,
                                                        options.wantBuffer, options.briefFile);
            root = wtf.get();
        }
        Debug::SetProcessLogChannel(root);
        logger = std::make_unique<Logging::Logger>(root, info.applicationShortName);
        NameLogger names(info, build, *root);
    }
    ~AppImpl() {
        logger.reset();
        if (Debug::GetProcessLogChannel() == root) {
            Debug::SetProcessLogChannel(nullptr);
        }
    }

    ApplicationInfo info;
    String build;
    ArgumentList arguments;
    Config::Config config;
    std::unique_ptr<Logging::WtfJustLog> wtf;
    std::unique_ptr<Logging::StdSink> console;
    std::unique_ptr<Logging::ChannelFilter> filter;
    Logging::Channel* root = nullptr;
    std::unique_ptr<Logging::Logger> logger;
};

App::App(std::unique_ptr<AppImpl> impl) : impl_(std::move(impl)) {}
App::~App() = default;

const ApplicationInfo& App::Info() const {
    return impl_->info;
}
const String& App::Build() const {
    return impl_->build;
}
const ArgumentList& App::Arguments() const {
    return impl_->arguments;
}
Config::Frontend& App::ConfigFrontend() {
    return impl_->config;
}
Logging::Channel& App::LogRoot() {
    return *impl_->root;
}
Logging::Logger& App::Log() {
    return *impl_->logger;
}
Logging::ChannelBuffer* App::LogBuffer() {
    return impl_->wtf != nullptr ? impl_->wtf->Buffer() : nullptr;
}

StandaloneApp::StandaloneApp(const ApplicationInfo& info, const String& build, ArgumentList arguments,
                             const AppOptions& options)
    : App(std::make_unique<AppImpl>(info, build, std::move(arguments), options)) {}

} // namespace brl
