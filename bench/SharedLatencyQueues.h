// Latency queues for a benchmark: made from a key file of a directory of
// their own, with one queue "bench", and removed with the directory afterwards.
#pragma once

#include "libstats/latency/CircularBufferMng.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

class SharedLatencyQueues
{
public:
    static constexpr long cQueues = 4;
    static constexpr long cSlots = 1024;

    explicit SharedLatencyQueues(Log& log)
    {
        char dir[] = "/tmp/bench_stats_XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        mDir = dir;
        mFile = mDir + "/latency";
        close(open(mFile.c_str(), O_CREAT | O_WRONLY, 0600));
        mManager = CircularBufferMng::getInstance(mFile.c_str(), cQueues, cSlots, log);
        if (mManager != nullptr && !mManager->addCircularBuffer("bench", mId))
            mManager = nullptr;
    }
    ~SharedLatencyQueues()
    {
        CircularBufferMng::destroyInstance();
        for (int which = 0; which < 3 && !mFile.empty(); ++which)
        {
            key_t key = ftok(mFile.c_str(), which);
            int shm = shmget(key, 0, 0);
            if (shm >= 0)
                shmctl(shm, IPC_RMID, nullptr);
            int sem = semget(key, 0, 0);
            if (sem >= 0)
                semctl(sem, 0, IPC_RMID);
        }
        unlink(mFile.c_str());
        rmdir(mDir.c_str());
    }
    SharedLatencyQueues(const SharedLatencyQueues&) = delete;
    SharedLatencyQueues& operator=(const SharedLatencyQueues&) = delete;

    CircularBufferMng* mManager = nullptr;
    unsigned int mId = 0;

private:
    std::string mDir;
    std::string mFile;
};
