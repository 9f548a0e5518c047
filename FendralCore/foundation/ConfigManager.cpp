#include "FendralCore/foundation/ConfigManager.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogCall.h"
#include "FendralCore/foundation/TrimString.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#define CFG_LOG(level, ...) fwLog(level, __VA_ARGS__)

namespace
{

constexpr std::string_view SEPARATORS = " ,\t";
constexpr std::string_view QUOTES = "\"'";
constexpr int32 LINE_BUFFER_SIZE = ConfigManager::CONFIG_LINE_LEN_MAX + 1;

// Hands out the file in pieces of at most CONFIG_LINE_LEN_MAX bytes, each
// ending after a newline unless the line was longer or the file ended.
// Lengths are counted, so a NUL byte inside a line is just a byte.
class LineReader
{
public:
    explicit LineReader(int fd) : m_fd(fd) {}

    // Bytes placed in line (at most max), 0 at end of file, -1 on a read error.
    int32 next(char* line, int32 max)
    {
        int32 length = 0;
        while (length < max)
        {
            if (m_pos == m_end && fill() <= 0)
                return m_error ? -1 : length;
            const char c = m_buffer[m_pos++];
            line[length++] = c;
            if (c == '\n')
                break;
        }
        return length;
    }

private:
    int m_fd;
    char m_buffer[4096];
    ssize_t m_pos = 0;
    ssize_t m_end = 0;
    bool m_error = false;

    ssize_t fill()
    {
        ssize_t n;
        do
            n = ::read(m_fd, m_buffer, sizeof(m_buffer));
        while (n < 0 && errno == EINTR);
        if (n < 0)
            m_error = true;
        m_pos = 0;
        m_end = n < 0 ? 0 : n;
        return n;
    }
};

struct TypeName
{
    const char* text;
    ParaType type;
};

constexpr TypeName TYPE_NAMES[] = {
    {ConfigManager::INT16_TYPE_STR, INTEGER16},           {ConfigManager::INT32_TYPE_STR, INTEGER32},
    {ConfigManager::INT64_TYPE_STR, INTEGER64},           {ConfigManager::UINT16_TYPE_STR, UNSIGNED_INTEGER16},
    {ConfigManager::UINT32_TYPE_STR, UNSIGNED_INTEGER32}, {ConfigManager::UINT64_TYPE_STR, UNSIGNED_INTEGER64},
    {ConfigManager::DOUBLE_TYPE_STR, DOUBLE},             {ConfigManager::STRING_TYPE_STR, STRING},
};

bool typeOf(std::string_view text, ParaType& type)
{
    for (const TypeName& entry : TYPE_NAMES)
        if (text == entry.text)
        {
            type = entry.type;
            return true;
        }
    return false;
}

int printLength(std::string_view text)
{
    return static_cast<int>(text.size());
}

} // namespace

ConfigManager::ConfigManager(const std::string& pathname)
    : m_pathnameStr(pathname), m_gblData(GlobalData::getInst())
{
}

int32 ConfigManager::loadConfigFile()
{
    ParaDataStore store;
    {
        std::shared_lock<std::shared_mutex> guard(m_storeLock);
        store = m_paraDataStore;
    }
    const int32 result = readFile(store);
    std::unique_lock<std::shared_mutex> guard(m_storeLock);
    m_paraDataStore.swap(store);
    return result;
}

int32 ConfigManager::reloadConfigFile()
{
    ParaDataStore store;
    const int32 result = readFile(store);
    if (result != 0)
        return result;
    std::unique_lock<std::shared_mutex> guard(m_storeLock);
    m_paraDataStore.swap(store);
    return 0;
}

int32 ConfigManager::readFile(ParaDataStore& store) const
{
    const int fd = ::open(m_pathnameStr.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Error [%d] open configuration file [%s]", errno, m_pathnameStr.c_str());
        return fwFail(FILE_OPEN_ERROR, -1);
    }
    LineReader reader(fd);
    char line[LINE_BUFFER_SIZE];
    // Inside a line longer than the buffer: its remaining pieces are dropped
    // up to and including the one that ends it, and nothing more.
    bool inLongLine = false;
    int32 length;
    while ((length = reader.next(line, CONFIG_LINE_LEN_MAX)) > 0)
    {
        line[length] = '\0';
        const std::string_view text(line, static_cast<size_t>(length));
        const std::string trimmed = TrimString::trim(text);
        CFG_LOG(LOG_LEVEL_DEBUG, "Read [%.*s].", printLength(trimmed), trimmed.c_str());
        const bool complete = text.back() == '\n';
        if (inLongLine)
        {
            inLongLine = !complete;
            continue;
        }
        if (!complete)
        {
            CFG_LOG(LOG_LEVEL_ERROR, "Configuration entry line [%s] too long", line);
            FrameworkErrno::m_fwErrno = LINE_TOO_LONG;
            inLongLine = true;
            continue;
        }
        parseLine(trimmed, store);
    }
    ::close(fd);
    if (length < 0)
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Error [%d] reading configuration file [%s]", errno, m_pathnameStr.c_str());
        return fwFail(READ_FAILED, -1);
    }
    if (inLongLine)
        return fwFail(LINE_TOO_LONG, -1);
    return 0;
}

void ConfigManager::parseLine(std::string_view line, ParaDataStore& store) const
{
    if (line.empty() || line.front() == '#')
        return;
    if (line.find('\0') != std::string_view::npos)
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Invalid character in a configuration entry line [%s]", line.data());
        FrameworkErrno::m_fwErrno = INVALID_NUM_OF_PARAMETER;
        return;
    }

    // Name, type and value; fields after the third are a remark.
    std::string_view fields[3];
    int32 count = 0;
    size_t pos = 0;
    bool malformed = line.front() == ','; // an empty first field
    while (!malformed && count < 3)
    {
        pos = line.find_first_not_of(SEPARATORS, pos);
        if (pos == std::string_view::npos)
            break;
        if (QUOTES.find(line[pos]) != std::string_view::npos)
        {
            const size_t close = line.find_first_of(QUOTES, pos + 1);
            if (close == std::string_view::npos || close == pos + 1)
            {
                malformed = true; // unterminated or empty
                break;
            }
            fields[count++] = line.substr(pos + 1, close - pos - 1);
            pos = close + 1;
        }
        else
        {
            const size_t end = line.find_first_of(SEPARATORS, pos);
            fields[count++] = line.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
            pos = end;
        }
    }
    if (malformed || count < 3)
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Invalid number of parameters in a configuration entry line [%.*s]",
                printLength(line), line.data());
        FrameworkErrno::m_fwErrno = INVALID_NUM_OF_PARAMETER;
        return;
    }

    const std::string_view name = fields[0];
    ParaType type;
    if (!typeOf(fields[1], type))
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Invalid parameter type [%.*s]", printLength(fields[1]), fields[1].data());
        FrameworkErrno::m_fwErrno = INVALID_PARAMETER_TYPE;
        return;
    }
    ParaData data{};
    if (!parseValue(name, fields[2], type, data))
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Invalid parameter value [%.*s] for type [%d]", printLength(fields[2]),
                fields[2].data(), static_cast<int>(type));
        FrameworkErrno::m_fwErrno = INVALID_PARAMETER_TYPE;
        return;
    }
    if (store.find(name) != store.end())
    {
        CFG_LOG(LOG_LEVEL_NOTICE, "Duplicated configuration parameter name  [%.16s] found. Skipped [%.*s].",
                std::string(name).c_str(), printLength(line), line.data());
        return;
    }
    const size_t nameLength = name.size() < sizeof(data.paraName) - 1 ? name.size() : sizeof(data.paraName) - 1;
    std::memcpy(data.paraName, name.data(), nameLength);
    data.paraType = type;
    store.emplace(std::string(name), data);
}

// Integers follow strtol with base 0 (0x hexadecimal, leading 0 octal) and
// keep only what their type holds; what is silently adjusted is logged as a
// warning so that a wrong value in the file does not go unnoticed.
bool ConfigManager::parseValue(std::string_view name, std::string_view text, ParaType type, ParaData& data) const
{
    if (type == STRING)
    {
        const size_t length = text.size() < sizeof(data.value.nameValue) - 1 ? text.size()
                                                                            : sizeof(data.value.nameValue) - 1;
        std::memcpy(data.value.nameValue, text.data(), length);
        data.value.nameValue[length] = '\0';
        return true;
    }
    const std::string value(text);
    const std::string shortName(name.substr(0, PARAMETER_NAME_LEN_MAX));
    const char* start = value.c_str();
    char* end = nullptr;
    errno = 0;
    bool adjusted = false;
    char stored[32] = {};
    switch (type)
    {
    case INTEGER16:
    case INTEGER32:
    {
        const long long number = std::strtoll(start, &end, 0);
        if (end == start || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
            return false;
        if (type == INTEGER16)
        {
            data.value.int16Value = static_cast<int16>(static_cast<uint16>(number));
            adjusted = data.value.int16Value != number;
            std::snprintf(stored, sizeof(stored), "%d", data.value.int16Value);
        }
        else
        {
            data.value.int32Value = static_cast<int32>(number);
        }
        break;
    }
    case INTEGER64:
    {
        const long long number = std::strtoll(start, &end, 0);
        if (end == start || errno == ERANGE)
            return false;
        data.value.int64Value = number;
        break;
    }
    case UNSIGNED_INTEGER16:
    case UNSIGNED_INTEGER32:
    case UNSIGNED_INTEGER64:
    {
        const unsigned long long number = std::strtoull(start, &end, 0);
        if (end == start || errno == ERANGE)
            return false;
        // A minus sign wraps the value the strtoul way.
        adjusted = std::strchr(start, '-') != nullptr && std::strchr(start, '-') < end && number != 0;
        if (type == UNSIGNED_INTEGER16)
        {
            data.value.uint16Value = static_cast<uint16>(number);
            adjusted = adjusted || data.value.uint16Value != number;
            std::snprintf(stored, sizeof(stored), "%u", static_cast<unsigned>(data.value.uint16Value));
        }
        else if (type == UNSIGNED_INTEGER32)
        {
            data.value.uint32Value = static_cast<uint32>(number);
            adjusted = adjusted || data.value.uint32Value != number;
            std::snprintf(stored, sizeof(stored), "%" PRIu32, data.value.uint32Value);
        }
        else
        {
            data.value.uint64Value = number;
            std::snprintf(stored, sizeof(stored), "%" PRIu64, data.value.uint64Value);
        }
        break;
    }
    case DOUBLE:
    {
        const double number = std::strtod(start, &end);
        if (end == start || errno == ERANGE)
            return false;
        data.value.doubleValue = number;
        break;
    }
    default:
        return false;
    }
    if (adjusted)
        CFG_LOG(LOG_LEVEL_WARNING, "Value [%s] of parameter [%s] is out of the range of type [%d]. Stored [%s].",
                start, shortName.c_str(), static_cast<int>(type), stored);
    if (*end != '\0')
        CFG_LOG(LOG_LEVEL_WARNING, "Value [%s] of parameter [%s] has trailing characters [%s] that are ignored.",
                start, shortName.c_str(), end);
    return true;
}

int32 ConfigManager::lookup(std::string_view name, ParaType expected, const char* typeWord, ParaData& data) const
{
    std::shared_lock<std::shared_mutex> guard(m_storeLock);
    const auto found = m_paraDataStore.find(name);
    if (found == m_paraDataStore.end())
        return 0;
    if (found->second.paraType != expected)
    {
        CFG_LOG(LOG_LEVEL_ERROR, "Wrong data type for [%.*s]. Request %s but the parameter is of type [%d]",
                printLength(name), name.data(), typeWord, static_cast<int>(found->second.paraType));
        return fwFail(INVALID_PARAMETER_TYPE, -1);
    }
    data = found->second;
    return 1;
}

template <typename T, typename Field>
int32 ConfigManager::getNumber(std::string_view name, ParaType type, const char* typeWord, T& value,
                               T defaultValue, Field field) const
{
    ParaData data;
    const int32 found = lookup(name, type, typeWord, data);
    if (found < 0)
        return -1;
    value = found == 1 ? field(data) : defaultValue;
    return 0;
}

int32 ConfigManager::getInt16ConfigPara(std::string_view name, int16& value, int16 defaultValue) const
{
    return getNumber(name, INTEGER16, "Int16", value, defaultValue, [](const ParaData& d) { return d.value.int16Value; });
}

int32 ConfigManager::getInt32ConfigPara(std::string_view name, int32& value, int32 defaultValue) const
{
    return getNumber(name, INTEGER32, "Int32", value, defaultValue, [](const ParaData& d) { return d.value.int32Value; });
}

int32 ConfigManager::getInt64ConfigPara(std::string_view name, int64& value, int64 defaultValue) const
{
    return getNumber(name, INTEGER64, "Int64", value, defaultValue, [](const ParaData& d) { return d.value.int64Value; });
}

int32 ConfigManager::getUint16ConfigPara(std::string_view name, uint16& value, uint16 defaultValue) const
{
    return getNumber(name, UNSIGNED_INTEGER16, "Uint16", value, defaultValue, [](const ParaData& d) { return d.value.uint16Value; });
}

int32 ConfigManager::getUint32ConfigPara(std::string_view name, uint32& value, uint32 defaultValue) const
{
    return getNumber(name, UNSIGNED_INTEGER32, "Uint32", value, defaultValue, [](const ParaData& d) { return d.value.uint32Value; });
}

int32 ConfigManager::getUint64ConfigPara(std::string_view name, uint64& value, uint64 defaultValue) const
{
    return getNumber(name, UNSIGNED_INTEGER64, "Uint64", value, defaultValue, [](const ParaData& d) { return d.value.uint64Value; });
}

int32 ConfigManager::getDoubleConfPara(std::string_view name, double& value, double defaultValue) const
{
    return getNumber(name, DOUBLE, "double", value, defaultValue, [](const ParaData& d) { return d.value.doubleValue; });
}

int32 ConfigManager::getStrConfPara(std::string_view name, std::string& value, std::string_view defaultValue) const
{
    ParaData data;
    const int32 found = lookup(name, STRING, "STRING", data);
    if (found == 1)
        value = data.value.nameValue;
    else if (found == 0)
        value = defaultValue;
    return found < 0 ? -1 : 0;
}
