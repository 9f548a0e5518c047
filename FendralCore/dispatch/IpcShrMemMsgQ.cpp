#include "FendralCore/dispatch/IpcShrMemMsgQ.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
int32 loadAcquire(const int32& field)
{
    return std::atomic_ref<int32>(const_cast<int32&>(field)).load(std::memory_order_acquire);
}

void storeRelease(int32& field, int32 value)
{
    std::atomic_ref<int32>(field).store(value, std::memory_order_release);
}

// The peer may leave the id without its NUL: copy at most 8 characters.
void copyAppInfo(const IpcAppInfo& from, IpcAppInfo& to)
{
    std::memset(&to, 0, sizeof(to));
    std::memcpy(to.appIdTxt, from.appIdTxt, sizeof(to.appIdTxt) - 1);
    to.pid = loadAcquire(from.pid);
}

void clearAppInfo(IpcAppInfo& info)
{
    std::memset(info.appIdTxt, 0, sizeof(info.appIdTxt));
    info.pid = IpcShrMemMsgQ::IPC_NO_PROCESS_ID;
}

void sleepMicros(int32 micros)
{
    if (micros > 0)
        ::usleep(static_cast<useconds_t>(micros));
}

constexpr uint64 WRITER_PROBE_SIZE = sizeof(IpcSharedMemInfo) + sizeof(IpcShmMsg);
// Another process of the object's group may truncate it while it is
// mapped: a read then faults with SIGBUS. Reads of the mapping run under a
// jump point of their thread, and the fault ends the read instead of the
// process. Outside such a read the signal keeps the action it had before.
thread_local sigjmp_buf* t_busJump = nullptr;
struct sigaction g_previousBusAction{};

void onBusError(int sig, siginfo_t*, void*)
{
    if (t_busJump != nullptr)
        siglongjmp(*t_busJump, 1);
    ::sigaction(sig, &g_previousBusAction, nullptr); // the faulting access repeats under it
}

void armBusGuard()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction sa{};
        sa.sa_sigaction = onBusError;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGBUS, &sa, &g_previousBusAction);
    });
    // Framework threads block every signal; a blocked fault signal would
    // still kill the process.
    thread_local bool unblocked = false;
    if (!unblocked)
    {
        sigset_t bus;
        sigemptyset(&bus);
        sigaddset(&bus, SIGBUS);
        ::pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
        unblocked = true;
    }
}
} // namespace

IpcShrMemMsgQ::IpcShrMemMsgQ(const char* appIdTxt)
{
    const char* id = appIdTxt != nullptr ? appIdTxt : GlobalData::getInst().m_appIdTxt;
    std::memset(m_appIdTxt, 0, sizeof(m_appIdTxt));
    std::memcpy(m_appIdTxt, id, strnlen(id, sizeof(m_appIdTxt) - 1));
    clearAppInfo(m_initMemInfo.writerInfo);
    clearAppInfo(m_initMemInfo.readerInfo);
}

IpcShrMemMsgQ::~IpcShrMemMsgQ()
{
    if (m_isOpened)
        close(true);
    else
        cleanup();
}

bool IpcShrMemMsgQ::isProcessAlive(pid_t pid)
{
    if (pid <= 0)
        return false; // 0 and negative ids address groups, not one process
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

uint32 IpcShrMemMsgQ::entryCopySize(const IpcShmMsg& msg)
{
    switch (msg.msgType)
    {
    case IPC_MSG_TYPE_DATA:
        return msg.dataLen < IPC_SHM_MSG_DATA_SIZE ? IPC_SHM_MSG_HEADER_SIZE + msg.dataLen : sizeof(IpcShmMsg);
    case IPC_MSG_TYPE_CTL_OPEN:
    case IPC_MSG_TYPE_CTL_CLOSE:
        return IPC_SHM_MSG_HEADER_SIZE;
    default:
        return sizeof(IpcShmMsg);
    }
}

int32 IpcShrMemMsgQ::open(const char* shmName, IpcAccessMode mode, uint32 queueLen)
{
    if (initialize(shmName, mode, queueLen) != 0 || attachProcess() != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        cleanup();
        return fwFail(code, -1);
    }
    return 0;
}

int32 IpcShrMemMsgQ::initialize(const char* shmName, IpcAccessMode mode, uint32 queueLen)
{
    if (m_shrMemPtr != nullptr)
        return fwFail(IPC_SHR_MEM_ALREADY_INIT, -1);
    if (shmName == nullptr || (mode != IPC_READER_MODE && mode != IPC_WRITER_MODE))
        return fwFail(IPC_INVALID_ACTION, -1);
    m_sharedMemPathStr = shmName;
    m_accessMode = mode;
    const char* name = m_sharedMemPathStr.c_str();

    bool created = false;
    uint64 mapSize = 0;
    if (mode == IPC_READER_MODE)
    {
        if (queueLen < MIN_QUEUE_LEN || queueLen > MAX_QUEUE_LEN)
            return fwFail(IPC_SHR_MEM_INVALID_LEN, -1);
        mapSize = objectSize(queueLen);
        m_shrMemFd = ::shm_open(name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0770);
        if (m_shrMemFd >= 0)
            created = true;
        else if (errno == EEXIST)
            m_shrMemFd = ::shm_open(name, O_RDWR | O_CLOEXEC, 0);
        if (m_shrMemFd < 0)
        {
            const int err = errno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] opening shared memory [%s]. %s", err, name, std::strerror(err));
            return fwFail(IPC_SHR_MEM_OPEN_FAIL, -1);
        }
        if (created)
        {
            // The creation mode passes through the umask; a writer of the
            // group under another user needs the group's write bit.
            if (::fchmod(m_shrMemFd, 0770) != 0 || ::ftruncate(m_shrMemFd, static_cast<off_t>(mapSize)) != 0)
            {
                const int err = errno;
                fwLog(LOG_LEVEL_ERROR, "Error [%d] resize IPC shared memory [%s]. %s", err, name, std::strerror(err));
                ::shm_unlink(name); // ours and unusable
                cleanup();
                return fwFail(IPC_SHR_MEM_OPEN_FAIL, -1);
            }
            fwLog(LOG_LEVEL_INFO, "New IPC shared memory [%s] created with [%d] blocks", name,
                  static_cast<int32>(queueLen + 1));
        }
        else
            fwLog(LOG_LEVEL_INFO, "Existing IPC shared memory [%s] opened with [%d] blocks", name,
                  static_cast<int32>(queueLen + 1));
    }
    else
    {
        m_shrMemFd = ::shm_open(name, O_RDWR | O_CLOEXEC, 0);
        if (m_shrMemFd < 0)
        {
            const int err = errno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] opening shared memory [%s]. %s", err, name, std::strerror(err));
            return fwFail(IPC_SHR_MEM_OPEN_FAIL, -1);
        }
        mapSize = WRITER_PROBE_SIZE;
    }

    // A mapping past the object's end faults on access: check the real size.
    struct stat info{};
    if (!created && (::fstat(m_shrMemFd, &info) != 0 || static_cast<uint64>(info.st_size) < mapSize))
    {
        fwLog(LOG_LEVEL_ERROR,
              "IPC shared memory [%s] holds [%lld] bytes, fewer than the [%llu] its queue needs. Remove it manually.",
              name, static_cast<long long>(info.st_size), static_cast<unsigned long long>(mapSize));
        cleanup();
        return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
    }

    void* ptr = ::mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_shrMemFd, 0);
    if (ptr == MAP_FAILED)
    {
        const int err = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] mapping IPC shared memory [%s] to the application address space. %s", err,
              name, std::strerror(err));
        cleanup();
        return fwFail(IPC_SHR_MEM_OPEN_FAIL, -1);
    }
    m_shrMemPtr = ptr;
    m_shmSize = mapSize;
    m_shmInfoPtr = static_cast<IpcSharedMemInfo*>(ptr);
    m_shmMsgBufPtr = reinterpret_cast<IpcShmMsg*>(static_cast<char*>(ptr) + IPC_SHR_MEM_EXTRA_BUF_SIZE);

    if (mode == IPC_READER_MODE)
    {
        if (created)
        {
            // A new object is zero-filled by the kernel: only the header is written,
            // so a large queue is not touched page by page.
            std::memcpy(m_shmInfoPtr, &m_initMemInfo, sizeof(m_initMemInfo));
            m_shmInfoPtr->ringBufInfo.maxUsage = 0;
            m_shmInfoPtr->ringBufInfo.headIndex = 0;
            m_shmInfoPtr->ringBufInfo.tailIndex = 0;
            m_shmInfoPtr->ringBufInfo.bufSize = queueLen + 1;
            std::atomic_thread_fence(std::memory_order_seq_cst);
        }
        else
        {
            const uint32 existing = std::atomic_ref<uint32>(m_shmInfoPtr->ringBufInfo.bufSize).load();
            if (existing - 1 != queueLen)
            {
                fwLog(LOG_LEVEL_ERROR,
                      "IPC shared memory [%s] is already created but the queue length [%d] is not same as expected "
                      "one [%u], remove the shared memory manually for changing buffer size",
                      name, static_cast<int32>(existing - 1), queueLen);
                cleanup();
                return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
            }
        }
        m_msgQueLen = queueLen;
    }
    else
    {
        const uint32 slots = std::atomic_ref<uint32>(m_shmInfoPtr->ringBufInfo.bufSize).load();
        const uint32 len = slots - 1;
        if (slots == 0 || len < MIN_QUEUE_LEN || len > MAX_QUEUE_LEN)
        {
            cleanup();
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] IPC writer get invalid msg queue len [%d] IPC shared memory [%s] to the application "
                  "address space",
                  IPC_SHR_MEM_INVALID_LEN, static_cast<int32>(len), name);
            return fwFail(IPC_SHR_MEM_INVALID_LEN, -1);
        }
        const uint64 fullSize = objectSize(len);
        if (::fstat(m_shrMemFd, &info) != 0 || static_cast<uint64>(info.st_size) < fullSize)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "IPC shared memory [%s] holds [%lld] bytes, fewer than the [%llu] its queue needs. Remove it "
                  "manually.",
                  name, static_cast<long long>(info.st_size), static_cast<unsigned long long>(fullSize));
            cleanup();
            return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
        }
        if (::munmap(m_shrMemPtr, m_shmSize) != 0)
        {
            const int err = errno;
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] IPC writer unmapping IPC shared memory [%s] to the application address space. %s", err,
                  name, std::strerror(err));
            cleanup();
            return fwFail(IPC_SHR_MEM_OPEN_FAIL, -1);
        }
        m_shrMemPtr = nullptr;
        ptr = ::mmap(nullptr, fullSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_shrMemFd, 0);
        if (ptr == MAP_FAILED)
        {
            const int err = errno;
            cleanup();
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] IPC writer remapping IPC shared memory [%s] to the application address space. %s", err,
                  name, std::strerror(err));
            return fwFail(IPC_SHR_MEM_OPEN_FAIL, -1);
        }
        m_shrMemPtr = ptr;
        m_shmSize = fullSize;
        m_shmInfoPtr = static_cast<IpcSharedMemInfo*>(ptr);
        m_shmMsgBufPtr = reinterpret_cast<IpcShmMsg*>(static_cast<char*>(ptr) + IPC_SHR_MEM_EXTRA_BUF_SIZE);
        m_msgQueLen = len;
        fwLog(LOG_LEVEL_INFO, "IPC shared memory [%s] opened with [%d] blocks", name, static_cast<int32>(slots));
    }
    m_bufSize = static_cast<int32>(m_msgQueLen + 1);
    return 0;
}

int32 IpcShrMemMsgQ::claimSlot(IpcAppInfo& slot, bool asWriter)
{
    const char* role = asWriter ? "writer" : "reader";
    const int32 busyCode = asWriter ? IPC_WRITER_ALREADY_ATTACHED : IPC_READER_ALREADY_ATTACHED;
    const char* name = m_sharedMemPathStr.c_str();
    IpcAppInfo seen;
    copyAppInfo(slot, seen);
    if (seen.pid != IPC_NO_PROCESS_ID)
    {
        if (isProcessAlive(seen.pid))
        {
            fwLog(LOG_LEVEL_ERROR, "AppId [%s] PID [%d] is already attached as %s of %sshared memory msg queue [%s]",
                  seen.appIdTxt, seen.pid, role, asWriter ? "" : "IPC ", name);
            return fwFail(busyCode, -1);
        }
        fwLog(LOG_LEVEL_NOTICE,
              "Non-exist AppId [%s] PID [%d] attached as %s of IPC shared memory msg queue [%s] before, replace the "
              "%s now",
              seen.appIdTxt, seen.pid, role, name, role);
    }
    int32 expected = seen.pid;
    const int32 self = static_cast<int32>(::getpid());
    if (!std::atomic_ref<int32>(slot.pid).compare_exchange_strong(expected, self, std::memory_order_acq_rel))
    {
        IpcAppInfo winner;
        copyAppInfo(slot, winner);
        fwLog(LOG_LEVEL_ERROR,
              "Fail to update %s PID [%d], AppId [%s] PID [%d] is already attached as %s of shared memory msg queue "
              "[%s]",
              role, self, winner.appIdTxt, expected, role, name);
        return fwFail(busyCode, -1);
    }
    std::memset(slot.appIdTxt, 0, sizeof(slot.appIdTxt));
    std::memcpy(slot.appIdTxt, m_appIdTxt, sizeof(slot.appIdTxt) - 1);
    return 0;
}

int32 IpcShrMemMsgQ::attachProcess()
{
    if (m_shmInfoPtr == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "IPC shared memory msg queue [%s] not initialized", m_sharedMemPathStr.c_str());
        return fwFail(IPC_SHR_MEM_NOT_INIT, -1);
    }
    const char* name = m_sharedMemPathStr.c_str();
    IpcSharedMemInfo& hdr = *m_shmInfoPtr;
    if (m_accessMode == IPC_WRITER_MODE)
    {
        IpcAppInfo reader;
        copyAppInfo(hdr.readerInfo, reader);
        if (!isProcessAlive(reader.pid))
            return fwFail(IPC_READER_NOT_EXIST, -1);
        if (claimSlot(hdr.writerInfo, true) != 0)
            return -1;
        m_counterpartPid = reader.pid;
        int32 head = 0, tail = 0;
        if (!loadIndices(head, tail))
        {
            const int32 code = badIndex(head, tail);
            storeRelease(hdr.writerInfo.pid, IPC_NO_PROCESS_ID);
            return fwFail(code, -1);
        }
        fwLog(LOG_LEVEL_INFO,
              "IPC writer AppId [%s] PID [%d] attached to IPC shared memory msg queue [%s], counterpart reader AppId "
              "[%s] PID [%d]",
              m_appIdTxt, static_cast<int32>(::getpid()), name, reader.appIdTxt, reader.pid);
    }
    else
    {
        if (claimSlot(hdr.readerInfo, false) != 0)
            return -1;
        int32 head = loadAcquire(hdr.ringBufInfo.headIndex);
        if (head < 0 || head >= m_bufSize)
        {
            // A head outside the slots leaves nothing to keep: start the ring afresh.
            fwLog(LOG_LEVEL_ERROR, "IPC shared memory [%s] head index [%d] is outside [%d] slots, reset to 0", name,
                  head, m_bufSize);
            head = 0;
            storeRelease(hdr.ringBufInfo.headIndex, 0);
        }
        storeRelease(hdr.ringBufInfo.tailIndex, head);
        storeRelease(hdr.ringBufInfo.maxUsage, 0);
        IpcAppInfo writer;
        copyAppInfo(hdr.writerInfo, writer);
        m_counterpartPid = writer.pid;
        if (writer.pid == IPC_NO_PROCESS_ID)
            fwLog(LOG_LEVEL_INFO, "IPC reader AppId [%s] PID [%d] attached to IPC shared memory msg queue [%s]",
                  m_appIdTxt, static_cast<int32>(::getpid()), name);
        else
            fwLog(LOG_LEVEL_NOTICE,
                  "IPC reader AppId [%s] PID [%d] attached to IPC shared memory msg queue [%s], counterpart writer "
                  "AppId [%s] PID [%d] attached",
                  m_appIdTxt, static_cast<int32>(::getpid()), name, writer.appIdTxt, writer.pid);
    }
    m_isOpened = true;
    return 0;
}

bool IpcShrMemMsgQ::loadIndices(int32& head, int32& tail) const
{
    head = loadAcquire(m_shmInfoPtr->ringBufInfo.headIndex);
    tail = loadAcquire(m_shmInfoPtr->ringBufInfo.tailIndex);
    return head >= 0 && head < m_bufSize && tail >= 0 && tail < m_bufSize;
}

int32 IpcShrMemMsgQ::badIndex(int32 head, int32 tail) const
{
    fwLog(LOG_LEVEL_ERROR, "IPC shared memory [%s] is corrupt: head [%d], tail [%d] outside [%d] slots",
          m_sharedMemPathStr.c_str(), head, tail, m_bufSize);
    return IPC_SHR_MEM_NOT_ALIGN;
}

int32 IpcShrMemMsgQ::enqueue(const IpcShmMsg& msg, int32 retryCnt, int32 retryIntervalUs)
{
    if (!m_isOpened)
        return fwFail(IPC_SHR_MEM_NOT_OPEN, -1);
    if (m_accessMode != IPC_WRITER_MODE)
        return fwFail(IPC_INVALID_ACTION, -1);
    IpcSharedMemInfo& hdr = *m_shmInfoPtr;
    const int32 readerPid = loadAcquire(hdr.readerInfo.pid);
    if (readerPid == IPC_NO_PROCESS_ID)
        return fwFail(IPC_READER_NOT_EXIST, -1);
    if (readerPid != m_counterpartPid)
        return fwFail(IPC_READER_PID_CHANGED, -1);
    if (msg.msgType == IPC_MSG_TYPE_DATA && msg.dataLen > IPC_SHM_MSG_DATA_SIZE)
        return fwFail(MSG_TOO_LARGE, -1);

    // Both indices share the header's cache line, so a cached copy of the
    // reader's tail would save nothing, and the reader may move it forward by
    // more than one entry (attach, reset, clear): read it every time.
    const int32 head = loadAcquire(hdr.ringBufInfo.headIndex);
    int32 next = 0;
    int32 tail = 0;
    for (int32 attempt = 1;; ++attempt)
    {
        tail = loadAcquire(hdr.ringBufInfo.tailIndex);
        if (head < 0 || head >= m_bufSize || tail < 0 || tail >= m_bufSize)
            return fwFail(badIndex(head, tail), -1);
        next = head + 1 == m_bufSize ? 0 : head + 1;
        if (next != tail)
            break;
        if (attempt >= retryCnt)
            return fwFail(BUFFER_FULL, -1);
        sleepMicros(retryIntervalUs);
    }

    // The reader may reset the peak meanwhile: a plain atomic field, no ordering.
    const int32 used = next >= tail ? next - tail : next - tail + m_bufSize;
    std::atomic_ref<int32> maxUsage(hdr.ringBufInfo.maxUsage);
    if (used > maxUsage.load(std::memory_order_relaxed))
        maxUsage.store(used, std::memory_order_relaxed);
    std::memcpy(slot(head), &msg, entryCopySize(msg));
    std::atomic_thread_fence(std::memory_order_seq_cst);
    storeRelease(hdr.ringBufInfo.headIndex, next);
    return 0;
}

template <typename Read>
int32 IpcShrMemMsgQ::guardedRead(Read read)
{
    if (m_mapBroken)
        return fwFail(IPC_SHR_MEM_READ_FAIL, -1);
    armBusGuard();
    sigjmp_buf jump;
    sigjmp_buf* const outer = t_busJump;
    if (sigsetjmp(jump, 0) != 0)
    {
        t_busJump = outer;
        m_mapBroken = true;
        fwLog(LOG_LEVEL_ERROR, "IPC shared memory [%s] became shorter than its [%lu] mapped bytes; no further access",
              m_sharedMemPathStr.c_str(), static_cast<unsigned long>(m_shmSize));
        return fwFail(IPC_SHR_MEM_READ_FAIL, -1);
    }
    t_busJump = &jump;
    const int32 r = read();
    t_busJump = outer;
    return r;
}

int32 IpcShrMemMsgQ::dequeue(IpcShmMsg& msg, int32 retryCnt, int32 retryIntervalUs)
{
    if (!m_isOpened)
        return fwFail(IPC_SHR_MEM_NOT_OPEN, -1);
    if (m_accessMode == IPC_WRITER_MODE)
        return fwFail(IPC_INVALID_ACTION, -1);
    return guardedRead([&] { return dequeueMapped(msg, retryCnt, retryIntervalUs); });
}

int32 IpcShrMemMsgQ::dequeueMapped(IpcShmMsg& msg, int32 retryCnt, int32 retryIntervalUs)
{
    IpcSharedMemInfo& hdr = *m_shmInfoPtr;
    const int32 tail = loadAcquire(hdr.ringBufInfo.tailIndex);
    int32 head = 0;
    for (int32 attempt = 1;; ++attempt)
    {
        head = loadAcquire(hdr.ringBufInfo.headIndex);
        if (head < 0 || head >= m_bufSize || tail < 0 || tail >= m_bufSize)
            return fwFail(badIndex(head, tail), -1);
        if (head != tail)
            break;
        if (attempt >= retryCnt)
            return fwFail(BUFFER_EMPTY, -1);
        sleepMicros(retryIntervalUs);
    }

    const IpcShmMsg& src = *slot(tail);
    // The type and length are the writer's: read them once, then copy by them.
    std::memcpy(&msg, &src, IPC_SHM_MSG_HEADER_SIZE);
    const int32 next = tail + 1 == m_bufSize ? 0 : tail + 1;
    if (msg.msgType == IPC_MSG_TYPE_DATA && msg.dataLen > IPC_SHM_MSG_DATA_SIZE)
    {
        const uint32 badLen = msg.dataLen;
        std::atomic_thread_fence(std::memory_order_seq_cst);
        storeRelease(hdr.ringBufInfo.tailIndex, next);
        fwLog(LOG_LEVEL_ERROR, "IPC shared memory [%s] entry with data length [%u] beyond [%u] bytes dropped",
              m_sharedMemPathStr.c_str(), badLen, IPC_SHM_MSG_DATA_SIZE);
        return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
    }
    const uint32 size = entryCopySize(msg);
    std::memcpy(reinterpret_cast<char*>(&msg) + IPC_SHM_MSG_HEADER_SIZE,
                reinterpret_cast<const char*>(&src) + IPC_SHM_MSG_HEADER_SIZE, size - IPC_SHM_MSG_HEADER_SIZE);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    storeRelease(hdr.ringBufInfo.tailIndex, next);
    return 0;
}

int32 IpcShrMemMsgQ::isPeerAttached(bool& attached, IpcAppInfo* peerInfo, bool peerIsWriter)
{
    attached = false;
    if (peerInfo != nullptr)
    {
        std::memset(peerInfo, 0, sizeof(*peerInfo));
        peerInfo->pid = IPC_NO_PROCESS_ID;
    }
    if (m_shmInfoPtr == nullptr)
        return fwFail(IPC_SHR_MEM_NOT_INIT, -1);
    IpcAppInfo peer;
    copyAppInfo(peerIsWriter ? m_shmInfoPtr->writerInfo : m_shmInfoPtr->readerInfo, peer);
    if (peerInfo != nullptr)
        *peerInfo = peer;
    if (peer.pid == IPC_NO_PROCESS_ID)
        return 0;
    if (!isProcessAlive(peer.pid))
        return fwFail(peerIsWriter ? IPC_WRITER_NOT_EXIST : IPC_READER_NOT_EXIST, -1);
    attached = true;
    if (m_counterpartPid == IPC_NO_PROCESS_ID)
        m_counterpartPid = peer.pid;
    else if (m_counterpartPid != peer.pid)
    {
        if (!peerIsWriter)
            return fwFail(IPC_READER_PID_CHANGED, -1); // kept until the queue is opened anew
        m_counterpartPid = peer.pid;
        return fwFail(IPC_WRITER_PID_CHANGED, -1);
    }
    return 0;
}

int32 IpcShrMemMsgQ::isWriterAttached(bool& attached, IpcAppInfo* writerInfo)
{
    attached = false;
    return guardedRead([&] { return isPeerAttached(attached, writerInfo, true); });
}

int32 IpcShrMemMsgQ::isReaderAttached(bool& attached, IpcAppInfo* readerInfo)
{
    return isPeerAttached(attached, readerInfo, false);
}

int32 IpcShrMemMsgQ::close(bool unlinkShm)
{
    if (!m_isOpened)
    {
        cleanup();
        return fwFail(IPC_SHR_MEM_NOT_OPEN, -1);
    }
    if (m_mapBroken)
    {
        // Nothing of the object can be touched any more: only let go of it.
        cleanup();
        return fwFail(IPC_SHR_MEM_READ_FAIL, -1);
    }
    const char* name = m_sharedMemPathStr.c_str();
    IpcSharedMemInfo& hdr = *m_shmInfoPtr;
    const int32 maxUsage = loadAcquire(hdr.ringBufInfo.maxUsage);
    int32 result = 0;
    if (m_accessMode == IPC_WRITER_MODE)
    {
        std::memset(hdr.writerInfo.appIdTxt, 0, sizeof(hdr.writerInfo.appIdTxt));
        storeRelease(hdr.writerInfo.pid, IPC_NO_PROCESS_ID);
        fwLog(LOG_LEVEL_INFO, "IPC writer shared memory [%s] closed, max usage = [%d] for size [%u]", name, maxUsage,
              static_cast<uint32>(m_bufSize));
    }
    else
    {
        std::memset(hdr.readerInfo.appIdTxt, 0, sizeof(hdr.readerInfo.appIdTxt));
        storeRelease(hdr.readerInfo.pid, IPC_NO_PROCESS_ID);
        fwLog(LOG_LEVEL_INFO, "IPC reader shared memory [%s] closed, max usage = [%d] for size [%u]", name, maxUsage,
              static_cast<uint32>(m_bufSize));
        IpcAppInfo writer;
        copyAppInfo(hdr.writerInfo, writer);
        if (writer.pid != IPC_NO_PROCESS_ID && isProcessAlive(writer.pid))
        {
            if (unlinkShm)
                fwLog(LOG_LEVEL_ERROR, "Cannot unlink IPC shared memory [%s] as writer AppId [%s] PID [%d] still attach",
                      name, writer.appIdTxt, writer.pid);
            else
                fwLog(LOG_LEVEL_NOTICE, "Writer AppId [%s] PID [%d] still attach IPC shared memory [%s] when reader exit",
                      writer.appIdTxt, writer.pid, name);
            FrameworkErrno::m_fwErrno = IPC_SHR_MEM_CLOSE_FAIL;
            result = -1;
        }
        else if (unlinkShm)
        {
            if (::shm_unlink(name) == 0)
                fwLog(LOG_LEVEL_INFO, "IPC shared memory [%s] is unlink successfully", name);
            else
            {
                const int err = errno;
                fwLog(LOG_LEVEL_ERROR, "Fail to unlink IPC shared memory [%s], errno(%d): %s", name, err,
                      std::strerror(err));
                FrameworkErrno::m_fwErrno = IPC_SHR_MEM_CLOSE_FAIL;
                result = -1;
            }
        }
    }
    cleanup();
    return result;
}

int32 IpcShrMemMsgQ::getNumMsgQueued() const
{
    if (!m_isOpened)
        return -1;
    if (m_mapBroken)
        return fwFail(IPC_SHR_MEM_READ_FAIL, -1);
    int32 head = 0, tail = 0;
    if (!loadIndices(head, tail))
        return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
    return head >= tail ? head - tail : head - tail + m_bufSize;
}

int32 IpcShrMemMsgQ::getNumFreeEntry() const
{
    const int32 queued = getNumMsgQueued();
    return queued < 0 ? 0 : static_cast<int32>(m_msgQueLen) - queued;
}

bool IpcShrMemMsgQ::isFull() const
{
    return m_isOpened && getNumMsgQueued() == static_cast<int32>(m_msgQueLen);
}

bool IpcShrMemMsgQ::isEmpty() const
{
    return getNumMsgQueued() == 0;
}

int32 IpcShrMemMsgQ::getMaxUsage() const
{
    return m_shmInfoPtr == nullptr ? 0 : loadAcquire(m_shmInfoPtr->ringBufInfo.maxUsage);
}

void IpcShrMemMsgQ::resetMaxUsage()
{
    if (m_shmInfoPtr != nullptr)
        storeRelease(m_shmInfoPtr->ringBufInfo.maxUsage, 0);
}

void IpcShrMemMsgQ::reset()
{
    int32 head = 0, tail = 0;
    if (!m_isOpened || !loadIndices(head, tail))
        return;
    storeRelease(m_shmInfoPtr->ringBufInfo.tailIndex, head);
}

void IpcShrMemMsgQ::clear(uint32 n)
{
    int32 head = 0, tail = 0;
    if (!m_isOpened || !loadIndices(head, tail))
        return;
    const int32 queued = head >= tail ? head - tail : head - tail + m_bufSize;
    const int32 step = n < static_cast<uint32>(queued) ? static_cast<int32>(n) : queued;
    storeRelease(m_shmInfoPtr->ringBufInfo.tailIndex, (tail + step) % m_bufSize);
}

int32 IpcShrMemMsgQ::isOpened() const
{
    return m_isOpened ? 0 : fwFail(IPC_SHR_MEM_NOT_OPEN, -1);
}

void IpcShrMemMsgQ::cleanup()
{
    if (m_shrMemFd >= 0)
        ::close(m_shrMemFd);
    if (m_shrMemPtr != nullptr)
        ::munmap(m_shrMemPtr, m_shmSize);
    m_shrMemFd = -1;
    m_shrMemPtr = nullptr;
    m_shmInfoPtr = nullptr;
    m_shmMsgBufPtr = nullptr;
    m_shmSize = 0;
    m_counterpartPid = IPC_NO_PROCESS_ID;
    m_msgQueLen = 0;
    m_bufSize = 0;
    m_isOpened = false;
    m_mapBroken = false;
}
