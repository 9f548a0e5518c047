// A configuration file in a temporary directory of its own, removed with it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class ConfigFile
{
public:
    ConfigFile()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwcfgXXXXXX").string();
        m_dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        m_path = m_dir + "/fw.cfg";
    }

    ~ConfigFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    const std::string& path() const { return m_path; }

    void write(const std::string& content) const
    {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out << content;
    }

    void remove() const { std::filesystem::remove(m_path); }

private:
    std::string m_dir;
    std::string m_path;
};
