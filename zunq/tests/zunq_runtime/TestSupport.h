// Helpers shared by the tests of this area.
#pragma once

#include "zunq/log/Log.h"
#include "zunq/log/LogSink.h"
#include "zunq/module/ModuleListBase.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

// The host defines the process's module list; the tests need one of their own.
class ModuleList : public ModuleListBase
{
};

// A sink that keeps the lines it writes.
class CaptureLogSink : public LogSink
{
public:
    explicit CaptureLogSink(LogLevels level = LOG_LEVEL_INFO)
        : mLevel(level)
    {
    }

    void setLevel(LogLevels level) override
    {
        std::lock_guard lock(mLock);
        mLevel = level;
    }
    LogLevels getLevel() const override
    {
        std::lock_guard lock(mLock);
        return mLevel;
    }
    void print(LogLevels level, char character) override { print(level, &character, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels level, const char* text, unsigned long length) override
    {
        std::lock_guard lock(mLock);
        if (level <= mLevel)
            mLines.emplace_back(level, std::string(text, length));
    }

    std::vector<std::pair<LogLevels, std::string>> lines() const
    {
        std::lock_guard lock(mLock);
        return mLines;
    }
    bool contains(const std::string& text) const
    {
        std::lock_guard lock(mLock);
        for (const auto& line : mLines)
            if (line.second.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    mutable std::mutex mLock;
    LogLevels mLevel;
    std::vector<std::pair<LogLevels, std::string>> mLines;
};

// Runs `body` in a forked child and returns its exit code (-1 when it did not
// exit normally). Signal handlers and shared segments of a test stay in the child.
inline int runInChild(const std::function<int()>& body)
{
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
    {
        int code = 99;
        try
        {
            code = body();
        }
        catch (...)
        {
            code = 98;
        }
        _exit(code);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A directory of its own for one test, removed with everything in it.
class TempDir
{
public:
    TempDir()
    {
        char name[] = "/tmp/zunq_runtime_XXXXXX";
        const char* made = mkdtemp(name);
        EXPECT_NE(made, nullptr);
        mPath = made != nullptr ? made : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!mPath.empty())
            std::filesystem::remove_all(mPath, ignored);
    }
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};
