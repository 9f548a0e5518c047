// The columns of a result set's rows or a statement's parameters, numbered
// from 1; owns its columns.
#pragma once

#include "FendralServices/db/DbColumn.h"

#include <memory>
#include <vector>

class DbRowset
{
public:
    explicit DbRowset(size_t numOfRows) : m_numOfRows(numOfRows == 0 ? 1 : numOfRows) {}
    virtual ~DbRowset() = default;

    // Throw DbException for an unsupported SQL type.
    void addColumn(int32 sqlType, int32 precision, int32 scale);
    // False for a number outside 1..getNumOfColumns().
    bool replaceColumn(int32 number, int32 sqlType, int32 precision, int32 scale);

    // Null for a number outside 1..getNumOfColumns().
    DbColumn* getColumn(int32 number)
    {
        return number >= 1 && number <= getNumOfColumns() ? m_columns[number - 1].get() : nullptr;
    }
    int32 getNumOfColumns() const { return static_cast<int32>(m_columns.size()); }
    size_t getNumOfRows() const { return m_numOfRows; }
    uint32 getCurrentRow() const { return m_currentRow; }
    void setCurrentRow(uint32 row);

private:
    uint32 m_currentRow = 0;
    size_t m_numOfRows;
    std::vector<std::unique_ptr<DbColumn>> m_columns;
};
