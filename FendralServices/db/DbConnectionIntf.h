// Application facade owning one connection: every operation forwards to it,
// and statements come back wrapped in their facades (null stays null).
#pragma once

#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/DbPreparedStatementIntf.h"
#include "FendralServices/db/DbStatementIntf.h"

class DbConnectionIntf
{
public:
    // Throws DbException when the ODBC environment cannot be set up.
    DbConnectionIntf() : m_implPtr(new DbConnection()) {}
    ~DbConnectionIntf() { delete m_implPtr; }
    DbConnectionIntf(const DbConnectionIntf&) = delete;
    DbConnectionIntf& operator=(const DbConnectionIntf&) = delete;

    bool open(const char* nameTxt, const char* dataSourceTxt, const char* databaseTxt, const char* userTxt,
              const char* passwordTxt)
    {
        return m_implPtr->open(nameTxt, dataSourceTxt, databaseTxt, userTxt, passwordTxt);
    }
    void close() { m_implPtr->close(); }
    bool reconnect() { return m_implPtr->reconnect(); }
    bool isOpen() const { return m_implPtr->isOpen(); }
    void* getHandle() const { return m_implPtr->getHandle(); }
    unsigned getConnectTimeout() { return m_implPtr->getConnectTimeout(); }
    bool setConnectTimeout(unsigned seconds) { return m_implPtr->setConnectTimeout(seconds); }
    bool getAutoCommit() { return m_implPtr->getAutoCommit(); }
    bool setAutoCommit(bool on) { return m_implPtr->setAutoCommit(on); }
    IsolationLevel getTransactionnIsolation() { return m_implPtr->getTransactionnIsolation(); }
    bool setTransactionIsolation(IsolationLevel level) { return m_implPtr->setTransactionIsolation(level); }
    bool beginTrans() { return m_implPtr->beginTrans(); }
    bool commitTrans() { return m_implPtr->commitTrans(); }
    bool rollbackTrans() { return m_implPtr->rollbackTrans(); }
    void getLastError(char* sqlStateTxt, int32 sqlStateCap, int32* nativeError, char* messageTxt, int32 messageCap) const
    {
        m_implPtr->getLastError(sqlStateTxt, sqlStateCap, nativeError, messageTxt, messageCap);
    }

    DbStatementIntf* createStatement(const char* sqlTxt, int32 queryTimeout)
    {
        DbStatement* statement = m_implPtr->createStatement(sqlTxt, queryTimeout);
        return statement != nullptr ? new DbStatementIntf(statement) : nullptr;
    }
    DbPreparedStatementIntf* prepareStatement(const char* sqlTxt, int32 queryTimeout)
    {
        DbPreparedStatement* statement = m_implPtr->prepareStatement(sqlTxt, queryTimeout);
        return statement != nullptr ? new DbPreparedStatementIntf(statement) : nullptr;
    }

private:
    DbConnection* m_implPtr;
};
