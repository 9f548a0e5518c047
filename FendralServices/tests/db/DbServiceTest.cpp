#include "PgCluster.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbService.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
class DbServicePg : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_PG();
        ASSERT_TRUE(openDatabase("api", PgCluster::DSN, "", PgCluster::USER, "secret", &m_db))
            << FrameworkErrno::get();
        exec("DROP TABLE IF EXISTS quotes, notes");
        exec("CREATE TABLE quotes (id INTEGER PRIMARY KEY, sym VARCHAR(8), px NUMERIC(10,2), qty BIGINT, "
             "ts TIMESTAMP, ok BOOLEAN)");
    }

    void TearDown() override
    {
        if (m_db != nullptr)
        {
            EXPECT_TRUE(closeDatabase(m_db));
        }
    }

    int64 exec(const std::string& sql)
    {
        int64 rows = -2;
        if (!executeUpdateDirect(m_db, sql.c_str(), static_cast<int32>(sql.size()), &rows))
            return -1;
        return rows;
    }

    void* queryRs(const std::string& sql)
    {
        void* rs = nullptr;
        EXPECT_TRUE(executeQueryDirect(m_db, sql.c_str(), -1, &rs)) << sql << " code " << FrameworkErrno::get();
        return rs;
    }

    void* m_db = nullptr;
};

DbField field(const char* name, DbDataType type, void* buffer, size_t len)
{
    DbField f{};
    std::strncpy(f.columnNameTxt, name, sizeof(f.columnNameTxt) - 1);
    f.dataType = type;
    f.valueBufferPtr = buffer;
    f.valueBufferLen = len;
    return f;
}
} // namespace

TEST_F(DbServicePg, ConnectionsAreFoundByNameAndANameIsTakenOnce)
{
    void* found = nullptr;
    ASSERT_TRUE(getDbConnection("api", &found));
    EXPECT_EQ(found, m_db);

    void* second = reinterpret_cast<void*>(0x1);
    FrameworkErrno::set(0);
    EXPECT_FALSE(openDatabase("api", PgCluster::DSN, "", PgCluster::USER, "secret", &second));
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(FrameworkErrno::get(), 0);
    ASSERT_TRUE(getDbConnection("api", &found));
    EXPECT_EQ(found, m_db) << "the failed open must not unregister the first connection";
    EXPECT_EQ(exec("INSERT INTO quotes (id) VALUES (1)"), 1);

    void* timed = nullptr;
    ASSERT_TRUE(openDatabaseWithTimeout("api_timed", PgCluster::DSN, "", PgCluster::USER, "secret", 3, &timed));
    ASSERT_TRUE(closeDatabase(timed));
    EXPECT_FALSE(getDbConnection("api_timed", &found));
}

TEST_F(DbServicePg, NullArgumentsAndStaleHandlesAreRefused)
{
    void* out = nullptr;
    int64 rows = 0;
    bool flag = false;
    int32 len = 6;
    int32 native = 0;
    char buf[8];
    struct Case
    {
        const char* name;
        bool result;
    } cases[] = {
        {"openDatabase out", openDatabase("x", PgCluster::DSN, "", "u", "p", nullptr)},
        {"openDatabase name", openDatabase(nullptr, PgCluster::DSN, "", "u", "p", &out)},
        {"closeDatabase", closeDatabase(nullptr)},
        {"getAutoCommit out", getAutoCommit(m_db, nullptr)},
        {"getAutoCommit handle", getAutoCommit(nullptr, &flag)},
        {"getSqlError message", getSqlError(m_db, buf, &len, &native, nullptr, &len)},
        {"prepareStatement sql", prepareStatement(m_db, nullptr, 0, &out)},
        {"executeUpdate", executeUpdate(nullptr, &rows)},
        {"executeUpdateDirect rows", executeUpdateDirect(m_db, "SELECT 1", -1, nullptr)},
        {"gotoNextRecord", gotoNextRecord(nullptr)},
        {"getCurrentRecordFields", getCurrentRecordFields(nullptr, nullptr, 1)},
        {"foreign connection handle", beginTrans(buf)},
        {"foreign result set handle", gotoFirstRecord(buf)},
        {"foreign statement handle", freeStatement(buf)},
    };
    for (const auto& c : cases)
    {
        EXPECT_FALSE(c.result) << c.name;
    }
    FrameworkErrno::set(0);
    EXPECT_FALSE(commitTrans(buf));
    EXPECT_EQ(FrameworkErrno::get(), DB_NULL_PARAM);

    EXPECT_TRUE(freeStatement(nullptr));
    EXPECT_TRUE(getCurrentRecordFields(nullptr, nullptr, 0));

    // After closing, the handle is stale: refused, not dereferenced, even
    // right after calls that found it live.
    void* rs = queryRs("SELECT id FROM quotes");
    EXPECT_FALSE(gotoNextRecord(rs));
    ASSERT_TRUE(closeResultset(rs));
    FrameworkErrno::set(0);
    EXPECT_FALSE(gotoNextRecord(rs));
    EXPECT_EQ(FrameworkErrno::get(), DB_NULL_PARAM);
    ASSERT_TRUE(closeDatabase(m_db));
    void* closed = m_db;
    m_db = nullptr;
    FrameworkErrno::set(0);
    EXPECT_FALSE(beginTrans(closed));
    EXPECT_EQ(FrameworkErrno::get(), DB_NULL_PARAM);
}

TEST_F(DbServicePg, ClosingAConnectionEndsItsStatementsAndResultSets)
{
    void* statement = nullptr;
    ASSERT_TRUE(prepareStatement(m_db, "SELECT id FROM quotes WHERE id > ?", -1, &statement));
    void* rs = queryRs("SELECT id FROM quotes");
    EXPECT_FALSE(gotoNextRecord(rs));
    ASSERT_TRUE(closeDatabase(m_db));
    m_db = nullptr;
    FrameworkErrno::set(0);
    EXPECT_FALSE(gotoNextRecord(rs)) << "a result set ended with its connection is still taken as live";
    EXPECT_EQ(FrameworkErrno::get(), DB_NULL_PARAM);
    EXPECT_FALSE(freeStatement(statement));
    EXPECT_EQ(FrameworkErrno::get(), DB_NULL_PARAM);
    EXPECT_FALSE(closeResultset(rs));
}

TEST_F(DbServicePg, ABadDataSourceAndABadStatementLeaveTheirDiagnostic)
{
    void* bad = reinterpret_cast<void*>(0x1);
    FrameworkErrno::set(0);
    EXPECT_FALSE(openDatabase("api_bad", "no_such_dsn", "", "u", "p", &bad));
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);

    FrameworkErrno::set(0);
    EXPECT_EQ(exec("INSERT INTO no_such_table VALUES (1)"), -1);
    EXPECT_EQ(FrameworkErrno::get(), DB_SQL_EXECUTION_FAILURE);
    char state[6];
    int32 stateLen = sizeof(state);
    int32 native = 0;
    char message[1024];
    int32 messageLen = sizeof(message);
    ASSERT_TRUE(getSqlError(m_db, state, &stateLen, &native, message, &messageLen));
    EXPECT_STREQ(state, "42P01");
    EXPECT_EQ(stateLen, 6);
    EXPECT_EQ(messageLen, static_cast<int32>(std::strlen(message)) + 1);
    EXPECT_NE(std::string(message).find("no_such_table"), std::string::npos);

    // Small buffers get a terminated prefix, and the lengths say what was copied.
    char shortState[3];
    char shortMessage[10];
    std::memset(shortMessage, '#', sizeof(shortMessage));
    stateLen = sizeof(shortState);
    messageLen = sizeof(shortMessage);
    ASSERT_TRUE(getSqlError(m_db, shortState, &stateLen, &native, shortMessage, &messageLen));
    EXPECT_STREQ(shortState, "42");
    EXPECT_EQ(stateLen, 3);
    EXPECT_EQ(shortMessage[9], '\0');
    EXPECT_EQ(messageLen, 10);
}

TEST_F(DbServicePg, PreparedParametersThroughBuffersAndTheirChecks)
{
    void* statement = nullptr;
    const char* sql = "INSERT INTO quotes VALUES (?, ?, ?, ?, ?, ?)";
    ASSERT_TRUE(prepareStatement2(m_db, sql, static_cast<int32>(std::strlen(sql)), 5, &statement));
    int32 id = 1;
    int64 qty = 123456789012LL;
    double px = 101.25;
    bool ok = true;
    TimestampColumnData ts{2024, 3, 1, 8, 0, 5, 0};
    ASSERT_TRUE(setPreparedStatementParam(statement, 1, DB_TYPE_INT32, &id, sizeof(id)));
    ASSERT_TRUE(setPreparedStatementParam(statement, 2, DB_TYPE_STRING, "ABCDEFGH-cut", 5));
    ASSERT_TRUE(setPreparedStatementParam(statement, 3, DB_TYPE_DOUBLE, &px, sizeof(px)));
    ASSERT_TRUE(setPreparedStatementParam(statement, 4, DB_TYPE_INT64, &qty, sizeof(qty)));
    ASSERT_TRUE(setPreparedStatementParam(statement, 5, DB_TYPE_TIMESTAMP, &ts, sizeof(ts)));
    ASSERT_TRUE(setPreparedStatementParam(statement, 6, DB_TYPE_BOOL, &ok, sizeof(ok)));
    int64 rows = 0;
    ASSERT_TRUE(executeUpdate(statement, &rows)) << FrameworkErrno::get();
    EXPECT_EQ(rows, 1);

    DateColumnData date{2024, 1, 2};
    struct Case
    {
        const char* name;
        int32 number;
        DbDataType type;
        const void* buffer;
        size_t len;
        int32 code;
    } cases[] = {
        {"short buffer", 4, DB_TYPE_INT64, &qty, 4, DB_INVALID_BUFFER_SIZE},
        {"short timestamp", 5, DB_TYPE_TIMESTAMP, &ts, 27, DB_INVALID_BUFFER_SIZE},
        {"unknown type", 1, static_cast<DbDataType>(15), &id, 4, DB_INVALID_DATA_TYPE},
        {"parameter 0", 0, DB_TYPE_INT32, &id, 4, DB_BIND_PARAM_ERROR},
        {"parameter 7", 7, DB_TYPE_INT32, &id, 4, DB_BIND_PARAM_ERROR},
        {"date into an integer", 1, DB_TYPE_DATE, &date, sizeof(date), DB_INVALID_DATA_TYPE},
        {"no buffer", 1, DB_TYPE_INT32, nullptr, 4, DB_NULL_PARAM},
    };
    for (const auto& c : cases)
    {
        FrameworkErrno::set(0);
        EXPECT_FALSE(setPreparedStatementParam(statement, c.number, c.type, c.buffer, c.len)) << c.name;
        EXPECT_EQ(FrameworkErrno::get(), c.code) << c.name;
    }
    EXPECT_TRUE(freeStatement(statement));

    void* rs = queryRs("SELECT sym, qty, ts, ok FROM quotes");
    ASSERT_TRUE(gotoNextRecord(rs));
    char sym[8];
    size_t symLen = sizeof(sym);
    ASSERT_TRUE(getCurrentRecordField(rs, "SYM", DB_TYPE_STRING, sym, &symLen, nullptr));
    EXPECT_EQ(std::string(sym, symLen), "ABCDE");
    TimestampColumnData tsBack{};
    size_t tsLen = sizeof(tsBack);
    ASSERT_TRUE(getCurrentRecordField(rs, "ts", DB_TYPE_TIMESTAMP, &tsBack, &tsLen, nullptr));
    EXPECT_EQ(tsLen, 28u);
    EXPECT_EQ(tsBack.year, 2024);
    EXPECT_EQ(tsBack.second, 5);
    EXPECT_TRUE(closeResultset(rs));
}

TEST_F(DbServicePg, FieldsOfTheCurrentRowByName)
{
    ASSERT_EQ(exec("INSERT INTO quotes VALUES (1, 'VOD.L', 12.50, 900000000000, NULL, true)"), 1);
    void* rs = queryRs("SELECT * FROM quotes");
    ASSERT_TRUE(gotoFirstRecord(rs));

    char sym[8];
    std::memset(sym, '#', sizeof(sym));
    int64 qty = 0;
    double px = 0;
    TimestampColumnData ts{1, 1, 1, 1, 1, 1, 1};
    DbField fields[] = {field("Sym", DB_TYPE_STRING, sym, sizeof(sym)), field("QTY", DB_TYPE_INT64, &qty, 8),
                        field("px", DB_TYPE_DOUBLE, &px, 8), field("ts", DB_TYPE_TIMESTAMP, &ts, sizeof(ts))};
    ASSERT_TRUE(getCurrentRecordFields(rs, fields, 4)) << FrameworkErrno::get();
    EXPECT_EQ(fields[0].valueBufferLen, 5u);
    EXPECT_EQ(std::string(sym, 5), "VOD.L");
    EXPECT_EQ(sym[5], '#') << "no terminator is written";
    EXPECT_EQ(qty, 900000000000LL);
    EXPECT_DOUBLE_EQ(px, 12.5);
    EXPECT_TRUE(fields[3].nullIndicator);
    EXPECT_EQ(ts.year, 0);

    int64 wide = 77;
    size_t narrow = 4;
    FrameworkErrno::set(0);
    EXPECT_FALSE(getCurrentRecordField(rs, "qty", DB_TYPE_INT64, &wide, &narrow, nullptr));
    EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_BUFFER_SIZE);
    EXPECT_EQ(wide, 77);
    char tiny[3];
    size_t tinyLen = sizeof(tiny);
    EXPECT_FALSE(getCurrentRecordField(rs, "sym", DB_TYPE_STRING, tiny, &tinyLen, nullptr));
    EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_BUFFER_SIZE);

    int32 first = 0, third = -5;
    int32 second = 0;
    DbField mixed[] = {field("id", DB_TYPE_INT32, &first, 4), field("nope", DB_TYPE_INT32, &second, 4),
                       field("qty", DB_TYPE_INT32, &third, 4)};
    FrameworkErrno::set(0);
    EXPECT_FALSE(getCurrentRecordFields(rs, mixed, 3));
    EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_COLUMN_NAME);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(third, -5);

    EXPECT_FALSE(gotoNextRecord(rs));
    EXPECT_TRUE(closeResultset(rs));
}

// The same field array read row after row, its names changed between rows:
// every value follows its name, whatever column the slot named before; a
// name that only begins with the slot's last name ("idz" after "id") is
// not that column.
TEST_F(DbServicePg, FieldArrayRenamedBetweenRowsReadsByTheNewNames)
{
    ASSERT_EQ(exec("INSERT INTO quotes VALUES (1, 'A', 1.00, 10, NULL, true), (2, 'B', 2.00, 20, NULL, true), "
                   "(3, 'C', 3.00, 30, NULL, true), (4, 'D', 4.00, 40, NULL, true)"),
              4);
    void* rs = queryRs("SELECT id, qty FROM quotes ORDER BY id");
    int64 a = 0, b = 0;
    DbField fields[] = {field("id", DB_TYPE_INT64, &a, 8), field("qty", DB_TYPE_INT64, &b, 8)};
    struct Row
    {
        const char* first;
        const char* second;
        int64 a, b;
    };
    for (const Row r : {Row{"id", "qty", 1, 10}, Row{"qty", "id", 20, 2}, Row{"QTY", "nope", 30, -1},
                        Row{"qty", "idz", 40, -1}})
    {
        std::snprintf(fields[0].columnNameTxt, sizeof(fields[0].columnNameTxt), "%s", r.first);
        std::snprintf(fields[1].columnNameTxt, sizeof(fields[1].columnNameTxt), "%s", r.second);
        b = -1;
        ASSERT_TRUE(gotoNextRecord(rs));
        FrameworkErrno::set(0);
        EXPECT_EQ(getCurrentRecordFields(rs, fields, 2), r.b != -1) << r.first;
        EXPECT_EQ(a, r.a) << r.first;
        EXPECT_EQ(b, r.b) << r.second;
        EXPECT_EQ(FrameworkErrno::get(), r.b == -1 ? DB_INVALID_COLUMN_NAME : 0) << r.second;
    }
    EXPECT_TRUE(closeResultset(rs));
}

// Names at the edge of what a slot remembers as two words: 15 characters
// with the terminator fill them, 16 do not. A remembered name matches only
// whole, terminator included ("...noq" is no column), and the bytes a field
// holds after its terminator do not count.
TEST_F(DbServicePg, FieldNamesAtTheEdgeOfTheRememberedWords)
{
    exec("DROP TABLE IF EXISTS wide");
    ASSERT_EQ(exec("CREATE TABLE wide (x INTEGER, abcdefghijklmno INTEGER, abcdefghijklmnop INTEGER)"), 0);
    ASSERT_EQ(exec("INSERT INTO wide VALUES (1, 10, 100), (2, 20, 200), (3, 30, 300), (4, 40, 400)"), 4);
    void* rs = queryRs("SELECT * FROM wide ORDER BY 1");
    int32 values[3] = {};
    DbField fields[] = {field("", DB_TYPE_INT32, &values[0], 4), field("", DB_TYPE_INT32, &values[1], 4),
                        field("", DB_TYPE_INT32, &values[2], 4)};
    const std::string fifteen = "abcdefghijklmno", sixteen = "abcdefghijklmnop";
    struct Row
    {
        std::string names[3];
        int32 expected[3]; // -1: no such column
    };
    const Row rows[] = {{{"x", fifteen, sixteen}, {1, 10, 100}},
                        {{std::string("x\0yz", 4), sixteen, fifteen}, {2, 200, 20}},
                        {{"x", sixteen + std::string("\0Z", 2), fifteen}, {3, 300, 30}},
                        {{"x", sixteen, fifteen + "q"}, {4, 400, -1}}};
    for (const Row& r : rows)
    {
        ASSERT_TRUE(gotoNextRecord(rs));
        for (int i = 0; i < 3; ++i)
        {
            std::memset(fields[i].columnNameTxt, 0, sizeof(fields[i].columnNameTxt));
            std::memcpy(fields[i].columnNameTxt, r.names[i].data(), r.names[i].size());
            values[i] = -1;
        }
        FrameworkErrno::set(0);
        EXPECT_EQ(getCurrentRecordFields(rs, fields, 3), r.expected[2] != -1) << r.names[2];
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(values[i], r.expected[i]) << r.names[i];
        EXPECT_EQ(FrameworkErrno::get(), r.expected[2] == -1 ? DB_INVALID_COLUMN_NAME : 0) << r.names[2];
    }
    EXPECT_TRUE(closeResultset(rs));
}

// Fields asking for the column's own type (INTEGER as INT32, BIGINT as
// INT64, DOUBLE PRECISION as DOUBLE, VARCHAR as STRING), beside reads that
// convert: a NULL reads as zero or empty with the flag set, whatever the
// row before held, and a buffer too small fails with the flag untouched
// (for text the flag comes first).
TEST_F(DbServicePg, FieldsOfTheColumnsOwnTypeValuesNullsAndSmallBuffers)
{
    exec("DROP TABLE IF EXISTS own");
    ASSERT_EQ(exec("CREATE TABLE own (n INTEGER, i INTEGER, b BIGINT, d DOUBLE PRECISION, s VARCHAR(8))"), 0);
    ASSERT_EQ(exec("INSERT INTO own VALUES (1, -7, 9000000000, 2.5, 'ab'), (2, NULL, NULL, NULL, NULL)"), 2);
    void* rs = queryRs("SELECT * FROM own ORDER BY n");
    struct Read
    {
        const char* column;
        DbDataType type;
        size_t len;
        double number;    // the value of a numeric read
        const char* text; // the value of a STRING read
    };
    const Read values[] = {{"i", DB_TYPE_INT32, 4, -7, nullptr},  {"b", DB_TYPE_INT64, 8, 9e9, nullptr},
                           {"d", DB_TYPE_DOUBLE, 8, 2.5, nullptr}, {"s", DB_TYPE_STRING, 8, 0, "ab"},
                           {"b", DB_TYPE_DOUBLE, 8, 9e9, nullptr}, {"i", DB_TYPE_STRING, 8, 0, "-7"},
                           {"i", DB_TYPE_INT64, 8, -7, nullptr}};
    for (int row = 0; row < 2; ++row)
    {
        ASSERT_TRUE(gotoNextRecord(rs));
        const bool nullRow = row == 1;
        for (const Read& r : values)
        {
            char buffer[8];
            std::memset(buffer, 0x5A, sizeof(buffer));
            DbField f = field(r.column, r.type, buffer, r.len);
            f.nullIndicator = !nullRow;
            ASSERT_TRUE(getCurrentRecordFields(rs, &f, 1)) << r.column << " " << r.type;
            EXPECT_EQ(f.nullIndicator, nullRow) << r.column << " " << r.type;
            if (r.type == DB_TYPE_STRING)
            {
                EXPECT_EQ(std::string(buffer, f.valueBufferLen), nullRow ? "" : r.text) << r.column;
                continue;
            }
            EXPECT_EQ(f.valueBufferLen, r.len) << r.column << " " << r.type;
            double number = 0;
            if (r.type == DB_TYPE_INT32)
            {
                int32 v;
                std::memcpy(&v, buffer, sizeof(v));
                number = v;
            }
            else if (r.type == DB_TYPE_INT64)
            {
                int64 v;
                std::memcpy(&v, buffer, sizeof(v));
                number = static_cast<double>(v);
            }
            else
                std::memcpy(&number, buffer, sizeof(number));
            EXPECT_EQ(number, nullRow ? 0.0 : r.number) << r.column << " " << r.type;
        }
    }

    // The first row again, each own-type field one byte short.
    ASSERT_TRUE(gotoFirstRecord(rs));
    for (const Read& r : values)
    {
        if (r.type == DB_TYPE_STRING && r.column[0] != 's')
            continue;
        char buffer[8];
        std::memset(buffer, 0x5A, sizeof(buffer));
        DbField f = field(r.column, r.type, buffer, r.type == DB_TYPE_STRING ? 1 : r.len - 1);
        f.nullIndicator = true;
        FrameworkErrno::set(0);
        EXPECT_FALSE(getCurrentRecordFields(rs, &f, 1)) << r.column << " " << r.type;
        EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_BUFFER_SIZE) << r.column << " " << r.type;
        EXPECT_EQ(f.nullIndicator, r.type != DB_TYPE_STRING) << r.column << " " << r.type;
        EXPECT_EQ(buffer[0], 0x5A) << r.column << " " << r.type;
    }
    EXPECT_TRUE(closeResultset(rs));
}

TEST_F(DbServicePg, UpdatedFieldsAreWrittenBackByUpdateCurrentRecord)
{
    ASSERT_EQ(exec("INSERT INTO quotes VALUES (1, 'A', 1.00, 1, NULL, false), (2, 'B', 2.00, 2, NULL, false)"), 2);
    void* statement = nullptr;
    ASSERT_TRUE(prepareStatement(m_db, "SELECT * FROM quotes WHERE id = ?", -1, &statement));
    int32 id = 2;
    ASSERT_TRUE(setPreparedStatementParam(statement, 1, DB_TYPE_INT32, &id, 4));
    void* rs = nullptr;
    ASSERT_TRUE(executeQuery(statement, &rs)) << FrameworkErrno::get();
    ASSERT_TRUE(gotoNextRecord(rs));
    double px = 99.5;
    TimestampColumnData ts{2025, 6, 30, 16, 30, 0, 0};
    bool ok = true;
    DbField fields[] = {field("px", DB_TYPE_DOUBLE, &px, 8), field("ts", DB_TYPE_TIMESTAMP, &ts, sizeof(ts)),
                        field("ok", DB_TYPE_BOOL, &ok, 1)};
    ASSERT_TRUE(updateCurrentRecordFields(rs, fields, 3)) << FrameworkErrno::get();
    ASSERT_TRUE(updateCurrentRecordField(rs, "sym", DB_TYPE_STRING, "ZZTOP-long", 2));
    ASSERT_TRUE(updateCurrentRecord(rs)) << FrameworkErrno::get();
    FrameworkErrno::set(0);
    EXPECT_FALSE(updateCurrentRecordField(rs, "nope", DB_TYPE_BOOL, &ok, 1));
    EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_COLUMN_NAME);
    EXPECT_TRUE(closeResultset(rs));
    EXPECT_TRUE(freeStatement(statement));

    rs = queryRs("SELECT sym, px, ts, ok FROM quotes WHERE id = 2");
    ASSERT_TRUE(gotoNextRecord(rs));
    char sym[8];
    size_t symLen = sizeof(sym);
    double pxBack = 0;
    size_t pxLen = 8;
    bool okBack = false;
    size_t okLen = 1;
    ASSERT_TRUE(getCurrentRecordField(rs, "sym", DB_TYPE_STRING, sym, &symLen, nullptr));
    ASSERT_TRUE(getCurrentRecordField(rs, "px", DB_TYPE_DOUBLE, &pxBack, &pxLen, nullptr));
    ASSERT_TRUE(getCurrentRecordField(rs, "ok", DB_TYPE_BOOL, &okBack, &okLen, nullptr));
    EXPECT_EQ(std::string(sym, symLen), "ZZ");
    EXPECT_DOUBLE_EQ(pxBack, 99.5);
    EXPECT_TRUE(okBack);
    EXPECT_TRUE(closeResultset(rs));
}

TEST_F(DbServicePg, DeletedRecordsAndTransactionsThroughTheApi)
{
    ASSERT_EQ(exec("INSERT INTO quotes (id) VALUES (1), (2), (3)"), 3);
    ASSERT_TRUE(setDbConnectionIsolation(m_db, ISOLATION_REPEATABLE_READ));
    IsolationLevel level = ISOLATION_UNKNOWN;
    ASSERT_TRUE(getDbConnectionIsolation(m_db, &level));
    EXPECT_EQ(level, ISOLATION_REPEATABLE_READ);

    ASSERT_TRUE(beginTrans(m_db));
    bool autoCommit = true;
    ASSERT_TRUE(getAutoCommit(m_db, &autoCommit));
    EXPECT_FALSE(autoCommit);
    void* rs = queryRs("SELECT id FROM quotes ORDER BY id");
    ASSERT_TRUE(gotoLastRecord(rs));
    ASSERT_TRUE(deleteCurrentRecord(rs));
    ASSERT_TRUE(closeResultset(rs));
    EXPECT_EQ(exec("UPDATE quotes SET qty = 5 WHERE id > 10"), 0);
    ASSERT_TRUE(rollbackTrans(m_db));
    ASSERT_TRUE(getAutoCommit(m_db, &autoCommit));
    EXPECT_TRUE(autoCommit);

    rs = queryRs("SELECT count(*) AS n FROM quotes");
    ASSERT_TRUE(gotoNextRecord(rs));
    int64 n = 0;
    size_t len = 8;
    ASSERT_TRUE(getCurrentRecordField(rs, "n", DB_TYPE_INT64, &n, &len, nullptr));
    EXPECT_EQ(n, 3) << "the delete was rolled back";
    EXPECT_TRUE(closeResultset(rs));
}

TEST_F(DbServicePg, LayerExceptionsBecomeCodes)
{
    // A TEXT column is a long character type the layer does not take.
    ASSERT_EQ(exec("CREATE TABLE notes (body TEXT)"), 0);
    void* rs = reinterpret_cast<void*>(0x1);
    FrameworkErrno::set(0);
    EXPECT_FALSE(executeQueryDirect(m_db, "SELECT body FROM notes", -1, &rs));
    EXPECT_EQ(rs, nullptr);
    EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_DATA_TYPE);

    ASSERT_EQ(exec("INSERT INTO quotes (id) VALUES (1)"), 1);
    rs = queryRs("SELECT id, ts FROM quotes");
    ASSERT_TRUE(gotoNextRecord(rs));
    TimeColumnData time{1, 2, 3};
    FrameworkErrno::set(0);
    EXPECT_FALSE(updateCurrentRecordField(rs, "ts", DB_TYPE_TIME, &time, sizeof(time)));
    EXPECT_EQ(FrameworkErrno::get(), DB_INVALID_DATA_TYPE);
    EXPECT_TRUE(closeResultset(rs));
}

TEST_F(DbServicePg, ALostConnectionGivesConnectionFailure)
{
    void* killer = nullptr;
    ASSERT_TRUE(openDatabase("api_killer", PgCluster::DSN, "", PgCluster::USER, "secret", &killer));
    void* rs = queryRs("SELECT pg_backend_pid() AS pid");
    ASSERT_TRUE(gotoNextRecord(rs));
    int32 pid = 0;
    size_t len = 4;
    ASSERT_TRUE(getCurrentRecordField(rs, "pid", DB_TYPE_INT32, &pid, &len, nullptr));
    ASSERT_TRUE(closeResultset(rs));
    int64 rows = 0;
    std::string kill = "SELECT pg_terminate_backend(" + std::to_string(pid) + ")";
    void* killRs = nullptr;
    ASSERT_TRUE(executeQueryDirect(killer, kill.c_str(), -1, &killRs));
    ASSERT_TRUE(closeResultset(killRs));

    FrameworkErrno::set(0);
    for (int attempt = 0; attempt < 2 && FrameworkErrno::get() != DB_CONNECTION_FAILURE; ++attempt)
        EXPECT_FALSE(executeUpdateDirect(m_db, "UPDATE quotes SET qty = 1", -1, &rows));
    EXPECT_EQ(FrameworkErrno::get(), DB_CONNECTION_FAILURE);
    EXPECT_TRUE(closeDatabase(killer));
}
