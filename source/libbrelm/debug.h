#pragma once

#include "libbrelm/logging.h"

#include <stdexcept>
#include <string>

namespace brl::Debug {

// Most verbose level written to the console while no process-wide log
// channel is installed.
inline constexpr int kFallbackMaxLevel = Logging::Info;

// Forwards to the process-wide log channel keeping the caller's name, or to
// the console (levels up to kFallbackMaxLevel) while none is installed.
// Components without a log target of their own use it:
//     Logging::Logger logger(&Debug::ProcessChannel(), L"audio");
Logging::Channel& ProcessChannel();

// Forwards under the name "debug" to the process-wide log channel, or to the
// console (levels up to kFallbackMaxLevel) while none is installed.
class LoggingChannel : public Logging::Channel {
public:
    explicit LoggingChannel(int maxLevel = 255);
    void Log(int level, const Logging::SourceLocation& location, const String& name,
             const String& message) override;
    int MaxLevel() const override;

private:
    int maxLevel_;
};

// Installs the process-wide log channel (nullptr uninstalls it).
void SetProcessLogChannel(Logging::Channel* channel);
Logging::Channel* GetProcessLogChannel();

// Logs the current call stack at level warning, one line per frame.
void DumpStacktrace();

// Internal-error report: logs "BUG " + what at level critical with the given
// location through LoggingChannel, then dumps the stack. The caller continues.
void ReportBug(const char* what, const Logging::SourceLocation& location);

} // namespace brl::Debug

namespace brl {

// An exception that can report itself to the log.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& what) : std::runtime_error(what) {}
    // Logs "exception thrown: " and the text at level warning, then the stack.
    void PrintStacktrace() const;
};

} // namespace brl

// Reports a broken invariant; the operation continues afterwards.
#define BRL_BUG(whatText)                                                                                    \
    do {                                                                                                     \
        static const char* const brlBugFunction_ = ::brl::Logging::InternFunctionName(__PRETTY_FUNCTION__);  \
        ::brl::Debug::ReportBug((whatText),                                                                  \
                                ::brl::Logging::SourceLocation::Make(__FILE__, __LINE__, brlBugFunction_));  \
    } while (0)

// Reports "BUG <condition>" when the condition does not hold; evaluates to the condition.
#define BRL_ASSERT(condition)                                                                                \
    ([&]() -> bool {                                                                                         \
        if (condition) {                                                                                     \
            return true;                                                                                     \
        }                                                                                                    \
        BRL_BUG(#condition);                                                                                 \
        return false;                                                                                        \
    }())
