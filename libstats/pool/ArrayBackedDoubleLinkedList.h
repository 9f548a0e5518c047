// An ordered list of pool entries linked both ways by index: a FIFO through
// pushBack / getHead / deleteEntry, or kept sorted by insertOrdered with the
// ordering functor (for example a price comparison for one side of a book).
// Entries come from the list's own heap pool or from an external one and go
// back to it when deleted; an entry this list does not hold is refused. Used
// on one thread.
#pragma once

#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Zunq::Utils
{

template <class T, class Compare = std::less<T>>
class ArrayBackedDoubleLinkedList
{
public:
    ArrayBackedDoubleLinkedList(long numEntries, Log& log, const std::string& logName,
                                ArrayBackedPool<T>* externalPool = nullptr, Compare compare = Compare())
        : mPool(externalPool)
        , mCompare(compare)
        , mLog(&log)
    {
        if (mPool == nullptr)
        {
            mInternalPool.init(numEntries, log, logName, 0);
            mPool = &mInternalPool;
        }
    }

    virtual ~ArrayBackedDoubleLinkedList() = default;

    ArrayBackedDoubleLinkedList(const ArrayBackedDoubleLinkedList&) = delete;
    ArrayBackedDoubleLinkedList& operator=(const ArrayBackedDoubleLinkedList&) = delete;

    // A copy of item's contents at the tail; null when the pool has no entry.
    T* pushBack(const T& item) { return insertBefore(-1, &item); }
    // An entry at the tail with whatever its last user left in it.
    T* pushBackEmptyItem() { return insertBefore(-1, nullptr); }
    // The same before the entry of `index` (-1: at the tail); null when the
    // pool has no entry or `index` is not linked in this list.
    T* insertEmptyItemBefore(long index)
    {
        if (index != -1 && !isLinked(index, header(index)))
            return nullptr;
        return insertBefore(index, nullptr);
    }
    // A copy of item before the entry at `position` (0: the head); at the
    // tail when the list is shorter.
    T* insertByPosition(const T& item, unsigned long position)
    {
        int64_t at = mHead;
        for (unsigned long step = 0; step < position && at != -1; ++step)
            at = header(at)->mNext;
        return insertBefore(at, &item);
    }
    // A copy of item before the first entry it orders before.
    T* insertOrdered(const T& item)
    {
        int64_t at = mHead;
        while (at != -1 && !mCompare(item, *mPool->getEntry(at)))
            at = header(at)->mNext;
        return insertBefore(at, &item);
    }

    // Unlinks the entry of `index` and gives it back to the pool; false when
    // the entry is not linked in this list.
    bool deleteEntry(long index)
    {
        ArrayBackedPoolObject* entry = header(index);
        if (entry == nullptr || !isLinked(index, entry))
            return false;
        const int64_t prev = entry->mPrev;
        const int64_t next = entry->mNext;
        (prev == -1 ? mHead : header(prev)->mNext) = next;
        (next == -1 ? mTail : header(next)->mPrev) = prev;
        entry->mPrev = -1;
        entry->mNext = -1;
        mMembers[index] = false;
        mNumEntries -= 1;
        return mPool->freeIndex(index);
    }
    bool deleteEntry(T* entry) { return entry != nullptr && deleteEntry(static_cast<long>(entry->mIndex)); }

    // Copies item's contents (and its mID) into the entry of `index`, in
    // place: the links stay, so a list in shared memory is changed where its
    // readers see it. Null when the entry is not linked in this list.
    T* updateObjectInShMem(long index, const T& item)
    {
        ArrayBackedPoolObject* entry = header(index);
        if (entry == nullptr || !isLinked(index, entry))
            return nullptr;
        T* target = mPool->getEntry(index);
        copyContents(target, item);
        return target;
    }

    ArrayBackedPool<T>* getPool() { return mPool; }
    long getHead() const { return mHead; }
    long getTail() const { return mTail; }
    long getNext(long index) { return header(index) != nullptr ? header(index)->mNext : -1; }
    long getPrev(long index) { return header(index) != nullptr ? header(index)->mPrev : -1; }
    T* getHeadEntry() { return mHead == -1 ? nullptr : mPool->getEntry(mHead); }
    T* getTailEntry() { return mTail == -1 ? nullptr : mPool->getEntry(mTail); }
    T* getEntry(long index) { return mPool->getEntry(index); }
    unsigned long getNumEntries() const { return mNumEntries; }

    // The first entry, from the head, whose mID is `id`; null when none.
    T* searchEntry(uint64_t id)
    {
        return searchEntry([id](const T& entry) { return entry.mID == id; });
    }
    // The first entry, from the head, that `match` accepts.
    template <class Match>
    T* searchEntry(Match match)
    {
        for (int64_t at = mHead; at != -1; at = header(at)->mNext)
            if (T* entry = mPool->getEntry(at); match(*entry))
                return entry;
        return nullptr;
    }

    // Gives every entry back to the pool.
    void clear()
    {
        while (mHead != -1)
            deleteEntry(mHead);
    }
    void clean() { clear(); }

private:
    ArrayBackedPoolObject* header(int64_t index)
    {
        return static_cast<ArrayBackedPoolObject*>(mPool->getEntry(index));
    }

    // Entries of the pool's free list are linked the same way, so membership is kept apart.
    bool isLinked(int64_t index, const ArrayBackedPoolObject*) const
    {
        return static_cast<std::size_t>(index) < mMembers.size() && mMembers[index];
    }

    // The contents and the owner's id; the links are the list's.
    static void copyContents(T* entry, const T& item)
    {
        ArrayBackedPoolObject links = *static_cast<ArrayBackedPoolObject*>(entry);
        links.mID = item.mID;
        *entry = item;
        *static_cast<ArrayBackedPoolObject*>(entry) = links;
    }

    // Links a new entry before `at` (-1: at the tail), its contents copied from item when given.
    T* insertBefore(int64_t at, const T* item)
    {
        const long index = mPool->getFreeIndex();
        if (index < 0)
            return nullptr;
        T* entry = mPool->getEntry(index);
        if (item != nullptr)
            copyContents(entry, *item);
        if (static_cast<std::size_t>(index) >= mMembers.size())
            mMembers.resize(static_cast<std::size_t>(mPool->getTotalMaxEntries()), false);
        mMembers[index] = true;
        ArrayBackedPoolObject* linked = header(index);
        const int64_t prev = at == -1 ? mTail : header(at)->mPrev;
        linked->mPrev = prev;
        linked->mNext = at;
        (prev == -1 ? mHead : header(prev)->mNext) = index;
        (at == -1 ? mTail : header(at)->mPrev) = index;
        mNumEntries += 1;
        return entry;
    }

    unsigned long mNumEntries = 0;
    int64_t mHead = -1;
    int64_t mTail = -1;
    ArrayBackedPool<T>* mPool;
    ArrayBackedPool<T> mInternalPool;
    Compare mCompare;
    Log* mLog;
    std::vector<bool> mMembers; // by pool index: linked in this list
};

} // namespace Zunq::Utils
