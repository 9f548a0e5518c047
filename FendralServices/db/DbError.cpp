#include "FendralServices/db/DbError.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbConnection.h"

#include <cstring>

int32 DbError::codeByHandleType(SQLSMALLINT handleType)
{
    if (handleType == SQL_HANDLE_DBC)
        return DB_TRANSACTION_FAILURE;
    if (handleType == SQL_HANDLE_STMT)
        return DB_SQL_EXECUTION_FAILURE;
    return DB_GENERAL_ERROR;
}

int32 DbError::getOdbcErrorInfo(SQLSMALLINT handleType, SQLHANDLE handle, DbConnection* connectionPtr)
{
    if (connectionPtr == nullptr)
        return DB_NULL_PARAM;

    SQLCHAR sqlState[6];
    SQLINTEGER nativeError = 0;
    SQLCHAR messageTxt[1024];
    SQLSMALLINT messageLen = 0;
    bool anyRecord = false;
    // A driver that keeps answering would never end the walk; real handles hold a few.
    for (SQLSMALLINT record = 1; record <= 64; ++record)
    {
        std::memset(sqlState, 0, sizeof(sqlState));
        messageTxt[0] = '\0';
        SQLRETURN rc = SQLGetDiagRec(handleType, handle, record, sqlState, &nativeError, messageTxt,
                                     sizeof(messageTxt), &messageLen);
        if (!SQL_SUCCEEDED(rc))
            break;
        anyRecord = true;
        connectionPtr->setLastError(reinterpret_cast<const char*>(sqlState), nativeError,
                                    reinterpret_cast<const char*>(messageTxt), messageLen);
    }
    if (anyRecord)
    {
        char lastState[6];
        int32 ignoredNative = 0;
        char ignoredMsg[1];
        connectionPtr->getLastError(lastState, sizeof(lastState), &ignoredNative, ignoredMsg, sizeof(ignoredMsg));
        return sqlStateToErrorCode(handleType, connectionPtr, lastState);
    }
    if (connectionPtr->isConnectionError())
        return DB_CONNECTION_FAILURE;
    return codeByHandleType(handleType);
}

int32 DbError::sqlStateToErrorCode(SQLSMALLINT handleType, DbConnection* connectionPtr, const char* sqlStateTxt)
{
    if (connectionPtr != nullptr && connectionPtr->isConnectionError())
        return DB_CONNECTION_FAILURE;
    if (sqlStateTxt != nullptr)
    {
        if (std::strncmp(sqlStateTxt, SQLSTATE_TIMEOUT_EXPIRED, 5) == 0)
            return DB_TIMEOUT_EXPIRED;
        if (std::strncmp(sqlStateTxt, SQLSTATE_DEADLOCK, 5) == 0)
            return DB_DEADLOCK;
        if (std::strncmp(sqlStateTxt, SQLSTATE_SUCCESS, 5) == 0)
            return 0;
    }
    return codeByHandleType(handleType);
}

int32 DbError::setFromDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, DbConnection* connectionPtr)
{
    int32 code = getOdbcErrorInfo(handleType, handle, connectionPtr);
    // Only failure paths come here: a record claiming success must not clear the code.
    if (code == 0)
        code = codeByHandleType(handleType);
    FrameworkErrno::set(code);
    return code;
}
