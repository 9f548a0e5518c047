// Shared by the client list tests: the System V keys of one test's statistics segment, held
// under the lock the statistics tests share so parallel tests never draw the
// same key, and removed afterwards.
#pragma once

#include "kelmora/tests/linedata/LineDataTestSupport.h"
#include "rts/tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

class SegmentKeys
{
public:
    SegmentKeys()
    {
        mLockFd = open("/tmp/fendral-test-ipc-keys.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (mLockFd >= 0)
            flock(mLockFd, LOCK_EX);
    }
    ~SegmentKeys()
    {
        for (key_t key : mKeys)
        {
            if (int shm = shmget(key, 0, 0); shm >= 0)
                shmctl(shm, IPC_RMID, nullptr);
            if (int sem = semget(key, 0, 0); sem >= 0)
                semctl(sem, 0, IPC_RMID);
        }
        if (mLockFd >= 0)
        {
            flock(mLockFd, LOCK_UN);
            close(mLockFd);
        }
    }
    SegmentKeys(const SegmentKeys&) = delete;
    SegmentKeys& operator=(const SegmentKeys&) = delete;

    static bool isFree(key_t key)
    {
        return shmget(key, 0, 0) < 0 && errno == ENOENT && semget(key, 0, 0) < 0 && errno == ENOENT;
    }

    // A file of `dir` whose keys for `project` and the `span` keys above it
    // are free (the latency queues use projects 0 to 2 and keys above each);
    // they are removed at the end. `key` is the project's key.
    std::string keyFile(const std::string& dir, const std::string& base, std::vector<int> projects, key_t& key,
                        int span = 0)
    {
        for (int n = 0; n < 50; ++n)
        {
            std::string file = dir + "/" + base + std::to_string(n);
            std::ofstream(file).close();
            bool free = true;
            for (int project : projects)
                for (int step = 0; step <= span && free; ++step)
                {
                    const key_t k = ftok(file.c_str(), project);
                    free = k > 0 && isFree(k + step);
                }
            if (!free)
                continue;
            for (int project : projects)
                for (int step = 0; step <= span; ++step)
                    mKeys.push_back(ftok(file.c_str(), project) + step);
            key = ftok(file.c_str(), projects.front());
            return file;
        }
        ADD_FAILURE() << "no free key";
        return std::string();
    }

private:
    int mLockFd = -1;
    std::vector<key_t> mKeys;
};
