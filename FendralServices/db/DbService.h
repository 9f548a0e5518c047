// The database API: plain functions over opaque handles (a connection is a
// DbConnection, a statement a DbPreparedStatement, a result set a
// DbResultset). Each answers true on success and false on failure with the
// reason in the calling thread's framework error code. No exception leaves
// them: a layer exception becomes its error code. Handles are checked against
// the live ones, so a closed or foreign handle fails with DB_NULL_PARAM.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralServices/db/DateColumnData.h"
#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/TimeColumnData.h"
#include "FendralServices/db/TimestampColumnData.h"

#include <cstddef>

enum DbDataType : int32
{
    DB_TYPE_BOOL = 0,
    DB_TYPE_INT8 = 1,
    DB_TYPE_INT16 = 2,
    DB_TYPE_INT32 = 3,
    DB_TYPE_INT64 = 4,
    DB_TYPE_UINT8 = 5,
    DB_TYPE_UINT16 = 6,
    DB_TYPE_UINT32 = 7,
    DB_TYPE_UINT64 = 8,
    DB_TYPE_STRING = 9,
    DB_TYPE_FLOAT = 10,
    DB_TYPE_DOUBLE = 11,
    DB_TYPE_DATE = 12,
    DB_TYPE_TIME = 13,
    DB_TYPE_TIMESTAMP = 14
};

// One field of the current row, used in arrays.
struct DbField
{
    char columnNameTxt[256];   // matched without regard to case
    DbDataType dataType;
    void* valueBufferPtr;
    size_t valueBufferLen;     // buffer length in; bytes written out on reads
    bool nullIndicator;        // set on reads when the value is NULL
};
static_assert(sizeof(DbField) == 288);
static_assert(offsetof(DbField, dataType) == 256 && offsetof(DbField, valueBufferPtr) == 264 &&
              offsetof(DbField, valueBufferLen) == 272 && offsetof(DbField, nullIndicator) == 280);

// Connections.
bool openDatabase(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
                  const char* passwordTxt, void** connectionHandle);
bool openDatabaseWithTimeout(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt,
                             const char* userTxt, const char* passwordTxt, uint32 timeoutSeconds,
                             void** connectionHandle);
bool closeDatabase(void* connectionHandle);
bool getDbConnection(const char* nameTxt, void** connectionHandle);
bool getDbConnectionIsolation(void* connectionHandle, IsolationLevel* level);
bool setDbConnectionIsolation(void* connectionHandle, IsolationLevel level);
bool getAutoCommit(void* connectionHandle, bool* autoCommit);
bool setAutoCommit(void* connectionHandle, bool autoCommit);
bool getConnectTimeout(void* connectionHandle, uint32* timeoutSeconds);
bool setConnectTimeout(void* connectionHandle, uint32 timeoutSeconds);
bool beginTrans(void* connectionHandle);
bool commitTrans(void* connectionHandle);
bool rollbackTrans(void* connectionHandle);
// Copies the last diagnostic bounded by the given capacities (always
// terminated); each length becomes the copied text's length plus one.
bool getSqlError(void* connectionHandle, char* sqlStateTxt, int32* sqlStateLen, int32* nativeError, char* messageTxt,
                 int32* messageLen);

// Statements. A negative SQL length means the text is NUL-terminated.
bool prepareStatement(void* connectionHandle, const char* sqlTxt, int32 sqlLen, void** statementHandle);
bool prepareStatement2(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                       void** statementHandle);
bool setPreparedStatementParam(void* statementHandle, int32 number, DbDataType dataType, const void* valueBuffer,
                               size_t valueLen);
bool executeUpdate(void* statementHandle, int64* rowCount);
bool executeQuery(void* statementHandle, void** resultsetHandle);
bool freeStatement(void* statementHandle);
bool executeUpdateDirect(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int64* rowCount);
bool executeUpdateDirect2(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                          int64* rowCount);
bool executeQueryDirect(void* connectionHandle, const char* sqlTxt, int32 sqlLen, void** resultsetHandle);
bool executeQueryDirect2(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                         void** resultsetHandle);

// Result sets.
bool gotoFirstRecord(void* resultsetHandle);
bool gotoLastRecord(void* resultsetHandle);
bool gotoPreviousRecord(void* resultsetHandle);
bool gotoNextRecord(void* resultsetHandle);
bool updateCurrentRecord(void* resultsetHandle);
bool deleteCurrentRecord(void* resultsetHandle);
bool closeResultset(void* resultsetHandle);
bool getCurrentRecordField(void* resultsetHandle, const char* columnNameTxt, DbDataType dataType, void* valueBuffer,
                           size_t* valueLen, bool* isNull);
bool getCurrentRecordFields(void* resultsetHandle, DbField* fields, int32 count);
bool updateCurrentRecordField(void* resultsetHandle, const char* columnNameTxt, DbDataType dataType,
                              const void* valueBuffer, size_t valueLen);
bool updateCurrentRecordFields(void* resultsetHandle, DbField* fields, int32 count);
