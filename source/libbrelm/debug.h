#pragma once

#include "libbrelm/logging.h"

namespace brl::Debug {

// Forwards under the name "debug" to the process-wide log channel, or to a
// temporary console sink while none is installed.
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
