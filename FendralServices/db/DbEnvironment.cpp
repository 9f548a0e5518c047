#include "FendralServices/db/DbEnvironment.h"

#include "FendralServices/db/DbException.h"

#include <sqlext.h>

DbEnvironment& DbEnvironment::getInstance()
{
    static DbEnvironment instance;
    return instance;
}

DbEnvironment::DbEnvironment()
{
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env)))
    {
        m_env = SQL_NULL_HENV;
        throw DbException("Failed to initialize the DB environment");
    }
    if (!SQL_SUCCEEDED(SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)))
    {
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        m_env = SQL_NULL_HENV;
        throw DbException("Failed to initialize the DB environment");
    }
}

DbEnvironment::~DbEnvironment()
{
    if (m_env != SQL_NULL_HENV)
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}
