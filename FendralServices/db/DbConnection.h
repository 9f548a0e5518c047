// One ODBC connection: connection string, time-out, auto-commit, isolation,
// transactions and the last ODBC diagnostic. An open connection is registered
// by name with the framework's named objects (RES_TYPE_DB). No lock: one
// thread uses a connection and the objects made from it at a time.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <sql.h>

#include <cstdint>
#include <string>

using DbServerName = char[30];
using DbDatabaseName = char[30];
using DbUser = char[128];
using DbPassword = char[128];

enum IsolationLevel
{
    ISOLATION_UNKNOWN = 0,
    ISOLATION_READ_UNCOMMITTED = 1,
    ISOLATION_READ_COMMITTED = 2,
    ISOLATION_REPEATABLE_READ = 3,
    ISOLATION_SERIALIZABLE = 4
};

class DbStatement;
class DbPreparedStatement;

class DbConnection
{
public:
    static constexpr int32 MAX_CONNECT_STR_LEN = 512;
    static constexpr int32 MAX_SQL_INFO_STRING_LEN = 512;
    static constexpr const char* SQLSTATE_COMMUNICATION_LINK_FAILURE = "08S01";
    static constexpr const char* DBMS_ORACLE = "ORACLE";
    static constexpr int32 ORACLE_ERROR_NOT_CONNECTED = 3114;
    static constexpr int32 ORACLE_ERROR_CONNECTION_LOST = 3135;

    DbConnection();
    virtual ~DbConnection();
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    bool open(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
              const char* passwordTxt);
    void close();
    bool reconnect();

    bool isOpen() const { return m_isOpen; }
    void* getHandle() const { return m_connection; }
    const char* getName() const { return m_nameTxt; }
    const std::string& getConnectionString() const { return m_connStr; }
    const std::string& getDbmsName() const { return m_dbmsName; }

    unsigned getConnectTimeout();
    bool setConnectTimeout(unsigned seconds);
    bool getAutoCommit();
    bool setAutoCommit(bool on);
    IsolationLevel getTransactionnIsolation();
    bool setTransactionIsolation(IsolationLevel level);
    bool beginTrans();
    bool commitTrans();
    bool rollbackTrans();

    DbStatement* createStatement(const char* sqlTxt, int32 queryTimeout);
    DbPreparedStatement* prepareStatement(const char* sqlTxt, int32 queryTimeout);

    // Bounded copies, always terminated within the given capacities.
    void getLastError(char* sqlStateTxt, int32 sqlStateCap, int32* nativeError, char* messageTxt, int32 messageCap) const;
    void setLastError(const char* sqlStateTxt, int32 nativeError, const char* messageTxt, int32 messageLen);
    void clearLastError();

    int32 getOdbcErrorInfo();
    bool isConnectionError() const;
    bool isConnectionErrorForOracle() const;

    // Builds "DSN=..;UID=..;PWD=..[;DATABASE=..]" without spaces (drivers
    // ignore keys that follow a space); false for values that would inject
    // further keys or exceed the string's limit.
    static bool buildConnectionString(const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
                                      const char* passwordTxt, std::string& connStr);

private:
    bool endTransaction(SQLSMALLINT completionType);
    // SQLSetConnectAttr; false with the mapped code on failure.
    bool setAttribute(SQLINTEGER attribute, uintptr_t value);

    ResourceName m_nameTxt;
    DbServerName m_dataSourceTxt;
    DbDatabaseName m_databaseTxt;
    DbUser m_userTxt;
    DbPassword m_passwordTxt;
    SQLHENV m_env = SQL_NULL_HENV;
    SQLHDBC m_connection = SQL_NULL_HDBC;
    char m_sqlState[6];
    int32 m_nativeError = 0;
    char m_errMsgTxt[1024];
    int16 m_errMsgLen = 0;
    std::string m_dbmsName;
    std::string m_connStr;
    bool m_isOpen = false;
};
