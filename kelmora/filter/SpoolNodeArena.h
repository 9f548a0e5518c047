// Nodes of the spool index, kept on a free list and reused, so that spooling
// allocates nothing per record once the arena is warm. The index asks for
// nodes of one size only; any other request goes to the heap. One thread.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

class SpoolNodeArena
{
public:
    SpoolNodeArena() = default;
    SpoolNodeArena(const SpoolNodeArena&) = delete;
    SpoolNodeArena& operator=(const SpoolNodeArena&) = delete;

    ~SpoolNodeArena()
    {
        for (void* chunk : mChunks)
            ::operator delete(chunk, std::align_val_t(alignof(std::max_align_t)));
    }

    // Nodes to have ready before the first one is asked for.
    void reserve(std::size_t nodes) { mReserve = nodes; }

    void* take(std::size_t size)
    {
        if (mNodeSize == 0)
            mNodeSize = roundUp(size);
        if (roundUp(size) != mNodeSize)
            return ::operator new(size);
        if (mFree == nullptr)
            grow();
        FreeNode* node = mFree;
        mFree = node->mNext;
        return node;
    }

    void give(void* p, std::size_t size)
    {
        if (roundUp(size) != mNodeSize)
        {
            ::operator delete(p);
            return;
        }
        auto* node = static_cast<FreeNode*>(p);
        node->mNext = mFree;
        mFree = node;
    }

private:
    struct FreeNode
    {
        FreeNode* mNext;
    };

    static std::size_t roundUp(std::size_t size)
    {
        const std::size_t align = alignof(std::max_align_t);
        size = size < sizeof(FreeNode) ? sizeof(FreeNode) : size;
        return (size + align - 1) / align * align;
    }

    void grow()
    {
        std::size_t count = mChunks.empty() ? (mReserve > 64 ? mReserve : 64) : mLastCount;
        mLastCount = count;
        char* chunk = static_cast<char*>(::operator new(count * mNodeSize, std::align_val_t(alignof(std::max_align_t))));
        mChunks.push_back(chunk);
        for (std::size_t i = 0; i < count; ++i)
        {
            auto* node = reinterpret_cast<FreeNode*>(chunk + i * mNodeSize);
            node->mNext = mFree;
            mFree = node;
        }
    }

    std::vector<void*> mChunks;
    FreeNode* mFree = nullptr;
    std::size_t mNodeSize = 0;
    std::size_t mReserve = 0;
    std::size_t mLastCount = 0;
};

template <class T>
class SpoolNodeAllocator
{
public:
    using value_type = T;

    explicit SpoolNodeAllocator(SpoolNodeArena* arena) noexcept : mArena(arena) {}
    template <class U>
    SpoolNodeAllocator(const SpoolNodeAllocator<U>& other) noexcept : mArena(other.arena())
    {
    }

    T* allocate(std::size_t n)
    {
        if (n != 1)
            return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(mArena->take(sizeof(T)));
    }

    void deallocate(T* p, std::size_t n) noexcept
    {
        if (n != 1)
        {
            ::operator delete(p);
            return;
        }
        mArena->give(p, sizeof(T));
    }

    SpoolNodeArena* arena() const noexcept { return mArena; }

    template <class U>
    bool operator==(const SpoolNodeAllocator<U>& other) const noexcept
    {
        return mArena == other.arena();
    }

private:
    SpoolNodeArena* mArena;
};
