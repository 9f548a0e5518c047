#include "FendralCore/runtime/AppLogSink.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <unistd.h>

int32 AppLogSink::writeParts(int32 level, const iovec* parts, int32 count)
{
    std::string line;
    for (int32 i = 0; i < count; ++i)
        line.append(static_cast<const char*>(parts[i].iov_base), parts[i].iov_len);
    return writeLine(level, line.data(), static_cast<uint32>(line.size()));
}

int32 StderrAppLogSink::writeLine(int32, const char* line, uint32 length)
{
    uint32 done = 0;
    while (done < length)
    {
        const ssize_t n = ::write(STDERR_FILENO, line + done, length - done);
        if (n <= 0)
            return fwFail(WRITE_FAILED, -1);
        done += static_cast<uint32>(n);
    }
    return 0;
}

int32 CaptureAppLogSink::writeLine(int32, const char* line, uint32 length)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lines.emplace_back(line, length);
    return 0;
}

std::vector<std::string> CaptureAppLogSink::lines() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_lines;
}

size_t CaptureAppLogSink::count(std::string_view text) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    size_t n = 0;
    for (const auto& line : m_lines)
        n += line.find(text) != std::string::npos;
    return n;
}

void CaptureAppLogSink::clear()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lines.clear();
}
