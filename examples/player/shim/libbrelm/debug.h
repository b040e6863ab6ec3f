#pragma once

// The intro player's stand-in for the debugging helpers: internal-error reports
// compile to nothing (an assertion still evaluates its condition).
#include "libbrelm/logging.h"

namespace brl::Debug {

class LoggingChannel : public Logging::Channel {};

} // namespace brl::Debug

#define BRL_BUG(whatText)                                                                                    \
    do {                                                                                                     \
        if (false) {                                                                                         \
            ::brl::Logging::Discard(whatText);                                                               \
        }                                                                                                    \
    } while (0)

#define BRL_ASSERT(condition) (static_cast<bool>(condition))
