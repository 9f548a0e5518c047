// What the extract recorder tests share: a fixed clock, line data records,
// reading a file back (inflating gzip), and parsing records out of it.
#pragma once

#include "../host_bus/HostTestSupport.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/recovery/ExtractPlayback.h"
#include "zunq/time/Time.h"
#include "zunq/time/TimeZone.h"

#include <zlib.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace extracttest
{

// The time the recorder reads; a test moves it.
class FixedClock
{
public:
    explicit FixedClock(const std::string& text = "2024-03-01 12:00:00") { set(text); }
    // A date and time in the local zone, or with a zone of its own.
    void set(const std::string& text, const TimeZone* zone = TimeZone::local())
    {
        std::lock_guard lock(mLock);
        mNow = Time(text.c_str(), zone);
    }
    ExtractPlayback::Clock clock()
    {
        return [this] {
            std::lock_guard lock(mLock);
            return mNow;
        };
    }

private:
    std::mutex mLock;
    Time mNow;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The inflated bytes of a gzip file (every member), or "<unreadable>".
inline std::string inflateFile(const std::string& path)
{
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr)
        return "<unreadable>";
    std::string out;
    char buffer[4096];
    int got = 0;
    while ((got = gzread(file, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(got));
    const bool bad = got < 0;
    gzclose(file);
    return bad ? "<unreadable>" : out;
}

struct Record
{
    Record(const std::string& bytes, const char* host = "h", int port = 7) : data(bytes)
    {
        line.setData(data.data(), static_cast<std::uint32_t>(data.size()));
        line.setSource(host, port);
    }
    std::string data;
    LineDataBasic line;
};

// One record as a reader of extract files splits it: the meta line's fields
// and the bytes it announces. Parsing stops at the first byte that does not
// begin a whole record; `rest` is what was left.
struct Parsed
{
    std::vector<std::string> fields; // version, length, host, port, time of day, seconds, hint
    std::string data;
};

inline std::vector<Parsed> parseRecords(const std::string& file, std::string& rest)
{
    static const std::string start = "*M*E*T*A*S*T*A*R*T*/";
    static const std::string end = "/*M*E*T*A*E*N*D*";
    std::vector<Parsed> out;
    std::size_t at = 0;
    while (at < file.size())
    {
        if (file.compare(at, start.size(), start) != 0)
            break;
        const std::size_t close = file.find(end, at);
        if (close == std::string::npos)
            break;
        Parsed p;
        std::stringstream fields(file.substr(at + start.size(), close - at - start.size()));
        for (std::string f; std::getline(fields, f, '/');)
            p.fields.push_back(f);
        if (p.fields.size() == 6) // an empty hint is a last, empty field
            p.fields.push_back("");
        if (p.fields.size() != 7)
            break;
        const std::size_t length = std::stoul(p.fields[1]);
        const std::size_t dataAt = close + end.size();
        if (dataAt + length + 1 > file.size() || file[dataAt + length] != '\n')
            break;
        p.data = file.substr(dataAt, length);
        out.push_back(p);
        at = dataAt + length + 1;
    }
    rest = file.substr(at);
    return out;
}

} // namespace extracttest
