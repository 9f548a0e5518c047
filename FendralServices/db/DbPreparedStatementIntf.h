// Application facade over a prepared statement; destroying it destroys the
// statement (close its result sets first).
#pragma once

#include "FendralServices/db/DbPreparedStatement.h"
#include "FendralServices/db/DbStatementIntf.h"

class DbPreparedStatementIntf : public DbStatementIntf
{
public:
    explicit DbPreparedStatementIntf(DbPreparedStatement* implPtr) : DbStatementIntf(implPtr), m_preparedPtr(implPtr) {}

    bool setBoolean(int32 n, bool v) { return m_preparedPtr->setBoolean(n, v); }
    bool setInt8(int32 n, int8 v) { return m_preparedPtr->setInt8(n, v); }
    bool setUInt8(int32 n, uint8 v) { return m_preparedPtr->setUInt8(n, v); }
    bool setInt16(int32 n, int16 v) { return m_preparedPtr->setInt16(n, v); }
    bool setUInt16(int32 n, uint16 v) { return m_preparedPtr->setUInt16(n, v); }
    bool setInt32(int32 n, int32 v) { return m_preparedPtr->setInt32(n, v); }
    bool setUInt32(int32 n, uint32 v) { return m_preparedPtr->setUInt32(n, v); }
    bool setInt64(int32 n, int64 v) { return m_preparedPtr->setInt64(n, v); }
    bool setUInt64(int32 n, uint64 v) { return m_preparedPtr->setUInt64(n, v); }
    bool setString(int32 n, const std::string& v) { return m_preparedPtr->setString(n, v); }
    bool setFloat(int32 n, float v) { return m_preparedPtr->setFloat(n, v); }
    bool setDouble(int32 n, double v) { return m_preparedPtr->setDouble(n, v); }
    bool setDate(int32 n, const DateColumnData& v) { return m_preparedPtr->setDate(n, DbDate::from(v)); }
    bool setTime(int32 n, const TimeColumnData& v) { return m_preparedPtr->setTime(n, DbTime::from(v)); }
    bool setTimestamp(int32 n, const TimestampColumnData& v)
    {
        return m_preparedPtr->setTimestamp(n, DbTimestamp::from(v));
    }
    bool setNull(int32 n) { return m_preparedPtr->setNull(n); }

private:
    DbPreparedStatement* m_preparedPtr;
};
