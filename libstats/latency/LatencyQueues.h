// Flat entry points over the process's latency-queue manager, for the
// statistics writer, the latency records and outside tools. Without a
// manager every call except CreateAttachCircularBufferShm does nothing.
#pragma once

#include "libstats/latency/LatencyInfo.h"

#include <atomic>
#include <string>

class Log;
class CircularBufferMng;

// The argument of flushBuffer. mStop (when set) ends the thread body once it
// reads true; without it the body runs until the process ends.
struct FlushData
{
    CircularBufferMng* mCircularBufferMng;
    int mQueueID;
    Log* mLog;
    std::string mPrefix;
    std::string mSuffix;
    const std::atomic<bool>* mStop = nullptr;
};

void CreateAttachCircularBufferShm(Log& log, long maxNumQueues, long maxQueueSize, long pageSize,
                                   const char* shmName);
bool AttachCircularBufferShm(Log& log, const char* shmName);
int GetNumCircularBuffers();
void CreateCircularBuffer(Log& log, const char* name, unsigned int& id, long maxQueueSize);
int AttachCircularBuffer(Log& log, const char* name, bool logError);
bool AddElement(Log& log, const char* name, unsigned int id, latency_info_t latencies);
bool RemoveElement(Log& log, const char* name, latency_info_t* latencies);
void FlushQueues(Log& log, const std::string& latencyFilePrefix, const std::string& latencyFileSuffix,
                 bool latencyQueueFlushUntilEmpty, int latencyQueueMaxFlushSize);
void Display(Log& log, const char* name);
void DeleteCircularBuffer(Log& log, const char* name, const char* shmName);
void DeleteCircularBufferSharedMemory(const char* shmName);
void DeleteCircularBufferSharedMemory(Log& log, const char* shmName);
void Status(Log& log, bool detailed);
// Thread body: appends the unread samples of one queue to its file every
// 5 ms. Returns at once (null) for a queue that does not exist.
void* flushBuffer(void* param);
