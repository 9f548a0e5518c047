#include "FendralServices/db/DbResultset.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/DbError.h"
#include "FendralServices/db/DbException.h"
#include "FendralServices/db/DbPreparedStatement.h"

#include <sqlext.h>

DbResultset::DbResultset(DbConnection* connectionPtr, SQLHSTMT statement, bool isStatementOwner,
                         DbPreparedStatement* ownerPtr)
    : m_connectionPtr(connectionPtr), m_statement(statement),
      m_rowsetPtr(std::make_unique<DbRowset>(DEFAULT_FETCH_SIZE)),
      m_columnsInfoPtr(std::make_unique<DbColumnsInfo>(this)), m_isStatementOwner(isStatementOwner),
      m_ownerPtr(ownerPtr)
{
}

DbResultset::~DbResultset()
{
    close();
}

bool DbResultset::setUp()
{
    if (!m_columnsInfoPtr->load(m_statement))
        return false;
    m_numOfColumns = m_columnsInfoPtr->getNumOfColumns();
    for (int32 number = 1; number <= m_numOfColumns; ++number)
    {
        const ColumnInfo* info = m_columnsInfoPtr->getColumnInfo(number);
        bool sizedByLength = info->m_type == SQL_BINARY || info->m_type == SQL_VARBINARY ||
                             info->m_type == SQL_CHAR || info->m_type == SQL_VARCHAR;
        m_rowsetPtr->addColumn(info->m_type, sizedByLength ? info->m_size : info->m_precision, info->m_scale);
    }
    m_columnsBound = true;
    for (int32 number = 1; number <= m_numOfColumns; ++number)
    {
        if (!SQL_SUCCEEDED(m_rowsetPtr->getColumn(number)->bind(m_statement, static_cast<SQLUSMALLINT>(number))))
        {
            DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
            return false;
        }
    }
    if (!SQL_SUCCEEDED(SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_STATUS_PTR, m_rowStatusPtr, 0)))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        return false;
    }
    return true;
}

void DbResultset::detach()
{
    // The statement closed the cursor and will free the handle.
    m_statement = SQL_NULL_HSTMT;
    m_columnsBound = false;
    m_ownerPtr = nullptr;
}

void DbResultset::close()
{
    if (m_statement != SQL_NULL_HSTMT)
    {
        if (m_columnsBound)
            SQLFreeStmt(m_statement, SQL_UNBIND);
        SQLSetStmtAttr(m_statement, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
        SQLCloseCursor(m_statement);
        if (m_isStatementOwner)
            SQLFreeHandle(SQL_HANDLE_STMT, m_statement);
    }
    m_statement = SQL_NULL_HSTMT;
    m_columnsBound = false;
    if (m_ownerPtr != nullptr)
        m_ownerPtr->resultsetClosed(this);
    m_ownerPtr = nullptr;
}

void DbResultset::throwColumnOutOfRange()
{
    throw DbException("Column number out of range", DB_INVALID_COLUMN_NAME);
}

bool DbResultset::fetch(SQLSMALLINT orientation)
{
    if (m_statement == SQL_NULL_HSTMT)
        return fwFail(DB_CURSOR_OPERATION_FAILURE, false);
    const SQLSMALLINT skipDirection =
        (orientation == SQL_FETCH_FIRST || orientation == SQL_FETCH_NEXT) ? SQL_FETCH_NEXT : SQL_FETCH_PRIOR;
    SQLULEN lastNoDataRow = 0;
    bool retried = false;
    SQLRETURN rc = SQLFetchScroll(m_statement, orientation, 0);
    for (;;)
    {
        if (rc == SQL_NO_DATA)
        {
            SQLULEN rowNumber = 0;
            if (!SQL_SUCCEEDED(SQLGetStmtAttr(m_statement, SQL_ATTR_ROW_NUMBER, &rowNumber, 0, nullptr)))
                rowNumber = 0;
            // One more try at most: a driver answering a moving row number at
            // the end must not keep us here.
            if (rowNumber == lastNoDataRow || retried)
                return false;
            lastNoDataRow = rowNumber;
            retried = true;
            rc = SQLFetchScroll(m_statement, skipDirection, 0);
            continue;
        }
        if (!SQL_SUCCEEDED(rc))
        {
            int32 code = DbError::getOdbcErrorInfo(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
            if (code == 0 || code == DB_SQL_EXECUTION_FAILURE)
                code = DB_CURSOR_OPERATION_FAILURE;
            return fwFail(code, false);
        }
        if (m_rowStatusPtr[0] != SQL_ROW_DELETED)
            return true;
        rc = SQLFetchScroll(m_statement, skipDirection, 0);
    }
}

bool DbResultset::next()
{
    return fetch(SQL_FETCH_NEXT);
}

bool DbResultset::previous()
{
    return fetch(SQL_FETCH_PRIOR);
}

bool DbResultset::first()
{
    return fetch(SQL_FETCH_FIRST);
}

bool DbResultset::last()
{
    return fetch(SQL_FETCH_LAST);
}

bool DbResultset::setPos(SQLUSMALLINT operation)
{
    if (m_statement == SQL_NULL_HSTMT)
        return fwFail(DB_CURSOR_OPERATION_FAILURE, false);
    if (!SQL_SUCCEEDED(SQLSetPos(m_statement, 1, operation, SQL_LOCK_NO_CHANGE)))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, m_statement, m_connectionPtr);
        return false;
    }
    return true;
}

bool DbResultset::updateRow()
{
    return setPos(SQL_UPDATE);
}

bool DbResultset::deleteRow()
{
    return setPos(SQL_DELETE);
}

int32 DbResultset::findColumnForSlotSlowly(int32 slot, const char* fieldTxt, size_t capacity)
{
    return findColumnForSlot(slot, std::string_view(fieldTxt, ::strnlen(fieldTxt, capacity)));
}

int32 DbResultset::findColumnForSlot(int32 slot, std::string_view name)
{
    if (slot < 0 || slot >= MAX_NAME_HINTS)
        return m_columnsInfoPtr->findColumnIndex(name);
    const int32 number = m_columnsInfoPtr->findColumnIndex(name, m_nameHints[slot].number);
    if (number > 0 && number != m_nameHints[slot].number)
        setNameHint(slot, number);
    return number;
}

void DbResultset::setNameHint(int32 slot, int32 number)
{
    NameHint& hint = m_nameHints[slot];
    hint = NameHint{};
    hint.number = number;
    const std::string& name = m_columnsInfoPtr->getColumnInfo(number)->m_columnName;
    unsigned char bytes[sizeof(hint.word)] = {};
    unsigned char mask[sizeof(hint.mask)] = {};
    if (name.size() + 1 > sizeof(bytes))
        return;
    std::memcpy(bytes, name.c_str(), name.size() + 1);
    std::memset(mask, 0xFF, name.size() + 1);
    std::memcpy(hint.word, bytes, sizeof(bytes));
    std::memcpy(hint.mask, mask, sizeof(mask));
    hint.isShort = true;
}
