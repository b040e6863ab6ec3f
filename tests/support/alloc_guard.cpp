#include "support/alloc_guard.h"

#include <cstdlib>
#include <new>

namespace {

std::atomic<int> gAllThreads{0};
thread_local int tThisThread = 0;
std::atomic<long> gCount{0};

void* CountedAllocate(std::size_t size) {
    if (gAllThreads.load(std::memory_order_relaxed) > 0 || tThisThread > 0) {
        gCount.fetch_add(1, std::memory_order_relaxed);
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void* CountedAllocateNoThrow(std::size_t size) noexcept {
    try {
        return CountedAllocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace

namespace brl::testing {

AllocationGuard::AllocationGuard(Scope scope) : scope_(scope), start_(gCount.load()) {
    if (scope_ == Scope::AllThreads) {
        gAllThreads.fetch_add(1);
    } else {
        ++tThisThread;
    }
}

AllocationGuard::~AllocationGuard() {
    if (scope_ == Scope::AllThreads) {
        gAllThreads.fetch_sub(1);
    } else {
        --tThisThread;
    }
}

long AllocationGuard::Count() const {
    return gCount.load() - start_;
}

} // namespace brl::testing

void* operator new(std::size_t size) {
    return CountedAllocate(size);
}
void* operator new[](std::size_t size) {
    return CountedAllocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocateNoThrow(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
