#include "PgCluster.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbConnectionIntf.h"
#include "FendralServices/db/DbConnectionManager.h"

#include <gtest/gtest.h>

#include <memory>

TEST(DbConnectionManagerTable, NamesKeyOnTheirFirstSixteenCharacters)
{
    int a = 0, b = 0;
    auto* first = reinterpret_cast<DbConnection*>(&a);
    auto* second = reinterpret_cast<DbConnection*>(&b);
    DbConnectionManager& manager = DbConnectionManager::getInstance();
    ASSERT_TRUE(manager.add("orders_primary_db", first));
    EXPECT_EQ(manager.lookup("orders_primary_dbX"), first) << "only 16 characters count";
    EXPECT_FALSE(manager.add("orders_primary_d", second));
    ASSERT_TRUE(manager.add("quotes", second));
    EXPECT_TRUE(manager.remove(first));
    EXPECT_EQ(manager.lookup("orders_primary_db"), nullptr);
    EXPECT_FALSE(manager.remove(first));
    EXPECT_TRUE(manager.remove("quotes"));
    EXPECT_EQ(manager.lookup("quotes"), nullptr);
}

TEST(DbFacades, ForwardAndConvertDateTimeRecords)
{
    REQUIRE_PG();
    DbConnectionIntf connection;
    FrameworkErrno::set(0);
    EXPECT_EQ(connection.prepareStatement("SELECT 1", 0), nullptr) << "null stays null";
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
    ASSERT_TRUE(connection.open("facade", PgCluster::DSN, "", PgCluster::USER, "secret"));

    std::unique_ptr<DbStatementIntf> create(
        connection.createStatement("CREATE TABLE fx (d DATE, t TIME, ts TIMESTAMP)", 0));
    ASSERT_NE(create, nullptr);
    ASSERT_EQ(create->executeUpdate(), 0);

    std::unique_ptr<DbPreparedStatementIntf> insert(connection.prepareStatement("INSERT INTO fx VALUES (?, ?, ?)", 0));
    ASSERT_NE(insert, nullptr);
    EXPECT_TRUE(insert->setDate(1, DateColumnData{2020, 5, 17}));
    EXPECT_TRUE(insert->setTime(2, TimeColumnData{6, 7, 8}));
    EXPECT_TRUE(insert->setTimestamp(3, TimestampColumnData{2021, 1, 2, 3, 4, 5, 600000000}));
    ASSERT_EQ(insert->executeUpdate(), 1);

    std::unique_ptr<DbStatementIntf> select(connection.createStatement("SELECT d, t, ts FROM fx", 0));
    std::unique_ptr<DbResultsetIntf> rs(select->executeQuery());
    ASSERT_NE(rs, nullptr);
    ASSERT_TRUE(rs->next());
    DateColumnData d = rs->getDate(1);
    TimeColumnData t = rs->getTime(2);
    TimestampColumnData ts = rs->getTimestamp(3);
    EXPECT_EQ(d.year * 10000 + d.month * 100 + d.day, 20200517);
    EXPECT_EQ(t.hour * 10000 + t.minute * 100 + t.second, 60708);
    EXPECT_EQ(ts.year, 2021);
    EXPECT_EQ(ts.second, 5);
    EXPECT_EQ(ts.nanosecond, 600000000);
}
