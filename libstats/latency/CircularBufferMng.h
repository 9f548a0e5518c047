// The process's latency-queue manager: creates or attaches the three shared
// segments of the latency queues (samples, buffers, map) made from one key-file
// name N, adds named queues, appends samples and flushes queues to files.
//
// The segments' keys are ftok(N, 0), ftok(N, 1) and ftok(N, 2); a System V
// semaphore of key ftok(N, 0) serialises set-up and the adding of queues
// between processes (with SEM_UNDO, so a process that dies holding it does not
// block the others). Each queue has one writer (addElement, from the process
// that owns the matching statistics record) and one reader (a flush).
// At most Q - 1 queues exist: the buffer pool keeps its last entry in reserve.
#pragma once

#include "libstats/latency/CircularBuffer.h"
#include "libstats/latency/CircularBufferFactory.h"
#include "libstats/latency/CircularBufferMap.h"
#include "libstats/latency/CircularBufferMapFactory.h"
#include "libstats/latency/CircularBufferRecords.h"

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class Log;

class CircularBufferMng
{
public:
    // How long set-up and adding a queue wait for the semaphore (tests shorten it).
    static constexpr int cSemaphoreWaitMs = 5000;
    static void setSemaphoreWait(int milliseconds) { sSemaphoreWaitMs = milliseconds; }

    // The instance, built on the first call (N = name, Q = numItems, S =
    // maxItemSize); later calls ignore their arguments. Null when the build
    // fails: no instance is kept, and a later call tries again.
    static CircularBufferMng* getInstance(const char* name, long numItems, long maxItemSize, Log& log);
    // The instance, or null.
    static CircularBufferMng* getInstance();
    // Detaches this process from the segments and forgets the instance; the
    // segments stay for the other processes.
    static void destroyInstance();

    ~CircularBufferMng();
    CircularBufferMng(const CircularBufferMng&) = delete;
    CircularBufferMng& operator=(const CircularBufferMng&) = delete;

    // Finds the queue named exactly `name` or creates it; id is its queue id.
    // false for an empty or too long name and when Q - 1 queues exist.
    bool addCircularBuffer(const char* name, unsigned int& id);
    // Appends one sample to queue `id`; a queue that does not exist takes
    // nothing. Always true (a sample refused by a full queue is counted there).
    bool addElement(unsigned int id, const latency_info_t& latencies)
    {
        CircularBuffer* view = id < mTmpCircularBuffers.size() ? mTmpCircularBuffers[id].get() : nullptr;
        if (view != nullptr)
            view->pushBackItem(latencies);
        else
            addElementWithoutView(id, latencies);
        return true;
    }

    // As addElement, the sample written in place by fill(latency_info_t&):
    // no copy between the caller and the queue.
    template <class Fill>
    void addElementInPlace(unsigned int id, Fill fill)
    {
        CircularBuffer* view = id < mTmpCircularBuffers.size() ? mTmpCircularBuffers[id].get() : nullptr;
        if (view == nullptr && (id >= mTmpCircularBuffers.size() || (view = viewOf(id)) == nullptr))
            return;
        if (latency_info_t* slot = view->claimBack())
        {
            fill(*slot);
            view->commitBack();
        }
    }

    // The shared queue of `id` (null when not in use).
    CircularBufferRecord* findCircularBuffer(unsigned int id);
    // A new view of queue `id` for a reader, or null.
    std::unique_ptr<CircularBuffer> findCircularBufferShmSafe(unsigned int id);
    const char* findCircularBufferName(unsigned int id);
    void dumpCircularBuffer(unsigned int id);
    long getNumCircularBuffers() const;
    long getMaxQueues() const { return mNumQueues; }
    long getQueueSize() const { return mItemsSize; }

    bool flushCircularBuffersToDisk(const std::string& latencyFilePrefix, const std::string& latencyFileSuffix,
                                    bool latencyQueueFlushUntilEmpty, int latencyQueueMaxFlushSize);
    bool flushCircularBuffer(const std::string& outFilePath, CircularBuffer* buffer, const char* bufferName,
                             bool latencyQueueFlushUntilEmpty, int latencyQueueMaxFlushSize);

    // True when a queue name can be part of a latency file's name: any other
    // process may have named the queue, so a name that would reach another
    // directory ("/", ".", "..") is not used.
    static bool isFileNamePart(const char* name);

    // The System V keys of the segments of key-file name `name` (-1 when the
    // file cannot be used), for tools and clean-up.
    static key_t keyOf(const char* name, int which);

private:
    CircularBufferMng(Log& log, long numItems, long maxItemSize);
    bool build(const char* name);
    bool lock();
    void unlock();
    CircularBuffer* viewOf(unsigned int id);
    void addElementWithoutView(unsigned int id, const latency_info_t& latencies);

    static inline int sSemaphoreWaitMs = cSemaphoreWaitMs;

    Log& mLog;
    long mNumQueues;
    long mItemsSize;
    int mSemId = -1;
    int mSampleShmId = 0;
    int mBufferShmId = 0;
    int mMapShmId = 0;
    std::unique_ptr<Zunq::Utils::ArrayBackedPool<CircularBufferMapRecord>> mCircularBufferMapPool;
    std::unique_ptr<Zunq::Utils::ArrayBackedPool<CircularBufferRecord>> mCircularBuffersPool;
    std::unique_ptr<Zunq::Utils::ArrayBackedPool<latency_info_t>> mLatencyEntriesPool;
    std::unique_ptr<CircularBufferMap> mCircularBufferMap;
    std::unique_ptr<CircularBufferFactory> mCircularBufferFactory;
    std::unique_ptr<CircularBufferMapFactory> mBufferMapFactory;
    // Views for appending, by queue id.
    std::vector<std::unique_ptr<CircularBuffer>> mTmpCircularBuffers;
};
