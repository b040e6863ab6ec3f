#pragma once

#include "libbrelm/application.h"
#include "libbrelm/config.h"
#include "libbrelm/logging.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace brl::Logging {

// Writes each line in style 1 to standard output (or the given stream, such
// as standard error for programs whose output is data). Any thread.
class StdSink : public Channel {
public:
    explicit StdSink(std::FILE* stream = stdout) : stream_(stream) {}
    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;

private:
    std::FILE* stream_;
};

// Appends each line up to a maximum level to a UTF-8 file, in style 3
// (brief) or 5, flushing after each message. An unopenable file gives no
// output. Any thread.
class FileSink : public Channel {
public:
    FileSink(const String& path, int maxLevel, bool brief);
    ~FileSink() override;
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    int MaxLevel() const override { return file_ != nullptr ? maxLevel_ : -1; }
    bool IsOpen() const { return file_ != nullptr; }

private:
    std::FILE* file_ = nullptr;
    int maxLevel_;
    bool brief_;
};

// The debugger-output sink: writes each line in style 0 to standard error.
// Its logger ("OutputDebugString()") feeds text meant for the debugger into
// the log. Any thread.
class DebugSource : public Channel {
public:
    explicit DebugSource(Channel* root);
    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    Logger& GetLogger() { return logger_; }

private:
    Logger logger_;
};

// Standard-error capture; writes nothing, as nothing is captured here.
class StderrSource : public Channel {
public:
    explicit StderrSource(Channel* root);
    void Log(int, const SourceLocation&, const String&, const String&) override {}
    int MaxLevel() const override { return -1; }
    Logger& GetLogger() { return logger_; }

private:
    Logger logger_;
};

// The process-wide log: a level filter in front of the file sink, an
// optional buffer for the GUI log window, the debugger-output sink and the
// standard-error source. Installs itself as the process-wide channel for its
// lifetime. Built once at start-up, after the configuration.
class WtfJustLog : public Channel {
public:
    // Reads "Log/Level" (default 9), "Log/File" (default fileLogDefault) and
    // "Log/Logfile/Level" (default 7). The log file is
    // "<logDirectory>/<application short name>.log"; an empty logDirectory
    // means the current directory.
    WtfJustLog(const ApplicationInfo& applicationInfo, Config::Frontend& frontend, bool fileLogDefault,
               bool wantBuffer, bool briefFile, const String& logDirectory = String());
    ~WtfJustLog() override;
    WtfJustLog(const WtfJustLog&) = delete;
    WtfJustLog& operator=(const WtfJustLog&) = delete;

    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    int MaxLevel() const override { return root_.MaxLevel(); }

    // The buffer the GUI log window attaches to; nullptr unless asked for.
    ChannelBuffer* Buffer() { return buffer_.get(); }
    // The log file's path; empty when file logging is off.
    const String& FilePath() const { return filePath_; }
    bool IsFileOpen() const { return fileSink_ != nullptr && fileSink_->IsOpen(); }
    DebugSource& GetDebugSource() { return *debugSource_; }

private:
    ChannelMultiplexer multiplexer_;
    ChannelFilter root_;
    std::unique_ptr<DebugSource> debugSource_;
    std::unique_ptr<StderrSource> stderrSource_;
    std::unique_ptr<FileSink> fileSink_;
    std::unique_ptr<ChannelBuffer> buffer_;
    String filePath_;
};

} // namespace brl::Logging
