#include "rts/cache/SlotBlock.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <utility>

namespace
{
constexpr std::size_t cHugePage = std::size_t{2} << 20;
}

SlotBlock::SlotBlock(std::size_t bytes)
{
    if (bytes == 0)
        return;
    if (bytes < cHugePage)
    {
        mData = ::operator new(bytes);
        mBytes = bytes;
        return;
    }
    // Whole huge pages, aligned to one, so that the advice can take effect
    // on every record; the records' construction then faults them in (pages
    // the heap had touched before are collapsed later by the kernel, if at
    // all). Refused advice leaves ordinary pages, which work the same.
    const std::size_t rounded = (bytes + cHugePage - 1) / cHugePage * cHugePage;
    mData = std::aligned_alloc(cHugePage, rounded);
    if (mData == nullptr)
        throw std::bad_alloc();
    mBytes = rounded;
    ::madvise(mData, rounded, MADV_HUGEPAGE);
}

SlotBlock::~SlotBlock()
{
    release();
}

void SlotBlock::release()
{
    if (mData == nullptr)
        return;
    if (mBytes < cHugePage)
        ::operator delete(mData);
    else
        std::free(mData);
    mData = nullptr;
    mBytes = 0;
}

SlotBlock::SlotBlock(SlotBlock&& other) noexcept
    : mData(std::exchange(other.mData, nullptr)), mBytes(std::exchange(other.mBytes, 0))
{
}

SlotBlock& SlotBlock::operator=(SlotBlock&& other) noexcept
{
    if (this != &other)
    {
        release();
        mData = std::exchange(other.mData, nullptr);
        mBytes = std::exchange(other.mBytes, 0);
    }
    return *this;
}
