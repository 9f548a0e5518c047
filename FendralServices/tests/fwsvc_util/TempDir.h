// A directory of the test's own under the system's temporary directory,
// removed with everything in it when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TempDirTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string dir = (std::filesystem::temp_directory_path() / "fwsvc_util_XXXXXX").string();
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
        m_dir = dir;
    }

    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string path(const char* name) const { return m_dir + "/" + name; }

    std::string m_dir;
};
