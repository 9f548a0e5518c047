#include "FendralServices/db/DbConnectionManager.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <cstring>

DbConnectionManager& DbConnectionManager::getInstance()
{
    static DbConnectionManager instance;
    return instance;
}

Int128 DbConnectionManager::keyOf(const char* nameTxt)
{
    char name[17] = {};
    std::strncpy(name, nameTxt, 16);
    return Int128(name, false);
}

bool DbConnectionManager::add(const char* nameTxt, DbConnection* connectionPtr)
{
    if (nameTxt == nullptr || connectionPtr == nullptr)
        return fwFail(DB_NULL_PARAM, false);
    return m_connections.insert(keyOf(nameTxt), reinterpret_cast<DataValueType>(connectionPtr), false);
}

bool DbConnectionManager::remove(DbConnection* connectionPtr)
{
    Int128 key;
    DataValueType value = 0;
    for (bool more = m_connections.getFirst(key, value); more; more = m_connections.getNext(key, value))
    {
        if (value == reinterpret_cast<DataValueType>(connectionPtr))
            return m_connections.remove(key) == 1;
    }
    return false;
}

bool DbConnectionManager::remove(const char* nameTxt)
{
    return nameTxt != nullptr && m_connections.remove(keyOf(nameTxt)) == 1;
}

DbConnection* DbConnectionManager::lookup(const char* nameTxt)
{
    DataValueType value = 0;
    if (nameTxt == nullptr || !m_connections.getValueByKey(keyOf(nameTxt), value, false))
        return nullptr;
    return reinterpret_cast<DbConnection*>(value);
}
