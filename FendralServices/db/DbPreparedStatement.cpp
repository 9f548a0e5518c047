#include "FendralServices/db/DbPreparedStatement.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/DbError.h"
#include "FendralServices/db/DbException.h"
#include "FendralServices/db/DbResultset.h"

#include <sqlext.h>

#include <algorithm>

DbPreparedStatement::DbPreparedStatement(DbConnection* connectionPtr, const char* sqlTxt, int32 queryTimeout)
    : DbStatement(connectionPtr, sqlTxt, queryTimeout), m_rowsetPtr(std::make_unique<DbRowset>(1))
{
    if (m_statement == SQL_NULL_HSTMT)
        return;
    if (!SQL_SUCCEEDED(SQLPrepare(m_statement, reinterpret_cast<SQLCHAR*>(m_sqlStr.data()),
                                  static_cast<SQLINTEGER>(m_sqlStr.size()))))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        freeHandle();
        return;
    }
    SQLSMALLINT count = 0;
    bool described = SQL_SUCCEEDED(SQLNumParams(m_statement, &count));
    for (SQLUSMALLINT number = 1; described && number <= count; ++number)
    {
        SQLSMALLINT sqlType = 0, digits = 0, nullable = 0;
        SQLULEN size = 0;
        described = SQL_SUCCEEDED(SQLDescribeParam(m_statement, number, &sqlType, &size, &digits, &nullable));
        if (described)
            m_rowsetPtr->addColumn(sqlType, static_cast<int32>(std::min<SQLULEN>(size, INT32_MAX)), digits);
    }
    if (!described)
    {
        int32 code = DbError::getOdbcErrorInfo(SQL_HANDLE_STMT, m_statement, m_connectionPtr) == DB_CONNECTION_FAILURE
                         ? DB_CONNECTION_FAILURE
                         : DB_PARAM_INFO_ERROR;
        FrameworkErrno::set(code);
        throw DbException("Failed to get parameters info in DbPreparedStatement", code);
    }
    m_numOfParams = count;
}

DbPreparedStatement::~DbPreparedStatement()
{
    detachResultsets();
    if (m_statement != SQL_NULL_HSTMT)
        SQLFreeStmt(m_statement, SQL_CLOSE);
    freeHandle();
}

void DbPreparedStatement::detachResultsets()
{
    for (DbResultset* resultset : m_resultsets)
        resultset->detach();
    m_resultsets.clear();
    if (m_cursorOpen && m_statement != SQL_NULL_HSTMT)
    {
        SQLFreeStmt(m_statement, SQL_CLOSE);
        SQLFreeStmt(m_statement, SQL_UNBIND);
    }
    m_cursorOpen = false;
}

void DbPreparedStatement::resultsetClosed(DbResultset* resultsetPtr)
{
    m_resultsets.erase(std::remove(m_resultsets.begin(), m_resultsets.end(), resultsetPtr), m_resultsets.end());
    if (m_resultsets.empty())
        m_cursorOpen = false;
}

DbColumn* DbPreparedStatement::paramOrFail(int32 number)
{
    DbColumn* column = m_rowsetPtr->getColumn(number);
    if (column == nullptr)
        FrameworkErrno::set(DB_BIND_PARAM_ERROR);
    return column;
}

#define DB_PARAM_SETTER(name, type)                                                                                    \
    bool DbPreparedStatement::name(int32 number, type value)                                                          \
    {                                                                                                                  \
        DbColumn* column = paramOrFail(number);                                                                        \
        if (column == nullptr)                                                                                         \
            return false;                                                                                              \
        column->name(value);                                                                                           \
        return true;                                                                                                   \
    }
DB_PARAM_SETTER(setBoolean, bool)
DB_PARAM_SETTER(setInt8, int8)
DB_PARAM_SETTER(setUInt8, uint8)
DB_PARAM_SETTER(setInt16, int16)
DB_PARAM_SETTER(setUInt16, uint16)
DB_PARAM_SETTER(setInt32, int32)
DB_PARAM_SETTER(setUInt32, uint32)
DB_PARAM_SETTER(setInt64, int64)
DB_PARAM_SETTER(setUInt64, uint64)
DB_PARAM_SETTER(setFloat, float)
DB_PARAM_SETTER(setDouble, double)
DB_PARAM_SETTER(setDate, const DbDate&)
DB_PARAM_SETTER(setTime, const DbTime&)
DB_PARAM_SETTER(setTimestamp, const DbTimestamp&)
#undef DB_PARAM_SETTER

bool DbPreparedStatement::setString(int32 number, const char* valueTxt, size_t len)
{
    DbColumn* column = paramOrFail(number);
    if (column == nullptr)
        return false;
    column->setString(valueTxt, len);
    return true;
}

bool DbPreparedStatement::setNull(int32 number)
{
    DbColumn* column = paramOrFail(number);
    if (column == nullptr)
        return false;
    column->setNull();
    return true;
}

bool DbPreparedStatement::bindParams()
{
    m_paramsBound = false;
    if (m_statement == SQL_NULL_HSTMT)
        return fwFail(DB_BIND_PARAM_ERROR, false);
    for (int32 number = 1; number <= m_numOfParams; ++number)
    {
        DbColumn* column = m_rowsetPtr->getColumn(number);
        SQLRETURN rc = SQLBindParameter(
            m_statement, static_cast<SQLUSMALLINT>(number), SQL_PARAM_INPUT, static_cast<SQLSMALLINT>(column->getCType()),
            static_cast<SQLSMALLINT>(column->getSqlType()), static_cast<SQLULEN>(std::max(column->getPrecision(), 0)),
            static_cast<SQLSMALLINT>(std::max(column->getScale(), 0)), column->getBuffer(),
            static_cast<SQLLEN>(column->getBufferSize()), column->getIndicator());
        if (!SQL_SUCCEEDED(rc))
        {
            int32 code = DbError::getOdbcErrorInfo(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
            return fwFail(code == DB_CONNECTION_FAILURE ? code : DB_BIND_PARAM_ERROR, false);
        }
    }
    m_boundCTypes.resize(m_numOfParams);
    for (int32 number = 1; number <= m_numOfParams; ++number)
        m_boundCTypes[number - 1] = m_rowsetPtr->getColumn(number)->getCType();
    m_paramsBound = true;
    return true;
}

bool DbPreparedStatement::bindParamsIfChanged()
{
    // ODBC keeps bindings across executions and the buffers never move; only
    // an unsigned setter changes a parameter's C type.
    if (m_paramsBound)
    {
        bool same = true;
        for (int32 number = 1; number <= m_numOfParams && same; ++number)
            same = m_boundCTypes[number - 1] == m_rowsetPtr->getColumn(number)->getCType();
        if (same)
            return true;
    }
    return bindParams();
}

bool DbPreparedStatement::execute()
{
    detachResultsets();
    if (!bindParamsIfChanged())
        return false;
    SQLRETURN rc = SQLExecute(m_statement);
    m_noData = rc == SQL_NO_DATA;
    if (m_noData || SQL_SUCCEEDED(rc))
        return true;
    DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
    return false;
}

int64 DbPreparedStatement::executeUpdate()
{
    if (!execute())
        return -1;
    // No row touched is success, as for direct statements.
    return m_noData ? 0 : readRowCount(true);
}

DbResultset* DbPreparedStatement::executeQuery()
{
    if (!execute())
        return nullptr;
    m_cursorOpen = true;
    auto resultset = std::make_unique<DbResultset>(m_connectionPtr, m_statement, false, this);
    if (!resultset->setUp())
        return nullptr;
    m_resultsets.push_back(resultset.get());
    return resultset.release();
}
