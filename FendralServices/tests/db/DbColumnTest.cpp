#include "FendralServices/db/DbColumn.h"
#include "FendralServices/db/DbException.h"
#include "FendralServices/db/DbRowset.h"

#include <gtest/gtest.h>
#include <sqlext.h>

#include <functional>
#include <string>

TEST(DbColumnTypes, SqlTypeFixesCTypeAndBufferSize)
{
    struct Case
    {
        int32 sqlType;
        int32 precision;
        int32 cType;
        size_t bufferSize;
    } cases[] = {
        {SQL_BIT, 1, SQL_C_BIT, 1},
        {SQL_TINYINT, 3, SQL_C_STINYINT, 1},
        {SQL_SMALLINT, 5, SQL_C_SSHORT, 2},
        {SQL_INTEGER, 10, SQL_C_SLONG, 4},
        {SQL_BIGINT, 19, SQL_C_SBIGINT, 8},
        {SQL_REAL, 7, SQL_C_FLOAT, 4},
        {SQL_FLOAT, 15, SQL_C_DOUBLE, 8},
        {SQL_DOUBLE, 15, SQL_C_DOUBLE, 8},
        {SQL_VARCHAR, 20, SQL_C_CHAR, 21},
        {SQL_CHAR, 4, SQL_C_CHAR, 5},
        {SQL_DECIMAL, 10, SQL_C_CHAR, 13},
        {SQL_NUMERIC, 10, SQL_C_CHAR, 13},
        {SQL_VARBINARY, 16, SQL_C_BINARY, 16},
        {SQL_TYPE_DATE, 10, SQL_C_TYPE_DATE, 6},
        {SQL_TYPE_TIME, 8, SQL_C_TYPE_TIME, 6},
        {SQL_TYPE_TIMESTAMP, 26, SQL_C_TYPE_TIMESTAMP, 16},
    };
    for (const auto& c : cases)
    {
        DbColumn column(1, c.sqlType, c.precision, 2);
        EXPECT_EQ(column.getCType(), c.cType) << c.sqlType;
        EXPECT_EQ(column.getBufferSize(), c.bufferSize) << c.sqlType;
        EXPECT_TRUE(column.isNull()) << "every row starts NULL";
    }
}

TEST(DbColumnTypes, UnsupportedAndUnknownTypesThrow)
{
    struct Case
    {
        int32 sqlType;
        const char* what;
    } cases[] = {
        {SQL_WVARCHAR, "Exception : Column with not supported SQL data type"},
        {SQL_LONGVARCHAR, "Exception : Column with not supported SQL data type"},
        {SQL_LONGVARBINARY, "Exception : Column with not supported SQL data type"},
        {SQL_GUID, "Exception : Column with not supported SQL data type"},
        {SQL_INTERVAL_DAY, "Exception : Column with not supported SQL data type"},
        {-25, "Exception : Column with unrecognized SQL data type"},
        {9999, "Exception : Column with unrecognized SQL data type"},
    };
    for (const auto& c : cases)
    {
        try
        {
            DbColumn column(1, c.sqlType, 10, 0);
            ADD_FAILURE() << c.sqlType << " did not throw";
        }
        catch (const DbException& e)
        {
            EXPECT_STREQ(e.what(), c.what) << c.sqlType;
        }
    }
}

TEST(DbColumnConversions, SettersAndGettersFollowTheColumnStorage)
{
    struct Case
    {
        const char* name;
        int32 sqlType;
        int32 precision;
        std::function<void(DbColumn&)> set;
        int64 asInt64;
        double asDouble;
        const char* asString;
    } cases[] = {
        {"int32 into integer", SQL_INTEGER, 10, [](DbColumn& c) { c.setInt32(-42); }, -42, -42.0, "-42"},
        {"int64 into bigint", SQL_BIGINT, 19, [](DbColumn& c) { c.setInt64(5000000000LL); }, 5000000000LL, 5e9,
         "5000000000"},
        {"double into integer truncates", SQL_INTEGER, 10, [](DbColumn& c) { c.setDouble(-7.9); }, -7, -7.0, "-7"},
        {"int into double", SQL_DOUBLE, 15, [](DbColumn& c) { c.setInt16(3); }, 3, 3.0, "3.000000"},
        {"double keeps its fraction", SQL_DOUBLE, 15, [](DbColumn& c) { c.setDouble(2.75); }, 2, 2.75, "2.750000"},
        {"float into real", SQL_REAL, 7, [](DbColumn& c) { c.setFloat(1.5f); }, 1, 1.5, "1.500000"},
        {"int into text", SQL_VARCHAR, 20, [](DbColumn& c) { c.setInt32(-17); }, -17, -17.0, "-17"},
        {"uint64 into text", SQL_VARCHAR, 25, [](DbColumn& c) { c.setUInt64(18446744073709551615ULL); }, INT64_MAX,
         18446744073709551615.0, "18446744073709551615"},
        {"double into decimal text", SQL_DECIMAL, 10, [](DbColumn& c) { c.setDouble(12.5); }, 12, 12.5,
         "12.500000"},
        {"text into integer parsed", SQL_INTEGER, 10, [](DbColumn& c) { c.setString("123", 3); }, 123, 123.0, "123"},
        {"text into double parsed", SQL_DOUBLE, 15, [](DbColumn& c) { c.setString("0.25", 4); }, 0, 0.25,
         "0.250000"},
        {"bool into bit", SQL_BIT, 1, [](DbColumn& c) { c.setBoolean(true); }, 1, 1.0, "1"},
        {"non-zero into bit is 1", SQL_BIT, 1, [](DbColumn& c) { c.setInt32(7); }, 1, 1.0, "1"},
        {"uint32 into integer", SQL_INTEGER, 10, [](DbColumn& c) { c.setUInt32(4000000000u); }, 4000000000LL, 4e9,
         "4000000000"},
        {"uint8 into tinyint", SQL_TINYINT, 3, [](DbColumn& c) { c.setUInt8(200); }, 200, 200.0, "200"},
        {"int8 into smallint", SQL_SMALLINT, 5, [](DbColumn& c) { c.setInt8(-5); }, -5, -5.0, "-5"},
        {"null reads as zero", SQL_INTEGER, 10, [](DbColumn& c) { c.setNull(); }, 0, 0.0, ""},
    };
    for (const auto& c : cases)
    {
        DbColumn column(1, c.sqlType, c.precision, 0);
        c.set(column);
        EXPECT_EQ(column.getInt64(), c.asInt64) << c.name;
        EXPECT_DOUBLE_EQ(column.getDouble(), c.asDouble) << c.name;
        EXPECT_EQ(column.getString(), c.asString) << c.name;
    }
}

TEST(DbColumnConversions, NarrowGettersTruncateTheInt32Value)
{
    DbColumn column(1, SQL_BIGINT, 19, 0);
    column.setInt64(0x1234567890LL);
    EXPECT_EQ(column.getInt32(), 0x34567890);
    EXPECT_EQ(column.getInt16(), 0x7890);
    EXPECT_EQ(column.getUInt8(), 0x90);
    EXPECT_TRUE(column.getBoolean());
    EXPECT_EQ(column.getUInt64(), 0x1234567890ULL);

    // A bit parameter travels as its byte: anything but 0 is sent as 1.
    DbColumn bit(1, SQL_BIT, 1, 0);
    bit.setInt32(7);
    EXPECT_EQ(*bit.getBuffer(), 1);
}

TEST(DbColumnConversions, DateTimeValuesMoveBetweenTheirColumns)
{
    DbTimestamp stamp;
    stamp.m_year = 2024, stamp.m_month = 2, stamp.m_day = 29;
    stamp.m_hour = 13, stamp.m_minute = 45, stamp.m_second = 30, stamp.m_nanosecond = 123456000;

    DbColumn ts(1, SQL_TYPE_TIMESTAMP, 26, 6);
    ts.setTimestamp(stamp);
    EXPECT_EQ(*ts.getIndicator(), 16);
    DbTimestamp back = ts.getTimestamp();
    EXPECT_EQ(back.m_nanosecond, 123456000);
    EXPECT_EQ(back.m_minute, 45);
    EXPECT_EQ(ts.getDate().m_day, 29);
    EXPECT_EQ(ts.getTime().m_second, 30);

    DbDate date;
    date.m_year = 1999, date.m_month = 12, date.m_day = 31;
    ts.setDate(date);
    back = ts.getTimestamp();
    EXPECT_EQ(back.m_year, 1999);
    EXPECT_EQ(back.m_hour, 0) << "a date into a timestamp is midnight";
    EXPECT_EQ(back.m_nanosecond, 0);

    DbColumn d(1, SQL_TYPE_DATE, 10, 0);
    d.setDate(date);
    EXPECT_EQ(*d.getIndicator(), 6);
    EXPECT_EQ(d.getTimestamp().m_month, 12);
    EXPECT_EQ(d.getTime().m_hour, 0);

    DbColumn t(1, SQL_TYPE_TIME, 8, 0);
    DbTime time;
    time.m_hour = 23, time.m_minute = 59, time.m_second = 58;
    t.setTime(time);
    EXPECT_EQ(t.getTimestamp().m_year, 0);
    EXPECT_EQ(t.getTimestamp().m_second, 58);
    EXPECT_EQ(t.getDate().m_year, 0);
}

TEST(DbColumnConversions, ValuesThatDoNotFitThrowConversionError)
{
    DbTime time;
    DbDate date;
    struct Case
    {
        const char* name;
        int32 sqlType;
        std::function<void(DbColumn&)> set;
    } cases[] = {
        {"time into timestamp", SQL_TYPE_TIMESTAMP, [&](DbColumn& c) { c.setTime(time); }},
        {"date into time", SQL_TYPE_TIME, [&](DbColumn& c) { c.setDate(date); }},
        {"timestamp into date", SQL_TYPE_DATE, [&](DbColumn& c) { c.setTimestamp(DbTimestamp{}); }},
        {"integer into date", SQL_TYPE_DATE, [](DbColumn& c) { c.setInt32(1); }},
        {"double into time", SQL_TYPE_TIME, [](DbColumn& c) { c.setDouble(1.0); }},
        {"text into binary", SQL_VARBINARY, [](DbColumn& c) { c.setString("ab", 2); }},
        {"date into integer", SQL_INTEGER, [&](DbColumn& c) { c.setDate(date); }},
    };
    for (const auto& c : cases)
    {
        DbColumn column(1, c.sqlType, 16, 0);
        try
        {
            c.set(column);
            ADD_FAILURE() << c.name << " did not throw";
        }
        catch (const DbException& e)
        {
            EXPECT_STREQ(e.what(), "Exception : Data type conversion error") << c.name;
        }
    }
}

TEST(DbColumnConversions, LongTextIsCutToTheBufferAndTheIndicatorSaysSo)
{
    DbColumn column(1, SQL_VARCHAR, 4, 0);
    column.setString("abcdefgh", 8);
    EXPECT_EQ(*column.getIndicator(), 4) << "a longer indicator lets the driver read past the buffer";
    EXPECT_EQ(column.getString(), "abcd");
    column.setString("xy", 2);
    EXPECT_EQ(*column.getIndicator(), 2);
    EXPECT_EQ(column.getString(), "xy");
}

TEST(DbRowsetColumns, NumberedFromOneAndReplaceable)
{
    DbRowset rowset(1);
    rowset.addColumn(SQL_INTEGER, 10, 0);
    rowset.addColumn(SQL_VARCHAR, 8, 0);
    EXPECT_EQ(rowset.getNumOfColumns(), 2);
    EXPECT_EQ(rowset.getColumn(0), nullptr);
    EXPECT_EQ(rowset.getColumn(3), nullptr);
    ASSERT_NE(rowset.getColumn(2), nullptr);
    EXPECT_EQ(rowset.getColumn(2)->getCType(), SQL_C_CHAR);
    EXPECT_TRUE(rowset.replaceColumn(2, SQL_BIGINT, 19, 0));
    EXPECT_EQ(rowset.getColumn(2)->getCType(), SQL_C_SBIGINT);
    EXPECT_FALSE(rowset.replaceColumn(3, SQL_BIGINT, 19, 0));
}
