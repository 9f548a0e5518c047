// A pool of fixed-size records addressed by index, on the heap of one process
// or in System V shared memory (see PoolShm.h for the segment layout).
//
// Free entries form a chain through their header's mNext, from mFree to mLast.
// The last free entry is kept in reserve: when it is the only one left the
// pool grows by one level of mMaxEntries entries before handing anything out.
// Entries come back uncleared; each user keeps its own contents. The pool
// takes no lock: a caller that shares one pool between threads serialises
// getFreeIndex and freeIndex itself.
//
// A pool in shared memory is built by the first process that sets it up and
// attached by later ones. The pool object in the segment holds the pointers of
// the attachment that set it up last, so it serves that attachment only;
// processes that share a pool each work through their own view
// (initShMemAndGetCopy), which shares the counters through mValues. A view
// knows the levels its pool had when it was made and cannot grow the pool.
// A heap pool owns its level blocks, so a pool is never copied; a view of it
// is made with the constructor that takes the pool.
#pragma once

#include "libstats/pool/ArrayBackedPoolObject.h"
#include "libstats/pool/PoolObjectFactory.h"
#include "libstats/pool/PoolShm.h"
#include "zunq/log/Log.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/types.h>

namespace Zunq::Utils
{

// The pool's counters; in shared memory they are the pool's shared state.
struct SimpleValues
{
    int64_t mNumEntries;             // entries handed out
    int64_t mMaxEntries;             // entries per level
    int64_t mNumAuxEntries;          // levels
    int64_t mFree;                   // first free entry
    int64_t mLast;                   // last free entry
    int64_t mFullPoolWarnLevel;      // mWarningPercentage x mTotalMaxEntries / 100
    uint8_t mWarningPercentage;
    uint8_t mPadding[3];
    // A heap pool's run of free entries not linked yet, in index order up to
    // its level's last entry: its first index + 1; 0 none. In the padding
    // before the next field, so that the shared layout stays.
    uint32_t mUnlinkedFrom;
    int64_t mMaxNumberOfUsedEntries; // high-water mark of mNumEntries
    int64_t mTotalMaxEntries;        // mNumAuxEntries x mMaxEntries
    int32_t mInitialShmSegmentID;    // System V key of level 0; -1 for a heap pool
    bool mShMemExists;               // level 0 existed when the pool was set up
    int32_t mInitialShmInternalID;   // segment id of level 0
    bool mWarningLogged;             // fill warning logged since the last growth
    char mLogName[50];
};

static_assert(sizeof(SimpleValues) == 136);
static_assert(offsetof(SimpleValues, mFullPoolWarnLevel) == 40);
static_assert(offsetof(SimpleValues, mWarningPercentage) == 48);
static_assert(offsetof(SimpleValues, mUnlinkedFrom) == 52);
static_assert(offsetof(SimpleValues, mMaxNumberOfUsedEntries) == 56);
static_assert(offsetof(SimpleValues, mTotalMaxEntries) == 64);
static_assert(offsetof(SimpleValues, mInitialShmSegmentID) == 72);
static_assert(offsetof(SimpleValues, mShMemExists) == 76);
static_assert(offsetof(SimpleValues, mInitialShmInternalID) == 80);
static_assert(offsetof(SimpleValues, mWarningLogged) == 84);
static_assert(offsetof(SimpleValues, mLogName) == 85);

template <class T>
class ArrayBackedPool
{
public:
    static constexpr uint8_t DEFAULT_FULL_WARN_LEVEL = 90;
    static constexpr std::size_t cLogNameMax = 49;
    // Most levels a shared pool may name; a larger count is a damaged segment.
    static constexpr int64_t cMaxLevels = 4096;

    ArrayBackedPool()
    {
        std::memset(&mInternalValues, 0, sizeof mInternalValues);
        mInternalValues.mFree = -1;
        mInternalValues.mLast = -1;
        mInternalValues.mInitialShmSegmentID = -1;
        mValues = &mInternalValues;
    }

    ~ArrayBackedPool()
    {
        // A view's counters may lie in a segment already detached: decide by our own fields.
        if (mViewOnly)
        {
            delete[] mEntries;
            return;
        }
        if (mEntries == nullptr || isShared())
            return;
        for (int64_t level = 0; level < mValues->mNumAuxEntries; ++level)
            std::free(mEntries[level]);
        std::free(mEntries);
    }

    // A view of `pool`: its counters (through mValues) and the levels it has
    // now, for reading and handing out entries; it cannot grow the pool and
    // must not outlive it.
    explicit ArrayBackedPool(ArrayBackedPool* pool)
    {
        std::memset(&mInternalValues, 0, sizeof mInternalValues);
        mInternalValues.mInitialShmSegmentID = -1;
        mValues = pool->mValues;
        const int64_t levels = pool->mViewOnly ? pool->mViewLevels : mValues->mNumAuxEntries;
        mEntries = new T*[static_cast<std::size_t>(levels)];
        std::copy(pool->mEntries, pool->mEntries + levels, mEntries);
        mViewOnly = true;
        mViewLevels = static_cast<uint16_t>(levels);
        mLog = pool->mLog;
        mObjectFactory = pool->mObjectFactory;
        mConstructorOnInit = pool->mConstructorOnInit;
    }

    ArrayBackedPool(const ArrayBackedPool&) = delete;
    ArrayBackedPool& operator=(const ArrayBackedPool&) = delete;

    // shmKey 0 makes a heap pool; any other value is the key of level 0,
    // whose segment is already attached at this object's address. A pool of
    // 0 entries gets levels of one entry, so it grows on first use.
    bool init(long numEntries, Log& log, const std::string& logName, int shmKey,
              uint8_t warningPercentage = DEFAULT_FULL_WARN_LEVEL)
    {
        SimpleValues& v = *mValues;
        mLog = &log;
        std::size_t length = std::min(logName.size(), cLogNameMax);
        std::memcpy(v.mLogName, logName.data(), length);
        v.mLogName[length] = '\0';
        const int64_t perLevel = std::max<long>(numEntries, 1);

        if (shmKey == 0)
        {
            v.mMaxEntries = perLevel;
            v.mNumAuxEntries = 1;
            mEntries = static_cast<T**>(std::calloc(1, sizeof(T*)));
            if (mEntries != nullptr)
                mEntries[0] = static_cast<T*>(std::calloc(perLevel, objectSize()));
            if (mEntries == nullptr || mEntries[0] == nullptr)
            {
                log.error() << "ArrayBackedPool::init() no memory for pool [" << v.mLogName << "] of size ["
                            << perLevel << "]";
                return false;
            }
        }
        else
        {
            char* base = reinterpret_cast<char*>(this);
            v.mInitialShmSegmentID = shmKey;
            mEntries = reinterpret_cast<T**>(base + PoolShmLayout::cLevelArray);
            mEntries[0] = reinterpret_cast<T*>(base + PoolShmLayout::cFirstEntries);
            if (v.mShMemExists)
                return attachLevels(shmKey, perLevel);
            v.mMaxEntries = perLevel;
            v.mNumAuxEntries = 1;
        }

        if (mObjectFactory != nullptr)
            mObjectFactory->suppressPoolConsumptionWarning();
        v.mUnlinkedFrom = 0;
        v.mFree = 0;
        if (shmKey == 0 && linksLazily(0, perLevel))
            linkLevelLazily(0, perLevel);
        else
            linkLevel(0, perLevel);
        v.mNumEntries = 0;
        v.mMaxNumberOfUsedEntries = 0;
        v.mWarningPercentage = warningPercentage;
        v.mTotalMaxEntries = perLevel;
        v.mFullPoolWarnLevel = warningPercentage * v.mTotalMaxEntries / 100;
        v.mLast = perLevel - 1;
        v.mWarningLogged = false;
        log.info() << "ArrayBackedPool::init() initialized pool [" << v.mLogName << "] with size [" << v.mMaxEntries
                   << "]";
        return true;
    }

    // Hands out one entry; -1 only when the pool cannot grow (no memory, or a
    // view of a shared pool).
    long getFreeIndex()
    {
        SimpleValues& v = *mValues;
        int64_t index = v.mFree;
        if (index == v.mLast) [[unlikely]]
        {
            // Entries given back go out again before any never used.
            if (v.mUnlinkedFrom != 0)
                return takeUnlinked(v);
            if (!grow())
                return -1;
            index = v.mFree;
        }
        T* entry = entryAt(v, index);
        if (entry == nullptr) [[unlikely]]
            return -1;
        ArrayBackedPoolObject* header = headerOf(entry);
        const int64_t next = header->mNext;
        header->mIndex = index;
        header->mPrev = -1;
        header->mNext = -1;
        const int64_t used = v.mNumEntries + 1;
        v.mNumEntries = used;
        if (used >= v.mFullPoolWarnLevel && !v.mWarningLogged) [[unlikely]]
            warnFill();
        if (v.mMaxNumberOfUsedEntries < used)
            v.mMaxNumberOfUsedEntries = used;
        // Release: a reader in another process that sees the new mFree sees the links.
        std::atomic_ref<int64_t>(v.mFree).store(next, std::memory_order_release);
        return index;
    }

    // Puts a handed-out entry back at the end of the free list, uncleared.
    // false for an index outside the pool.
    bool freeIndex(long index)
    {
        SimpleValues& v = *mValues;
        const int64_t last = v.mLast;
        T* entry = entryAt(v, index);
        T* lastEntry = entryAt(v, last);
        if (entry == nullptr || lastEntry == nullptr || index == last) [[unlikely]]
            return false;
        ArrayBackedPoolObject* header = headerOf(entry);
        header->mNext = -1;
        header->mPrev = last;
        headerOf(lastEntry)->mNext = index;
        v.mLast = index;
        if (v.mNumEntries > 0)
            v.mNumEntries -= 1;
        return true;
    }

    // Gives every entry back: one free chain over all levels in index order,
    // entries uncleared, nothing handed out. The levels and the high-water
    // mark stay. False (nothing done) for a view, which does not own the pool.
    bool clear()
    {
        SimpleValues& v = *mValues;
        if (mViewOnly || mEntries == nullptr || v.mTotalMaxEntries <= 0)
            return false;
        const int64_t total = v.mTotalMaxEntries;
        for (int64_t g = 0; g < total; ++g)
        {
            ArrayBackedPoolObject* header = headerOf(static_cast<T*>(rawEntry(g)));
            header->mPrev = g - 1;
            header->mNext = g + 1 < total ? g + 1 : -1;
            header->mIndex = g;
        }
        v.mNumEntries = 0;
        v.mLast = total - 1;
        v.mUnlinkedFrom = 0;
        v.mWarningLogged = false;
        std::atomic_ref<int64_t>(v.mFree).store(0, std::memory_order_release);
        return true;
    }

    // One info line with the pool's counters.
    void dump() const
    {
        if (mLog == nullptr)
            return;
        const SimpleValues& v = *mValues;
        mLog->info() << "ArrayBackedPool::dump() pool [" << v.mLogName << "] used[" << v.mNumEntries << "] maxUsed["
                     << v.mMaxNumberOfUsedEntries << "] perLevel[" << v.mMaxEntries << "] levels["
                     << v.mNumAuxEntries << "] total[" << v.mTotalMaxEntries << "] mFree[" << v.mFree << "] mLast["
                     << v.mLast << "] warnAt[" << v.mFullPoolWarnLevel << "] shmKey[" << v.mInitialShmSegmentID
                     << "] view[" << (mViewOnly ? "yes" : "no") << "]";
    }

    // The entry of `index`, its mIndex set; null outside the pool.
    T* getEntry(long index)
    {
        T* entry = entryAt(*mValues, index);
        if (entry != nullptr)
            headerOf(entry)->mIndex = index;
        return entry;
    }

    // As getEntry, without writing the entry: for readers of entries another
    // thread or process may be writing.
    T* peekEntry(long index) const { return entryAt(*mValues, index); }

    InternalIndex translateIndex(long index) const
    {
        const int64_t max = mValues->mMaxEntries;
        if (index < max)
            return InternalIndex{index, 0};
        return InternalIndex{index % max, index / max};
    }

    long getNumEntries() const { return mValues->mNumEntries; }
    long getMaxEntries() const { return mValues->mMaxEntries; }
    long getTotalMaxEntries() const { return mValues->mTotalMaxEntries; }
    long getNumLevels() const { return mValues->mNumAuxEntries; }
    long getMaxUsedEntries() const { return mValues->mMaxNumberOfUsedEntries; }
    const char* getLogName() const { return mValues->mLogName; }
    const SimpleValues& values() const { return *mValues; }
    void setObjectFactory(PoolObjectFactory<T>* factory) { mObjectFactory = factory; }
    void setConstructorOnInit(bool on) { mConstructorOnInit = on; }
    // No fill warning until the pool grows again.
    void suppressConsumptionWarning() { mValues->mWarningLogged = true; }
    bool isShared() const { return mValues->mInitialShmSegmentID != -1; }

    std::size_t objectSize() const
    {
        return mObjectFactory != nullptr ? mObjectFactory->getObjectNeededSize() : sizeof(T);
    }

    static std::size_t getInitialNeededSize(long numEntries, PoolObjectFactory<T>* factory)
    {
        const std::size_t size = factory != nullptr ? factory->getObjectNeededSize() : sizeof(T);
        return static_cast<std::size_t>(std::max<long>(numEntries, 1)) * size + PoolShmLayout::cFirstEntries;
    }

    // Bytes of the segment of level `level` (1 is level 0's segment).
    std::size_t getLevelNeededSize(int level) const
    {
        const std::size_t entries = static_cast<std::size_t>(mValues->mMaxEntries) * objectSize();
        if (level <= 1)
            return entries + PoolShmLayout::cFirstEntries;
        return entries + PoolShmLayout::levelEntries(level);
    }

    // Sets up a pool in the segment of `key`: builds it when the segment is
    // new, else checks it (size, counters, levels) and refreshes this
    // process's pointers. Null on failure, logged; nothing stays attached.
    static ArrayBackedPool* initShMem(key_t key, int& shmid, long numEntries, Log& log, const std::string& logName,
                                      PoolObjectFactory<T>* factory, uint8_t warningPercentage)
    {
        const std::size_t size = getInitialNeededSize(numEntries, factory);
        bool created = false;
        void* base = PoolShm::attach(&log, key, size, shmid, created);
        if (base == nullptr)
            return nullptr;
        if (!created && !PoolShm::waitReady(base))
        {
            log.error() << "ArrayBackedPool::initShMem() pool [" << logName << "] of key |" << static_cast<long>(key)
                        << "| was never completed by its creator";
            PoolShm::detach(base);
            return nullptr;
        }
        ArrayBackedPool* pool = static_cast<ArrayBackedPool*>(base);
        if (created)
        {
            new (pool) ArrayBackedPool();
            pool->mInternalValues.mWarningPercentage = warningPercentage;
        }
        pool->mValues = &pool->mInternalValues;
        pool->mLog = &log;
        pool->mObjectFactory = factory;
        pool->mViewOnly = false;
        pool->mValues->mShMemExists = !created;
        pool->mValues->mInitialShmInternalID = shmid;
        if (!pool->init(numEntries, log, logName, key, warningPercentage))
        {
            detachShm(pool);
            return nullptr;
        }
        if (created)
            PoolShm::markReady(base);
        return pool;
    }

    // As initShMem, and returns a heap view of the shared pool owned by the
    // caller: counters shared through mValues, level 0 only.
    static ArrayBackedPool* initShMemAndGetCopy(key_t key, int& shmid, long numEntries, Log& log,
                                                const std::string& logName, PoolObjectFactory<T>* factory,
                                                uint8_t warningPercentage)
    {
        ArrayBackedPool* shared = initShMem(key, shmid, numEntries, log, logName, factory, warningPercentage);
        if (shared == nullptr)
            return nullptr;
        ArrayBackedPool* view = new ArrayBackedPool();
        view->mValues = &shared->mInternalValues;
        view->mEntries = new T*[1]{shared->mEntries[0]};
        view->mViewOnly = true;
        view->mViewLevels = 1;
        view->mLog = &log;
        view->mObjectFactory = factory;
        return view;
    }

    // Makes a pool object that lies in a segment this process attached
    // itself (at `this`, by its own shmat) usable here: its counters checked,
    // the pointers that another process left in it replaced by this process's,
    // the further levels attached and, with a factory, the entries' own
    // pointers refreshed. False (logged) for a heap pool or a segment whose
    // counters or levels do not describe the pool.
    bool calculatePointersShm(Log& log, PoolObjectFactory<T>* factory = nullptr)
    {
        mValues = &mInternalValues;
        mLog = &log;
        mObjectFactory = factory;
        mViewOnly = false;
        mViewLevels = 0;
        const SimpleValues& v = mInternalValues;
        if (v.mInitialShmSegmentID == -1 || v.mInitialShmSegmentID == 0)
        {
            log.error() << "ArrayBackedPool::calculatePointersShm() pool [" << v.mLogName << "] is not in shared memory";
            return false;
        }
        char* base = reinterpret_cast<char*>(this);
        mEntries = reinterpret_cast<T**>(base + PoolShmLayout::cLevelArray);
        mEntries[0] = reinterpret_cast<T*>(base + PoolShmLayout::cFirstEntries);
        return attachLevels(v.mInitialShmSegmentID, v.mMaxEntries);
    }

    // Creates (or attaches) the segment of `shmKey` sized as the pool's next
    // level and puts its id into *nextSegmentID; its header is zeroed. Null
    // (logged) for a pool without level 0 in shared memory. Growth uses it
    // with the first key plus the new number of levels.
    void* createShmLevel(int shmKey, int* nextSegmentID)
    {
        if (mEntries == nullptr || !isShared() || mViewOnly)
        {
            if (mLog != nullptr)
                mLog->error() << "ERROR: creating pool shm level, initial level is not defined";
            return nullptr;
        }
        int id = 0;
        bool created = false;
        const int level = static_cast<int>(mValues->mNumAuxEntries + 1);
        char* segment =
            static_cast<char*>(PoolShm::attach(mLog, static_cast<key_t>(shmKey), getLevelNeededSize(level), id, created));
        if (segment == nullptr)
            return nullptr;
        std::memset(segment, 0, PoolShmLayout::cLevelArrayInLevel);
        if (nextSegmentID != nullptr)
            *nextSegmentID = id;
        return segment;
    }

    // Detaches every level of a shared pool (or of a view's pool), deepest
    // first. -1, and nothing done, for a heap pool.
    static int detachShm(ArrayBackedPool* pool)
    {
        if (pool == nullptr || !pool->isShared())
            return -1;
        char* base = reinterpret_cast<char*>(pool->mValues) - offsetof(ArrayBackedPool, mInternalValues);
        return detachLevel(base, pool->mValues->mInitialShmInternalID, 1);
    }

    // Detaches the segment at `mem` after the levels it names, deepest first.
    static int detachLevel(void* mem, int memoryID, int level)
    {
        (void)memoryID;
        const char* header =
            static_cast<char*>(mem) + (level == 1 ? PoolShmLayout::cNextLevelAddress : PoolShmLayout::cLevelNextAddress);
        int nextId = 0;
        std::memcpy(&nextId, header + 8, sizeof nextId);
        // The address in the header may be another process's: use our own mapping of that id.
        void* next = nextId != 0 ? PoolShm::takeMapping(nextId) : nullptr;
        if (next != nullptr)
            detachLevel(next, nextId, level + 1);
        return PoolShm::detach(mem);
    }

    // The layout that outside readers rely on.
    static constexpr bool layoutMatches()
    {
        return sizeof(ArrayBackedPool) == PoolShmLayout::cPoolObjectSize && offsetof(ArrayBackedPool, mEntries) == 0 &&
               offsetof(ArrayBackedPool, mObjectFactory) == 8 && offsetof(ArrayBackedPool, mLog) == 16 &&
               offsetof(ArrayBackedPool, mConstructorOnInit) == 24 &&
               offsetof(ArrayBackedPool, mViewLevels) == 26 &&
               offsetof(ArrayBackedPool, mReserved) == PoolShmLayout::cReadyMark &&
               offsetof(ArrayBackedPool, mInternalValues) == 32 && offsetof(ArrayBackedPool, mValues) == 168;
    }

private:
    static ArrayBackedPoolObject* headerOf(T* entry) { return static_cast<ArrayBackedPoolObject*>(entry); }

    // The entry of `index` without touching it; null outside the pool.
    T* entryAt(const SimpleValues& v, int64_t index) const
    {
        if (static_cast<uint64_t>(index) >= static_cast<uint64_t>(v.mTotalMaxEntries)) [[unlikely]]
            return nullptr;
        if (index < v.mMaxEntries) [[likely]]
            return reinterpret_cast<T*>(reinterpret_cast<char*>(mEntries[0]) + index * objectSize());
        const InternalIndex at = translateIndex(index);
        if (mViewOnly && at.mArrayIndex >= mViewLevels)
            return nullptr;
        return reinterpret_cast<T*>(reinterpret_cast<char*>(mEntries[at.mArrayIndex]) + at.mIndex * objectSize());
    }

    [[gnu::cold]] void warnFill()
    {
        SimpleValues& v = *mValues;
        if (mLog != nullptr)
        {
            mLog->warning() << "WARNING: Pool [" << v.mLogName << "]  warn level at "
                            << static_cast<unsigned>(v.mWarningPercentage)
                            << " % reached.\n\tCurrent number of items used: " << v.mNumEntries
                            << ". Maximum items allowed: " << v.mTotalMaxEntries;
            v.mWarningLogged = true;
        }
    }

    // Entries first .. first + count - 1 become a free chain of their own.
    void linkLevel(int64_t first, int64_t count)
    {
        const int64_t end = first + count;
        for (int64_t g = first; g < end; ++g)
        {
            void* place = rawEntry(g);
            T* entry = mObjectFactory != nullptr ? mObjectFactory->createObject(place, g) : static_cast<T*>(place);
            ArrayBackedPoolObject* header = headerOf(entry);
            header->mPrev = g - 1;
            header->mNext = g + 1;
            header->mIndex = g;
            if (mConstructorOnInit)
                new (place) T();
        }
        headerOf(static_cast<T*>(rawEntry(first)))->mPrev = -1;
        headerOf(static_cast<T*>(rawEntry(end - 1)))->mNext = -1;
    }

    // A large heap level of plain entries comes zeroed from calloc, which
    // leaves its pages untouched until used: only its last entry is linked
    // now, the others as they are first handed out, after every entry given
    // back (getFreeIndex). Such a pool holds resident the most entries it had
    // out at once, not its size. Smaller levels, and entries made by a
    // factory or constructor, are linked whole.
    static constexpr std::size_t cLazyLevelBytes = 1 << 20;
    bool linksLazily(int64_t first, int64_t count) const
    {
        return mObjectFactory == nullptr && !mConstructorOnInit && first + count < int64_t{UINT32_MAX}
               && static_cast<std::size_t>(count) * objectSize() >= cLazyLevelBytes;
    }

    // The level's last entry joins the free list; the others wait, in index
    // order, for the list to hold nothing but its last entry (kept in reserve).
    void linkLevelLazily(int64_t first, int64_t count)
    {
        const int64_t last = first + count - 1;
        ArrayBackedPoolObject* header = headerOf(static_cast<T*>(rawEntry(last)));
        header->mPrev = -1;
        header->mNext = -1;
        header->mIndex = last;
        mValues->mUnlinkedFrom = count > 1 ? static_cast<uint32_t>(first + 1) : 0;
        if (first == 0)
            mValues->mFree = last;
    }

    // The next entry never used, of the run before the newest level's last.
    long takeUnlinked(SimpleValues& v)
    {
        const int64_t index = static_cast<int64_t>(v.mUnlinkedFrom) - 1;
        T* entry = v.mMaxEntries > 0 ? entryAt(v, index) : nullptr;
        if (entry == nullptr) [[unlikely]]
            return -1;
        const int64_t next = index + 1;
        v.mUnlinkedFrom = next % v.mMaxEntries == v.mMaxEntries - 1 ? 0 : static_cast<uint32_t>(next + 1);
        ArrayBackedPoolObject* header = headerOf(entry);
        header->mIndex = index;
        header->mPrev = -1;
        header->mNext = -1;
        const int64_t used = v.mNumEntries + 1;
        v.mNumEntries = used;
        if (used >= v.mFullPoolWarnLevel && !v.mWarningLogged) [[unlikely]]
            warnFill();
        if (v.mMaxNumberOfUsedEntries < used)
            v.mMaxNumberOfUsedEntries = used;
        return index;
    }

    void* rawEntry(int64_t index)
    {
        const InternalIndex at = translateIndex(index);
        return reinterpret_cast<char*>(mEntries[at.mArrayIndex]) + at.mIndex * objectSize();
    }

    // Adds one level and links it after the last free entry.
    bool grow()
    {
        SimpleValues& v = *mValues;
        if (mViewOnly)
        {
            if (mLog != nullptr)
                mLog->error() << "ArrayBackedPool [" << v.mLogName
                              << "] is full and a view of a shared pool cannot grow it";
            return false;
        }
        const int64_t levels = v.mNumAuxEntries + 1;
        if (mLog != nullptr)
            mLog->warning() << " ArrayBackedPool [" << v.mLogName
                            << "] is full. Pool resizing. MAX_ENTRIES IS: " << v.mTotalMaxEntries
                            << " started at: " << v.mTotalMaxEntries << ", new MAX_ENTRIES is "
                            << levels * v.mMaxEntries << ". mFree[" << v.mFree << "] mLast[" << v.mLast << "]";
        v.mWarningLogged = false;
        if (!(isShared() ? addSharedLevel(levels) : addHeapLevel(levels)))
            return false;
        v.mNumAuxEntries = levels;
        v.mTotalMaxEntries = levels * v.mMaxEntries;
        const int64_t first = (levels - 1) * v.mMaxEntries;
        if (mObjectFactory != nullptr)
            mObjectFactory->suppressPoolConsumptionWarning();
        // Only the last free entry is left: any earlier run is used up.
        v.mUnlinkedFrom = 0;
        if (!isShared() && linksLazily(first, v.mMaxEntries))
        {
            linkLevelLazily(first, v.mMaxEntries);
            headerOf(getEntry(v.mLast))->mNext = levels * v.mMaxEntries - 1;
        }
        else
        {
            linkLevel(first, v.mMaxEntries);
            headerOf(getEntry(v.mLast))->mNext = first;
        }
        v.mFullPoolWarnLevel = v.mWarningPercentage * v.mTotalMaxEntries / 100;
        v.mLast = v.mTotalMaxEntries - 1;
        if (mLog != nullptr)
            mLog->info() << " ArrayBackedPool [" << v.mLogName
                         << "] After Pool resizing. MAX_ENTRIES IS: " << v.mTotalMaxEntries << ". mNumAuxEntries["
                         << levels << "] mMaxEntries[" << v.mMaxEntries << "] mFree[" << v.mFree << "] mLast["
                         << v.mLast << "] increment[" << first << "]";
        v.mWarningLogged = false;
        return true;
    }

    bool addHeapLevel(int64_t levels)
    {
        T** array = static_cast<T**>(std::calloc(levels, sizeof(T*)));
        T* block = static_cast<T*>(std::calloc(mValues->mMaxEntries, objectSize()));
        if (array == nullptr || block == nullptr)
        {
            std::free(array);
            std::free(block);
            if (mLog != nullptr)
                mLog->error() << "ArrayBackedPool [" << mValues->mLogName << "] no memory for a new level";
            return false;
        }
        std::memcpy(array, mEntries, (levels - 1) * sizeof(T*));
        array[levels - 1] = block;
        std::free(mEntries);
        mEntries = array;
        return true;
    }

    // The header (next address, next id) of the segment of level `levels`.
    char* levelHeader(int64_t levels)
    {
        if (levels <= 1)
            return reinterpret_cast<char*>(this) + PoolShmLayout::cNextLevelAddress;
        return reinterpret_cast<char*>(mEntries[levels - 1]) - PoolShmLayout::levelEntries(levels);
    }

    // Makes `segment` the level `levels`: named in the preceding header, its
    // address array filled.
    void hookLevel(int64_t levels, char* segment, int id)
    {
        char* previous = levelHeader(levels - 1);
        std::memcpy(previous, &segment, sizeof segment);
        std::memcpy(previous + 8, &id, sizeof id);
        T** array = reinterpret_cast<T**>(segment + PoolShmLayout::cLevelArrayInLevel);
        std::memcpy(array, mEntries, (levels - 1) * sizeof(T*));
        array[levels - 1] = reinterpret_cast<T*>(segment + PoolShmLayout::levelEntries(levels));
        mEntries = array;
        PoolShm::rememberMapping(id, segment);
    }

    bool addSharedLevel(int64_t levels)
    {
        int id = 0;
        char* segment = static_cast<char*>(
            createShmLevel(mValues->mInitialShmSegmentID + static_cast<int>(levels), &id));
        if (segment == nullptr)
            return false;
        hookLevel(levels, segment, id);
        return true;
    }

    // Attaches the further levels an existing pool names, after checking its counters.
    bool attachLevels(int shmKey, int64_t perLevel)
    {
        SimpleValues& v = *mValues;
        const int64_t levels = v.mNumAuxEntries;
        const int64_t total = v.mTotalMaxEntries;
        if (v.mMaxEntries != perLevel || levels < 1 || levels > cMaxLevels || total != levels * perLevel ||
            v.mNumEntries < 0 || v.mNumEntries > total || v.mFree < 0 || v.mFree >= total || v.mLast < 0 ||
            v.mLast >= total || std::memchr(v.mLogName, '\0', sizeof v.mLogName) == nullptr)
        {
            if (mLog != nullptr)
                mLog->error() << "ArrayBackedPool::init() existing pool of key |" << shmKey
                              << "| has counters that do not match a pool of |" << perLevel << "| entries per level";
            return false;
        }
        if (mObjectFactory != nullptr)
            for (int64_t g = 0; g < perLevel; ++g)
                mObjectFactory->recalculatedPointers(rawEntry(g));
        v.mNumAuxEntries = 1;
        for (int64_t level = 2; level <= levels; ++level)
        {
            int recorded = 0;
            std::memcpy(&recorded, levelHeader(level - 1) + 8, sizeof recorded);
            int id = 0;
            char* segment = static_cast<char*>(PoolShm::attachExisting(
                mLog, shmKey + static_cast<key_t>(level), getLevelNeededSize(static_cast<int>(level)), recorded, id));
            if (recorded == 0 || segment == nullptr)
            {
                v.mNumAuxEntries = levels;
                return false;
            }
            hookLevel(level, segment, id);
            v.mNumAuxEntries = level;
            if (mObjectFactory != nullptr)
                for (int64_t g = (level - 1) * perLevel; g < level * perLevel; ++g)
                    mObjectFactory->recalculatedPointers(rawEntry(g));
        }
        return true;
    }

    T** mEntries = nullptr;                          // level base addresses (process-local)
    PoolObjectFactory<T>* mObjectFactory = nullptr;  // null: entries are plain T (process-local)
    Log* mLog = nullptr;                             // (process-local)
    bool mConstructorOnInit = false;
    bool mViewOnly = false;                          // a view of another pool's levels
    uint16_t mViewLevels = 0;                        // the levels a view knows
    uint8_t mReserved[4] = {};                       // the shared ready mark
    SimpleValues mInternalValues;
    SimpleValues* mValues;
};

} // namespace Zunq::Utils
