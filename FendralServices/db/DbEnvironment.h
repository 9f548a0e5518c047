// The process-wide ODBC environment (ODBC 3), created on first use under the
// language's thread-safe static initialisation and released at process exit.
#pragma once

#include <sql.h>

class DbEnvironment
{
public:
    // Throws DbException when the environment cannot be set up.
    static DbEnvironment& getInstance();

    SQLHENV getHandle() const { return m_env; }

    DbEnvironment(const DbEnvironment&) = delete;
    DbEnvironment& operator=(const DbEnvironment&) = delete;

private:
    DbEnvironment();
    ~DbEnvironment();

    SQLHENV m_env = SQL_NULL_HENV;
};
