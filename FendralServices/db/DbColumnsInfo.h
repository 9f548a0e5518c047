// The descriptions of a result set's columns (name, SQL type, precision,
// scale, size) and a name-to-number map, names compared without regard to case.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <sql.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class DbResultset;

struct ColumnInfo
{
    std::string m_columnName;
    int32 m_type = 0;
    int32 m_precision = 0;
    int32 m_scale = 0;
    int32 m_size = 0;
};

// Case-insensitive hashing and comparison of column names, usable with a
// string_view so a lookup allocates nothing.
struct ColumnNameHash
{
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
};

struct ColumnNameEqual
{
    using is_transparent = void;
    bool operator()(std::string_view lhs, std::string_view rhs) const;
};

class DbColumnsInfo
{
public:
    static constexpr int32 MAX_COLUMN_NAME_LEN = 256;

    DbColumnsInfo(DbResultset* resultsetPtr) : m_resultsetPtr(resultsetPtr) {}

    // Reads the descriptions from the statement; false with the mapped code on failure.
    bool load(SQLHSTMT statement);

    int32 getNumOfColumns() const { return m_numOfColumns; }
    // Null for a number outside 1..getNumOfColumns().
    const ColumnInfo* getColumnInfo(int32 number) const
    {
        return number >= 1 && number <= m_numOfColumns ? &m_columnsInfo[number - 1] : nullptr;
    }
    // 1-based index; -1 when absent. The first of equal names wins.
    int32 findColumnIndex(const char* nameTxt) const;
    int32 findColumnIndex(std::string_view name) const;
    // The same, trying column hint first: a caller that reads the same
    // names row after row passes the number it found last time and skips
    // the hashed look-up.
    int32 findColumnIndex(std::string_view name, int32 hint) const;

private:
    DbResultset* m_resultsetPtr;
    int32 m_numOfColumns = 0;
    std::vector<ColumnInfo> m_columnsInfo;
    std::unordered_map<std::string, int32, ColumnNameHash, ColumnNameEqual> m_nameIndexMap;
};
