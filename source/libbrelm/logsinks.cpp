#include "libbrelm/logsinks.h"

#include "libbrelm/debug.h"

#include <filesystem>
#include <unistd.h>

namespace brl::Logging {

namespace {

// One write per line, so lines from several threads do not interleave.
void WriteLines(std::FILE* file, int style, int level, const SourceLocation& location, const String& name,
                const String& message) {
    for (String& line : SplitLines(message)) {
        const LogRecord record{level, location, name, std::move(line)};
        const std::string text = ToUtf8(FormatLine(style, record));
        std::fwrite(text.data(), 1, text.size(), file);
    }
}

String CurrentDirectory() {
    std::error_code error;
    const auto path = std::filesystem::current_path(error);
    return error ? String(L".") : FromUtf8(path.string());
}

} // namespace

void StdSink::Log(int level, const SourceLocation& location, const String& name, const String& message) {
    WriteLines(stream_, 1, level, location, name, message);
    std::fflush(stream_);
}

FileSink::FileSink(const String& path, int maxLevel, bool brief) : maxLevel_(maxLevel), brief_(brief) {
    const std::filesystem::path file(ToUtf8(path));
    std::error_code error;
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path(), error);
    }
    file_ = std::fopen(file.c_str(), "a");
}

FileSink::~FileSink() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void FileSink::Log(int level, const SourceLocation& location, const String& name, const String& message) {
    if (file_ == nullptr || level > maxLevel_) {
        return;
    }
    WriteLines(file_, brief_ ? 3 : 5, level, location, name, message);
    std::fflush(file_);
}

DebugSource::DebugSource(Channel* root) : logger_(root, L"OutputDebugString()") {}

void DebugSource::Log(int level, const SourceLocation& location, const String& name, const String& message) {
    WriteLines(stderr, 0, level, location, name, message);
}

StderrSource::StderrSource(Channel* root) : logger_(root, L"stderr") {}

WtfJustLog::WtfJustLog(const ApplicationInfo& applicationInfo, Config::Frontend& frontend,
                       bool fileLogDefault, bool wantBuffer, bool briefFile, const String& logDirectory)
    : root_(&multiplexer_, Config::Setting<int>(frontend, "Log/Level", Trace).Get()) {
    debugSource_ = std::make_unique<DebugSource>(&root_);
    stderrSource_ = std::make_unique<StderrSource>(&root_);
    if (Config::Setting<bool>(frontend, "Log/File", fileLogDefault).Get()) {
        const int fileLevel = Config::Setting<int>(frontend, "Log/Logfile/Level", Verbose).Get();
        const String directory = logDirectory.empty() ? CurrentDirectory() : logDirectory;
        filePath_ = directory + L"/" + applicationInfo.applicationShortName + L".log";
        fileSink_ = std::make_unique<FileSink>(filePath_, fileLevel, briefFile);
    }
    if (wantBuffer) {
        buffer_ = std::make_unique<ChannelBuffer>();
    }
    multiplexer_.Add(fileSink_.get());
    multiplexer_.Add(buffer_.get());
    multiplexer_.Add(debugSource_.get());
    multiplexer_.Add(stderrSource_.get());
    Debug::SetProcessLogChannel(this);
}

WtfJustLog::~WtfJustLog() {
    if (Debug::GetProcessLogChannel() == this) {
        Debug::SetProcessLogChannel(nullptr);
    }
}

void WtfJustLog::Log(int level, const SourceLocation& location, const String& name, const String& message) {
    root_.Log(level, location, name, message);
}

} // namespace brl::Logging
