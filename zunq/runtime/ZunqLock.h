// The library's lock, for the few structures that threads of the host share
// (a session's listener registry, for one). It always locks: enableLocking
// only records whether the process runs several named threads. Skipping the
// mutex while locking is off would let a thread that switches locking on
// between another thread's acquire and release unlock a mutex nobody holds.
// Not recursive.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

class ZunqLock
{
public:
    static constexpr int cExclusive = 1;

    // The scheme, attribute and flags of the constructor are accepted for
    // callers' sake; every lock is a plain mutex.
    ZunqLock(int scheme = 1, void* attribute = nullptr, const char* name = nullptr, int flags = 0);
    ~ZunqLock();

    ZunqLock(const ZunqLock&) = delete;
    ZunqLock& operator=(const ZunqLock&) = delete;

    // Every type is served exclusively.
    void acquire(int type = cExclusive);
    void release();

    const std::string& getName() const { return mName; }

    static void enableLocking(bool enable);
    static bool lockingEnabled();

private:
    std::mutex mMutex;
    std::string mName;
};
