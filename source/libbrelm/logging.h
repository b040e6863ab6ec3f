#pragma once

#include "libbrelm/string.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace brl::Logging {

// Log levels: a smaller number is more severe. 10..19 are "trace 0".."trace 9".
enum Level : int {
    Disabled = 0,
    Emergency = 1,
    Alert = 2,
    Critical = 3,
    Error = 4,
    Warning = 5,
    Info = 6,
    Verbose = 7,
    Debug = 8,
    Trace = 9,
    Trace0 = 10,
};

// Name of a level ("disabled" .. "trace 9"); empty for other values.
const wchar_t* LevelName(int level);
// Letter of a level in formatted lines; " " for values outside 0..19.
wchar_t LevelLetter(int level);

// Where and when a log call was made. Immutable once made.
struct SourceLocation {
    uint64_t time = 0;     // ns since 1970-01-01 UTC
    const char* file = ""; // static text
    uint32_t line = 0;
    const char* function = ""; // qualified function name, static text
    uint64_t thread = 0;       // numeric id of the calling thread

    static SourceLocation Make(const char* file, uint32_t line, const char* function);
};

// Returns a static copy of the qualified name in a __PRETTY_FUNCTION__ text
// ("void brl::A::B::F(int)" gives "brl::A::B::F"). Each distinct text is
// stored once for the life of the process.
const char* InternFunctionName(const char* prettyFunction);

// A node of the channel tree. Channels are called from any thread.
class Channel {
public:
    virtual ~Channel() = default;
    virtual void Log(int level, const SourceLocation& location, const String& name,
                     const String& message) = 0;
    // Most verbose level that can pass this channel; call sites skip building
    // messages above it.
    virtual int MaxLevel() const { return 255; }
};

// A named handle that components keep; forwards with its own name.
class Logger : public Channel {
public:
    Logger(Channel* target, String name);
    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    int MaxLevel() const override;
    bool IsEnabled(int level) const { return target_ != nullptr && level <= MaxLevel(); }
    const String& Name() const { return name_; }
    Channel* Target() const { return target_; }

private:
    Channel* target_;
    String name_;
};

// A channel that drops everything.
class NullChannel : public Channel {
public:
    void Log(int, const SourceLocation&, const String&, const String&) override {}
    int MaxLevel() const override { return -1; }
};

// Passes records up to a maximum level to its target. Any thread.
class ChannelFilter : public Channel {
public:
    ChannelFilter(Channel* target, int maxLevel) : target_(target), maxLevel_(maxLevel) {}
    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    int MaxLevel() const override;
    void SetMaxLevel(int maxLevel) { maxLevel_.store(maxLevel); }

private:
    Channel* target_;
    std::atomic<int> maxLevel_;
};

// Forwards every record to each member (not owned). Any thread.
class ChannelMultiplexer : public Channel {
public:
    void Add(Channel* channel);
    void Remove(Channel* channel);
    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    // The most verbose level any member passes; -1 without members.
    int MaxLevel() const override;

private:
    mutable std::shared_mutex mutex_;
    std::vector<Channel*> members_;
};

// One line of a message.
struct LogRecord {
    int level = 0;
    SourceLocation location;
    String name;
    String message;
};

// The lines of a message (split at line feeds; a final line feed does not
// start another line).
std::vector<String> SplitLines(const String& message);

// Record time as " 2026-12-06T17:35:07.123000000Z" (millisecond resolution).
String FormatTime(uint64_t nanoseconds);

// The text one record becomes in line style 0..6 (other styles: message and
// line feed).
String FormatLine(int style, const LogRecord& record);

// Holds records until a target is attached, then hands them over and
// forwards from then on. Keeps at most MaxBuffered records (oldest dropped).
// Any thread.
class ChannelBuffer : public Channel {
public:
    static constexpr size_t kMaxBuffered = 10000;

    void Log(int level, const SourceLocation& location, const String& name, const String& message) override;
    // Attaches (or with nullptr detaches) the target; buffered records go to
    // it first.
    void SetTarget(Channel* target);
    std::vector<LogRecord> Buffered() const;

private:
    // Recursive: a target may log while it receives.
    mutable std::recursive_mutex mutex_;
    Channel* target_ = nullptr;
    std::deque<LogRecord> records_;
};

namespace detail {
inline void Append(std::wostringstream& os, const String& s) {
    os << s;
}
inline void Append(std::wostringstream& os, const wchar_t* s) {
    os << s;
}
inline void Append(std::wostringstream& os, std::wstring_view s) {
    os << s;
}
inline void Append(std::wostringstream& os, wchar_t c) {
    os << c;
}
inline void Append(std::wostringstream& os, const std::string& s) {
    os << FromUtf8(s);
}
inline void Append(std::wostringstream& os, const char* s) {
    os << FromUtf8(s);
}
inline void Append(std::wostringstream& os, std::string_view s) {
    os << FromUtf8(s);
}
inline void Append(std::wostringstream& os, char c) {
    os << static_cast<wchar_t>(static_cast<unsigned char>(c));
}
inline void Append(std::wostringstream& os, bool b) {
    os << (b ? L"true" : L"false");
}
template <typename T> void Append(std::wostringstream& os, const T& v) {
    os << v;
}
std::wostringstream MakeStream();
} // namespace detail

// Concatenates the parts into one message (numbers in the classic locale, six
// significant digits for floating point; narrow text is UTF-8).
template <typename... Parts> String Format(const Parts&... parts) {
    std::wostringstream os = detail::MakeStream();
    (detail::Append(os, parts), ...);
    return os.str();
}

} // namespace brl::Logging

// Logs the concatenation of the parts at `level` through `logger` (a Logger or
// any Channel). The message is built only when the level can pass.
#define BRL_LOG(logger, level, ...)                                                                          \
    do {                                                                                                     \
        auto& brlLogTarget_ = (logger);                                                                      \
        const int brlLogLevel_ = (level);                                                                    \
        if (brlLogLevel_ <= brlLogTarget_.MaxLevel()) {                                                      \
            static const char* const brlLogFunction_ =                                                       \
                ::brl::Logging::InternFunctionName(__PRETTY_FUNCTION__);                                     \
            brlLogTarget_.Log(brlLogLevel_,                                                                  \
                              ::brl::Logging::SourceLocation::Make(__FILE__, __LINE__, brlLogFunction_),     \
                              ::brl::String(), ::brl::Logging::Format(__VA_ARGS__));                         \
        }                                                                                                    \
    } while (0)

#define BRL_LOG_CRITICAL(logger, ...) BRL_LOG(logger, ::brl::Logging::Critical, __VA_ARGS__)
#define BRL_LOG_ERROR(logger, ...) BRL_LOG(logger, ::brl::Logging::Error, __VA_ARGS__)
#define BRL_LOG_WARNING(logger, ...) BRL_LOG(logger, ::brl::Logging::Warning, __VA_ARGS__)
#define BRL_LOG_INFO(logger, ...) BRL_LOG(logger, ::brl::Logging::Info, __VA_ARGS__)
#define BRL_LOG_VERBOSE(logger, ...) BRL_LOG(logger, ::brl::Logging::Verbose, __VA_ARGS__)
#define BRL_LOG_DEBUG(logger, ...) BRL_LOG(logger, ::brl::Logging::Debug, __VA_ARGS__)
#define BRL_LOG_TRACE(logger, ...) BRL_LOG(logger, ::brl::Logging::Trace, __VA_ARGS__)
