#include "FendralServices/db/DbRowset.h"

void DbRowset::addColumn(int32 sqlType, int32 precision, int32 scale)
{
    m_columns.push_back(std::make_unique<DbColumn>(m_numOfRows, sqlType, precision, scale));
}

bool DbRowset::replaceColumn(int32 number, int32 sqlType, int32 precision, int32 scale)
{
    if (number < 1 || number > getNumOfColumns())
        return false;
    m_columns[number - 1] = std::make_unique<DbColumn>(m_numOfRows, sqlType, precision, scale);
    return true;
}

void DbRowset::setCurrentRow(uint32 row)
{
    if (row >= m_numOfRows)
        return;
    m_currentRow = row;
    for (auto& column : m_columns)
        column->setCurrentRow(row);
}
