#include "libstats/latency/CircularBufferMng.h"

#include "zunq/log/Log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <thread>

using Zunq::Utils::ArrayBackedPool;

namespace
{

CircularBufferMng* gInstance = nullptr;

// The largest sample pool accepted: Q x S samples of 96 bytes.
constexpr long cMaxSamples = 1L << 26;

timespec waitFor(int milliseconds)
{
    timespec wait{};
    wait.tv_sec = milliseconds / 1000;
    wait.tv_nsec = (milliseconds % 1000) * 1000000L;
    return wait;
}

// The semaphore set of `key`: created by exactly one process, which opens it
// with one operation (so sem_otime tells the others it is ready).
int openSemaphore(Log& log, key_t key)
{
    int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    if (id >= 0)
    {
        sembuf open{0, 1, 0};
        if (semop(id, &open, 1) == 0)
            return id;
        log.error() << "CircularBufferMng::CircularBufferMng() semop failed: " << std::strerror(errno);
        return -1;
    }
    if (errno != EEXIST)
    {
        log.error() << "CircularBufferMng::CircularBufferMng() semget failed for key |" << static_cast<long>(key)
                    << "|: " << std::strerror(errno);
        return -1;
    }
    id = semget(key, 1, 0);
    for (int waited = 0; id >= 0 && waited < CircularBufferMng::cSemaphoreWaitMs; ++waited)
    {
        semid_ds info{};
        union
        {
            int val;
            semid_ds* buf;
        } arg;
        arg.buf = &info;
        if (semctl(id, 0, IPC_STAT, arg) == 0 && info.sem_otime != 0)
            return id;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    log.error() << "CircularBufferMng::CircularBufferMng() semaphore of key |" << static_cast<long>(key)
                << "| was never opened by its creator";
    return -1;
}

} // namespace

bool CircularBufferMng::isFileNamePart(const char* name)
{
    return name != nullptr && *name != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

key_t CircularBufferMng::keyOf(const char* name, int which)
{
    if (name == nullptr || *name == '\0')
        return -1;
    key_t key = ftok(name, which);
    // Key 0 is IPC_PRIVATE: every call would make a new private segment.
    return key == 0 ? -1 : key;
}

CircularBufferMng* CircularBufferMng::getInstance(const char* name, long numItems, long maxItemSize, Log& log)
{
    if (gInstance != nullptr)
        return gInstance;
    auto* manager = new CircularBufferMng(log, numItems, maxItemSize);
    if (!manager->build(name))
    {
        delete manager;
        return nullptr;
    }
    gInstance = manager;
    return gInstance;
}

CircularBufferMng* CircularBufferMng::getInstance()
{
    return gInstance;
}

void CircularBufferMng::destroyInstance()
{
    delete gInstance;
    gInstance = nullptr;
}

CircularBufferMng::CircularBufferMng(Log& log, long numItems, long maxItemSize)
    : mLog(log)
    , mNumQueues(numItems)
    , mItemsSize(maxItemSize)
{
}

CircularBufferMng::~CircularBufferMng()
{
    mTmpCircularBuffers.clear();
    mCircularBufferMap.reset();
    // Views first: each detaches its pool's segments; the segments stay.
    ArrayBackedPool<CircularBufferMapRecord>::detachShm(mCircularBufferMapPool.get());
    ArrayBackedPool<CircularBufferRecord>::detachShm(mCircularBuffersPool.get());
    ArrayBackedPool<latency_info_t>::detachShm(mLatencyEntriesPool.get());
}

bool CircularBufferMng::lock()
{
    sembuf take{0, -1, SEM_UNDO};
    timespec wait = waitFor(sSemaphoreWaitMs);
    while (semtimedop(mSemId, &take, 1, &wait) != 0)
    {
        if (errno == EINTR)
            continue;
        mLog.error() << "CircularBufferMng: semaphore not taken: " << std::strerror(errno);
        return false;
    }
    return true;
}

void CircularBufferMng::unlock()
{
    sembuf give{0, 1, SEM_UNDO};
    semop(mSemId, &give, 1);
}

bool CircularBufferMng::build(const char* name)
{
    const key_t key0 = keyOf(name, 0);
    const key_t key1 = keyOf(name, 1);
    const key_t key2 = keyOf(name, 2);
    if (mLog.verboseEnabled())
    {
        mLog.verbose() << "CircularBufferMng: Latency key " << static_cast<long>(key0);
        mLog.verbose() << "CircularBufferMng: Buffers key " << static_cast<long>(key1);
        mLog.verbose() << "CircularBufferMng: Map key " << static_cast<long>(key2);
    }
    if (key0 == -1 || key1 == -1 || key2 == -1)
    {
        mLog.error() << "CircularBufferMng::CircularBufferMng() Keys are not valid";
        return false;
    }
    if (mNumQueues < 1 || mItemsSize < 1 || mNumQueues > cMaxSamples / mItemsSize)
    {
        mLog.error() << "CircularBufferMng::CircularBufferMng() invalid sizes: queues |" << mNumQueues
                     << "| samples per queue |" << mItemsSize << "|";
        return false;
    }
    mSemId = openSemaphore(mLog, key0);
    if (mSemId < 0 || !lock())
        return false;

    bool ready = false;
    do
    {
        const std::string failure = "CircularBufferMng::CircularBufferMng() Problem creating shared memory pool for <";
        mLatencyEntriesPool.reset(ArrayBackedPool<latency_info_t>::initShMemAndGetCopy(
            key0, mSampleShmId, mNumQueues * mItemsSize, mLog, "latency_info_t", nullptr, 90));
        if (!mLatencyEntriesPool)
        {
            mLog.error() << failure << "latency_info_t>";
            break;
        }
        mCircularBufferFactory = std::make_unique<CircularBufferFactory>(mLog, *mLatencyEntriesPool, mItemsSize);
        mCircularBuffersPool.reset(ArrayBackedPool<CircularBufferRecord>::initShMemAndGetCopy(
            key1, mBufferShmId, mNumQueues, mLog, "latency_CircularBuffer", mCircularBufferFactory.get(), 90));
        if (!mCircularBuffersPool)
        {
            mLog.error() << failure << "latency_CircularBuffer>";
            break;
        }
        mBufferMapFactory = std::make_unique<CircularBufferMapFactory>(mLog, *mCircularBuffersPool, mNumQueues);
        mCircularBufferMapPool.reset(ArrayBackedPool<CircularBufferMapRecord>::initShMemAndGetCopy(
            key2, mMapShmId, 1, mLog, "latency_CircularBufferMap", mBufferMapFactory.get(), 90));
        if (!mCircularBufferMapPool)
        {
            mLog.error() << failure << "latency_CircularBufferMap>";
            break;
        }
        CircularBufferMapRecord* map = mCircularBufferMapPool->getEntry(0);
        mBufferMapFactory->recalculatedPointers(map);
        mCircularBufferMap.reset(CircularBufferMap::GetSharedCopy(*map, mCircularBuffersPool.get(), mLog));

        // Another process wrote these: trust them only when they describe our sizes.
        bool valid = map->mValues.mMaxEntries == mNumQueues && map->mValues.mNumEntries >= 0 &&
                     map->mValues.mNumEntries < mNumQueues;
        for (long b = 0; valid && b < mNumQueues; ++b)
        {
            const CircularBufferRecord* buffer = mCircularBuffersPool->peekEntry(b);
            valid = buffer->mValues.mMaxEntries == mItemsSize && buffer->mValues.mInitialPoolIndex == b * mItemsSize &&
                    std::memchr(buffer->mName, '\0', sizeof buffer->mName) != nullptr;
        }
        if (!valid)
        {
            mLog.error() << "CircularBufferMng::CircularBufferMng() existing latency queues of <" << name
                         << "> do not match |" << mNumQueues << "| queues of |" << mItemsSize << "| samples";
            break;
        }
        mTmpCircularBuffers.resize(mNumQueues);
        ready = true;
    } while (false);
    unlock();
    return ready;
}

bool CircularBufferMng::addCircularBuffer(const char* name, unsigned int& id)
{
    if (name == nullptr || *name == '\0' || std::strlen(name) >= CircularBufferRecord::cNameSize)
    {
        mLog.error() << "CircularBufferMng::addCircularBuffer() invalid name";
        return false;
    }
    if (!lock())
        return false;
    unsigned int found = mCircularBufferMap->getCircularBufferID(name);
    bool added = mCircularBufferMap->isInUse(found);
    if (!added)
    {
        if (static_cast<long>(found) >= mNumQueues - 1)
            mLog.error() << "CircularBufferMng::addCircularBuffer() no room for " << name << ": |" << found
                         << "| queues exist";
        else if (CircularBufferRecord* buffer = mCircularBufferMap->addEmptyEntry(found, false))
        {
            std::memset(buffer->mName, 0, sizeof buffer->mName);
            std::memcpy(buffer->mName, name, std::strlen(name));
            added = true;
        }
    }
    unlock();
    if (!added)
        return false;
    id = found;
    mLog.info() << "CircularBufferMng::addCircularBuffer() CircularBuffer[" << id << "] is created for " << name;
    mTmpCircularBuffers[id].reset();
    viewOf(id);
    return true;
}

CircularBuffer* CircularBufferMng::viewOf(unsigned int id)
{
    CircularBufferRecord* shared = findCircularBuffer(id);
    if (shared == nullptr)
        return nullptr;
    auto view = std::make_unique<CircularBuffer>(0, "", mItemsSize, mLog, mLatencyEntriesPool.get(), 0);
    CircularBuffer::GetSharedCopy(*shared, view.get(), mCircularBufferFactory.get());
    mTmpCircularBuffers[id] = std::move(view);
    return mTmpCircularBuffers[id].get();
}

// A queue another process added gets its view on first use.
void CircularBufferMng::addElementWithoutView(unsigned int id, const latency_info_t& latencies)
{
    if (id >= mTmpCircularBuffers.size())
        return;
    if (CircularBuffer* view = viewOf(id))
        view->pushBackItem(latencies);
}

CircularBufferRecord* CircularBufferMng::findCircularBuffer(unsigned int id)
{
    return static_cast<long>(id) < mCircularBufferMap->usedSlots() ? mCircularBufferMap->getEntry(id) : nullptr;
}

std::unique_ptr<CircularBuffer> CircularBufferMng::findCircularBufferShmSafe(unsigned int id)
{
    CircularBufferRecord* shared = findCircularBuffer(id);
    if (shared == nullptr)
        return nullptr;
    auto view = std::make_unique<CircularBuffer>(0, "", mItemsSize, mLog, mLatencyEntriesPool.get(), 0);
    CircularBuffer::GetSharedCopy(*shared, view.get(), mCircularBufferFactory.get());
    return view;
}

const char* CircularBufferMng::findCircularBufferName(unsigned int id)
{
    CircularBufferRecord* shared = findCircularBuffer(id);
    return shared != nullptr ? shared->mName : nullptr;
}

long CircularBufferMng::getNumCircularBuffers() const
{
    return mCircularBufferMap->usedSlots();
}

void CircularBufferMng::dumpCircularBuffer(unsigned int id)
{
    std::unique_ptr<CircularBuffer> buffer = findCircularBufferShmSafe(id);
    if (!buffer)
        return;
    mLog.info() << "Display:     Current contents (forward) of " << buffer->getName() << ":";
    buffer->forEachUnread([this](const latency_info_t& sample) {
        mLog.info() << "Display:       " << sample.T1 << " ; ";
        mLog.info() << sample.T2_T1 << " ; ";
        mLog.info() << sample.T3_T2 << " ; ";
        mLog.info() << sample.T4_T3;
    });
}

bool CircularBufferMng::flushCircularBuffer(const std::string& outFilePath, CircularBuffer* buffer,
                                            const char* bufferName, bool latencyQueueFlushUntilEmpty,
                                            int latencyQueueMaxFlushSize)
{
    if (mLog.verboseEnabled())
        mLog.info() << "FlushQueues:    Flushing buffer for = " << buffer->getName();
    struct stat info;
    const bool existed = stat(outFilePath.c_str(), &info) == 0;
    std::ofstream file(outFilePath, std::ios::out | std::ios::app);
    if (!file.is_open())
    {
        mLog.error() << "FlushQueues: Error opening output file" << outFilePath;
        return false;
    }
    if (!existed)
        file << bufferName << '\n';
    buffer->flush(file, latencyQueueFlushUntilEmpty ? -1 : latencyQueueMaxFlushSize);
    return true;
}

bool CircularBufferMng::flushCircularBuffersToDisk(const std::string& latencyFilePrefix,
                                                   const std::string& latencyFileSuffix,
                                                   bool latencyQueueFlushUntilEmpty, int latencyQueueMaxFlushSize)
{
    const long used = mCircularBufferMap->usedSlots();
    if (mLog.verboseEnabled())
        mLog.verbose() << "FlushQueues:  Number of latency queues = " << used;
    for (long slot = 0; slot < used; ++slot)
    {
        std::unique_ptr<CircularBuffer> buffer = findCircularBufferShmSafe(static_cast<unsigned int>(slot));
        if (!buffer)
            continue;
        const std::string name = buffer->getName();
        if (!isFileNamePart(name.c_str()))
        {
            mLog.error() << "FlushQueues: latency queue [" << slot << "] has a name unfit for a file name; not flushed";
            continue;
        }
        const std::string path = latencyFilePrefix + name + "." + latencyFileSuffix;
        if (mLog.verboseEnabled())
            mLog.verbose() << "FlushQueues:    Flushing buffer for = " << name;
        if (!flushCircularBuffer(path, buffer.get(), name.c_str(), latencyQueueFlushUntilEmpty,
                                 latencyQueueMaxFlushSize))
            return false;
    }
    return true;
}
