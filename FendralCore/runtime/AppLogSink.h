// Where a logger's finished lines go in place of its daily file. The logger
// formats each line completely (header, text, newline) and hands it over in
// one call; a data or journal line comes in parts (header, payload, newline)
// that form one line.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <mutex>
#include <string>
#include <string_view>
#include <sys/uio.h>
#include <vector>

class AppLogSink
{
public:
    virtual ~AppLogSink() = default;
    // 0 on success; -1 with the framework error code set otherwise.
    virtual int32 writeLine(int32 level, const char* line, uint32 length) = 0;
    // The parts joined, as one writeLine.
    virtual int32 writeParts(int32 level, const iovec* parts, int32 count);
    virtual int32 flush() { return 0; }
};

// Writes every line to standard error with one write call.
class StderrAppLogSink : public AppLogSink
{
public:
    int32 writeLine(int32 level, const char* line, uint32 length) override;
};

// Keeps every line in memory, for tests that check what was logged.
class CaptureAppLogSink : public AppLogSink
{
public:
    int32 writeLine(int32 level, const char* line, uint32 length) override;

    std::vector<std::string> lines() const;
    // Number of lines holding text.
    size_t count(std::string_view text) const;
    bool contains(std::string_view text) const { return count(text) > 0; }
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
