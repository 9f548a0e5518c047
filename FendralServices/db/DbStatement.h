// SQL text run directly on a connection. The statement handle gets a dynamic,
// lock-concurrency cursor (drivers may downgrade it) and the query time-out.
// A query's result set takes the handle over and frees it on its close.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <sql.h>

#include <string>

class DbConnection;
class DbResultset;

class DbStatement
{
public:
    DbStatement(DbConnection* connectionPtr, const char* sqlTxt, int32 queryTimeout);
    virtual ~DbStatement();
    DbStatement(const DbStatement&) = delete;
    DbStatement& operator=(const DbStatement&) = delete;

    // The row count (0 or more); a negative count from the driver is returned
    // with DB_ROW_COUNT_NOT_AVAILABLE; -1 with the mapped code on failure.
    virtual int64 executeUpdate();
    // A new result set, or null with the mapped code.
    virtual DbResultset* executeQuery();
    void close();

    bool isValid() const { return m_statement != SQL_NULL_HSTMT; }
    SQLHSTMT getHandle() const { return m_statement; }
    DbConnection* getConnection() const { return m_connectionPtr; }
    const std::string& getSql() const { return m_sqlStr; }

protected:
    // Reads the row count after a successful execution.
    int64 readRowCount(bool prepared);
    void freeHandle();

    DbConnection* m_connectionPtr;
    SQLHSTMT m_statement = SQL_NULL_HSTMT;
    std::string m_sqlStr;
    bool m_hasResultset = false;
    int32 m_queryTimeout;
};
