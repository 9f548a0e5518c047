#include "FendralServices/db/DbColumnsInfo.h"

#include "FendralServices/db/DbError.h"
#include "FendralServices/db/DbResultset.h"

#include <sqlext.h>

#include <cctype>
#include <cstring>

size_t ColumnNameHash::operator()(std::string_view name) const
{
    // FNV-1a over the lower-cased bytes.
    size_t hash = 1469598103934665603ULL;
    for (char c : name)
        hash = (hash ^ static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)))) * 1099511628211ULL;
    return hash;
}

bool ColumnNameEqual::operator()(std::string_view lhs, std::string_view rhs) const
{
    if (lhs.size() != rhs.size())
        return false;
    // Names are mostly asked for as the driver spells them: equal bytes
    // need no case folding.
    for (size_t i = 0; i < lhs.size(); ++i)
        if (lhs[i] != rhs[i] && std::tolower(static_cast<unsigned char>(lhs[i])) != std::tolower(static_cast<unsigned char>(rhs[i])))
            return false;
    return true;
}

bool DbColumnsInfo::load(SQLHSTMT statement)
{
    DbConnection* connection = m_resultsetPtr != nullptr ? m_resultsetPtr->getConnection() : nullptr;
    SQLSMALLINT count = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(statement, &count)))
    {
        DbError::setFromDiagnostics(SQL_HANDLE_STMT, statement, connection);
        return false;
    }
    m_columnsInfo.clear();
    m_nameIndexMap.clear();
    m_columnsInfo.resize(count > 0 ? count : 0);
    for (SQLSMALLINT number = 1; number <= count; ++number)
    {
        // A longer name is cut by the driver to the buffer, terminator included.
        char nameTxt[MAX_COLUMN_NAME_LEN] = {};
        SQLSMALLINT nameLen = 0;
        SQLLEN type = 0, precision = 0, scale = 0, length = 0;
        if (!SQL_SUCCEEDED(SQLColAttribute(statement, number, SQL_DESC_NAME, nameTxt, sizeof(nameTxt), &nameLen,
                                           nullptr)) ||
            !SQL_SUCCEEDED(SQLColAttribute(statement, number, SQL_DESC_CONCISE_TYPE, nullptr, 0, nullptr, &type)) ||
            !SQL_SUCCEEDED(SQLColAttribute(statement, number, SQL_DESC_PRECISION, nullptr, 0, nullptr, &precision)) ||
            !SQL_SUCCEEDED(SQLColAttribute(statement, number, SQL_DESC_SCALE, nullptr, 0, nullptr, &scale)) ||
            !SQL_SUCCEEDED(SQLColAttribute(statement, number, SQL_DESC_LENGTH, nullptr, 0, nullptr, &length)))
        {
            DbError::setFromDiagnostics(SQL_HANDLE_STMT, statement, connection);
            return false;
        }
        nameTxt[sizeof(nameTxt) - 1] = '\0';
        ColumnInfo& info = m_columnsInfo[number - 1];
        info.m_columnName = nameTxt;
        info.m_type = static_cast<int32>(type);
        info.m_precision = static_cast<int32>(precision);
        info.m_scale = static_cast<int32>(scale);
        info.m_size = static_cast<int32>(length);
        m_nameIndexMap.emplace(std::string(nameTxt), number);
    }
    m_numOfColumns = count > 0 ? count : 0;
    return true;
}

int32 DbColumnsInfo::findColumnIndex(std::string_view name, int32 hint) const
{
    if (hint >= 1 && hint <= m_numOfColumns &&
        ColumnNameEqual{}(m_columnsInfo[static_cast<size_t>(hint - 1)].m_columnName, name))
        return hint;
    return findColumnIndex(name);
}

int32 DbColumnsInfo::findColumnIndex(const char* nameTxt) const
{
    return nameTxt == nullptr ? -1 : findColumnIndex(std::string_view(nameTxt));
}

int32 DbColumnsInfo::findColumnIndex(std::string_view name) const
{
    auto it = m_nameIndexMap.find(name);
    return it == m_nameIndexMap.end() ? -1 : it->second;
}
