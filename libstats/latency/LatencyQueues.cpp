#include "libstats/latency/LatencyQueues.h"

#include "libstats/latency/CircularBufferMng.h"
#include "zunq/log/Log.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

void CreateAttachCircularBufferShm(Log& log, long maxNumQueues, long maxQueueSize, long, const char* shmName)
{
    CircularBufferMng::getInstance(shmName, maxNumQueues, maxQueueSize, log);
}

bool AttachCircularBufferShm(Log&, const char*)
{
    return false;
}

int GetNumCircularBuffers()
{
    CircularBufferMng* manager = CircularBufferMng::getInstance();
    return manager != nullptr ? static_cast<int>(manager->getNumCircularBuffers()) : -1;
}

void CreateCircularBuffer(Log&, const char* name, unsigned int& id, long)
{
    if (CircularBufferMng* manager = CircularBufferMng::getInstance())
        manager->addCircularBuffer(name, id);
}

int AttachCircularBuffer(Log&, const char*, bool)
{
    return 1;
}

bool AddElement(Log&, const char*, unsigned int id, latency_info_t latencies)
{
    if (CircularBufferMng* manager = CircularBufferMng::getInstance())
        manager->addElement(id, latencies);
    return true;
}

bool RemoveElement(Log&, const char*, latency_info_t*)
{
    return true;
}

void FlushQueues(Log& log, const std::string& latencyFilePrefix, const std::string& latencyFileSuffix,
                 bool latencyQueueFlushUntilEmpty, int latencyQueueMaxFlushSize)
{
    CircularBufferMng* manager = CircularBufferMng::getInstance();
    if (manager == nullptr)
    {
        log.error() << "CreateAttachCircularBufferShm: Problem creating shared memory \n";
        return;
    }
    manager->flushCircularBuffersToDisk(latencyFilePrefix, latencyFileSuffix, latencyQueueFlushUntilEmpty,
                                        latencyQueueMaxFlushSize);
}

void Display(Log&, const char*) {}

void DeleteCircularBuffer(Log&, const char*, const char*) {}

// The segments outlive every process by design; nothing is removed here.
void DeleteCircularBufferSharedMemory(const char*)
{
    CircularBufferMng::getInstance();
}

void DeleteCircularBufferSharedMemory(Log&, const char* shmName)
{
    DeleteCircularBufferSharedMemory(shmName);
}

void Status(Log&, bool) {}

void* flushBuffer(void* param)
{
    auto* data = static_cast<FlushData*>(param);
    if (data == nullptr || data->mCircularBufferMng == nullptr || data->mLog == nullptr || data->mQueueID < 0)
        return nullptr;
    CircularBufferMng& manager = *data->mCircularBufferMng;
    const unsigned int id = static_cast<unsigned int>(data->mQueueID);
    const char* name = manager.findCircularBufferName(id);
    std::unique_ptr<CircularBuffer> buffer = manager.findCircularBufferShmSafe(id);
    if (name == nullptr || !buffer || !CircularBufferMng::isFileNamePart(name))
    {
        data->mLog->error() << "flushBuffer: no latency queue [" << data->mQueueID << "] to write to a file";
        return nullptr;
    }
    const std::string path = data->mPrefix + name + "." + data->mSuffix;
    data->mLog->info() << "flushBuffer: [" << data->mQueueID << "] file: [" << path << "]";
    if (!std::ifstream(path).is_open())
        std::ofstream(path) << name << '\n';
    for (;;)
    {
        {
            std::ofstream file(path, std::ios::out | std::ios::app);
            buffer->flush(file, -1);
        }
        if (data->mStop != nullptr && data->mStop->load(std::memory_order_acquire))
            return nullptr;
        std::this_thread::sleep_for(std::chrono::microseconds(5000));
    }
}
