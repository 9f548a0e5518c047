// One configuration file of typed parameters held in memory: lines of
// NAME TYPE VALUE, answered by typed getters with a caller's default. A
// process has two stores, both reached through GlobalData: the framework's and
// the application's. The framework logger must be set in GlobalData before a
// store is built.
//
// Filled on the start-up thread and reloaded by the control thread; getters
// may run on any thread, and a reload replaces the store only when the whole
// file was read.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>

class GlobalData;

// Type tags of typed data; the file can declare the eight with a type name.
enum ParaType : int32
{
    INTEGER16 = 0,
    INTEGER32 = 1,
    INTEGER64 = 2,
    UNSIGNED_INTEGER16 = 3,
    UNSIGNED_INTEGER32 = 4,
    UNSIGNED_INTEGER64 = 5,
    BIG_INTEGER16 = 6,
    BIG_INTEGER32 = 7,
    BIG_INTEGER64 = 8,
    BIG_UNSIGNED_INTEGER16 = 9,
    BIG_UNSIGNED_INTEGER32 = 10,
    BIG_UNSIGNED_INTEGER64 = 11,
    DOUBLE = 12,
    STRING = 13,
};

using ParaName = char[17];
using LongNameTxt = char[256];

// One stored parameter.
struct ParaData
{
    ParaName paraName; // first 16 characters of the name
    ParaType paraType;
    union
    {
        int16 int16Value;
        int32 int32Value;
        int64 int64Value;
        uint16 uint16Value;
        uint32 uint32Value;
        uint64 uint64Value;
        double doubleValue;
        LongNameTxt nameValue;
    } value;
};

class ConfigManager
{
public:
    static constexpr int32 PARAMETER_NAME_LEN_MAX = 16;
    // A line holds at most 254 characters and its newline.
    static constexpr int32 CONFIG_LINE_LEN_MAX = 255;
    static constexpr const char* INT16_TYPE_STR = "INT16";
    static constexpr const char* INT32_TYPE_STR = "INT32";
    static constexpr const char* INT64_TYPE_STR = "INT64";
    static constexpr const char* UINT16_TYPE_STR = "UINT16";
    static constexpr const char* UINT32_TYPE_STR = "UINT32";
    static constexpr const char* UINT64_TYPE_STR = "UINT64";
    static constexpr const char* DOUBLE_TYPE_STR = "DOUBLE";
    static constexpr const char* STRING_TYPE_STR = "STRING";

    // Nothing is read yet.
    explicit ConfigManager(const std::string& pathname);

    ConfigManager(const ConfigManager&) = delete;
    ConfigManager& operator=(const ConfigManager&) = delete;

    // Adds the file's parameters to the store (a name already stored keeps
    // its value). 0, or -1 with FILE_OPEN_ERROR, READ_FAILED, or LINE_TOO_LONG
    // when the file ends inside an over-long or unterminated line. A bad line
    // is logged and skipped; it does not fail the load.
    int32 loadConfigFile();
    // Reads the file afresh into a new store and replaces the old one only
    // when that succeeds; on failure the previous values stay.
    int32 reloadConfigFile();

    // Absent: out = default, 0. Stored with the expected type: out = value, 0.
    // Stored with another type: logged, INVALID_PARAMETER_TYPE, out unchanged, -1.
    int32 getInt16ConfigPara(std::string_view name, int16& value, int16 defaultValue) const;
    int32 getInt32ConfigPara(std::string_view name, int32& value, int32 defaultValue) const;
    int32 getInt64ConfigPara(std::string_view name, int64& value, int64 defaultValue) const;
    int32 getUint16ConfigPara(std::string_view name, uint16& value, uint16 defaultValue) const;
    int32 getUint32ConfigPara(std::string_view name, uint32& value, uint32 defaultValue) const;
    int32 getUint64ConfigPara(std::string_view name, uint64& value, uint64 defaultValue) const;
    int32 getDoubleConfPara(std::string_view name, double& value, double defaultValue) const;
    int32 getStrConfPara(std::string_view name, std::string& value, std::string_view defaultValue) const;

private:
    using ParaDataStore = std::map<std::string, ParaData, std::less<>>;

    std::string m_pathnameStr;
    ParaDataStore m_paraDataStore;
    GlobalData& m_gblData;
    mutable std::shared_mutex m_storeLock;

    int32 readFile(ParaDataStore& store) const;
    void parseLine(std::string_view line, ParaDataStore& store) const;
    bool parseValue(std::string_view name, std::string_view text, ParaType type, ParaData& data) const;
    // 1 when found with the expected type (data filled), 0 when absent, -1 on a mismatch.
    int32 lookup(std::string_view name, ParaType expected, const char* typeWord, ParaData& data) const;
    // A numeric getter: field picks the value out of the stored record.
    template <typename T, typename Field>
    int32 getNumber(std::string_view name, ParaType type, const char* typeWord, T& value, T defaultValue,
                    Field field) const;
};
