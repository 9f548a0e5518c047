#include "FendralServices/db/DbService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/db/DbException.h"
#include "FendralServices/db/DbPreparedStatement.h"
#include "FendralServices/db/DbResultset.h"

#include <atomic>
#include <cxxabi.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{
// The handles this API gave out and not yet took back, each with its
// connection: a stale or foreign handle is refused instead of dereferenced,
// and closing a connection can end what still hangs on it.
struct LiveHandles
{
    std::mutex lock;
    std::unordered_map<void*, DbConnection*> connections;
    std::unordered_map<void*, DbConnection*> statements;
    std::unordered_map<void*, DbConnection*> resultsets;
};

// Grows with every handle taken back; a thread's cached answer holds only
// while it is unchanged. Outside the table so the per-call check needs no
// guard of a function-local static.
constinit std::atomic<uint64> g_removals{0};

using LiveTable = std::unordered_map<void*, DbConnection*> LiveHandles::*;

LiveHandles& live()
{
    static LiveHandles handles;
    return handles;
}

// The handle this thread last found live in a table, and the removal count
// then: a loop over one result set checks its handle once, not per call.
struct LastLive
{
    void* handle = nullptr;
    uint64 removals = 0;
};

// One per table. Initial-exec: a plain thread-pointer load on every call
// instead of a call to find the library's thread block; the few bytes fit
// the static space kept for libraries loaded later as well.
[[gnu::tls_model("initial-exec")]] thread_local LastLive g_lastLive[3];

constexpr size_t lastLiveIndex(LiveTable table)
{
    return table == &LiveHandles::connections ? 0 : table == &LiveHandles::statements ? 1 : 2;
}

[[gnu::noinline]] bool isLiveSlowly(LiveTable table, void* handle, LastLive& last)
{
    std::lock_guard guard(live().lock);
    if ((live().*table).count(handle) == 0)
        return false;
    last = LastLive{handle, g_removals.load(std::memory_order_relaxed)};
    return true;
}

template <LiveTable table>
bool isLive(void* handle)
{
    if (handle == nullptr)
        return false;
    LastLive& last = g_lastLive[lastLiveIndex(table)];
    if (last.handle == handle && last.removals == g_removals.load(std::memory_order_acquire))
        return true;
    return isLiveSlowly(table, handle, last);
}

void addLive(LiveTable table, void* handle, DbConnection* connection)
{
    std::lock_guard guard(live().lock);
    (live().*table)[handle] = connection;
}

void countRemoval()
{
    g_removals.fetch_add(1, std::memory_order_release);
}

bool removeLive(LiveTable table, void* handle)
{
    std::lock_guard guard(live().lock);
    if ((live().*table).erase(handle) == 0)
        return false;
    countRemoval();
    return true;
}

DbConnection* connectionOf(void* handle)
{
    return isLive<&LiveHandles::connections>(handle) ? static_cast<DbConnection*>(handle) : nullptr;
}

DbPreparedStatement* statementOf(void* handle)
{
    return isLive<&LiveHandles::statements>(handle) ? static_cast<DbPreparedStatement*>(handle) : nullptr;
}

DbResultset* resultsetOf(void* handle)
{
    return isLive<&LiveHandles::resultsets>(handle) ? static_cast<DbResultset*>(handle) : nullptr;
}

// Runs one API call; a layer exception becomes its error code and a false
// answer, never an exception for the caller.
template <typename Fn>
bool guarded(const char* functionTxt, Fn&& fn)
{
    try
    {
        return fn();
    }
    catch (abi::__forced_unwind&)
    {
        throw;
    }
    catch (const DbException& e)
    {
        fwLog(LOG_LEVEL_ERROR, "%s(): %s, code %d", functionTxt, e.what(), e.getErrorCode());
        return fwFail(e.getErrorCode(), false);
    }
    catch (const std::exception& e)
    {
        fwLog(LOG_LEVEL_ERROR, "%s(): %s, code %d", functionTxt, e.what(), DB_GENERAL_ERROR);
        return fwFail(DB_GENERAL_ERROR, false);
    }
    catch (...)
    {
        fwLog(LOG_LEVEL_ERROR, "%s(): unknown exception, code %d", functionTxt, DB_GENERAL_ERROR);
        return fwFail(DB_GENERAL_ERROR, false);
    }
}

std::string sqlText(const char* sqlTxt, int32 sqlLen)
{
    return sqlLen < 0 ? std::string(sqlTxt) : std::string(sqlTxt, static_cast<size_t>(sqlLen));
}

// Minimum buffer length of a fixed-size type; 0 for strings; -1 for an unknown type.
int64 minimumLength(DbDataType type)
{
    switch (type)
    {
    case DB_TYPE_BOOL:
    case DB_TYPE_INT8:
    case DB_TYPE_UINT8:
        return 1;
    case DB_TYPE_INT16:
    case DB_TYPE_UINT16:
        return 2;
    case DB_TYPE_INT32:
    case DB_TYPE_UINT32:
    case DB_TYPE_FLOAT:
        return 4;
    case DB_TYPE_INT64:
    case DB_TYPE_UINT64:
    case DB_TYPE_DOUBLE:
        return 8;
    case DB_TYPE_DATE:
        return sizeof(DateColumnData);
    case DB_TYPE_TIME:
        return sizeof(TimeColumnData);
    case DB_TYPE_TIMESTAMP:
        return sizeof(TimestampColumnData);
    case DB_TYPE_STRING:
        return 0;
    }
    return -1;
}

// Checks type and length; false with 1412 or 1411.
bool checkTypeAndLength(DbDataType type, size_t len)
{
    int64 minimum = minimumLength(type);
    if (minimum < 0)
        return fwFail(DB_INVALID_DATA_TYPE, false);
    if (len < static_cast<size_t>(minimum))
        return fwFail(DB_INVALID_BUFFER_SIZE, false);
    return true;
}

template <typename T>
T loadValue(const void* buffer)
{
    T value;
    std::memcpy(&value, buffer, sizeof(T));
    return value;
}

// Stores a value of the buffer's type into a sink with the typed setters of
// a prepared statement parameter or a result-set column.
template <typename Sink>
bool storeValue(Sink& sink, DbDataType type, const void* buffer, size_t len)
{
    if (!checkTypeAndLength(type, len))
        return false;
    switch (type)
    {
    case DB_TYPE_BOOL:
        return sink.setBoolean(loadValue<bool>(buffer));
    case DB_TYPE_INT8:
        return sink.setInt8(loadValue<int8>(buffer));
    case DB_TYPE_INT16:
        return sink.setInt16(loadValue<int16>(buffer));
    case DB_TYPE_INT32:
        return sink.setInt32(loadValue<int32>(buffer));
    case DB_TYPE_INT64:
        return sink.setInt64(loadValue<int64>(buffer));
    case DB_TYPE_UINT8:
        return sink.setUInt8(loadValue<uint8>(buffer));
    case DB_TYPE_UINT16:
        return sink.setUInt16(loadValue<uint16>(buffer));
    case DB_TYPE_UINT32:
        return sink.setUInt32(loadValue<uint32>(buffer));
    case DB_TYPE_UINT64:
        return sink.setUInt64(loadValue<uint64>(buffer));
    case DB_TYPE_STRING:
        return sink.setString(static_cast<const char*>(buffer), len);
    case DB_TYPE_FLOAT:
        return sink.setFloat(loadValue<float>(buffer));
    case DB_TYPE_DOUBLE:
        return sink.setDouble(loadValue<double>(buffer));
    case DB_TYPE_DATE:
        return sink.setDate(DbDate::from(loadValue<DateColumnData>(buffer)));
    case DB_TYPE_TIME:
        return sink.setTime(DbTime::from(loadValue<TimeColumnData>(buffer)));
    case DB_TYPE_TIMESTAMP:
        return sink.setTimestamp(DbTimestamp::from(loadValue<TimestampColumnData>(buffer)));
    }
    return fwFail(DB_INVALID_DATA_TYPE, false);
}

// The prepared statement's setters, by parameter number.
struct ParamSink
{
    DbPreparedStatement& statement;
    int32 number;
    bool setBoolean(bool v) { return statement.setBoolean(number, v); }
    bool setInt8(int8 v) { return statement.setInt8(number, v); }
    bool setInt16(int16 v) { return statement.setInt16(number, v); }
    bool setInt32(int32 v) { return statement.setInt32(number, v); }
    bool setInt64(int64 v) { return statement.setInt64(number, v); }
    bool setUInt8(uint8 v) { return statement.setUInt8(number, v); }
    bool setUInt16(uint16 v) { return statement.setUInt16(number, v); }
    bool setUInt32(uint32 v) { return statement.setUInt32(number, v); }
    bool setUInt64(uint64 v) { return statement.setUInt64(number, v); }
    bool setString(const char* v, size_t len) { return statement.setString(number, v, len); }
    bool setFloat(float v) { return statement.setFloat(number, v); }
    bool setDouble(double v) { return statement.setDouble(number, v); }
    bool setDate(const DbDate& v) { return statement.setDate(number, v); }
    bool setTime(const DbTime& v) { return statement.setTime(number, v); }
    bool setTimestamp(const DbTimestamp& v) { return statement.setTimestamp(number, v); }
};

// The result set's updaters, by column number.
struct ColumnSink
{
    DbResultset& resultset;
    int32 number;
    bool setBoolean(bool v) { return resultset.updateBoolean(number, v), true; }
    bool setInt8(int8 v) { return resultset.updateInt8(number, v), true; }
    bool setInt16(int16 v) { return resultset.updateInt16(number, v), true; }
    bool setInt32(int32 v) { return resultset.updateInt32(number, v), true; }
    bool setInt64(int64 v) { return resultset.updateInt64(number, v), true; }
    bool setUInt8(uint8 v) { return resultset.updateUInt8(number, v), true; }
    bool setUInt16(uint16 v) { return resultset.updateUInt16(number, v), true; }
    bool setUInt32(uint32 v) { return resultset.updateUInt32(number, v), true; }
    bool setUInt64(uint64 v) { return resultset.updateUInt64(number, v), true; }
    bool setString(const char* v, size_t len) { return resultset.updateString(number, v, len), true; }
    bool setFloat(float v) { return resultset.updateFloat(number, v), true; }
    bool setDouble(double v) { return resultset.updateDouble(number, v), true; }
    bool setDate(const DbDate& v) { return resultset.updateDate(number, v), true; }
    bool setTime(const DbTime& v) { return resultset.updateTime(number, v), true; }
    bool setTimestamp(const DbTimestamp& v) { return resultset.updateTimestamp(number, v), true; }
};

template <typename T>
bool putValue(void* buffer, size_t* len, const T& value)
{
    std::memcpy(buffer, &value, sizeof(T));
    *len = sizeof(T);
    return true;
}

// Text of a column that holds no characters, formatted by the column; out
// of line so the common reads need no string on their stack.
[[gnu::noinline]] bool readFormatted(const DbColumn& column, void* buffer, size_t* len)
{
    std::string text = column.getString();
    if (*len < text.size())
        return fwFail(DB_INVALID_BUFFER_SIZE, false);
    std::memcpy(buffer, text.data(), text.size());
    *len = text.size();
    return true;
}

// A value read without conversion, NULL as zero; the null flag is written
// once the buffer fits, as the typed reads below write it.
template <typename T>
bool copyBound(const DbColumn& column, void* buffer, size_t* len, bool* isNull)
{
    if (*len < sizeof(T))
        return fwFail(DB_INVALID_BUFFER_SIZE, false);
    const bool null = column.isNull();
    if (isNull != nullptr)
        *isNull = null;
    T value{};
    if (!null)
        std::memcpy(&value, column.getBuffer(), sizeof(T));
    return putValue(buffer, len, value);
}

// Every read the inline one below does not take: conversions, text of
// non-character columns, and every failure of them.
[[gnu::noinline]] bool readConverted(const DbColumn& column, DbDataType type, void* buffer, size_t* len,
                                     bool* isNull)
{
    // The null flag is written as the typed getters write it: for text
    // before its length is checked, for the other types only once the
    // buffer fits.
    if (type == DB_TYPE_STRING)
    {
        if (isNull != nullptr)
            *isNull = column.isNull();
        return readFormatted(column, buffer, len);
    }
    if (!checkTypeAndLength(type, *len))
        return false;
    if (isNull != nullptr)
        *isNull = column.isNull();
    switch (type)
    {
    case DB_TYPE_BOOL:
        return putValue(buffer, len, column.getBoolean());
    case DB_TYPE_INT8:
        return putValue(buffer, len, column.getInt8());
    case DB_TYPE_INT16:
        return putValue(buffer, len, column.getInt16());
    case DB_TYPE_INT32:
        return putValue(buffer, len, column.getInt32());
    case DB_TYPE_INT64:
        return putValue(buffer, len, column.getInt64());
    case DB_TYPE_UINT8:
        return putValue(buffer, len, column.getUInt8());
    case DB_TYPE_UINT16:
        return putValue(buffer, len, column.getUInt16());
    case DB_TYPE_UINT32:
        return putValue(buffer, len, column.getUInt32());
    case DB_TYPE_UINT64:
        return putValue(buffer, len, column.getUInt64());
    case DB_TYPE_FLOAT:
        return putValue(buffer, len, column.getFloat());
    case DB_TYPE_DOUBLE:
        return putValue(buffer, len, column.getDouble());
    case DB_TYPE_DATE:
        return putValue(buffer, len, column.getDate().toRecord());
    case DB_TYPE_TIME:
        return putValue(buffer, len, column.getTime().toRecord());
    case DB_TYPE_TIMESTAMP:
        return putValue(buffer, len, column.getTimestamp().toRecord());
    default:
        return fwFail(DB_INVALID_DATA_TYPE, false);
    }
}

// One field of a row: a field asking for the column's own C type (text of a
// character column, or a 32-bit, 64-bit or double column as such) is read
// here in line, every other read by readConverted. Each field of every row
// passes here.
[[gnu::always_inline]] inline bool readField(DbResultset& rs, int32 number, DbDataType type, void* buffer, size_t* len,
                                             bool* isNull)
{
    const DbColumn& column = rs.getColumn(number);
    const char* chars = nullptr;
    size_t charsLen = 0;
    if (type == DB_TYPE_STRING && column.getChars(chars, charsLen))
    {
        if (isNull != nullptr)
            *isNull = column.isNull();
        if (*len < charsLen)
            return fwFail(DB_INVALID_BUFFER_SIZE, false);
        std::memcpy(buffer, chars, charsLen);
        *len = charsLen;
        return true;
    }
    const int32 cType = column.getCType();
    if (type == DB_TYPE_INT32 && cType == SQL_C_SLONG)
        return copyBound<int32>(column, buffer, len, isNull);
    if (type == DB_TYPE_INT64 && cType == SQL_C_SBIGINT)
        return copyBound<int64>(column, buffer, len, isNull);
    if (type == DB_TYPE_DOUBLE && cType == SQL_C_DOUBLE)
        return copyBound<double>(column, buffer, len, isNull);
    return readConverted(column, type, buffer, len, isNull);
}

// The column a name (a single field's text, or a field of a caller's array
// at slot) names; -1 with 1413 when none has it.
int32 columnNumber(DbResultset& rs, const char* columnNameTxt)
{
    int32 number = rs.findColumnForSlot(-1, columnNameTxt);
    if (number < 0)
        FrameworkErrno::set(DB_INVALID_COLUMN_NAME);
    return number;
}

int32 columnNumber(DbResultset& rs, const DbField& field, int32 slot)
{
    int32 number = rs.findColumnForSlot(slot, field.columnNameTxt, sizeof(field.columnNameTxt));
    if (number < 0)
        FrameworkErrno::set(DB_INVALID_COLUMN_NAME);
    return number;
}

// Reads the column a name or field names; Name is what columnNumber takes.
template <typename Name, typename... Slot>
bool readFieldByName(DbResultset& rs, const Name& name, DbDataType dataType, void* valueBuffer, size_t* valueLen,
                     bool* isNull, Slot... slot)
{
    if (valueBuffer == nullptr || valueLen == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    int32 number = columnNumber(rs, name, slot...);
    return number > 0 && readField(rs, number, dataType, valueBuffer, valueLen, isNull);
}

template <typename Name, typename... Slot>
bool writeFieldByName(DbResultset& rs, const Name& name, DbDataType dataType, const void* valueBuffer,
                      size_t valueLen, Slot... slot)
{
    if (valueBuffer == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    int32 number = columnNumber(rs, name, slot...);
    if (number < 0)
        return false;
    ColumnSink sink{rs, number};
    return storeValue(sink, dataType, valueBuffer, valueLen);
}

bool openConnection(const char* functionTxt, const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt,
                    const char* userTxt, const char* passwordTxt, const uint32* timeoutSeconds, void** handle)
{
    if (handle == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    *handle = nullptr;
    if (nameTxt == nullptr || dataSourceTxt == nullptr || databaseTxt == nullptr || userTxt == nullptr ||
        passwordTxt == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    std::unique_ptr<DbConnection> connection;
    try
    {
        connection = std::make_unique<DbConnection>();
        if (timeoutSeconds != nullptr && !connection->setConnectTimeout(*timeoutSeconds))
            return false;
        if (!connection->open(nameTxt, dataSourceTxt, databaseTxt, userTxt, passwordTxt))
            return false;
    }
    catch (abi::__forced_unwind&)
    {
        throw;
    }
    catch (const std::exception& e)
    {
        fwLog(LOG_LEVEL_ERROR, "%s(): %s, code %d", functionTxt, e.what(), DB_GENERAL_ERROR);
        return fwFail(DB_GENERAL_ERROR, false);
    }
    *handle = connection.get();
    addLive(&LiveHandles::connections, connection.get(), connection.get());
    connection.release();
    return true;
}

// Ends every statement and result set still made from the connection.
void endDependents(DbConnection* connection)
{
    std::vector<void*> resultsets;
    std::vector<void*> statements;
    {
        std::lock_guard guard(live().lock);
        for (auto it = live().resultsets.begin(); it != live().resultsets.end();)
        {
            if (it->second == connection)
                resultsets.push_back(it->first), it = live().resultsets.erase(it);
            else
                ++it;
        }
        for (auto it = live().statements.begin(); it != live().statements.end();)
        {
            if (it->second == connection)
                statements.push_back(it->first), it = live().statements.erase(it);
            else
                ++it;
        }
        if (!resultsets.empty() || !statements.empty())
            countRemoval();
    }
    for (void* rs : resultsets)
        delete static_cast<DbResultset*>(rs);
    for (void* st : statements)
        delete static_cast<DbPreparedStatement*>(st);
}

bool makeStatement(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                   void** statementHandle)
{
    if (statementHandle == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    *statementHandle = nullptr;
    DbConnection* connection = connectionOf(connectionHandle);
    if (connection == nullptr || sqlTxt == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    DbPreparedStatement* statement = connection->prepareStatement(sqlText(sqlTxt, sqlLen).c_str(), timeoutSeconds);
    if (statement == nullptr)
        return false;
    addLive(&LiveHandles::statements, statement, connection);
    *statementHandle = statement;
    return true;
}

bool updateDirect(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds, int64* rowCount)
{
    DbConnection* connection = connectionOf(connectionHandle);
    if (connection == nullptr || sqlTxt == nullptr || rowCount == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    std::unique_ptr<DbStatement> statement(
        connection->createStatement(sqlText(sqlTxt, sqlLen).c_str(), timeoutSeconds));
    if (!statement)
        return false;
    *rowCount = statement->executeUpdate();
    return *rowCount >= 0;
}

bool queryDirect(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                 void** resultsetHandle)
{
    if (resultsetHandle == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    *resultsetHandle = nullptr;
    DbConnection* connection = connectionOf(connectionHandle);
    if (connection == nullptr || sqlTxt == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    std::unique_ptr<DbStatement> statement(
        connection->createStatement(sqlText(sqlTxt, sqlLen).c_str(), timeoutSeconds));
    if (!statement)
        return false;
    DbResultset* resultset = statement->executeQuery();
    if (resultset == nullptr)
        return false;
    addLive(&LiveHandles::resultsets, resultset, connection);
    *resultsetHandle = resultset;
    return true;
}

template <typename Op>
bool onConnection(const char* functionTxt, void* connectionHandle, Op&& op)
{
    return guarded(functionTxt, [&] {
        DbConnection* connection = connectionOf(connectionHandle);
        if (connection == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        return op(*connection);
    });
}

template <typename Op>
bool onResultset(const char* functionTxt, void* resultsetHandle, Op&& op)
{
    return guarded(functionTxt, [&] {
        DbResultset* resultset = resultsetOf(resultsetHandle);
        if (resultset == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        return op(*resultset);
    });
}
} // namespace

bool openDatabase(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
                  const char* passwordTxt, void** connectionHandle)
{
    return guarded("openDatabase", [&] {
        return openConnection("openDatabase", nameTxt, dataSourceTxt, databaseTxt, userTxt, passwordTxt, nullptr,
                              connectionHandle);
    });
}

bool openDatabaseWithTimeout(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt,
                             const char* userTxt, const char* passwordTxt, uint32 timeoutSeconds,
                             void** connectionHandle)
{
    return guarded("openDatabaseWithTimeout", [&] {
        return openConnection("openDatabaseWithTimeout", nameTxt, dataSourceTxt, databaseTxt, userTxt, passwordTxt,
                              &timeoutSeconds, connectionHandle);
    });
}

bool closeDatabase(void* connectionHandle)
{
    return guarded("closeDatabase", [&] {
        if (!removeLive(&LiveHandles::connections, connectionHandle))
            return fwFail(DB_NULL_PARAM, false);
        auto* connection = static_cast<DbConnection*>(connectionHandle);
        endDependents(connection);
        delete connection;
        return true;
    });
}

bool getDbConnection(const char* nameTxt, void** connectionHandle)
{
    return guarded("getDbConnection", [&] {
        if (nameTxt == nullptr || connectionHandle == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        void* object = nullptr;
        if (!ServiceResource::lookup(nameTxt, &object, ResourceManager::RES_TYPE_DB))
            return false;
        *connectionHandle = object;
        return true;
    });
}

bool getDbConnectionIsolation(void* connectionHandle, IsolationLevel* level)
{
    return onConnection("getDbConnectionIsolation", connectionHandle, [&](DbConnection& c) {
        if (level == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        *level = c.getTransactionnIsolation();
        return *level != ISOLATION_UNKNOWN;
    });
}

bool setDbConnectionIsolation(void* connectionHandle, IsolationLevel level)
{
    return onConnection("setDbConnectionIsolation", connectionHandle,
                        [&](DbConnection& c) { return c.setTransactionIsolation(level); });
}

bool getAutoCommit(void* connectionHandle, bool* autoCommit)
{
    return onConnection("getAutoCommit", connectionHandle, [&](DbConnection& c) {
        if (autoCommit == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        if (!c.isOpen())
            return fwFail(DB_CONNECTION_FAILURE, false);
        *autoCommit = c.getAutoCommit();
        return true;
    });
}

bool setAutoCommit(void* connectionHandle, bool autoCommit)
{
    return onConnection("setAutoCommit", connectionHandle,
                        [&](DbConnection& c) { return c.setAutoCommit(autoCommit); });
}

bool getConnectTimeout(void* connectionHandle, uint32* timeoutSeconds)
{
    return onConnection("getConnectTimeout", connectionHandle, [&](DbConnection& c) {
        if (timeoutSeconds == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        *timeoutSeconds = c.getConnectTimeout();
        return true;
    });
}

bool setConnectTimeout(void* connectionHandle, uint32 timeoutSeconds)
{
    return onConnection("setConnectTimeout", connectionHandle,
                        [&](DbConnection& c) { return c.setConnectTimeout(timeoutSeconds); });
}

bool beginTrans(void* connectionHandle)
{
    return onConnection("beginTrans", connectionHandle, [](DbConnection& c) { return c.beginTrans(); });
}

bool commitTrans(void* connectionHandle)
{
    return onConnection("commitTrans", connectionHandle, [](DbConnection& c) { return c.commitTrans(); });
}

bool rollbackTrans(void* connectionHandle)
{
    return onConnection("rollbackTrans", connectionHandle, [](DbConnection& c) { return c.rollbackTrans(); });
}

bool getSqlError(void* connectionHandle, char* sqlStateTxt, int32* sqlStateLen, int32* nativeError, char* messageTxt,
                 int32* messageLen)
{
    return onConnection("getSqlError", connectionHandle, [&](DbConnection& c) {
        if (sqlStateTxt == nullptr || sqlStateLen == nullptr || nativeError == nullptr || messageTxt == nullptr ||
            messageLen == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        if (*sqlStateLen <= 0 || *messageLen <= 0)
            return fwFail(DB_INVALID_BUFFER_SIZE, false);
        c.getLastError(sqlStateTxt, *sqlStateLen, nativeError, messageTxt, *messageLen);
        *sqlStateLen = static_cast<int32>(::strnlen(sqlStateTxt, *sqlStateLen)) + 1;
        *messageLen = static_cast<int32>(::strnlen(messageTxt, *messageLen)) + 1;
        return true;
    });
}

bool prepareStatement(void* connectionHandle, const char* sqlTxt, int32 sqlLen, void** statementHandle)
{
    return guarded("prepareStatement",
                   [&] { return makeStatement(connectionHandle, sqlTxt, sqlLen, 0, statementHandle); });
}

bool prepareStatement2(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                       void** statementHandle)
{
    return guarded("prepareStatement2",
                   [&] { return makeStatement(connectionHandle, sqlTxt, sqlLen, timeoutSeconds, statementHandle); });
}

bool setPreparedStatementParam(void* statementHandle, int32 number, DbDataType dataType, const void* valueBuffer,
                               size_t valueLen)
{
    return guarded("setPreparedStatementParam", [&] {
        DbPreparedStatement* statement = statementOf(statementHandle);
        if (statement == nullptr || valueBuffer == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        ParamSink sink{*statement, number};
        return storeValue(sink, dataType, valueBuffer, valueLen);
    });
}

bool executeUpdate(void* statementHandle, int64* rowCount)
{
    return guarded("executeUpdate", [&] {
        DbPreparedStatement* statement = statementOf(statementHandle);
        if (statement == nullptr || rowCount == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        *rowCount = statement->executeUpdate();
        return *rowCount >= 0;
    });
}

bool executeQuery(void* statementHandle, void** resultsetHandle)
{
    return guarded("executeQuery", [&] {
        if (resultsetHandle == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        *resultsetHandle = nullptr;
        DbPreparedStatement* statement = statementOf(statementHandle);
        if (statement == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        DbResultset* resultset = statement->executeQuery();
        if (resultset == nullptr)
            return false;
        addLive(&LiveHandles::resultsets, resultset, statement->getConnection());
        *resultsetHandle = resultset;
        return true;
    });
}

bool freeStatement(void* statementHandle)
{
    return guarded("freeStatement", [&] {
        if (statementHandle == nullptr)
            return true;
        if (!removeLive(&LiveHandles::statements, statementHandle))
            return fwFail(DB_NULL_PARAM, false);
        delete static_cast<DbPreparedStatement*>(statementHandle);
        return true;
    });
}

bool executeUpdateDirect(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int64* rowCount)
{
    return guarded("executeUpdateDirect", [&] { return updateDirect(connectionHandle, sqlTxt, sqlLen, 0, rowCount); });
}

bool executeUpdateDirect2(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                          int64* rowCount)
{
    return guarded("executeUpdateDirect2",
                   [&] { return updateDirect(connectionHandle, sqlTxt, sqlLen, timeoutSeconds, rowCount); });
}

bool executeQueryDirect(void* connectionHandle, const char* sqlTxt, int32 sqlLen, void** resultsetHandle)
{
    return guarded("executeQueryDirect",
                   [&] { return queryDirect(connectionHandle, sqlTxt, sqlLen, 0, resultsetHandle); });
}

bool executeQueryDirect2(void* connectionHandle, const char* sqlTxt, int32 sqlLen, int32 timeoutSeconds,
                         void** resultsetHandle)
{
    return guarded("executeQueryDirect2",
                   [&] { return queryDirect(connectionHandle, sqlTxt, sqlLen, timeoutSeconds, resultsetHandle); });
}

bool gotoFirstRecord(void* resultsetHandle)
{
    return onResultset("gotoFirstRecord", resultsetHandle, [](DbResultset& rs) { return rs.first(); });
}

bool gotoLastRecord(void* resultsetHandle)
{
    return onResultset("gotoLastRecord", resultsetHandle, [](DbResultset& rs) { return rs.last(); });
}

bool gotoPreviousRecord(void* resultsetHandle)
{
    return onResultset("gotoPreviousRecord", resultsetHandle, [](DbResultset& rs) { return rs.previous(); });
}

bool gotoNextRecord(void* resultsetHandle)
{
    return onResultset("gotoNextRecord", resultsetHandle, [](DbResultset& rs) { return rs.next(); });
}

bool updateCurrentRecord(void* resultsetHandle)
{
    return onResultset("updateCurrentRecord", resultsetHandle, [](DbResultset& rs) { return rs.updateRow(); });
}

bool deleteCurrentRecord(void* resultsetHandle)
{
    return onResultset("deleteCurrentRecord", resultsetHandle, [](DbResultset& rs) { return rs.deleteRow(); });
}

bool closeResultset(void* resultsetHandle)
{
    return guarded("closeResultset", [&] {
        if (!removeLive(&LiveHandles::resultsets, resultsetHandle))
            return fwFail(DB_NULL_PARAM, false);
        delete static_cast<DbResultset*>(resultsetHandle);
        return true;
    });
}

bool getCurrentRecordField(void* resultsetHandle, const char* columnNameTxt, DbDataType dataType, void* valueBuffer,
                           size_t* valueLen, bool* isNull)
{
    return onResultset("getCurrentRecordField", resultsetHandle, [&](DbResultset& rs) {
        if (columnNameTxt == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        return readFieldByName(rs, columnNameTxt, dataType, valueBuffer, valueLen, isNull);
    });
}

bool getCurrentRecordFields(void* resultsetHandle, DbField* fields, int32 count)
{
    if (count < 1)
        return true;
    if (fields == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    // One handle check for the whole array; each field as getCurrentRecordField reads it.
    return onResultset("getCurrentRecordFields", resultsetHandle, [&](DbResultset& rs) {
        for (int32 i = 0; i < count; ++i)
        {
            DbField& field = fields[i];
            if (!readFieldByName(rs, field, field.dataType, field.valueBufferPtr, &field.valueBufferLen,
                                 &field.nullIndicator, i))
                return false;
        }
        return true;
    });
}

bool updateCurrentRecordField(void* resultsetHandle, const char* columnNameTxt, DbDataType dataType,
                              const void* valueBuffer, size_t valueLen)
{
    return onResultset("updateCurrentRecordField", resultsetHandle, [&](DbResultset& rs) {
        if (columnNameTxt == nullptr)
            return fwFail(DB_NULL_PARAM, false);
        return writeFieldByName(rs, columnNameTxt, dataType, valueBuffer, valueLen);
    });
}

bool updateCurrentRecordFields(void* resultsetHandle, DbField* fields, int32 count)
{
    if (count < 1)
        return true;
    if (fields == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    return onResultset("updateCurrentRecordFields", resultsetHandle, [&](DbResultset& rs) {
        for (int32 i = 0; i < count; ++i)
        {
            DbField& field = fields[i];
            if (!writeFieldByName(rs, field, field.dataType, field.valueBufferPtr, field.valueBufferLen, i))
                return false;
        }
        return true;
    });
}
