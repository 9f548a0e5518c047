// A fixed ring of pre-allocated records, addressed from its tail. Every slot
// holds a record from creation on, so taking a slot never allocates; with
// reuse on, the oldest slot is handed out again once the tail comes round.
// A ring belongs to one thread and takes no lock.
#pragma once

#include "rts/cache/SlotBlock.h"

#include <cstdint>
#include <memory>
#include <new>

template <typename T>
class CachePool
{
public:
    // `size` must be above 0: the slot index is taken modulo the size.
    CachePool(std::uint32_t size, bool allowReuse, bool preAllocation)
        : mCachePtrs(new T*[size]()), mCacheSize(size), mAllowReuse(allowReuse), mPreAllocation(preAllocation)
    {
        if (!mPreAllocation)
            return;
        // The records in one block, in slot order: a replay reads slot after
        // slot, and the block is large enough to want huge pages.
        mRecords = SlotBlock(sizeof(T) * size);
        auto* records = static_cast<T*>(mRecords.data());
        try
        {
            for (std::uint32_t i = 0; i < size; ++i)
                mCachePtrs[i] = new (records + i) T();
        }
        catch (...)
        {
            destroyRecords();
            throw;
        }
    }
    ~CachePool() { destroyRecords(); }
    CachePool(const CachePool&) = delete;
    CachePool& operator=(const CachePool&) = delete;

    // The slot at the tail; the caller overwrites its old content.
    T* acquire()
    {
        T* slot = mCachePtrs[mTail];
        if (mTail >= mCacheSize - 1)
            mIsFull = true;
        mTail = (mTail + 1) % mCacheSize;
        ++mUsedSize;
        return slot;
    }
    T* at(std::uint32_t index) const { return mCachePtrs[index]; }
    void reset()
    {
        mHead = 0;
        mTail = 0;
        mUsedSize = 0;
    }

    std::uint32_t head() const { return mHead; }
    std::uint32_t tail() const { return mTail; }
    std::uint32_t size() const { return mCacheSize; }
    std::uint32_t usedSize() const { return mUsedSize; }
    bool isFull() const { return mIsFull; }

private:
    std::unique_ptr<T*[]> mCachePtrs;
    std::uint32_t mHead = 0;
    std::uint32_t mTail = 0;
    std::uint32_t mCacheSize;
    std::uint32_t mUsedSize = 0;
    bool mIsFull = false;
    bool mAllowReuse;
    bool mPreAllocation;
    SlotBlock mRecords;

    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "the slot block is aligned as new aligns");

    // Slots not made yet hold null.
    void destroyRecords()
    {
        for (std::uint32_t i = mCacheSize; i-- > 0;)
            if (mCachePtrs[i] != nullptr)
            {
                mCachePtrs[i]->~T();
                mCachePtrs[i] = nullptr;
            }
    }
};
