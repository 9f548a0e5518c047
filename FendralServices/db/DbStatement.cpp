#include "FendralServices/db/DbStatement.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/DbError.h"
#include "FendralServices/db/DbResultset.h"

#include <sqlext.h>

#include <memory>

DbStatement::DbStatement(DbConnection* connectionPtr, const char* sqlTxt, int32 queryTimeout)
    : m_connectionPtr(connectionPtr), m_sqlStr(sqlTxt != nullptr ? sqlTxt : ""), m_queryTimeout(queryTimeout)
{
    if (connectionPtr == nullptr)
    {
        FrameworkErrno::set(DB_NULL_PARAM);
        return;
    }
    auto dbc = static_cast<SQLHDBC>(connectionPtr->getHandle());
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &m_statement)))
    {
        m_statement = SQL_NULL_HSTMT;
        int32 code = DbError::getOdbcErrorInfo(SQL_HANDLE_DBC, dbc, connectionPtr);
        FrameworkErrno::set(code == DB_CONNECTION_FAILURE ? code : DB_RESOURCE_ALLOCATION_FAILURE);
        return;
    }
    // Drivers without these answer "option value changed" and pick the
    // nearest they have; that is no failure.
    SQLSetStmtAttr(m_statement, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_DYNAMIC), 0);
    SQLSetStmtAttr(m_statement, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_LOCK), 0);
    SQLSetStmtAttr(m_statement, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(queryTimeout < 0 ? 0 : queryTimeout)), 0);
}

DbStatement::~DbStatement()
{
    close();
}

void DbStatement::freeHandle()
{
    if (m_statement != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, m_statement);
    m_statement = SQL_NULL_HSTMT;
}

void DbStatement::close()
{
    // A result set that took the handle frees it on its own close.
    if (m_hasResultset)
        m_statement = SQL_NULL_HSTMT;
    freeHandle();
}

int64 DbStatement::readRowCount(bool prepared)
{
    SQLLEN count = 0;
    if (!SQL_SUCCEEDED(SQLRowCount(m_statement, &count)))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        return -1;
    }
    if (count < 0)
    {
        if (prepared)
            DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        else
            FrameworkErrno::set(DB_ROW_COUNT_NOT_AVAILABLE);
    }
    return count;
}

int64 DbStatement::executeUpdate()
{
    if (m_statement == SQL_NULL_HSTMT || m_hasResultset)
        return fwFail(DB_SQL_EXECUTION_FAILURE, int64{-1});
    SQLRETURN rc = SQLExecDirect(m_statement, reinterpret_cast<SQLCHAR*>(m_sqlStr.data()),
                                 static_cast<SQLINTEGER>(m_sqlStr.size()));
    // A searched UPDATE or DELETE that touches no row answers "no data": success, 0 rows.
    if (rc == SQL_NO_DATA)
        return 0;
    if (!SQL_SUCCEEDED(rc))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        return -1;
    }
    return readRowCount(false);
}

DbResultset* DbStatement::executeQuery()
{
    if (m_statement == SQL_NULL_HSTMT || m_hasResultset)
        return fwFail(DB_SQL_EXECUTION_FAILURE, static_cast<DbResultset*>(nullptr));
    SQLRETURN rc = SQLExecDirect(m_statement, reinterpret_cast<SQLCHAR*>(m_sqlStr.data()),
                                 static_cast<SQLINTEGER>(m_sqlStr.size()));
    if (!SQL_SUCCEEDED(rc))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        return nullptr;
    }
    // The handle passes to the result set before it is built, so a set-up
    // that throws frees it exactly once.
    m_hasResultset = true;
    auto resultset = std::make_unique<DbResultset>(m_connectionPtr, m_statement, true, nullptr);
    if (!resultset->setUp())
        return nullptr;
    return resultset.release();
}
