// A process-wide table from connection name (its first 16 characters) to
// connection, for applications that keep their own names beside the
// framework's named objects. Not locked: callers use it from one thread or
// lock around it.
#pragma once

#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"

class DbConnection;

class DbConnectionManager
{
public:
    static DbConnectionManager& getInstance();

    // False when the name is already taken (DAT_KEY_EXIST) or either argument is null.
    bool add(const char* nameTxt, DbConnection* connectionPtr);
    // The first entry holding this connection; true when one was removed.
    bool remove(DbConnection* connectionPtr);
    bool remove(const char* nameTxt);
    DbConnection* lookup(const char* nameTxt);

private:
    DbConnectionManager() : m_connections(100) {}
    static Int128 keyOf(const char* nameTxt);

    UnsortedMap<Int128> m_connections;
};
