// A private PostgreSQL cluster for the database tests: initdb in a fresh
// temporary directory, a server on 127.0.0.1 at a free port with its socket in
// that directory, and ODBC ini files there that name it as DSN "fendral_pg"
// (ODBCSYSINI/ODBCINI point at them, nothing goes to /etc). Started on first
// use in a process, stopped and removed by stop() (the tests' environment
// calls it after the last test; the benchmark after its run).
// Root cannot run the server, so as root it runs as the "postgres" user.
#pragma once

#include <string>

class PgCluster
{
public:
    static constexpr const char* DSN = "fendral_pg";
    static constexpr const char* USER = "fendral";

    // Starts the cluster if not yet running; false with the reason in error().
    static bool ensureStarted();
    static void stop();
    static const std::string& error();
    static int port();
};

// Starts the cluster or fails the calling test with the reason.
#define REQUIRE_PG()                                                                                                   \
    do                                                                                                                 \
    {                                                                                                                  \
        if (!PgCluster::ensureStarted())                                                                               \
            FAIL() << "no private PostgreSQL cluster: " << PgCluster::error();                                        \
    } while (0)
