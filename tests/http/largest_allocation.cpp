#include "tests/http/largest_allocation.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool recording = false;
thread_local std::size_t largest = 0;

void* allocate(std::size_t size) noexcept {
    if (recording && size > largest) largest = size;
    return std::malloc(size ? size : 1);
}

}  // namespace

namespace klarion::testing {

LargestAllocation::LargestAllocation() { recording = true, largest = 0; }
LargestAllocation::~LargestAllocation() { recording = false; }
std::size_t LargestAllocation::bytes() const { return largest; }

}  // namespace klarion::testing

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
