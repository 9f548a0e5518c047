#include "FendralCore/foundation/SemaphoreLock.h"

#include "FendralCore/foundation/ClockWaits.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/LogCall.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
constexpr size_t APP_ID_LEN = sizeof(ApplicationID) - 1;

const char* errorText(int error, char* buffer, size_t size)
{
    return strerror_r(error, buffer, size);
}
} // namespace

SemaphoreLock::SemaphoreLock(const std::string& lockNameStr, const char* thisAppIdTxt,
                             LockedBy* lockedByPtr, bool owner)
    : m_owner(owner),
      m_semNameStr("/" + lockNameStr + "_sem"),
      m_lockedByPtr(lockedByPtr),
      m_thisPid(getpid()),
      m_gblData(GlobalData::getInst())
{
    if (thisAppIdTxt != nullptr)
        std::strncpy(m_thisAppIdTxt, thisAppIdTxt, APP_ID_LEN);

    if (m_owner)
    {
        m_sem = sem_open(m_semNameStr.c_str(), O_CREAT | O_EXCL | O_RDWR, 0770, 1);
        if (m_sem != SEM_FAILED)
            return;
        m_sem = nullptr;
        if (errno != EEXIST)
        {
            logOpenFailure(errno);
            return;
        }
    }
    m_sem = sem_open(m_semNameStr.c_str(), O_RDWR);
    if (m_sem == SEM_FAILED)
    {
        m_sem = nullptr;
        logOpenFailure(errno);
        return;
    }
    if (!m_owner)
        return;

    // The owner found the semaphore already there: a previous process of this
    // application may have died holding it.
    const int32 rc = lock(LOCK_TIMEOUT_INTERVAL);
    if (rc == 0 || FrameworkErrno::m_fwErrno != LOCK_TIMEOUT)
    {
        unlock();
        return;
    }
    if (m_lockedByPtr != nullptr)
        recoverFromGoneHolder();
}

SemaphoreLock::~SemaphoreLock()
{
    if (m_sem != nullptr)
        sem_close(m_sem);
    if (m_owner)
        sem_unlink(m_semNameStr.c_str());
}

// The semaphore stayed taken for the whole probe. Free it only when the record
// names no holder, or names this application in another process that no longer
// exists; a live holder (another application, a second instance of this one,
// or this process) keeps it.
void SemaphoreLock::recoverFromGoneHolder()
{
    LockedBy record;
    std::memcpy(&record, m_lockedByPtr, sizeof(record));
    const bool noHolder = record.appIdTxt[0] == '\0';
    const bool sameAppOtherProcess =
        std::strncmp(record.appIdTxt, m_thisAppIdTxt, APP_ID_LEN) == 0 && record.pid != m_thisPid;
    if (!noHolder && !sameAppOtherProcess)
        return;
    if (!holderGone(record.pid))
        return;
    clearRecord();
    int value = 0;
    if (sem_getvalue(m_sem, &value) == 0 && value <= 0)
    {
        sem_post(m_sem);
        fwLog(LOG_LEVEL_NOTICE, "Semaphore [%s] left taken by process [%d] of [%.8s] is released",
              m_semNameStr.c_str(), record.pid, record.appIdTxt);
    }
}

bool SemaphoreLock::holderGone(int32 pid)
{
    if (pid <= 0)
        return true; // nobody recorded
    return kill(pid, 0) == -1 && errno == ESRCH;
}

void SemaphoreLock::clearRecord()
{
    if (m_lockedByPtr == nullptr)
        return;
    m_lockedByPtr->appIdTxt[0] = '\0';
    m_lockedByPtr->pid = -1;
}

void SemaphoreLock::logOpenFailure(int error)
{
    char text[128];
    fwLog(LOG_LEVEL_ERROR, "Failed [%d] to open semaphore [%s]. %s", error, m_semNameStr.c_str(),
          errorText(error, text, sizeof(text)));
    FrameworkErrno::m_fwErrno = LOCK_OPEN_FAILED;
}

int32 SemaphoreLock::lock(int32 waitTime)
{
    if (m_sem == nullptr)
        return fwFail(INVALID_LOCK, -1);
    if (m_locked)
    {
        ++m_lockCnt;
        return 0;
    }
    // 64-bit monotonic deadline: the framework's 3 s wait is 3e9 ns, beyond int32.
    const timespec deadline = MonoClock::deadlineAfterUs(waitTime);
    int rc;
    do
    {
        rc = ClockWaits::waitSemaphoreUntil(m_sem, deadline);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
    {
        const int error = errno;
        char text[128];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] waiting for semaphore [%s]. %s", error, m_semNameStr.c_str(),
              errorText(error, text, sizeof(text)));
        if (error == ETIMEDOUT)
            return fwFail(LOCK_TIMEOUT, -1);
        if (error == EINVAL)
            return fwFail(INVALID_LOCK, -1);
        return fwFail(LOCK_FAILED, -1);
    }
    m_locked = true;
    if (m_lockedByPtr != nullptr)
    {
        std::memcpy(m_lockedByPtr->appIdTxt, m_thisAppIdTxt, APP_ID_LEN);
        m_lockedByPtr->appIdTxt[APP_ID_LEN] = '\0';
        m_lockedByPtr->pid = m_thisPid;
    }
    ++m_lockCnt;
    return 0;
}

int32 SemaphoreLock::unlock()
{
    if (m_sem == nullptr)
        return fwFail(INVALID_LOCK, -1);
    if (!m_locked)
        return 0;
    if (m_lockCnt > 1)
    {
        --m_lockCnt;
        return 0;
    }
    clearRecord();
    int value = 0;
    if (sem_getvalue(m_sem, &value) != 0)
        return fwFail(INVALID_LOCK, -1);
    if (value > 0)
    {
        // Someone freed it already (resetLock on the other side): we hold
        // nothing any more, and posting again would let two holders in.
        m_locked = false;
        m_lockCnt = 0;
        return 0;
    }
    if (sem_post(m_sem) != 0)
        return fwFail(errno == EINVAL ? INVALID_LOCK : UNLOCK_FAILED, -1);
    m_locked = false;
    --m_lockCnt;
    return 0;
}

int32 SemaphoreLock::resetLock()
{
    if (m_sem == nullptr)
        return fwFail(INVALID_LOCK, -1);
    if (!m_owner || m_locked)
        return 0;
    int value = 0;
    if (sem_getvalue(m_sem, &value) != 0 || value > 0)
        return 0;
    if (sem_post(m_sem) != 0)
        return fwFail(errno == EINVAL ? INVALID_LOCK : UNLOCK_FAILED, -1);
    clearRecord();
    return 0;
}
