#include "LineDataTestSupport.h"

#include <cstdlib>
#include <new>

namespace
{
std::atomic<std::uint64_t> gAllocations{0};
}

std::uint64_t allocationCount()
{
    return gAllocations.load(std::memory_order_relaxed);
}

void* operator new(std::size_t size)
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

// The no-throw forms too (the framework's timers use them): every form that
// frees through the replaced delete must come from the same malloc.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size != 0 ? size : 1);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}
