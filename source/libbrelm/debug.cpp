#include "libbrelm/debug.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <execinfo.h>
#include <string>

namespace brl::Debug {

namespace {
std::atomic<Logging::Channel*> gProcessChannel{nullptr};

// Console output while no process-wide channel is installed.
void WriteFallback(int level, const String& message) {
    if (level > kFallbackMaxLevel) {
        return;
    }
    for (const String& line : Logging::SplitLines(message)) {
        const std::string text = ToUtf8(line) + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

class ProcessForwarder : public Logging::Channel {
public:
    void Log(int level, const Logging::SourceLocation& location, const String& name,
             const String& message) override {
        if (Logging::Channel* channel = gProcessChannel.load()) {
            channel->Log(level, location, name, message);
        } else {
            WriteFallback(level, message);
        }
    }
    int MaxLevel() const override {
        Logging::Channel* channel = gProcessChannel.load();
        return channel != nullptr ? channel->MaxLevel() : kFallbackMaxLevel;
    }
};

std::string Demangle(const char* frame) {
    // glibc frames look like "binary(mangled+0x1c) [0x...]".
    std::string text(frame);
    const auto open = text.find('(');
    const auto plus = text.find('+', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || plus == std::string::npos || plus <= open + 1) {
        return text;
    }
    const std::string mangled = text.substr(open + 1, plus - open - 1);
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) {
        std::string result = text.substr(0, open + 1) + demangled + text.substr(plus);
        std::free(demangled);
        return result;
    }
    std::free(demangled);
    return text;
}
} // namespace

Logging::Channel& ProcessChannel() {
    static ProcessForwarder forwarder;
    return forwarder;
}

LoggingChannel::LoggingChannel(int maxLevel) : maxLevel_(maxLevel) {}

void LoggingChannel::Log(int level, const Logging::SourceLocation& location, const String&,
                         const String& message) {
    if (level > maxLevel_) {
        return;
    }
    static const String kName = L"debug";
    if (Logging::Channel* channel = gProcessChannel.load()) {
        channel->Log(level, location, kName, message);
    } else {
        WriteFallback(level, message);
    }
}

int LoggingChannel::MaxLevel() const {
    Logging::Channel* channel = gProcessChannel.load();
    const int downstream = channel != nullptr ? channel->MaxLevel() : kFallbackMaxLevel;
    return downstream < maxLevel_ ? downstream : maxLevel_;
}

void SetProcessLogChannel(Logging::Channel* channel) {
    gProcessChannel.store(channel);
}

Logging::Channel* GetProcessLogChannel() {
    return gProcessChannel.load();
}

void DumpStacktrace() {
    LoggingChannel channel;
    if (Logging::Warning > channel.MaxLevel()) {
        return;
    }
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    char** symbols = ::backtrace_symbols(frames, count);
    if (symbols == nullptr) {
        return;
    }
    // Frame 0 is this function.
    for (int i = 1; i < count; ++i) {
        BRL_LOG_WARNING(channel, "  #", i - 1, " ", Demangle(symbols[i]));
    }
    std::free(symbols);
}

void ReportBug(const char* what, const Logging::SourceLocation& location) {
    LoggingChannel channel;
    if (Logging::Critical <= channel.MaxLevel()) {
        channel.Log(Logging::Critical, location, String(), Logging::Format("BUG ", what));
    }
    DumpStacktrace();
}

} // namespace brl::Debug

namespace brl {

void Exception::PrintStacktrace() const {
    Debug::LoggingChannel channel;
    BRL_LOG_WARNING(channel, "exception thrown: ", what());
    Debug::DumpStacktrace();
}

} // namespace brl
