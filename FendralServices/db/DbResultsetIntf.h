// Application facade over a result set: forwards every operation and
// exchanges date-time values as plain records. Destroying it destroys the
// result set.
#pragma once

#include "FendralServices/db/DbResultset.h"

class DbResultsetIntf
{
public:
    explicit DbResultsetIntf(DbResultset* implPtr) : m_implPtr(implPtr) {}
    ~DbResultsetIntf() { delete m_implPtr; }
    DbResultsetIntf(const DbResultsetIntf&) = delete;
    DbResultsetIntf& operator=(const DbResultsetIntf&) = delete;

    bool next() { return m_implPtr->next(); }
    bool previous() { return m_implPtr->previous(); }
    bool first() { return m_implPtr->first(); }
    bool last() { return m_implPtr->last(); }

    bool getBoolean(int32 n, bool* isNull = nullptr) const { return m_implPtr->getBoolean(n, isNull); }
    int8 getInt8(int32 n, bool* isNull = nullptr) const { return m_implPtr->getInt8(n, isNull); }
    uint8 getUInt8(int32 n, bool* isNull = nullptr) const { return m_implPtr->getUInt8(n, isNull); }
    int16 getInt16(int32 n, bool* isNull = nullptr) const { return m_implPtr->getInt16(n, isNull); }
    uint16 getUInt16(int32 n, bool* isNull = nullptr) const { return m_implPtr->getUInt16(n, isNull); }
    int32 getInt32(int32 n, bool* isNull = nullptr) const { return m_implPtr->getInt32(n, isNull); }
    uint32 getUInt32(int32 n, bool* isNull = nullptr) const { return m_implPtr->getUInt32(n, isNull); }
    int64 getInt64(int32 n, bool* isNull = nullptr) const { return m_implPtr->getInt64(n, isNull); }
    uint64 getUInt64(int32 n, bool* isNull = nullptr) const { return m_implPtr->getUInt64(n, isNull); }
    std::string getString(int32 n, bool* isNull = nullptr) const { return m_implPtr->getString(n, isNull); }
    float getFloat(int32 n, bool* isNull = nullptr) const { return m_implPtr->getFloat(n, isNull); }
    double getDouble(int32 n, bool* isNull = nullptr) const { return m_implPtr->getDouble(n, isNull); }
    DateColumnData getDate(int32 n, bool* isNull = nullptr) const { return m_implPtr->getDate(n, isNull).toRecord(); }
    TimeColumnData getTime(int32 n, bool* isNull = nullptr) const { return m_implPtr->getTime(n, isNull).toRecord(); }
    TimestampColumnData getTimestamp(int32 n, bool* isNull = nullptr) const
    {
        return m_implPtr->getTimestamp(n, isNull).toRecord();
    }

    void updateNull(int32 n) { m_implPtr->updateNull(n); }
    void updateBoolean(int32 n, bool v) { m_implPtr->updateBoolean(n, v); }
    void updateInt8(int32 n, int8 v) { m_implPtr->updateInt8(n, v); }
    void updateUInt8(int32 n, uint8 v) { m_implPtr->updateUInt8(n, v); }
    void updateInt16(int32 n, int16 v) { m_implPtr->updateInt16(n, v); }
    void updateUInt16(int32 n, uint16 v) { m_implPtr->updateUInt16(n, v); }
    void updateInt32(int32 n, int32 v) { m_implPtr->updateInt32(n, v); }
    void updateUInt32(int32 n, uint32 v) { m_implPtr->updateUInt32(n, v); }
    void updateInt64(int32 n, int64 v) { m_implPtr->updateInt64(n, v); }
    void updateUInt64(int32 n, uint64 v) { m_implPtr->updateUInt64(n, v); }
    void updateString(int32 n, const std::string& v) { m_implPtr->updateString(n, v); }
    void updateFloat(int32 n, float v) { m_implPtr->updateFloat(n, v); }
    void updateDouble(int32 n, double v) { m_implPtr->updateDouble(n, v); }
    void updateDate(int32 n, const DateColumnData& v) { m_implPtr->updateDate(n, DbDate::from(v)); }
    void updateTime(int32 n, const TimeColumnData& v) { m_implPtr->updateTime(n, DbTime::from(v)); }
    void updateTimestamp(int32 n, const TimestampColumnData& v) { m_implPtr->updateTimestamp(n, DbTimestamp::from(v)); }

    bool updateRow() { return m_implPtr->updateRow(); }
    bool deleteRow() { return m_implPtr->deleteRow(); }
    void close() { m_implPtr->close(); }
    DbResultset* getImpl() const { return m_implPtr; }

private:
    DbResultset* m_implPtr;
};
