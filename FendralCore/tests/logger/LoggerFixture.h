// Shared by the logger tests: a per-test directory, a settable wall clock,
// the time zone of a test, file reading, and a capture of the system log.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/AppLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace logtest
{

// A fresh directory per test, removed afterwards.
class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "fendral_logger_XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The wall clock every test logger reads: set by the test, never by time.
inline std::atomic<int64> g_clockNs{0};

inline int fakeClock(timespec& now)
{
    const int64 ns = g_clockNs.load();
    now.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    now.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return 0;
}

inline void setClock(time_t seconds, long nanoseconds = 0)
{
    g_clockNs.store(static_cast<int64>(seconds) * 1000000000LL + nanoseconds);
}

// Seconds since the epoch of a UTC date and time.
inline time_t utc(int year, int month, int day, int hour, int minute, int second)
{
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// The test's time zone, restored afterwards.
class ScopedTz
{
public:
    explicit ScopedTz(const char* tz)
    {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTz()
    {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;

private:
    bool m_had = false;
    std::string m_old;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of a file, each with its newline.
inline std::vector<std::string> readLines(const std::string& path)
{
    std::vector<std::string> lines;
    const std::string text = readFile(path);
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

// "YYYYMMDD" file of a logger with prefix in dir.
inline std::string dailyFile(const TempDir& dir, const std::string& prefix, const std::string& date)
{
    return dir.file(prefix + "_" + date + ".log");
}

// The system log as the logger drives it.
struct SyslogRecord
{
    std::string ident; // "(none)" when opened without one
    int option;
    int facility;
    int priority;
    std::string text;
};

class SyslogCapture
{
public:
    SyslogCapture()
    {
        std::lock_guard<std::mutex> guard(mutex());
        records().clear();
        AppLogger::setSyslogApi(&API);
    }
    ~SyslogCapture() { AppLogger::setSyslogApi(nullptr); }
    SyslogCapture(const SyslogCapture&) = delete;
    SyslogCapture& operator=(const SyslogCapture&) = delete;

    std::vector<SyslogRecord> taken() const
    {
        std::lock_guard<std::mutex> guard(mutex());
        return records();
    }

private:
    static std::mutex& mutex()
    {
        static std::mutex m;
        return m;
    }
    static std::vector<SyslogRecord>& records()
    {
        static std::vector<SyslogRecord> r;
        return r;
    }
    static SyslogRecord& pending()
    {
        static SyslogRecord p;
        return p;
    }
    // The logger calls open, write and close in sequence under its own lock.
    static void open(const char* ident, int option, int facility)
    {
        pending() = SyslogRecord{ident != nullptr ? ident : "(none)", option, facility, -1, ""};
    }
    static void write(int priority, const char* text)
    {
        pending().priority = priority;
        pending().text = text;
    }
    static void close()
    {
        std::lock_guard<std::mutex> guard(mutex());
        records().push_back(pending());
    }

    static constexpr AppLogger::SyslogApi API{open, write, close};
};

} // namespace logtest
