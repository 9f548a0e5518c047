#include "FendralServices/db/DbConnection.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/db/DbEnvironment.h"
#include "FendralServices/db/DbError.h"
#include "FendralServices/db/DbException.h"
#include "FendralServices/db/DbPreparedStatement.h"
#include "FendralServices/db/DbStatement.h"

#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace
{
// Copies a text into a fixed field; false when it does not fit with its terminator.
template <size_t N>
bool copyField(char (&field)[N], const char* valueTxt)
{
    size_t len = ::strnlen(valueTxt, N);
    if (len >= N)
        return false;
    std::memcpy(field, valueTxt, len);
    std::memset(field + len, 0, N - len);
    return true;
}

// ';' ends a key and braces quote one: either would let a value add keys.
bool isPlainValue(const char* valueTxt)
{
    return std::strpbrk(valueTxt, ";{}") == nullptr;
}
} // namespace

DbConnection::DbConnection()
{
    std::memset(m_nameTxt, 0, sizeof(m_nameTxt));
    std::memset(m_dataSourceTxt, 0, sizeof(m_dataSourceTxt));
    std::memset(m_databaseTxt, 0, sizeof(m_databaseTxt));
    std::memset(m_userTxt, 0, sizeof(m_userTxt));
    std::memset(m_passwordTxt, 0, sizeof(m_passwordTxt));
    clearLastError();
    m_env = DbEnvironment::getInstance().getHandle();
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_connection)))
        m_connection = SQL_NULL_HDBC;
}

DbConnection::~DbConnection()
{
    close();
    if (m_connection != SQL_NULL_HDBC)
        SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
}

bool DbConnection::buildConnectionString(const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
                                         const char* passwordTxt, std::string& connStr)
{
    if (!isPlainValue(dataSourceTxt) || !isPlainValue(databaseTxt) || !isPlainValue(userTxt) ||
        !isPlainValue(passwordTxt))
        return false;
    connStr = "DSN=";
    connStr += dataSourceTxt;
    connStr += ";UID=";
    connStr += userTxt;
    connStr += ";PWD=";
    connStr += passwordTxt;
    if (databaseTxt[0] != '\0')
    {
        connStr += ";DATABASE=";
        connStr += databaseTxt;
    }
    return connStr.size() < static_cast<size_t>(MAX_CONNECT_STR_LEN);
}

bool DbConnection::open(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
                        const char* passwordTxt)
{
    if (m_isOpen)
        return fwFail(DB_CONNECTION_ALREADY_OPEN, false);
    if (nameTxt == nullptr || dataSourceTxt == nullptr || databaseTxt == nullptr || userTxt == nullptr ||
        passwordTxt == nullptr)
        return fwFail(DB_NULL_PARAM, false);

    // The name is cut to 16 characters as every resource name; the other
    // values are kept for reconnect and must fit their fields whole.
    ResourceName name{};
    std::strncpy(name, nameTxt, sizeof(name) - 1);
    DbServerName dataSource;
    DbDatabaseName database;
    DbUser user;
    DbPassword password;
    std::string connStr;
    if (!copyField(dataSource, dataSourceTxt) || !copyField(database, databaseTxt) || !copyField(user, userTxt) ||
        !copyField(password, passwordTxt) ||
        !buildConnectionString(dataSourceTxt, databaseTxt, userTxt, passwordTxt, connStr))
    {
        fwLog(LOG_LEVEL_ERROR, "DbConnection::open(): refused the connection values of |%s|: too long or holding ';', '{' or '}'",
              name);
        return fwFail(DB_CONNECTION_FAILURE, false);
    }

    if (m_connection == SQL_NULL_HDBC)
    {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_connection)))
        {
            DbError::getOdbcErrorInfo(SQL_HANDLE_ENV, m_env, this);
            m_connection = SQL_NULL_HDBC;
            return fwFail(DB_RESOURCE_ALLOCATION_FAILURE, false);
        }
    }

    SQLCHAR outStr[MAX_CONNECT_STR_LEN];
    SQLSMALLINT outLen = 0;
    SQLRETURN rc = SQLDriverConnect(m_connection, nullptr,
                                    reinterpret_cast<SQLCHAR*>(const_cast<char*>(connStr.c_str())), SQL_NTS, outStr,
                                    sizeof(outStr), &outLen, SQL_DRIVER_COMPLETE);
    if (!SQL_SUCCEEDED(rc))
    {
        DbError::getOdbcErrorInfo(SQL_HANDLE_DBC, m_connection, this);
        return fwFail(DB_CONNECTION_FAILURE, false);
    }

    m_isOpen = true;
    m_connStr = connStr;
    std::memcpy(m_nameTxt, name, sizeof(m_nameTxt));
    std::memcpy(m_dataSourceTxt, dataSource, sizeof(m_dataSourceTxt));
    std::memcpy(m_databaseTxt, database, sizeof(m_databaseTxt));
    std::memcpy(m_userTxt, user, sizeof(m_userTxt));
    std::memcpy(m_passwordTxt, password, sizeof(m_passwordTxt));

    char dbmsName[MAX_SQL_INFO_STRING_LEN] = {};
    SQLSMALLINT dbmsLen = 0;
    if (SQL_SUCCEEDED(SQLGetInfo(m_connection, SQL_DBMS_NAME, dbmsName, sizeof(dbmsName), &dbmsLen)))
    {
        dbmsName[sizeof(dbmsName) - 1] = '\0';
        m_dbmsName = dbmsName;
        std::transform(m_dbmsName.begin(), m_dbmsName.end(), m_dbmsName.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }

    if (!ServiceResource::registerObject(m_nameTxt, this, ResourceManager::RES_TYPE_DB))
    {
        int32 code = FrameworkErrno::get();
        fwLog(LOG_LEVEL_ERROR, "DbConnection::open(): cannot register the connection |%s|, code %d", m_nameTxt, code);
        // Closing must not unregister an object of the same name that is not ours.
        SQLDisconnect(m_connection);
        SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
        m_connection = SQL_NULL_HDBC;
        m_isOpen = false;
        m_connStr.clear();
        std::memset(m_nameTxt, 0, sizeof(m_nameTxt));
        return fwFail(code, false);
    }
    return true;
}

void DbConnection::close()
{
    if (!m_isOpen)
        return;
    SQLDisconnect(m_connection);
    SQLFreeHandle(SQL_HANDLE_DBC, m_connection);
    m_connection = SQL_NULL_HDBC;
    m_isOpen = false;
    m_connStr.clear();
    clearLastError();
    int32 savedCode = FrameworkErrno::get();
    ServiceResource::unregisterObject(m_nameTxt, ResourceManager::RES_TYPE_DB);
    FrameworkErrno::set(savedCode);
}

bool DbConnection::reconnect()
{
    close();
    ResourceName name;
    DbServerName dataSource;
    DbDatabaseName database;
    DbUser user;
    DbPassword password;
    std::memcpy(name, m_nameTxt, sizeof(name));
    std::memcpy(dataSource, m_dataSourceTxt, sizeof(dataSource));
    std::memcpy(database, m_databaseTxt, sizeof(database));
    std::memcpy(user, m_userTxt, sizeof(user));
    std::memcpy(password, m_passwordTxt, sizeof(password));
    return open(name, dataSource, database, user, password);
}

unsigned DbConnection::getConnectTimeout()
{
    SQLUINTEGER seconds = 0;
    if (!SQL_SUCCEEDED(SQLGetConnectAttr(m_connection, SQL_ATTR_CONNECTION_TIMEOUT, &seconds, 0, nullptr)))
    {
        DbError::getOdbcErrorInfo(SQL_HANDLE_DBC, m_connection, this);
        return 0;
    }
    return seconds;
}

bool DbConnection::setAttribute(SQLINTEGER attribute, uintptr_t value)
{
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(m_connection, attribute, reinterpret_cast<SQLPOINTER>(value), 0)))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_DBC, m_connection, this);
        return false;
    }
    return true;
}

bool DbConnection::setConnectTimeout(unsigned seconds)
{
    return setAttribute(SQL_ATTR_CONNECTION_TIMEOUT, seconds);
}

bool DbConnection::getAutoCommit()
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, false);
    SQLUINTEGER mode = SQL_AUTOCOMMIT_ON;
    if (!SQL_SUCCEEDED(SQLGetConnectAttr(m_connection, SQL_ATTR_AUTOCOMMIT, &mode, 0, nullptr)))
    {
        DbError::getOdbcErrorInfo(SQL_HANDLE_DBC, m_connection, this);
        FrameworkErrno::set(DB_CONNECTION_CLOSED);
        throw DbException("Failed to get Auto-Commit mode", DB_CONNECTION_CLOSED);
    }
    return mode == SQL_AUTOCOMMIT_ON;
}

bool DbConnection::setAutoCommit(bool on)
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, false);
    return setAttribute(SQL_ATTR_AUTOCOMMIT, on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF);
}

IsolationLevel DbConnection::getTransactionnIsolation()
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, ISOLATION_UNKNOWN);
    SQLUINTEGER bits = 0;
    if (!SQL_SUCCEEDED(SQLGetConnectAttr(m_connection, SQL_ATTR_TXN_ISOLATION, &bits, 0, nullptr)))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_DBC, m_connection, this);
        return ISOLATION_UNKNOWN;
    }
    switch (bits)
    {
    case SQL_TXN_READ_UNCOMMITTED:
        return ISOLATION_READ_UNCOMMITTED;
    case SQL_TXN_READ_COMMITTED:
        return ISOLATION_READ_COMMITTED;
    case SQL_TXN_REPEATABLE_READ:
        return ISOLATION_REPEATABLE_READ;
    case SQL_TXN_SERIALIZABLE:
        return ISOLATION_SERIALIZABLE;
    default:
        return fwFail(DB_ATTR_INVALID_VALUE, ISOLATION_UNKNOWN);
    }
}

bool DbConnection::setTransactionIsolation(IsolationLevel level)
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, false);
    static constexpr SQLUINTEGER bits[] = {0, SQL_TXN_READ_UNCOMMITTED, SQL_TXN_READ_COMMITTED,
                                           SQL_TXN_REPEATABLE_READ, SQL_TXN_SERIALIZABLE};
    if (level < ISOLATION_READ_UNCOMMITTED || level > ISOLATION_SERIALIZABLE)
        return fwFail(DB_ATTR_INVALID_VALUE, false);
    return setAttribute(SQL_ATTR_TXN_ISOLATION, bits[level]);
}

bool DbConnection::beginTrans()
{
    return setAutoCommit(false);
}

bool DbConnection::endTransaction(SQLSMALLINT completionType)
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, false);
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, m_connection, completionType);
    if (!SQL_SUCCEEDED(rc))
    {
        int32 code = DbError::setFromDiagnostics(SQL_HANDLE_DBC, m_connection, this);
        // The transaction is over either way; the connection returns to auto-commit
        // and the caller still learns why the end failed.
        setAutoCommit(true);
        return fwFail(code, false);
    }
    return setAutoCommit(true);
}

bool DbConnection::commitTrans()
{
    return endTransaction(SQL_COMMIT);
}

bool DbConnection::rollbackTrans()
{
    return endTransaction(SQL_ROLLBACK);
}

DbStatement* DbConnection::createStatement(const char* sqlTxt, int32 queryTimeout)
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, static_cast<DbStatement*>(nullptr));
    auto* statement = new DbStatement(this, sqlTxt, queryTimeout);
    if (!statement->isValid())
    {
        delete statement;
        return nullptr;
    }
    return statement;
}

DbPreparedStatement* DbConnection::prepareStatement(const char* sqlTxt, int32 queryTimeout)
{
    if (!m_isOpen)
        return fwFail(DB_CONNECTION_FAILURE, static_cast<DbPreparedStatement*>(nullptr));
    auto* statement = new DbPreparedStatement(this, sqlTxt, queryTimeout);
    if (!statement->isValid())
    {
        delete statement;
        return nullptr;
    }
    return statement;
}

void DbConnection::getLastError(char* sqlStateTxt, int32 sqlStateCap, int32* nativeError, char* messageTxt,
                                int32 messageCap) const
{
    auto boundedCopy = [](char* dest, int32 cap, const char* src, size_t srcCap) {
        if (dest == nullptr || cap <= 0)
            return;
        size_t len = std::min(::strnlen(src, srcCap), static_cast<size_t>(cap - 1));
        std::memcpy(dest, src, len);
        dest[len] = '\0';
    };
    boundedCopy(sqlStateTxt, sqlStateCap, m_sqlState, sizeof(m_sqlState));
    if (nativeError != nullptr)
        *nativeError = m_nativeError;
    boundedCopy(messageTxt, messageCap, m_errMsgTxt, sizeof(m_errMsgTxt));
}

void DbConnection::setLastError(const char* sqlStateTxt, int32 nativeError, const char* messageTxt, int32 messageLen)
{
    std::memset(m_sqlState, 0, sizeof(m_sqlState));
    if (sqlStateTxt != nullptr)
        std::memcpy(m_sqlState, sqlStateTxt, ::strnlen(sqlStateTxt, sizeof(m_sqlState) - 1));
    m_nativeError = nativeError;
    // The reported length may exceed what the buffer received; keep the text terminated.
    size_t len = 0;
    if (messageTxt != nullptr && messageLen > 0)
        len = std::min({static_cast<size_t>(messageLen), ::strnlen(messageTxt, sizeof(m_errMsgTxt) - 1),
                        sizeof(m_errMsgTxt) - 1});
    if (len > 0)
        std::memcpy(m_errMsgTxt, messageTxt, len);
    m_errMsgTxt[len] = '\0';
    m_errMsgLen = static_cast<int16>(messageLen);
}

void DbConnection::clearLastError()
{
    std::memset(m_sqlState, 0, sizeof(m_sqlState));
    m_nativeError = 0;
    std::memset(m_errMsgTxt, 0, sizeof(m_errMsgTxt));
    m_errMsgLen = 0;
}

int32 DbConnection::getOdbcErrorInfo()
{
    return DbError::getOdbcErrorInfo(SQL_HANDLE_DBC, m_connection, this);
}

bool DbConnection::isConnectionError() const
{
    if (!m_isOpen)
        return true;
    if (std::strncmp(m_sqlState, SQLSTATE_COMMUNICATION_LINK_FAILURE, 5) == 0)
        return true;
    return isConnectionErrorForOracle();
}

bool DbConnection::isConnectionErrorForOracle() const
{
    return m_dbmsName == DBMS_ORACLE &&
           (m_nativeError == ORACLE_ERROR_NOT_CONNECTED || m_nativeError == ORACLE_ERROR_CONNECTION_LOST);
}
