// A private directory for one test's files, removed with everything in it when
// the test ends, so tests can run in parallel.
#pragma once

#include <filesystem>
#include <string>

class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return mPath; }
    // Writes a file below the directory (creating folders) and returns its path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string mPath;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string mName;
    bool mHadValue;
    std::string mOldValue;
};
