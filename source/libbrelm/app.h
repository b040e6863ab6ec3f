#pragma once

#include "libbrelm/application.h"
#include "libbrelm/logging.h"
#include "libbrelm/string.h"

#include <memory>
#include <vector>

namespace brl {

namespace Config {
class Config;
class Frontend;
} // namespace Config

// The program's arguments, element 0 being the program path. Each is kept as
// decoded text and as its original bytes; file names are taken from the bytes.
class ArgumentList {
public:
    ArgumentList() = default;
    explicit ArgumentList(std::vector<String> arguments);
    ArgumentList(int argc, const char* const* argv);

    size_t Size() const { return arguments_.size(); }
    const String& operator[](size_t i) const { return arguments_[i]; }
    const std::vector<String>& All() const { return arguments_; }
    // Argument i as the program received it.
    const std::string& Bytes(size_t i) const { return bytes_[i]; }
    // True when an element from index 1 on equals `name` and another element follows it.
    bool HasOption(const String& name) const;
    // The element after the last `name` (an element used as a value is not tested
    // as a name), or `fallback`.
    String OptionValue(const String& name, const String& fallback) const;
    // The index of that element, or 0 when there is none.
    size_t OptionValueIndex(const String& name) const;

private:
    std::vector<String> arguments_;
    std::vector<std::string> bytes_;
};

// Writes who the program is: vendor and application, the version (when there
// is one) and the build text, each an info line.
class NameLogger {
public:
    NameLogger(const ApplicationInfo& info, const String& build, Logging::Channel& log);
};

// How the application object sets up logging.
struct AppOptions {
    bool fileLogDefault = false; // default of "Log/File"
    bool wantBuffer = false;     // keep records for a log window
    bool briefFile = false;      // brief file style instead of the full one
    // When set, the console gets plain message lines on standard output up to
    // "Log/Level" (default consoleLevel) instead of the process-wide log tree.
    bool plainConsole = false;
    int consoleLevel = Logging::Info;
    // The plain console writes to standard error instead, keeping standard
    // output free for the program's data.
    bool consoleToStderr = false;
};

class AppImpl;

// The application object: identity, configuration stack and logging. Built
// once at start-up on the main thread and destroyed last.
class App {
public:
    virtual ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    const ApplicationInfo& Info() const;
    const String& Build() const;
    const ArgumentList& Arguments() const;
    Config::Frontend& ConfigFrontend();
    // The channel every component logs into, and the application's own logger.
    Logging::Channel& LogRoot();
    Logging::Logger& Log();
    // The records kept for a log window (AppOptions::wantBuffer), or nullptr.
    Logging::ChannelBuffer* LogBuffer();

protected:
    explicit App(std::unique_ptr<AppImpl> impl);
    std::unique_ptr<AppImpl> impl_;
};

// An application that is its own process: builds the configuration from the
// standard provider stack and installs the process-wide log channel.
class StandaloneApp : public App {
public:
    StandaloneApp(const ApplicationInfo& info, const String& build, ArgumentList arguments,
                  const AppOptions& options = {});
};

} // namespace brl
