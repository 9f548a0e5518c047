// Application facade over a direct statement; destroying it destroys the statement.
#pragma once

#include "FendralServices/db/DbResultsetIntf.h"
#include "FendralServices/db/DbStatement.h"

class DbStatementIntf
{
public:
    explicit DbStatementIntf(DbStatement* implPtr) : m_implPtr(implPtr) {}
    virtual ~DbStatementIntf() { delete m_implPtr; }
    DbStatementIntf(const DbStatementIntf&) = delete;
    DbStatementIntf& operator=(const DbStatementIntf&) = delete;

    int64 executeUpdate() { return m_implPtr->executeUpdate(); }
    // A new facade over the result set, or null.
    DbResultsetIntf* executeQuery()
    {
        DbResultset* resultset = m_implPtr->executeQuery();
        return resultset != nullptr ? new DbResultsetIntf(resultset) : nullptr;
    }
    void close() { m_implPtr->close(); }

protected:
    DbStatement* m_implPtr;
};
