#include "PgCluster.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ServiceResource.h"
#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/DbError.h"
#include "FendralServices/db/DbResultset.h"
#include "FendralServices/db/DbStatement.h"

#include <gtest/gtest.h>
#include <sqlext.h>

#include <memory>
#include <string>

namespace
{
std::unique_ptr<DbConnection> openPg(const char* name, const char* database = "")
{
    auto connection = std::make_unique<DbConnection>();
    EXPECT_TRUE(connection->open(name, PgCluster::DSN, database, PgCluster::USER, "secret"))
        << "code " << FrameworkErrno::get();
    return connection;
}

std::string queryText(DbConnection& connection, const char* sql)
{
    std::unique_ptr<DbStatement> statement(connection.createStatement(sql, 0));
    if (!statement)
        return "<no statement>";
    std::unique_ptr<DbResultset> rs(statement->executeQuery());
    if (!rs || !rs->next())
        return "<no row>";
    return rs->getString(1);
}

int64 update(DbConnection& connection, const char* sql)
{
    std::unique_ptr<DbStatement> statement(connection.createStatement(sql, 0));
    return statement ? statement->executeUpdate() : -2;
}
} // namespace

TEST(DbConnectionString, HasNoSpacesAndTheDatabaseOnlyWhenGiven)
{
    struct Case
    {
        const char* database;
        const char* expected;
    } cases[] = {
        {"", "DSN=src;UID=usr;PWD=pw"},
        {"db1", "DSN=src;UID=usr;PWD=pw;DATABASE=db1"},
    };
    for (const auto& c : cases)
    {
        std::string connStr;
        ASSERT_TRUE(DbConnection::buildConnectionString("src", c.database, "usr", "pw", connStr));
        EXPECT_EQ(connStr, c.expected);
    }
}

TEST(DbConnectionString, ValuesThatWouldAddKeysAreRefused)
{
    std::string connStr;
    for (const char* password : {"pw;DSN=other", "{pw}", "p}w"})
        EXPECT_FALSE(DbConnection::buildConnectionString("src", "", "usr", password, connStr)) << password;

    // The driver manager reads the location of its ini files once, so the
    // cluster's must be in place before the first handle.
    REQUIRE_PG();
    DbConnection connection;
    FrameworkErrno::set(0);
    EXPECT_FALSE(connection.open("inject", "src", "", "usr", "pw;UID=postgres"));
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
    EXPECT_FALSE(connection.open("longdsn", std::string(30, 'd').c_str(), "", "usr", "pw"));
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
}

TEST(DbConnectionPg, OpenReopenCloseAndReconnect)
{
    REQUIRE_PG();
    auto connection = openPg("conn_a");
    ASSERT_TRUE(connection->isOpen());
    EXPECT_EQ(connection->getDbmsName(), "POSTGRESQL");
    // The driver honours the user and the database only without spaces after the semicolons.
    EXPECT_EQ(queryText(*connection, "SELECT current_user"), PgCluster::USER);

    void* found = nullptr;
    ASSERT_TRUE(ServiceResource::lookup("conn_a", &found, ResourceManager::RES_TYPE_DB));
    EXPECT_EQ(found, connection.get());

    FrameworkErrno::set(0);
    EXPECT_FALSE(connection->open("conn_b", PgCluster::DSN, "", PgCluster::USER, "secret"));
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_ALREADY_OPEN);
    EXPECT_TRUE(connection->isOpen());

    ASSERT_TRUE(connection->reconnect());
    EXPECT_TRUE(connection->isOpen());
    EXPECT_EQ(queryText(*connection, "SELECT 7"), "7");

    connection->close();
    EXPECT_FALSE(connection->isOpen());
    EXPECT_FALSE(ServiceResource::lookup("conn_a", &found, ResourceManager::RES_TYPE_DB));
    FrameworkErrno::set(0);
    EXPECT_EQ(connection->createStatement("SELECT 1", 0), nullptr);
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
    FrameworkErrno::set(0);
    EXPECT_FALSE(connection->commitTrans());
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);

    ASSERT_TRUE(connection->open("conn_a", PgCluster::DSN, "", PgCluster::USER, "secret"));
    EXPECT_EQ(queryText(*connection, "SELECT 8"), "8");
}

TEST(DbConnectionPg, TheDatabaseNameIsHonoured)
{
    REQUIRE_PG();
    auto admin = openPg("db_admin");
    ASSERT_EQ(update(*admin, "CREATE DATABASE second_db"), 0);
    auto other = openPg("db_other", "second_db");
    EXPECT_EQ(queryText(*other, "SELECT current_database()"), "second_db");
}

TEST(DbConnectionPg, BadDataSourceGivesConnectionFailureWithItsDiagnostic)
{
    REQUIRE_PG();
    DbConnection connection;
    FrameworkErrno::set(0);
    EXPECT_FALSE(connection.open("bad_dsn", "no_such_dsn", "", "u", "p"));
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
    char state[6];
    char message[64];
    int32 native = -1;
    connection.getLastError(state, sizeof(state), &native, message, sizeof(message));
    EXPECT_STREQ(state, "IM002");
    EXPECT_LT(std::strlen(message), sizeof(message));
}

TEST(DbConnectionPg, IsolationAndAutoCommit)
{
    REQUIRE_PG();
    auto connection = openPg("iso");
    for (IsolationLevel level : {ISOLATION_READ_COMMITTED, ISOLATION_REPEATABLE_READ, ISOLATION_SERIALIZABLE})
    {
        ASSERT_TRUE(connection->setTransactionIsolation(level)) << level;
        EXPECT_EQ(connection->getTransactionnIsolation(), level);
    }
    for (int bad : {0, 5})
    {
        FrameworkErrno::set(0);
        EXPECT_FALSE(connection->setTransactionIsolation(static_cast<IsolationLevel>(bad)));
        EXPECT_EQ(FrameworkErrno::get(), DB_ATTR_INVALID_VALUE);
    }
    EXPECT_TRUE(connection->getAutoCommit());
    ASSERT_TRUE(connection->beginTrans());
    EXPECT_FALSE(connection->getAutoCommit());
    ASSERT_TRUE(connection->rollbackTrans());
    EXPECT_TRUE(connection->getAutoCommit());
}

TEST(DbConnectionPg, CommitIsSeenByAnotherConnectionAndRollbackIsNot)
{
    REQUIRE_PG();
    auto writer = openPg("tx_writer");
    auto reader = openPg("tx_reader");
    ASSERT_EQ(update(*writer, "CREATE TABLE tx (id INTEGER)"), 0);

    ASSERT_TRUE(writer->beginTrans());
    ASSERT_EQ(update(*writer, "INSERT INTO tx VALUES (1)"), 1);
    EXPECT_EQ(queryText(*reader, "SELECT count(*) FROM tx"), "0");
    ASSERT_TRUE(writer->commitTrans());
    EXPECT_EQ(queryText(*reader, "SELECT count(*) FROM tx"), "1");

    ASSERT_TRUE(writer->beginTrans());
    ASSERT_EQ(update(*writer, "INSERT INTO tx VALUES (2)"), 1);
    ASSERT_TRUE(writer->rollbackTrans());
    EXPECT_EQ(queryText(*reader, "SELECT count(*) FROM tx"), "1");
    EXPECT_EQ(queryText(*writer, "SELECT count(*) FROM tx"), "1");
}

TEST(DbConnectionPg, ConnectTimeoutIsTakenBeforeOpeningAndRefusedByThisDriverAfter)
{
    REQUIRE_PG();
    DbConnection connection;
    // The driver manager keeps the value until the connection is made.
    ASSERT_TRUE(connection.setConnectTimeout(5));
    ASSERT_TRUE(connection.open("tmo", PgCluster::DSN, "", PgCluster::USER, "secret"));
    // The connected driver has no such attribute: a failed set reports the
    // connection-handle code, a failed read answers 0.
    FrameworkErrno::set(0);
    EXPECT_FALSE(connection.setConnectTimeout(7));
    EXPECT_EQ(FrameworkErrno::get(), DB_TRANSACTION_FAILURE);
    EXPECT_EQ(connection.getConnectTimeout(), 0u);
}

TEST(DbConnectionPg, SqlStatesMapToCodes)
{
    REQUIRE_PG();
    auto connection = openPg("states");
    struct Case
    {
        SQLSMALLINT handleType;
        const char* state;
        int32 code;
    } cases[] = {
        {SQL_HANDLE_STMT, "40001", DB_DEADLOCK},     {SQL_HANDLE_DBC, "HYT00", DB_TIMEOUT_EXPIRED},
        {SQL_HANDLE_STMT, "00000", 0},               {SQL_HANDLE_STMT, "42601", DB_SQL_EXECUTION_FAILURE},
        {SQL_HANDLE_DBC, "42601", DB_TRANSACTION_FAILURE}, {SQL_HANDLE_ENV, "42601", DB_GENERAL_ERROR},
        {SQL_HANDLE_STMT, "08S01", DB_CONNECTION_FAILURE}, {SQL_HANDLE_DBC, "08S01", DB_CONNECTION_FAILURE},
    };
    for (const auto& c : cases)
    {
        connection->setLastError(c.state, 0, "synthetic", 9);
        EXPECT_EQ(DbError::sqlStateToErrorCode(c.handleType, connection.get(), c.state), c.code) << c.state;
    }
    connection->clearLastError();
    EXPECT_EQ(DbError::getOdbcErrorInfo(SQL_HANDLE_STMT, nullptr, nullptr), DB_NULL_PARAM);
}

TEST(DbConnectionPg, LastErrorCopiesAreBoundedAndTerminated)
{
    REQUIRE_PG();
    auto connection = openPg("lasterr");
    std::string longText(2000, 'x');
    connection->setLastError("42P01", 7, longText.c_str(), static_cast<int32>(longText.size()));
    char state[3];
    char message[16];
    int32 native = 0;
    std::memset(message, '#', sizeof(message));
    connection->getLastError(state, sizeof(state), &native, message, sizeof(message));
    EXPECT_STREQ(state, "42");
    EXPECT_EQ(std::string(message), std::string(15, 'x'));
    EXPECT_EQ(native, 7);
    char full[1100];
    connection->getLastError(state, sizeof(state), &native, full, sizeof(full));
    EXPECT_EQ(std::strlen(full), 1023u);
}

TEST(DbConnectionPg, ALostConnectionIsReportedAsConnectionFailure)
{
    REQUIRE_PG();
    auto victim = openPg("victim");
    auto killer = openPg("killer");
    std::string pid = queryText(*victim, "SELECT pg_backend_pid()");
    EXPECT_EQ(queryText(*killer, ("SELECT pg_terminate_backend(" + pid + ")").c_str()), "1");

    FrameworkErrno::set(0);
    std::unique_ptr<DbStatement> statement(victim->createStatement("SELECT 1", 0));
    if (statement)
    {
        EXPECT_EQ(statement->executeQuery(), nullptr);
        // The server's goodbye may come first; the next call finds the link gone.
        if (FrameworkErrno::get() != DB_CONNECTION_FAILURE)
        {
            std::unique_ptr<DbStatement> again(victim->createStatement("SELECT 1", 0));
            if (again)
            {
                EXPECT_EQ(again->executeQuery(), nullptr);
            }
        }
    }
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
    EXPECT_TRUE(victim->isConnectionError());
}
