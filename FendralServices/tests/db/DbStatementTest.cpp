#include "PgCluster.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbConnection.h"
#include "FendralServices/db/DbException.h"
#include "FendralServices/db/DbPreparedStatement.h"
#include "FendralServices/db/DbResultset.h"
#include "FendralServices/db/DbStatement.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace
{
class DbStatementPg : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_PG();
        m_connection = std::make_unique<DbConnection>();
        ASSERT_TRUE(m_connection->open("stmt", PgCluster::DSN, "", PgCluster::USER, "secret"));
        // Tests of one process share the cluster.
        update("DROP TABLE IF EXISTS nums, every");
    }

    int64 update(const std::string& sql)
    {
        std::unique_ptr<DbStatement> statement(m_connection->createStatement(sql.c_str(), 0));
        return statement ? statement->executeUpdate() : -2;
    }

    std::unique_ptr<DbResultset> query(const std::string& sql)
    {
        std::unique_ptr<DbStatement> statement(m_connection->createStatement(sql.c_str(), 0));
        return std::unique_ptr<DbResultset>(statement ? statement->executeQuery() : nullptr);
    }

    void makeNumbers(int count)
    {
        ASSERT_EQ(update("CREATE TABLE nums (id INTEGER PRIMARY KEY, label VARCHAR(10))"), 0);
        for (int i = 1; i <= count; ++i)
            ASSERT_EQ(update("INSERT INTO nums VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "')"), 1);
    }

    std::unique_ptr<DbConnection> m_connection;
};
} // namespace

TEST_F(DbStatementPg, DirectUpdatesCountRowsAndAnUpdateOfNoRowIsSuccess)
{
    makeNumbers(3);
    EXPECT_EQ(update("UPDATE nums SET label = 'x' WHERE id >= 2"), 2);
    FrameworkErrno::set(0);
    EXPECT_EQ(update("UPDATE nums SET label = 'y' WHERE id > 100"), 0);
    EXPECT_EQ(update("DELETE FROM nums WHERE id > 100"), 0);
    EXPECT_EQ(FrameworkErrno::get(), 0);
}

TEST_F(DbStatementPg, ABadStatementFailsWithExecutionFailureAndItsSqlState)
{
    FrameworkErrno::set(0);
    EXPECT_EQ(update("SELEC nothing"), -1);
    EXPECT_EQ(FrameworkErrno::get(), DB_SQL_EXECUTION_FAILURE);
    char state[6];
    char message[256];
    int32 native = 0;
    m_connection->getLastError(state, sizeof(state), &native, message, sizeof(message));
    EXPECT_STREQ(state, "42601");
    FrameworkErrno::set(0);
    EXPECT_EQ(query("SELECT * FROM no_such_table"), nullptr);
    EXPECT_EQ(FrameworkErrno::get(), DB_SQL_EXECUTION_FAILURE);
}

TEST_F(DbStatementPg, PreparedParametersOfEveryTypeRoundTrip)
{
    ASSERT_EQ(update("CREATE TABLE every (b BOOLEAN, s SMALLINT, i INTEGER, l BIGINT, r REAL, d DOUBLE PRECISION, "
                     "n NUMERIC(10,2), v VARCHAR(20), dt DATE, tm TIME, ts TIMESTAMP, u INTEGER, ul BIGINT)"),
              0);
    std::unique_ptr<DbPreparedStatement> insert(
        m_connection->prepareStatement("INSERT INTO every VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)", 0));
    ASSERT_NE(insert, nullptr) << FrameworkErrno::get();
    ASSERT_EQ(insert->getNumOfParams(), 13);
    DbDate date;
    date.m_year = 2024, date.m_month = 2, date.m_day = 29;
    DbTime time;
    time.m_hour = 9, time.m_minute = 30, time.m_second = 15;
    DbTimestamp stamp;
    stamp.m_year = 2023, stamp.m_month = 12, stamp.m_day = 31, stamp.m_hour = 23, stamp.m_minute = 59;
    stamp.m_second = 58, stamp.m_nanosecond = 250000000;
    EXPECT_TRUE(insert->setBoolean(1, true));
    EXPECT_TRUE(insert->setInt16(2, -1234));
    EXPECT_TRUE(insert->setInt32(3, 2000000000));
    EXPECT_TRUE(insert->setInt64(4, -9000000000000LL));
    EXPECT_TRUE(insert->setFloat(5, 1.25f));
    EXPECT_TRUE(insert->setDouble(6, 3.141592653589793));
    EXPECT_TRUE(insert->setDouble(7, 12345678.9));
    EXPECT_TRUE(insert->setString(8, std::string("hello")));
    EXPECT_TRUE(insert->setDate(9, date));
    EXPECT_TRUE(insert->setTime(10, time));
    EXPECT_TRUE(insert->setTimestamp(11, stamp));
    EXPECT_TRUE(insert->setUInt16(12, 60000));
    EXPECT_TRUE(insert->setUInt32(13, 4000000000u));
    ASSERT_EQ(insert->executeUpdate(), 1) << FrameworkErrno::get();

    // The same statement runs again with other values and NULLs.
    for (int32 number = 1; number <= 13; ++number)
        EXPECT_TRUE(insert->setNull(number));
    EXPECT_TRUE(insert->setInt8(2, -7));
    EXPECT_TRUE(insert->setUInt8(3, 250));
    EXPECT_TRUE(insert->setUInt64(4, 42));
    ASSERT_EQ(insert->executeUpdate(), 1);

    auto rs = query("SELECT * FROM every ORDER BY s");
    ASSERT_NE(rs, nullptr) << FrameworkErrno::get();
    ASSERT_EQ(rs->getNumOfColumns(), 13);
    ASSERT_TRUE(rs->next());
    bool isNull = false;
    EXPECT_TRUE(rs->getBoolean(1, &isNull));
    EXPECT_FALSE(isNull);
    EXPECT_EQ(rs->getInt16(2), -1234);
    EXPECT_EQ(rs->getInt32(3), 2000000000);
    EXPECT_EQ(rs->getInt64(4), -9000000000000LL);
    EXPECT_FLOAT_EQ(rs->getFloat(5), 1.25f);
    EXPECT_DOUBLE_EQ(rs->getDouble(6), 3.141592653589793);
    EXPECT_EQ(rs->getString(7), "12345678.90");
    EXPECT_DOUBLE_EQ(rs->getDouble(7), 12345678.9);
    EXPECT_EQ(rs->getString(8), "hello");
    EXPECT_EQ(rs->getDate(9).m_day, 29);
    EXPECT_EQ(rs->getTime(10).m_second, 15);
    DbTimestamp back = rs->getTimestamp(11);
    EXPECT_EQ(back.m_year, 2023);
    EXPECT_EQ(back.m_second, 58);
    EXPECT_EQ(back.m_nanosecond, 250000000);
    EXPECT_EQ(rs->getInt32(12), 60000);
    EXPECT_EQ(rs->getInt64(13), 4000000000LL);

    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->getInt16(2), -7);
    EXPECT_EQ(rs->getInt32(3), 250);
    EXPECT_EQ(rs->getInt64(4), 42);
    EXPECT_EQ(rs->getString(8, &isNull), "");
    EXPECT_TRUE(isNull);
    EXPECT_EQ(rs->getInt32(12, &isNull), 0);
    EXPECT_TRUE(isNull);
    EXPECT_EQ(rs->getTimestamp(11).m_year, 0);

    FrameworkErrno::set(0);
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(FrameworkErrno::get(), 0) << "the end is no error";
}

TEST_F(DbStatementPg, ParameterNumbersOutsideTheStatementAreRefused)
{
    makeNumbers(0);
    std::unique_ptr<DbPreparedStatement> insert(m_connection->prepareStatement("INSERT INTO nums VALUES (?, ?)", 0));
    ASSERT_NE(insert, nullptr);
    for (int32 number : {0, 3, -1})
    {
        FrameworkErrno::set(0);
        EXPECT_FALSE(insert->setInt32(number, 1)) << number;
        EXPECT_EQ(FrameworkErrno::get(), DB_BIND_PARAM_ERROR);
    }
}

TEST_F(DbStatementPg, ColumnNumbersOutsideTheResultThrow)
{
    makeNumbers(1);
    auto rs = query("SELECT id, label FROM nums");
    ASSERT_NE(rs, nullptr);
    ASSERT_TRUE(rs->next());
    for (int32 number : {0, 3})
    {
        try
        {
            rs->getInt32(number);
            ADD_FAILURE() << number << " did not throw";
        }
        catch (const DbException& e)
        {
            EXPECT_STREQ(e.what(), "Exception : Column number out of range");
        }
        EXPECT_THROW(rs->updateInt32(number, 1), DbException);
    }
}

TEST_F(DbStatementPg, CursorScrollsBothWays)
{
    makeNumbers(4);
    auto rs = query("SELECT id FROM nums ORDER BY id");
    ASSERT_NE(rs, nullptr);
    ASSERT_TRUE(rs->last());
    EXPECT_EQ(rs->getInt32(1), 4);
    ASSERT_TRUE(rs->previous());
    EXPECT_EQ(rs->getInt32(1), 3);
    ASSERT_TRUE(rs->first());
    EXPECT_EQ(rs->getInt32(1), 1);
    EXPECT_FALSE(rs->previous());
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->getInt32(1), 1);
}

TEST_F(DbStatementPg, PositionedUpdateAndDeleteThenScrollingPastTheDeletedRows)
{
    makeNumbers(5);
    {
        auto rs = query("SELECT id, label FROM nums ORDER BY id");
        ASSERT_NE(rs, nullptr);
        ASSERT_TRUE(rs->next());
        rs->updateString(2, std::string("first"));
        ASSERT_TRUE(rs->updateRow()) << FrameworkErrno::get();
        ASSERT_TRUE(rs->next());
        ASSERT_TRUE(rs->next());
        ASSERT_EQ(rs->getInt32(1), 3);
        ASSERT_TRUE(rs->deleteRow()) << FrameworkErrno::get();
        ASSERT_TRUE(rs->next());
        ASSERT_EQ(rs->getInt32(1), 4);
        ASSERT_TRUE(rs->deleteRow());
        // Row 2 comes next going back, past the two deleted rows.
        ASSERT_TRUE(rs->previous());
        EXPECT_EQ(rs->getInt32(1), 2);
        ASSERT_TRUE(rs->next());
        EXPECT_EQ(rs->getInt32(1), 5);
    }
    auto rs = query("SELECT id, label FROM nums ORDER BY id");
    ASSERT_NE(rs, nullptr);
    std::string seen;
    while (rs->next())
        seen += std::to_string(rs->getInt32(1)) + rs->getString(2) + " ";
    EXPECT_EQ(seen, "1first 2n2 5n5 ");
}

TEST_F(DbStatementPg, ResultsOfAPreparedStatementOutliveItWithoutTouchingItsHandle)
{
    makeNumbers(3);
    auto statement = std::make_unique<DbPreparedStatement>(m_connection.get(), "SELECT id FROM nums WHERE id > ?", 0);
    ASSERT_TRUE(statement->isValid());
    statement->setInt32(1, 1);
    std::unique_ptr<DbResultset> first(statement->executeQuery());
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->next());
    // Running the statement again ends the earlier cursor.
    statement->setInt32(1, 2);
    std::unique_ptr<DbResultset> second(statement->executeQuery());
    ASSERT_NE(second, nullptr);
    FrameworkErrno::set(0);
    EXPECT_FALSE(first->next());
    EXPECT_EQ(FrameworkErrno::get(), DB_CURSOR_OPERATION_FAILURE);
    ASSERT_TRUE(second->next());
    EXPECT_EQ(second->getInt32(1), 3);

    statement.reset();
    FrameworkErrno::set(0);
    EXPECT_FALSE(second->next());
    EXPECT_EQ(FrameworkErrno::get(), DB_CURSOR_OPERATION_FAILURE);
    EXPECT_FALSE(second->updateRow());
}

TEST_F(DbStatementPg, ASerializationConflictIsReportedAsDeadlock)
{
    makeNumbers(1);
    DbConnection other;
    ASSERT_TRUE(other.open("stmt_other", PgCluster::DSN, "", PgCluster::USER, "secret"));
    for (DbConnection* c : {m_connection.get(), &other})
    {
        ASSERT_TRUE(c->setTransactionIsolation(ISOLATION_SERIALIZABLE));
        ASSERT_TRUE(c->beginTrans());
    }
    std::unique_ptr<DbStatement> a(m_connection->createStatement("UPDATE nums SET label = 'a' WHERE id = 1", 0));
    ASSERT_EQ(a->executeUpdate(), 1);
    // The other transaction's snapshot predates the first one's commit.
    std::unique_ptr<DbStatement> read(other.createStatement("SELECT count(*) FROM nums", 0));
    std::unique_ptr<DbResultset>(read->executeQuery());
    ASSERT_TRUE(m_connection->commitTrans());
    std::unique_ptr<DbStatement> b(other.createStatement("UPDATE nums SET label = 'b' WHERE id = 1", 0));
    FrameworkErrno::set(0);
    EXPECT_EQ(b->executeUpdate(), -1);
    EXPECT_EQ(FrameworkErrno::get(), DB_DEADLOCK);
    EXPECT_TRUE(other.rollbackTrans());
}

TEST_F(DbStatementPg, AnUnsignedValueSetAfterAnExecutionIsSentUnsigned)
{
    makeNumbers(0);
    std::unique_ptr<DbPreparedStatement> insert(m_connection->prepareStatement("INSERT INTO nums VALUES (?, 'u')", 0));
    ASSERT_NE(insert, nullptr);
    insert->setInt32(1, 1);
    ASSERT_EQ(insert->executeUpdate(), 1);
    // Sent with the signed binding of the first execution, this would be stored as -294967296.
    insert->setUInt32(1, 4000000000u);
    FrameworkErrno::set(0);
    EXPECT_EQ(insert->executeUpdate(), -1);
    EXPECT_EQ(FrameworkErrno::get(), DB_SQL_EXECUTION_FAILURE);
    auto rs = query("SELECT count(*) FROM nums WHERE id < 0");
    ASSERT_NE(rs, nullptr);
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->getInt32(1), 0);
}
