#pragma once

#include <atomic>

namespace brl::testing {

// Counts calls of the global operator new while it lives. A test program that
// links the test support replaces the global allocation functions with counting
// ones; outside a guard they only forward to malloc and free.
//
// AllThreads counts allocations on every thread (use it around code whose
// threads the test owns); ThisThread counts only those of the constructing
// thread (use it inside an audio callback).
class AllocationGuard {
public:
    enum class Scope { AllThreads, ThisThread };

    explicit AllocationGuard(Scope scope = Scope::AllThreads);
    ~AllocationGuard();
    AllocationGuard(const AllocationGuard&) = delete;
    AllocationGuard& operator=(const AllocationGuard&) = delete;

    // Allocations counted since this guard was made.
    long Count() const;

private:
    Scope scope_;
    long start_;
};

} // namespace brl::testing
