#pragma once

#include "midi/midiio.h"

namespace brl::Midi {

// The "dummy" backend: one input and one output, both named "dummy device".
// The input delivers nothing; the output discards what it is sent.
class IoDummy : public Io {
public:
    explicit IoDummy(const Logging::Logger& logger);
};

} // namespace brl::Midi
