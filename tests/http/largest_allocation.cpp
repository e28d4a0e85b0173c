#include "tests/http/largest_allocation.h"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

thread_local bool recording = false;
thread_local std::size_t largest = 0;
// Bytes held by the allocations made since recording began, less those freed
// meanwhile (never below 0), and their most.
thread_local std::size_t held = 0;
thread_local std::size_t peak = 0;

void* allocate(std::size_t size) noexcept {
    void* p = std::malloc(size ? size : 1);
    if (recording && p) {
        largest = std::max(largest, size);
        peak = std::max(peak, held += ::malloc_usable_size(p));
    }
    return p;
}

void release(void* p) noexcept {
    if (recording && p) held -= std::min(held, ::malloc_usable_size(p));
    std::free(p);
}

}  // namespace

namespace klarion::testing {

LargestAllocation::LargestAllocation() { recording = true, largest = held = peak = 0; }
LargestAllocation::~LargestAllocation() { recording = false; }
std::size_t LargestAllocation::bytes() const { return largest; }
std::size_t LargestAllocation::peakBytes() const { return peak; }

}  // namespace klarion::testing

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
