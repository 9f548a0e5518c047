// A named POSIX semaphore shared between processes: the lock of the shared
// memory blocks exchanged with the framework agent. The semaphore is
// "/" + lockNameStr + "_sem", created with value 1 by its owner, opened by the
// others. The holder record (LockedBy) at the start of the guarded block tells
// the other side who holds it, and lets a restarting owner free a semaphore
// that its crashed previous process left taken.
//
// The lock depth belongs to the object, not to a thread: one object is used by
// one thread at a time (the control thread).
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>
#include <semaphore.h>
#include <string>
#include <sys/types.h>

class GlobalData;

// Holder record, the first field of every block a SemaphoreLock guards.
// Layout shared with the other process: keep it exactly as it is.
struct LockedBy
{
    ApplicationID appIdTxt; // holder's application id; byte 0 is 0 when free
    char pad[3];
    int32 pid; // holder's process id; -1 when free
};
static_assert(sizeof(LockedBy) == 16);
static_assert(offsetof(LockedBy, appIdTxt) == 0);
static_assert(offsetof(LockedBy, pid) == 12);

class SemaphoreLock
{
public:
    // Microseconds an owner waits for a semaphore it finds taken at construction.
    static constexpr int32 LOCK_TIMEOUT_INTERVAL = 3000000;

    // thisAppIdTxt may be null; a holder record is only given with an id.
    // A failed open is logged and leaves LOCK_OPEN_FAILED; every later call
    // then fails with INVALID_LOCK.
    SemaphoreLock(const std::string& lockNameStr, const char* thisAppIdTxt, LockedBy* lockedByPtr,
                  bool owner);
    ~SemaphoreLock();

    SemaphoreLock(const SemaphoreLock&) = delete;
    SemaphoreLock& operator=(const SemaphoreLock&) = delete;

    // Waits at most waitTime microseconds; 0 or less is a single try.
    int32 lock(int32 waitTime);
    int32 unlock();

    // False when the semaphore could not be opened at construction.
    bool isOpen() const { return m_sem != nullptr; }

    // Lets the owner free a semaphore that another holder left taken.
    int32 resetLock();

private:
    bool m_owner;
    sem_t* m_sem = nullptr;
    std::string m_semNameStr;
    bool m_locked = false;
    int32 m_lockCnt = 0;
    LockedBy* m_lockedByPtr;
    ApplicationID m_thisAppIdTxt{};
    pid_t m_thisPid;
    GlobalData& m_gblData;

    void recoverFromGoneHolder();
    static bool holderGone(int32 pid);
    void clearRecord();
    void logOpenFailure(int error);
};
