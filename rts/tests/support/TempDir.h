// A directory of its own for one test's files, removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDir
{
public:
    TempDir()
    {
        char name[] = "/tmp/rts_test_XXXXXX";
        mPath = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!mPath.empty())
            std::filesystem::remove_all(mPath, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};
