#pragma once

// The intro player's stand-in for the logging library: the same names, so the
// runtime compiles unchanged, and nothing behind them. Log calls compile to
// nothing; their arguments stay referenced so no variable goes unused.
namespace brl::Logging {

enum Level : int {
    Disabled = 0,
    Critical = 3,
    Error = 4,
    Warning = 5,
    Info = 6,
    Verbose = 7,
    Debug = 8,
    Trace = 9
};

class Channel {};

class Logger : public Channel {
public:
    Logger(Channel*, const wchar_t*) {}
};

template <typename... Parts> constexpr void Discard(const Parts&...) {}

} // namespace brl::Logging

#define BRL_LOG(logger, level, ...)                                                                          \
    do {                                                                                                     \
        if (false) {                                                                                         \
            ::brl::Logging::Discard(logger, level, __VA_ARGS__);                                             \
        }                                                                                                    \
    } while (0)

#define BRL_LOG_CRITICAL(logger, ...) BRL_LOG(logger, ::brl::Logging::Critical, __VA_ARGS__)
#define BRL_LOG_ERROR(logger, ...) BRL_LOG(logger, ::brl::Logging::Error, __VA_ARGS__)
#define BRL_LOG_WARNING(logger, ...) BRL_LOG(logger, ::brl::Logging::Warning, __VA_ARGS__)
#define BRL_LOG_INFO(logger, ...) BRL_LOG(logger, ::brl::Logging::Info, __VA_ARGS__)
#define BRL_LOG_VERBOSE(logger, ...) BRL_LOG(logger, ::brl::Logging::Verbose, __VA_ARGS__)
#define BRL_LOG_DEBUG(logger, ...) BRL_LOG(logger, ::brl::Logging::Debug, __VA_ARGS__)
#define BRL_LOG_TRACE(logger, ...) BRL_LOG(logger, ::brl::Logging::Trace, __VA_ARGS__)
