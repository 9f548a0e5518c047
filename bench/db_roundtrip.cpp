// Rows per second through the database API against the same work in plain
// ODBC calls, on a private PostgreSQL cluster started for the run:
// 100,000 prepared inserts in one transaction, then fetching them back.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralServices/db/DbService.h"
#include "FendralServices/tests/db/PgCluster.h"

#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace
{
constexpr int32 ROWS = 100000;
void* g_db = nullptr;

void exec(const char* sql)
{
    int64 rows = 0;
    if (!executeUpdateDirect(g_db, sql, -1, &rows))
        std::fprintf(stderr, "bench: \"%s\" failed, code %d\n", sql, FrameworkErrno::get());
}

void resetTable()
{
    exec("DROP TABLE IF EXISTS ticks");
    exec("CREATE TABLE ticks (id INTEGER PRIMARY KEY, sym VARCHAR(8), px DOUBLE PRECISION, qty BIGINT)");
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of the calling thread: the client's own work, which a busy
// machine stretches less than it stretches the time on the clock.
double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// 100,000 prepared inserts in one transaction through the API; seconds taken.
double apiInsert(benchmark::State& state)
{
    resetTable();
    auto start = Clock::now();
    void* statement = nullptr;
    prepareStatement(g_db, "INSERT INTO ticks VALUES (?, ?, ?, ?)", -1, &statement);
    beginTrans(g_db);
    for (int32 id = 0; id < ROWS; ++id)
    {
        double px = 100.0 + id * 0.01;
        int64 qty = id * 10;
        setPreparedStatementParam(statement, 1, DB_TYPE_INT32, &id, sizeof(id));
        setPreparedStatementParam(statement, 2, DB_TYPE_STRING, "VOD.L", 5);
        setPreparedStatementParam(statement, 3, DB_TYPE_DOUBLE, &px, sizeof(px));
        setPreparedStatementParam(statement, 4, DB_TYPE_INT64, &qty, sizeof(qty));
        int64 rows = 0;
        if (!executeUpdate(statement, &rows))
            state.SkipWithError("insert failed");
    }
    commitTrans(g_db);
    freeStatement(statement);
    return secondsSince(start);
}

// The same inserts in plain ODBC calls, parameters bound once.
double odbcInsert(benchmark::State& state)
{
    resetTable();
    auto dbc = static_cast<SQLHDBC>(static_cast<DbConnection*>(g_db)->getHandle());
    auto start = Clock::now();
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>("INSERT INTO ticks VALUES (?, ?, ?, ?)")), SQL_NTS);
    SQLINTEGER id = 0;
    char sym[9] = "VOD.L";
    double px = 0;
    SQLBIGINT qty = 0;
    SQLLEN idLen = 4, symLen = 5, pxLen = 8, qtyLen = 8;
    SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 10, 0, &id, 4, &idLen);
    SQLBindParameter(stmt, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 8, 0, sym, sizeof(sym), &symLen);
    SQLBindParameter(stmt, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &px, 8, &pxLen);
    SQLBindParameter(stmt, 4, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 19, 0, &qty, 8, &qtyLen);
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    for (id = 0; id < ROWS; ++id)
    {
        px = 100.0 + id * 0.01;
        qty = id * 10;
        if (!SQL_SUCCEEDED(SQLExecute(stmt)))
            state.SkipWithError("insert failed");
    }
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
    SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return secondsSince(start);
}

DbField makeField(const char* name, DbDataType type, void* buffer, size_t len)
{
    DbField f{};
    std::strncpy(f.columnNameTxt, name, sizeof(f.columnNameTxt) - 1);
    f.dataType = type;
    f.valueBufferPtr = buffer;
    f.valueBufferLen = len;
    return f;
}

// Fetches the table back through the API, every field by name; seconds taken.
double apiFetch(benchmark::State& state)
{
    auto start = Clock::now();
    void* rs = nullptr;
    if (!executeQueryDirect(g_db, "SELECT id, sym, px, qty FROM ticks", -1, &rs))
        state.SkipWithError("query failed");
    int32 id = 0;
    char sym[8];
    double px = 0;
    int64 qty = 0;
    DbField fields[4] = {makeField("id", DB_TYPE_INT32, &id, 4), makeField("sym", DB_TYPE_STRING, sym, 8),
                         makeField("px", DB_TYPE_DOUBLE, &px, 8), makeField("qty", DB_TYPE_INT64, &qty, 8)};
    int64 seen = 0;
    while (gotoNextRecord(rs))
    {
        fields[1].valueBufferLen = sizeof(sym);
        getCurrentRecordFields(rs, fields, 4);
        ++seen;
    }
    closeResultset(rs);
    benchmark::DoNotOptimize(qty);
    if (seen != ROWS)
        state.SkipWithError("row count differs");
    return secondsSince(start);
}

// Plain ODBC fetch with the cursor the layer asks for (scrollable, updatable)
// or with the driver's default forward-only cursor; seconds taken.
double odbcFetch(benchmark::State& state, bool scrollable)
{
    auto dbc = static_cast<SQLHDBC>(static_cast<DbConnection*>(g_db)->getHandle());
    auto start = Clock::now();
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    if (scrollable)
    {
        SQLSetStmtAttr(stmt, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_DYNAMIC), 0);
        SQLSetStmtAttr(stmt, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_LOCK), 0);
    }
    SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>("SELECT id, sym, px, qty FROM ticks")), SQL_NTS);
    SQLINTEGER id = 0;
    char sym[9];
    double px = 0;
    SQLBIGINT qty = 0;
    SQLLEN ind[4];
    SQLBindCol(stmt, 1, SQL_C_SLONG, &id, 4, &ind[0]);
    SQLBindCol(stmt, 2, SQL_C_CHAR, sym, sizeof(sym), &ind[1]);
    SQLBindCol(stmt, 3, SQL_C_DOUBLE, &px, 8, &ind[2]);
    SQLBindCol(stmt, 4, SQL_C_SBIGINT, &qty, 8, &ind[3]);
    int64 seen = 0;
    while (SQL_SUCCEEDED(SQLFetchScroll(stmt, SQL_FETCH_NEXT, 0)))
        ++seen;
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    benchmark::DoNotOptimize(qty);
    if (seen != ROWS)
        state.SkipWithError("row count differs");
    return secondsSince(start);
}

void report(benchmark::State& state, const char* name, double seconds, int rounds)
{
    state.counters[name] = benchmark::Counter(ROWS * rounds / seconds);
}

// The API and plain ODBC take turns, so a busy machine slows both alike.
void BM_PreparedInsert(benchmark::State& state)
{
    constexpr int rounds = 2;
    double api = 0, odbc = 0;
    for (auto _ : state)
    {
        for (int round = 0; round < rounds; ++round)
        {
            odbc += odbcInsert(state);
            api += apiInsert(state);
        }
    }
    report(state, "api_rows_per_s", api, rounds);
    report(state, "odbc_rows_per_s", odbc, rounds);
    state.counters["api_to_odbc"] = odbc / api;
}

void BM_Fetch(benchmark::State& state)
{
    constexpr int rounds = 8;
    double api = 0, scrollable = 0, forwardOnly = 0;
    double apiCpu = 0, scrollableCpu = 0;
    double roundRatios[rounds] = {};
    // The rows to fetch, so this benchmark also runs alone, and one untimed
    // fetch: the first reader after the load pays for settling the fresh
    // rows on the server, which is no part of either side's fetch.
    odbcInsert(state);
    odbcFetch(state, true);
    for (auto _ : state)
    {
        for (int round = 0; round < rounds; ++round)
        {
            // Each side goes first every other round, so a drift of the
            // machine's load falls on both alike.
            double apiSeconds = 0, scrollSeconds = 0;
            auto timeScroll = [&] {
                double cpu = threadCpuSeconds();
                scrollSeconds = odbcFetch(state, true);
                scrollableCpu += threadCpuSeconds() - cpu;
            };
            auto timeApi = [&] {
                double cpu = threadCpuSeconds();
                apiSeconds = apiFetch(state);
                apiCpu += threadCpuSeconds() - cpu;
            };
            if (round % 2 == 0)
                timeScroll(), timeApi();
            else
                timeApi(), timeScroll();
            forwardOnly += odbcFetch(state, false);
            api += apiSeconds;
            scrollable += scrollSeconds;
            roundRatios[round] = scrollSeconds / apiSeconds;
        }
    }
    report(state, "api_rows_per_s", api, rounds);
    report(state, "odbc_scroll_rows_per_s", scrollable, rounds);
    report(state, "odbc_fwd_rows_per_s", forwardOnly, rounds);
    state.counters["api_to_odbc_scroll"] = scrollable / api;
    // The middle of the per-round ratios: one round slowed by another
    // process moves it less than it moves the ratio of the sums.
    std::sort(roundRatios, roundRatios + rounds);
    state.counters["api_to_odbc_scroll_median"] = (roundRatios[rounds / 2 - 1] + roundRatios[rounds / 2]) / 2;
    // The same on the client's CPU time alone (the server's share, alike for
    // both, left out, so this is the stricter figure).
    state.counters["api_to_odbc_scroll_cpu"] = scrollableCpu / apiCpu;
}
} // namespace

BENCHMARK(BM_PreparedInsert)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Fetch)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!PgCluster::ensureStarted())
    {
        std::fprintf(stderr, "bench_db_roundtrip: no private PostgreSQL cluster: %s\n", PgCluster::error().c_str());
        return 1;
    }
    if (!openDatabase("bench", PgCluster::DSN, "", PgCluster::USER, "secret", &g_db))
    {
        std::fprintf(stderr, "bench_db_roundtrip: cannot connect, code %d\n", FrameworkErrno::get());
        PgCluster::stop();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    closeDatabase(g_db);
    PgCluster::stop();
    benchmark::Shutdown();
    return 0;
}
