// Reads an ODBC handle's diagnostics into its connection's last error and maps
// the outcome to a framework error code.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <sql.h>

class DbConnection;

class DbError
{
public:
    static constexpr const char* SQLSTATE_TIMEOUT_EXPIRED = "HYT00";
    static constexpr const char* SQLSTATE_DEADLOCK = "40001";
    static constexpr const char* SQLSTATE_SUCCESS = "00000";

    // Reads every diagnostic record of the handle; the last one stays on the
    // connection. Answers the mapped code (DB_NULL_PARAM without a connection).
    static int32 getOdbcErrorInfo(SQLSMALLINT handleType, SQLHANDLE handle, DbConnection* connectionPtr);
    static int32 sqlStateToErrorCode(SQLSMALLINT handleType, DbConnection* connectionPtr, const char* sqlStateTxt);

    // Collects the diagnostics, stores the code as the thread's error code and
    // answers it.
    static int32 setFromDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle, DbConnection* connectionPtr);

private:
    static int32 codeByHandleType(SQLSMALLINT handleType);
};
