// A typed value buffer for one column (or one statement parameter) over a
// number of rows, with one length/indicator per row (-1: NULL). The SQL type
// fixes the C type and the buffer size; values convert between the C type and
// the integers, floating-point numbers, strings and date-time values callers use.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralServices/db/DbDate.h"
#include "FendralServices/db/DbTime.h"
#include "FendralServices/db/DbTimestamp.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

class DbColumn
{
public:
    static constexpr int32 MAX_NUM_OF_DIGITS_IN_STRING = 128;
    static constexpr int32 DECIMAL_EXTRA_LEN = 3;
    static constexpr int32 DECIMAL_BASE = 10;
    static constexpr const char* DATA_TYPE_CONV_ERROR_TXT = "Data type conversion error";

    // Throws DbException for SQL types the layer does not support.
    DbColumn(size_t numOfRows, int32 sqlType, int32 precision, int32 scale);

    bool getBoolean() const { return getInt32() != 0; }
    int8 getInt8() const { return static_cast<int8>(getInt32()); }
    uint8 getUInt8() const { return static_cast<uint8>(getInt32()); }
    int16 getInt16() const { return static_cast<int16>(getInt32()); }
    uint16 getUInt16() const { return static_cast<uint16>(getInt32()); }
    int32 getInt32() const { return static_cast<int32>(getInt64()); }
    uint32 getUInt32() const { return static_cast<uint32>(getInt32()); }
    int64 getInt64() const;
    uint64 getUInt64() const { return static_cast<uint64>(getInt64()); }
    float getFloat() const;
    double getDouble() const;
    std::string getString() const;
    // The character data of the current row (up to its terminator, within the
    // buffer) without a copy; false when the column does not hold characters.
    bool getChars(const char*& data, size_t& len) const;
    DbDate getDate() const;
    DbTime getTime() const;
    DbTimestamp getTimestamp() const;

    // Each throws DbException "Data type conversion error" when the value does
    // not fit the column's storage.
    void setBoolean(bool value) { setInt32(value ? 1 : 0); }
    void setInt8(int8 value) { setInt64(value); }
    void setUInt8(uint8 value) { setUnsigned(value); }
    void setInt16(int16 value) { setInt64(value); }
    void setUInt16(uint16 value) { setUnsigned(value); }
    void setInt32(int32 value) { setInt64(value); }
    void setUInt32(uint32 value) { setUnsigned(value); }
    void setInt64(int64 value);
    void setUInt64(uint64 value) { setUnsigned(value); }
    void setFloat(float value) { setDouble(value); }
    void setDouble(double value);
    void setString(const char* valueTxt, size_t len);
    void setString(const std::string& value) { setString(value.data(), value.size()); }
    void setDate(const DbDate& value);
    void setTime(const DbTime& value);
    void setTimestamp(const DbTimestamp& value);

    bool isNull() const { return m_dataStatusAry[m_currentRow] == SQL_NULL_DATA; }
    void setNull() { m_dataStatusAry[m_currentRow] = SQL_NULL_DATA; }

    // Binds the current row's buffer and indicator as result column `number`.
    SQLRETURN bind(SQLHSTMT statement, SQLUSMALLINT number);

    int32 getSqlType() const { return m_sqlType; }
    int32 getCType() const { return m_cType; }
    int32 getPrecision() const { return m_precision; }
    int32 getScale() const { return m_scale; }
    size_t getBufferSize() const { return m_bufferSize; }
    size_t getNumOfRows() const { return m_numOfRows; }
    uint32 getCurrentRow() const { return m_currentRow; }
    void setCurrentRow(uint32 row) { m_currentRow = row < m_numOfRows ? row : m_currentRow; }
    char* getBuffer() { return m_bufferPtr.data() + m_currentRow * m_bufferSize; }
    const char* getBuffer() const { return m_bufferPtr.data() + m_currentRow * m_bufferSize; }
    SQLLEN* getIndicator() { return &m_dataStatusAry[m_currentRow]; }

private:
    void setUnsigned(uint64 value);
    void storeInteger(int64 value);
    template <typename T>
    void store(const T& value, SQLLEN len);
    template <typename T>
    T load() const;
    [[noreturn]] static void conversionError();

    uint32 m_currentRow = 0;
    size_t m_numOfRows;
    std::vector<char> m_bufferPtr;
    size_t m_bufferSize = 0;
    std::vector<SQLLEN> m_dataStatusAry;
    int32 m_sqlType;
    int32 m_cType = SQL_C_CHAR;
    int32 m_precision;
    int32 m_scale;
};

// Inline: the field reads of every row pass here.
template <typename T>
T DbColumn::load() const
{
    T value;
    std::memcpy(&value, getBuffer(), sizeof(T));
    return value;
}

inline int64 DbColumn::getInt64() const
{
    if (isNull())
        return 0;
    switch (m_cType)
    {
    case SQL_C_STINYINT:
        return load<int8>();
    case SQL_C_UTINYINT:
        return load<uint8>();
    case SQL_C_BIT:
        return load<uint8>() != 0 ? 1 : 0;
    case SQL_C_SSHORT:
        return load<int16>();
    case SQL_C_USHORT:
        return load<uint16>();
    case SQL_C_SLONG:
        return load<int32>();
    case SQL_C_ULONG:
        return load<uint32>();
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
        return load<int64>();
    case SQL_C_CHAR:
        return std::strtoll(getString().c_str(), nullptr, DECIMAL_BASE);
    case SQL_C_FLOAT:
        return static_cast<int64>(load<float>());
    case SQL_C_DOUBLE:
        return static_cast<int64>(load<double>());
    default:
        return 0;
    }
}

inline double DbColumn::getDouble() const
{
    if (isNull())
        return 0.0;
    switch (m_cType)
    {
    case SQL_C_CHAR:
        return std::strtod(getString().c_str(), nullptr);
    case SQL_C_FLOAT:
        return load<float>();
    case SQL_C_DOUBLE:
        return load<double>();
    case SQL_C_UBIGINT:
        return static_cast<double>(static_cast<uint64>(load<int64>()));
    case SQL_C_STINYINT:
    case SQL_C_UTINYINT:
    case SQL_C_BIT:
    case SQL_C_SSHORT:
    case SQL_C_USHORT:
    case SQL_C_SLONG:
    case SQL_C_ULONG:
    case SQL_C_SBIGINT:
        return static_cast<double>(getInt64());
    default:
        return 0.0;
    }
}

inline bool DbColumn::getChars(const char*& data, size_t& len) const
{
    if (m_cType != SQL_C_CHAR)
        return false;
    data = getBuffer();
    len = isNull() ? 0 : ::strnlen(data, m_bufferSize);
    return true;
}
