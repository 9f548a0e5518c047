// A message queue between two processes on one host, held in a POSIX
// shared-memory object (layout in IpcShmLayout.h): one reader process, which
// creates and sizes the object, and one writer process, which attaches to it.
// Each side records its application id and pid in the header and tests the
// other with a null signal. No lock: the writer alone moves the head, the
// reader alone moves the tail, each after the entry is copied.
//
// Inside a process one thread uses a queue at a time. The header is written
// by the peer, so the indices are checked on every read and the slot count is
// the one this side mapped, never re-read.
#pragma once

#include "FendralCore/dispatch/IpcShmLayout.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/ResourceParam.h"

#include <string>
#include <sys/types.h>

class IpcShrMemMsgQ
{
public:
    static constexpr int32 IPC_NO_PROCESS_ID = -1;
    static constexpr uint32 IPC_SHR_MEM_EXTRA_BUF_SIZE = sizeof(IpcSharedMemInfo);
    static constexpr int32 DEFAULT_RETRY_CNT = 5;
    static constexpr int32 DEFAULT_RETRY_INTERVAL = 20; // microseconds
    static constexpr uint32 MIN_QUEUE_LEN = 100;
    static constexpr uint32 MAX_QUEUE_LEN = 1000000;

    // appIdTxt: the id this process records in its slot; null takes the
    // process's own application id from the global data.
    explicit IpcShrMemMsgQ(const char* appIdTxt = nullptr);
    ~IpcShrMemMsgQ();
    IpcShrMemMsgQ(const IpcShrMemMsgQ&) = delete;
    IpcShrMemMsgQ& operator=(const IpcShrMemMsgQ&) = delete;

    // Bytes of the object for a queue length.
    static uint64 objectSize(uint32 queueLen)
    {
        return IPC_SHR_MEM_EXTRA_BUF_SIZE + (static_cast<uint64>(queueLen) + 1) * sizeof(IpcShmMsg);
    }

    int32 open(const char* shmName, IpcAccessMode mode, uint32 queueLen);
    int32 initialize(const char* shmName, IpcAccessMode mode, uint32 queueLen);
    int32 attachProcess();

    // Writer only. Tries retryCnt times in all, retryIntervalUs apart.
    int32 enqueue(const IpcShmMsg& msg, int32 retryCnt = 1, int32 retryIntervalUs = 0);
    // Reader only. An entry whose data length exceeds its buffer is dropped
    // and reported (IPC_SHR_MEM_NOT_ALIGN); the queue goes on after it.
    int32 dequeue(IpcShmMsg& msg, int32 retryCnt = 1, int32 retryIntervalUs = 0);

    int32 isWriterAttached(bool& attached, IpcAppInfo* writerInfo = nullptr);
    int32 isReaderAttached(bool& attached, IpcAppInfo* readerInfo = nullptr);

    int32 close(bool unlinkShm);

    int32 getNumMsgQueued() const;
    int32 getNumFreeEntry() const;
    bool isFull() const;
    bool isEmpty() const;
    int32 getMaxUsage() const;
    void resetMaxUsage();
    void reset();
    void clear(uint32 n);
    uint32 getQueueLength() const { return m_msgQueLen; }
    int32 isOpened() const;
    void cleanup();

    IpcAccessMode getAccessMode() const { return m_accessMode; }
    pid_t getCounterpartPid() const { return m_counterpartPid; }
    const std::string& getName() const { return m_sharedMemPathStr; }

    // Bytes an entry moves: the 32-byte header plus its data when a data entry
    // holds less than a full buffer, the header alone for a control entry.
    static uint32 entryCopySize(const IpcShmMsg& msg);

    // A process counts as alive when a null signal reaches it or is refused
    // only for lack of permission. Ids below 1 never name one process.
    static bool isProcessAlive(pid_t pid);

private:
    int32 isPeerAttached(bool& attached, IpcAppInfo* peerInfo, bool peerIsWriter);
    int32 dequeueMapped(IpcShmMsg& msg, int32 retryCnt, int32 retryIntervalUs);
    // Runs read (an access to the mapping); a mapping cut short under it
    // ends it with IPC_SHR_MEM_READ_FAIL and marks the queue unusable.
    template <typename Read>
    int32 guardedRead(Read read);
    int32 claimSlot(IpcAppInfo& slot, bool asWriter);
    // Both indices read once and checked against the mapped slot count.
    bool loadIndices(int32& head, int32& tail) const;
    int32 badIndex(int32 head, int32 tail) const;
    IpcShmMsg* slot(int32 index) const { return m_shmMsgBufPtr + index; }

    std::string m_sharedMemPathStr;
    IpcAccessMode m_accessMode = IPC_READER_MODE;
    pid_t m_counterpartPid = IPC_NO_PROCESS_ID;
    uint32 m_msgQueLen = 0;
    int32 m_shrMemFd = -1;
    uint64 m_shmSize = 0;
    void* m_shrMemPtr = nullptr; // null when nothing is mapped
    IpcSharedMemInfo* m_shmInfoPtr = nullptr;
    IpcShmMsg* m_shmMsgBufPtr = nullptr;
    bool m_isOpened = false;
    bool m_mapBroken = false; // the object shrank under the mapping
    int32 m_bufSize = 0;       // slots this side mapped
    IpcSharedMemInfo m_initMemInfo{};
    char m_appIdTxt[9]{};
};
