#pragma once

#include "libbrelm/string.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

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
    uint64_t time = 0;              // ns since 1970-01-01 UTC
    const char* file = "";          // static text
    uint32_t line = 0;
    const char* function = "";      // qualified function name, static text
    uint64_t thread = 0;            // numeric id of the calling thread

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
    virtual void Log(int level, const SourceLocation& location, const String& name, const String& message) = 0;
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

namespace detail {
inline void Append(std::wostringstream& os, const String& s) { os << s; }
inline void Append(std::wostringstream& os, const wchar_t* s) { os << s; }
inline void Append(std::wostringstream& os, std::wstring_view s) { os << s; }
inline void Append(std::wostringstream& os, wchar_t c) { os << c; }
inline void Append(std::wostringstream& os, const std::string& s) { os << FromUtf8(s); }
inline void Append(std::wostringstream& os, const char* s) { os << FromUtf8(s); }
inline void Append(std::wostringstream& os, std::string_view s) { os << FromUtf8(s); }
inline void Append(std::wostringstream& os, char c) { os << static_cast<wchar_t>(static_cast<unsigned char>(c)); }
inline void Append(std::wostringstream& os, bool b) { os << (b ? L"true" : L"false"); }
template <typename T> void Append(std::wostringstream& os, const T& v) { os << v; }
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
            static const char* const brlLogFunction_ = ::brl::Logging::InternFunctionName(__PRETTY_FUNCTION__); \
            brlLogTarget_.Log(brlLogLevel_,                                                                  \
                              ::brl::Logging::SourceLocation::Make(__FILE__, __LINE__, brlLogFunction_),    \
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
