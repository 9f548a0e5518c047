#include "TempDir.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zunq_config_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed for " + pattern);
    mPath = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const
{
    const std::filesystem::path file = std::filesystem::path(mPath) / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : mName(name)
{
    const char* old = std::getenv(name);
    mHadValue = old != nullptr;
    if (old)
        mOldValue = old;
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
    ::tzset();
}

ScopedEnv::~ScopedEnv()
{
    if (mHadValue)
        ::setenv(mName.c_str(), mOldValue.c_str(), 1);
    else
        ::unsetenv(mName.c_str());
    ::tzset();
}
