// Helpers shared by the host tests: a log that keeps its lines, registered as
// the module "Log", and configuration files in a temporary directory.
#pragma once

#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"
#include "zunq/log/LogSink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CaptureLogSink : public LogSink
{
public:
    explicit CaptureLogSink(LogLevels level = LOG_LEVEL_DEBUG) : mLevel(level) {}

    void setLevel(LogLevels level) override { mLevel = level; }
    LogLevels getLevel() const override { return mLevel; }
    void print(LogLevels level, char character) override { print(level, &character, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels level, const char* text, unsigned long length) override
    {
        std::lock_guard lock(mLock);
        if (level <= mLevel)
            mLines.emplace_back(text, length);
    }

    std::vector<std::string> lines() const
    {
        std::lock_guard lock(mLock);
        return mLines;
    }
    // Index of the first line that contains `text`, or -1.
    int find(const std::string& text) const
    {
        std::lock_guard lock(mLock);
        for (std::size_t i = 0; i < mLines.size(); ++i)
            if (mLines[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }
    int count(const std::string& text) const
    {
        std::lock_guard lock(mLock);
        int n = 0;
        for (const std::string& line : mLines)
            if (line.find(text) != std::string::npos)
                ++n;
        return n;
    }

private:
    LogLevels mLevel;
    mutable std::mutex mLock;
    std::vector<std::string> mLines;
};

// A module list that lives until the process exits, as the program's does:
// modules and their holders are never freed, and stay reachable through it.
inline ModuleList& keptModuleList()
{
    static auto* lists = new std::vector<ModuleList*>();
    lists->push_back(new ModuleList);
    return *lists->back();
}

// A module list with a capturing log registered as "Log" and installed as the
// process log; the process log is put back afterwards.
class HostFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mSavedLogger = LogRegistry::g_logger;
        mLog.setVerbose(true);
        mLog.addLogSink(&mSink);
        registerModule<Log>(&mList, "Log", &mLog, mList.defaultGroup());
        LogRegistry::g_logger = &mLog;
    }
    void TearDown() override { LogRegistry::g_logger = mSavedLogger; }

    ModuleList& mList = keptModuleList();
    CaptureLogSink mSink;
    Log mLog;

private:
    Log* mSavedLogger = nullptr;
};

// A directory removed with everything in it at the end of the test.
class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelmora-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        mPath = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string write(const std::string& name, const std::string& content) const
    {
        std::string path = mPath + "/" + name;
        std::ofstream(path) << content;
        return path;
    }

private:
    std::string mPath;
};

// A configuration from a command line (argv[0] names the exe) and an optional
// XML body below a root element.
inline std::unique_ptr<ZunqConfigManager> makeConfig(std::vector<std::string> args, const std::string& xmlBody = "",
                                                     const TempDir* dir = nullptr)
{
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    auto config = std::make_unique<ZunqConfigManager>(static_cast<int>(argv.size()), argv.data());
    if (!xmlBody.empty() && dir != nullptr)
    {
        std::string path = dir->write("config.xml", "<Config>" + xmlBody + "</Config>");
        std::unique_ptr<ConfigFile> file(ConfigFile::load("config", path));
        if (!file)
            throw std::runtime_error("cannot read " + path);
        config->addFile(file.get());
    }
    return config;
}
