#pragma once

#include "libbrelm/string.h"

#include <cstdint>
#include <memory>

namespace brl::Time {

// One clock source. A reading divided by Frequency() gives seconds.
class ClockImpl {
public:
    virtual ~ClockImpl() = default;
    virtual bool IsAvailable() const = 0;
    virtual uint64_t Now() = 0;
    virtual uint64_t Frequency() = 0;
    virtual uint64_t Resolution() = 0;
    virtual String Name() const = 0;
};

// A public clock: holds one implementation chosen at construction.
class Clock {
public:
    explicit Clock(std::unique_ptr<ClockImpl> impl);
    virtual ~Clock();
    uint64_t Now() { return impl_->Now(); }
    uint64_t Frequency() { return impl_->Frequency(); }
    uint64_t Resolution() { return impl_->Resolution(); }
    String Name() const { return impl_->Name(); }

private:
    std::unique_ptr<ClockImpl> impl_;
};

// Nanoseconds since 1970-01-01T00:00:00Z.
class ClockUTC : public Clock {
public:
    ClockUTC();
};

// Millisecond tick count in 32.32 fixed point (frequency 1000 x 2^32).
class ClockSteady : public Clock {
public:
    ClockSteady();
};

} // namespace brl::Time
