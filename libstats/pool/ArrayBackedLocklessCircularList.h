// A circular list of fixed records for one writer and one reader, its slots
// being consecutive entries of a pool (its own, or slots mInitialPoolIndex ..
// mInitialPoolIndex + mMaxEntries - 1 of an external one).
//
// mHead is the slot last consumed and mTail the slot last written; the list is
// empty when they are equal, so m slots hold at most m - 1 unread records. A
// record that finds the list full is refused and counted (mDropped): the
// unread records stay for the reader. The writer publishes mTail after the
// record, the reader mHead after reading it; in shared memory the writer and
// the reader may be different processes.
#pragma once

#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Zunq::Utils
{

template <class T>
struct SimpleTypes
{
    int64_t mHead = 0;                // slot last consumed
    int64_t mTail = 0;                // slot last written
    ArrayBackedPool<T> mInternalPool; // used only without an external pool
    int64_t mMaxEntries = 0;          // slots
    int64_t mInitialPoolIndex = 0;    // pool index of slot 0
    bool mAtomicSet = true;           // head and tail published by exchange
    uint8_t mReserved[3] = {};
    uint32_t mDropped = 0;            // records refused because the list was full
};

template <class T>
class ArrayBackedLocklessCircularList
{
public:
    ArrayBackedLocklessCircularList(long numEntries, Log& log, const std::string& logName,
                                    ArrayBackedPool<T>* externalPool, long initialPoolIndex)
        : mValues(&mInternalValues)
        , mLog(&log)
        , mPool(externalPool)
        , mName(logName)
    {
        mInternalValues.mMaxEntries = numEntries;
        mInternalValues.mInitialPoolIndex = initialPoolIndex;
        if (mPool == nullptr)
        {
            // One slot more than asked: the pool keeps its last entry in reserve.
            mInternalValues.mInternalPool.init(numEntries + 1, log, logName, 0, 90);
            mPool = &mInternalValues.mInternalPool;
            mInternalValues.mInitialPoolIndex = 0;
            for (long slot = 0; slot < numEntries; ++slot)
                mPool->getFreeIndex();
        }
        cacheSlots();
    }

    virtual ~ArrayBackedLocklessCircularList() = default;

    ArrayBackedLocklessCircularList(const ArrayBackedLocklessCircularList&) = delete;
    ArrayBackedLocklessCircularList& operator=(const ArrayBackedLocklessCircularList&) = delete;

    // Copies the whole record into the next slot; null when the list is full
    // (the record is counted as dropped, the wrap error logged once) or damaged.
    T* pushBackItem(const T& item)
    {
        T* entry = claimBack();
        if (entry != nullptr)
        {
            *entry = item;
            commitBack();
        }
        return entry;
    }

    // The next slot, for the writer to fill in place before commitBack
    // publishes it; null as for pushBackItem (a full list counts the refusal).
    T* claimBack()
    {
        SimpleTypes<T>& v = *mValues;
        const int64_t tail = v.mTail;
        const int64_t head = std::atomic_ref<int64_t>(v.mHead).load(std::memory_order_acquire);
        if (mSlots != nullptr) [[likely]]
        {
            // The slot count checked when the slots were cached.
            const int64_t max = mSlotCount;
            if (static_cast<uint64_t>(head) >= static_cast<uint64_t>(max) ||
                static_cast<uint64_t>(tail) >= static_cast<uint64_t>(max)) [[unlikely]]
                return nullptr;
            const int64_t next = tail + 1 == max ? 0 : tail + 1;
            if (next == head) [[unlikely]]
                return refuse(), nullptr;
            mClaimed = next;
            return mSlots + next;
        }
        const int64_t max = v.mMaxEntries;
        if (!validSlots(max, head, tail)) [[unlikely]]
            return nullptr;
        const int64_t next = tail + 1 == max ? 0 : tail + 1;
        if (next == head) [[unlikely]]
            return refuse(), nullptr;
        mClaimed = next;
        return mPool->peekEntry(v.mInitialPoolIndex + next);
    }

    void commitBack() { publish(mValues->mTail, mClaimed, mValues->mAtomicSet); }

    // The oldest unread record, consumed; null when there is none. The record
    // stays valid until the writer comes round to its slot again.
    T* popHead()
    {
        SimpleTypes<T>& v = *mValues;
        const int64_t max = v.mMaxEntries;
        const int64_t head = v.mHead;
        const int64_t tail = std::atomic_ref<int64_t>(v.mTail).load(std::memory_order_acquire);
        if (!validSlots(max, head, tail) || head == tail)
            return nullptr;
        const int64_t next = head + 1 == max ? 0 : head + 1;
        T* entry = mPool->peekEntry(v.mInitialPoolIndex + next);
        publish(v.mHead, next, v.mAtomicSet);
        return entry;
    }

    // Records written and not yet consumed.
    long getNumUnread() const
    {
        const SimpleTypes<T>& v = *mValues;
        const int64_t head = std::atomic_ref<int64_t>(const_cast<int64_t&>(v.mHead)).load(std::memory_order_acquire);
        const int64_t tail = std::atomic_ref<int64_t>(const_cast<int64_t&>(v.mTail)).load(std::memory_order_acquire);
        if (!validSlots(v.mMaxEntries, head, tail))
            return 0;
        return tail >= head ? tail - head : tail + v.mMaxEntries - head;
    }

    T* getEntry(long slot) const
    {
        if (slot < 0 || slot >= mValues->mMaxEntries)
            return nullptr;
        return mPool->peekEntry(mValues->mInitialPoolIndex + slot);
    }
    long getHead() const { return mValues->mHead; }
    long getTail() const { return mValues->mTail; }
    long getNext(long slot) const { return slot + 1 >= mValues->mMaxEntries ? 0 : slot + 1; }
    T* getHeadEntry() const { return getEntry(getHead()); }
    T* getTailEntry() const { return getEntry(getTail()); }
    // The record of the slot after `entry`'s; null when `entry` is not one of this list's.
    T* getNextEntry(T* entry) const
    {
        for (long slot = 0; slot < mValues->mMaxEntries; ++slot)
            if (getEntry(slot) == entry)
                return getEntry(getNext(slot));
        return nullptr;
    }
    // Drops every unread record (the reader's side).
    void clear() { publish(mValues->mHead, mValues->mTail, mValues->mAtomicSet); }
    long getMaxEntries() const { return mValues->mMaxEntries; }
    uint32_t getDropped() const
    {
        return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(mValues->mDropped)).load(std::memory_order_relaxed);
    }
    void disableAtomicSet() { mValues->mAtomicSet = false; }
    const std::string& getLogName() const { return mName; }

protected:
    // A record that found the list full: counted, and the wrap error logged once.
    [[gnu::cold]] [[gnu::noinline]] void refuse()
    {
        std::atomic_ref<uint32_t>(mValues->mDropped).fetch_add(1, std::memory_order_relaxed);
        if (!mLoggedWrapError)
        {
            mLoggedWrapError = true;
            mLog->error() << "ArrayBackedLocklessCircularList::pushBackItem(" << mName
                          << ") - circular buffer started to wrap.\n";
        }
    }

    // The slots as one array when they lie in one level of plain entries:
    // the writer's path then needs no pool lookup.
    void cacheSlots()
    {
        mSlots = nullptr;
        const SimpleTypes<T>& v = *mValues;
        T* first = mPool->peekEntry(v.mInitialPoolIndex);
        T* last = v.mMaxEntries > 0 ? mPool->peekEntry(v.mInitialPoolIndex + v.mMaxEntries - 1) : nullptr;
        if (first != nullptr && last == first + (v.mMaxEntries - 1) && mPool->objectSize() == sizeof(T))
        {
            mSlots = first;
            mSlotCount = v.mMaxEntries;
        }
    }

    // Indices another process wrote are trusted only inside the list.
    static bool validSlots(int64_t max, int64_t head, int64_t tail)
    {
        return max > 0 && head >= 0 && head < max && tail >= 0 && tail < max;
    }

    static void publish(int64_t& field, int64_t value, bool exchange)
    {
        std::atomic_ref<int64_t> ref(field);
        if (exchange)
            ref.exchange(value, std::memory_order_acq_rel);
        else
            ref.store(value, std::memory_order_release);
    }

    SimpleTypes<T> mInternalValues;
    SimpleTypes<T>* mValues;
    Log* mLog;
    ArrayBackedPool<T>* mPool;
    bool mLoggedWrapError = false;
    std::string mName;
    T* mSlots = nullptr;
    int64_t mSlotCount = 0; // slots behind mSlots
    int64_t mClaimed = 0;   // the slot claimBack handed out
};

} // namespace Zunq::Utils
