// Replaces the global operator new of the test binary whose one source includes this header, so
// that a test can make large allocations fail: inside the engine, and inside a module the binary
// loads (its calls reach the binary's operator new when the binary exports it).
#pragma once

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace failingnew {

inline std::atomic<size_t> g_failAbove{std::numeric_limits<size_t>::max()};
inline std::atomic<int> g_failures{0};

// While it lives, allocations of more than `bytes` throw std::bad_alloc (and are counted).
struct FailAllocationsAbove {
    explicit FailAllocationsAbove(size_t bytes) {
        g_failAbove = bytes;
        g_failures = 0;
    }
    ~FailAllocationsAbove() { g_failAbove = std::numeric_limits<size_t>::max(); }
    FailAllocationsAbove(const FailAllocationsAbove&) = delete;
    FailAllocationsAbove& operator=(const FailAllocationsAbove&) = delete;
};

} // namespace failingnew

void* operator new(std::size_t size) {
    if (size > failingnew::g_failAbove.load(std::memory_order_relaxed)) {
        ++failingnew::g_failures;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
