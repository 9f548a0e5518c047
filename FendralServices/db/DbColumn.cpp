#include "FendralServices/db/DbColumn.h"

#include "FendralServices/db/DbException.h"

#include <sqlext.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
// A driver reporting an absurd length must not make us allocate without bound.
constexpr int32 MAX_COLUMN_BUFFER = 1 << 20;

int32 clampSize(int32 size)
{
    return std::clamp(size, 0, MAX_COLUMN_BUFFER);
}
} // namespace

DbColumn::DbColumn(size_t numOfRows, int32 sqlType, int32 precision, int32 scale)
    : m_numOfRows(numOfRows == 0 ? 1 : numOfRows), m_sqlType(sqlType), m_precision(precision), m_scale(scale)
{
    switch (sqlType)
    {
    case SQL_BIT:
        m_cType = SQL_C_BIT, m_bufferSize = 1, m_scale = 0;
        break;
    case SQL_TINYINT:
        m_cType = SQL_C_STINYINT, m_bufferSize = 1, m_scale = 0;
        break;
    case SQL_BIGINT:
        m_cType = SQL_C_SBIGINT, m_bufferSize = 8, m_scale = 0;
        break;
    case SQL_VARBINARY:
    case SQL_BINARY:
        m_cType = SQL_C_BINARY, m_bufferSize = clampSize(precision);
        break;
    case SQL_CHAR:
    case SQL_VARCHAR:
        m_cType = SQL_C_CHAR, m_bufferSize = clampSize(precision) + 1, m_scale = 0;
        break;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
        // Sign, decimal point and terminator beside the digits.
        m_cType = SQL_C_CHAR, m_bufferSize = clampSize(precision) + DECIMAL_EXTRA_LEN;
        break;
    case SQL_INTEGER:
        m_cType = SQL_C_SLONG, m_bufferSize = 4, m_scale = 0;
        break;
    case SQL_SMALLINT:
        m_cType = SQL_C_SSHORT, m_bufferSize = 2, m_scale = 0;
        break;
    case SQL_FLOAT:
    case SQL_DOUBLE:
        m_cType = SQL_C_DOUBLE, m_bufferSize = 8;
        break;
    case SQL_REAL:
        m_cType = SQL_C_FLOAT, m_bufferSize = 4;
        break;
    case SQL_TYPE_DATE:
        m_cType = SQL_C_TYPE_DATE, m_bufferSize = sizeof(SQL_DATE_STRUCT);
        break;
    case SQL_TYPE_TIME:
        m_cType = SQL_C_TYPE_TIME, m_bufferSize = sizeof(SQL_TIME_STRUCT);
        break;
    case SQL_TYPE_TIMESTAMP:
        m_cType = SQL_C_TYPE_TIMESTAMP, m_bufferSize = sizeof(SQL_TIMESTAMP_STRUCT);
        break;
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_GUID:
    case SQL_LONGVARBINARY:
    case SQL_LONGVARCHAR:
        throw DbException("Column with not supported SQL data type", DB_INVALID_DATA_TYPE);
    default:
        if (sqlType >= SQL_INTERVAL_YEAR && sqlType <= SQL_INTERVAL_MINUTE_TO_SECOND)
            throw DbException("Column with not supported SQL data type", DB_INVALID_DATA_TYPE);
        throw DbException("Column with unrecognized SQL data type", DB_INVALID_DATA_TYPE);
    }
    // A zero-size buffer still gets one byte so every row has an address.
    m_bufferPtr.assign(m_numOfRows * std::max<size_t>(m_bufferSize, 1), 0);
    m_bufferSize = std::max<size_t>(m_bufferSize, 1);
    m_dataStatusAry.assign(m_numOfRows, SQL_NULL_DATA);
}

void DbColumn::conversionError()
{
    throw DbException(DATA_TYPE_CONV_ERROR_TXT, DB_INVALID_DATA_TYPE);
}


template <typename T>
void DbColumn::store(const T& value, SQLLEN len)
{
    std::memcpy(getBuffer(), &value, sizeof(T));
    m_dataStatusAry[m_currentRow] = len;
}



float DbColumn::getFloat() const
{
    if (!isNull() && m_cType == SQL_C_FLOAT)
        return load<float>();
    if (!isNull() && m_cType == SQL_C_CHAR)
        return std::strtof(getString().c_str(), nullptr);
    return static_cast<float>(getDouble());
}

std::string DbColumn::getString() const
{
    if (isNull())
        return {};
    char txt[MAX_NUM_OF_DIGITS_IN_STRING];
    switch (m_cType)
    {
    case SQL_C_STINYINT:
    case SQL_C_UTINYINT:
    case SQL_C_BIT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
    case SQL_C_SLONG:
        std::snprintf(txt, sizeof(txt), "%d", static_cast<int32>(getInt64()));
        return txt;
    case SQL_C_ULONG:
        std::snprintf(txt, sizeof(txt), "%u", static_cast<uint32>(getInt64()));
        return txt;
    case SQL_C_SBIGINT:
        std::snprintf(txt, sizeof(txt), "%" PRId64, getInt64());
        return txt;
    case SQL_C_UBIGINT:
        std::snprintf(txt, sizeof(txt), "%" PRIu64, static_cast<uint64>(getInt64()));
        return txt;
    case SQL_C_FLOAT:
    case SQL_C_DOUBLE:
        std::snprintf(txt, sizeof(txt), "%f", getDouble());
        return txt;
    case SQL_C_CHAR:
    {
        // Up to the terminator, never past the buffer (a truncated fetch
        // reports the full length in the indicator).
        const char* data = getBuffer();
        return std::string(data, ::strnlen(data, m_bufferSize));
    }
    default:
        return {};
    }
}


DbDate DbColumn::getDate() const
{
    DbDate date;
    if (isNull())
        return date;
    if (m_cType == SQL_C_TYPE_DATE)
    {
        auto d = load<SQL_DATE_STRUCT>();
        date.m_year = d.year, date.m_month = d.month, date.m_day = d.day;
    }
    else if (m_cType == SQL_C_TYPE_TIMESTAMP)
    {
        auto ts = load<SQL_TIMESTAMP_STRUCT>();
        date.m_year = ts.year, date.m_month = ts.month, date.m_day = ts.day;
    }
    return date;
}

DbTime DbColumn::getTime() const
{
    DbTime time;
    if (isNull())
        return time;
    if (m_cType == SQL_C_TYPE_TIME)
    {
        auto t = load<SQL_TIME_STRUCT>();
        time.m_hour = t.hour, time.m_minute = t.minute, time.m_second = t.second;
    }
    else if (m_cType == SQL_C_TYPE_TIMESTAMP)
    {
        auto ts = load<SQL_TIMESTAMP_STRUCT>();
        time.m_hour = ts.hour, time.m_minute = ts.minute, time.m_second = ts.second;
    }
    return time;
}

DbTimestamp DbColumn::getTimestamp() const
{
    DbTimestamp stamp;
    if (isNull())
        return stamp;
    if (m_cType == SQL_C_TYPE_TIME)
    {
        auto t = load<SQL_TIME_STRUCT>();
        stamp.m_hour = t.hour, stamp.m_minute = t.minute, stamp.m_second = t.second;
    }
    else if (m_cType == SQL_C_TYPE_DATE)
    {
        auto d = load<SQL_DATE_STRUCT>();
        stamp.m_year = d.year, stamp.m_month = d.month, stamp.m_day = d.day;
    }
    else if (m_cType == SQL_C_TYPE_TIMESTAMP)
    {
        auto ts = load<SQL_TIMESTAMP_STRUCT>();
        stamp.m_year = ts.year, stamp.m_month = ts.month, stamp.m_day = ts.day;
        stamp.m_hour = ts.hour, stamp.m_minute = ts.minute, stamp.m_second = ts.second;
        stamp.m_nanosecond = static_cast<int32>(ts.fraction);
    }
    return stamp;
}

void DbColumn::storeInteger(int64 value)
{
    switch (m_cType)
    {
    case SQL_C_STINYINT:
    case SQL_C_UTINYINT:
        store(static_cast<int8>(value), 1);
        return;
    case SQL_C_BIT:
        store(static_cast<uint8>(value != 0 ? 1 : 0), 1);
        return;
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
        store(static_cast<int16>(value), 2);
        return;
    case SQL_C_SLONG:
    case SQL_C_ULONG:
        store(static_cast<int32>(value), 4);
        return;
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
        store(value, 8);
        return;
    case SQL_C_FLOAT:
        store(static_cast<float>(value), 4);
        return;
    case SQL_C_DOUBLE:
        store(static_cast<double>(value), 8);
        return;
    default:
        conversionError();
    }
}

void DbColumn::setInt64(int64 value)
{
    if (m_cType == SQL_C_CHAR)
    {
        char txt[MAX_NUM_OF_DIGITS_IN_STRING];
        int len = std::snprintf(txt, sizeof(txt), "%" PRId64, value);
        setString(txt, static_cast<size_t>(len));
        return;
    }
    storeInteger(value);
}

void DbColumn::setUnsigned(uint64 value)
{
    switch (m_cType)
    {
    case SQL_C_STINYINT:
        m_cType = SQL_C_UTINYINT;
        break;
    case SQL_C_SSHORT:
        m_cType = SQL_C_USHORT;
        break;
    case SQL_C_SLONG:
        m_cType = SQL_C_ULONG;
        break;
    case SQL_C_SBIGINT:
        m_cType = SQL_C_UBIGINT;
        break;
    case SQL_C_CHAR:
    {
        char txt[MAX_NUM_OF_DIGITS_IN_STRING];
        int len = std::snprintf(txt, sizeof(txt), "%" PRIu64, value);
        setString(txt, static_cast<size_t>(len));
        return;
    }
    case SQL_C_FLOAT:
        store(static_cast<float>(value), 4);
        return;
    case SQL_C_DOUBLE:
        store(static_cast<double>(value), 8);
        return;
    default:
        break;
    }
    storeInteger(static_cast<int64>(value));
}

void DbColumn::setDouble(double value)
{
    switch (m_cType)
    {
    case SQL_C_FLOAT:
        store(static_cast<float>(value), 4);
        return;
    case SQL_C_DOUBLE:
        store(value, 8);
        return;
    case SQL_C_CHAR:
    {
        char txt[MAX_NUM_OF_DIGITS_IN_STRING];
        int len = std::snprintf(txt, sizeof(txt), "%f", value);
        // A huge value prints more digits than the text buffer holds.
        setString(txt, std::min(static_cast<size_t>(len), sizeof(txt) - 1));
        return;
    }
    default:
        storeInteger(static_cast<int64>(value));
    }
}

void DbColumn::setString(const char* valueTxt, size_t len)
{
    if (m_cType == SQL_C_CHAR)
    {
        // Longer text is cut to the buffer, and the indicator says what is
        // there, so the driver never reads past the buffer.
        size_t copied = std::min(len, m_bufferSize - 1);
        char* buffer = getBuffer();
        if (copied > 0)
            std::memcpy(buffer, valueTxt, copied);
        buffer[copied] = '\0';
        m_dataStatusAry[m_currentRow] = static_cast<SQLLEN>(copied);
        return;
    }
    std::string text(valueTxt, len);
    switch (m_cType)
    {
    case SQL_C_FLOAT:
        store(std::strtof(text.c_str(), nullptr), 4);
        return;
    case SQL_C_DOUBLE:
        store(std::strtod(text.c_str(), nullptr), 8);
        return;
    case SQL_C_UTINYINT:
    case SQL_C_USHORT:
    case SQL_C_ULONG:
    case SQL_C_UBIGINT:
        storeInteger(static_cast<int64>(std::strtoull(text.c_str(), nullptr, DECIMAL_BASE)));
        return;
    default:
        storeInteger(std::strtoll(text.c_str(), nullptr, DECIMAL_BASE));
    }
}

void DbColumn::setDate(const DbDate& value)
{
    if (m_cType == SQL_C_TYPE_DATE)
    {
        SQL_DATE_STRUCT d{static_cast<SQLSMALLINT>(value.m_year), static_cast<SQLUSMALLINT>(value.m_month),
                          static_cast<SQLUSMALLINT>(value.m_day)};
        store(d, sizeof(d));
        return;
    }
    if (m_cType == SQL_C_TYPE_TIMESTAMP)
    {
        DbTimestamp stamp;
        stamp.m_year = value.m_year, stamp.m_month = value.m_month, stamp.m_day = value.m_day;
        setTimestamp(stamp);
        return;
    }
    conversionError();
}

void DbColumn::setTime(const DbTime& value)
{
    if (m_cType != SQL_C_TYPE_TIME)
        conversionError();
    SQL_TIME_STRUCT t{static_cast<SQLUSMALLINT>(value.m_hour), static_cast<SQLUSMALLINT>(value.m_minute),
                      static_cast<SQLUSMALLINT>(value.m_second)};
    store(t, sizeof(t));
}

void DbColumn::setTimestamp(const DbTimestamp& value)
{
    if (m_cType != SQL_C_TYPE_TIMESTAMP)
        conversionError();
    SQL_TIMESTAMP_STRUCT ts{};
    ts.year = static_cast<SQLSMALLINT>(value.m_year);
    ts.month = static_cast<SQLUSMALLINT>(value.m_month);
    ts.day = static_cast<SQLUSMALLINT>(value.m_day);
    ts.hour = static_cast<SQLUSMALLINT>(value.m_hour);
    ts.minute = static_cast<SQLUSMALLINT>(value.m_minute);
    ts.second = static_cast<SQLUSMALLINT>(value.m_second);
    ts.fraction = static_cast<SQLUINTEGER>(value.m_nanosecond);
    store(ts, sizeof(ts));
}

SQLRETURN DbColumn::bind(SQLHSTMT statement, SQLUSMALLINT number)
{
    return SQLBindCol(statement, number, static_cast<SQLSMALLINT>(m_cType), getBuffer(),
                      static_cast<SQLLEN>(m_bufferSize), getIndicator());
}
