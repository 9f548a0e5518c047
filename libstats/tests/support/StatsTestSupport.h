// Helpers shared by the statistics library's tests: unique System V keys made
// from files of the test's own directory, and removal of every segment and
// semaphore set a test made, so that nothing is left for ipcs to show.
#pragma once

#include "zunq/tests/zunq_runtime/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/wait.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

class IpcCleaner
{
public:
    ~IpcCleaner()
    {
        for (key_t key : mKeys)
        {
            int shm = shmget(key, 0, 0);
            if (shm >= 0)
                shmctl(shm, IPC_RMID, nullptr);
            int sem = semget(key, 0, 0);
            if (sem >= 0)
                semctl(sem, 0, IPC_RMID);
        }
    }

    // Removes, at the end of the test, whatever uses `key`.
    void track(key_t key) { mKeys.push_back(key); }

    // A key file of `dir` whose keys for projects 0 .. 2 and `span` keys above
    // each are free; every one of them is tracked.
    std::string keyFile(const std::string& dir, int span = 4)
    {
        for (int attempt = 0; attempt < 50; ++attempt)
        {
            std::string file = dir + "/key" + std::to_string(mFiles++);
            int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
            EXPECT_GE(fd, 0);
            close(fd);
            bool free = true;
            for (int project = 0; project <= 2 && free; ++project)
            {
                const key_t key = ftok(file.c_str(), project);
                for (int step = 0; step <= span && free; ++step)
                    free = key > 0 && isFree(key + step);
            }
            if (!free)
                continue;
            for (int project = 0; project <= 2; ++project)
                for (int step = 0; step <= span; ++step)
                    track(ftok(file.c_str(), project) + step);
            return file;
        }
        ADD_FAILURE() << "no free keys";
        return std::string();
    }

    static bool isFree(key_t key)
    {
        return shmget(key, 0, 0) < 0 && errno == ENOENT && semget(key, 0, 0) < 0 && errno == ENOENT;
    }

private:
    std::vector<key_t> mKeys;
    int mFiles = 0;
};

// Starts `count` children at once, each running body(child number) and
// exiting with its result, and expects every one of them to exit with 0.
inline void runChildrenTogether(int count, const std::function<int(int)>& body)
{
    std::vector<pid_t> children;
    for (int c = 0; c < count; ++c)
    {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(body(c));
        children.push_back(child);
    }
    for (pid_t child : children)
    {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << child;
    }
}

// A log that keeps its lines, for one test.
class CapturedLog
{
public:
    explicit CapturedLog(LogLevels level = LOG_LEVEL_DEBUG)
        : mSink(level)
    {
        mLog.addLogSink(&mSink);
    }
    Log& log() { return mLog; }
    CaptureLogSink& sink() { return mSink; }
    int count(const std::string& text) const
    {
        int found = 0;
        for (const auto& line : mSink.lines())
            if (line.second.find(text) != std::string::npos)
                ++found;
        return found;
    }

private:
    CaptureLogSink mSink;
    Log mLog;
};
