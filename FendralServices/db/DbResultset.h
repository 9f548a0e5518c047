// The cursor of an executed query: scrollable and updatable, fetching one row
// at a time into typed column buffers bound to the statement. Getters and
// updaters take the column number from 1 and throw DbException "Column number
// out of range" outside 1..getNumOfColumns(). Used by one thread at a time.
#pragma once

#include "FendralServices/db/DbColumnsInfo.h"
#include "FendralServices/db/DbRowset.h"

#include <sql.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

class DbConnection;
class DbPreparedStatement;

class DbResultset
{
public:
    static constexpr uint32 DEFAULT_FETCH_SIZE = 1;

    // ownerPtr is the prepared statement whose handle this borrows, or null.
    DbResultset(DbConnection* connectionPtr, SQLHSTMT statement, bool isStatementOwner, DbPreparedStatement* ownerPtr);
    ~DbResultset();
    DbResultset(const DbResultset&) = delete;
    DbResultset& operator=(const DbResultset&) = delete;

    // Describes and binds the columns; false with the mapped code on an ODBC
    // failure, DbException for a column type the layer does not support.
    bool setUp();

    bool next();
    bool previous();
    bool first();
    bool last();

    bool getBoolean(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getBoolean(); }
    int8 getInt8(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getInt8(); }
    uint8 getUInt8(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getUInt8(); }
    int16 getInt16(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getInt16(); }
    uint16 getUInt16(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getUInt16(); }
    int32 getInt32(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getInt32(); }
    uint32 getUInt32(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getUInt32(); }
    int64 getInt64(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getInt64(); }
    uint64 getUInt64(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getUInt64(); }
    std::string getString(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getString(); }
    float getFloat(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getFloat(); }
    double getDouble(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getDouble(); }
    DbDate getDate(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getDate(); }
    DbTime getTime(int32 number, bool* isNull = nullptr) const { return column(number, isNull).getTime(); }
    DbTimestamp getTimestamp(int32 number, bool* isNull = nullptr) const
    {
        return column(number, isNull).getTimestamp();
    }

    // The column itself, for reads that avoid a copy.
    const DbColumn& getColumn(int32 number, bool* isNull = nullptr) const { return column(number, isNull); }

    void updateNull(int32 number) { column(number).setNull(); }
    void updateBoolean(int32 number, bool value) { column(number).setBoolean(value); }
    void updateInt8(int32 number, int8 value) { column(number).setInt8(value); }
    void updateUInt8(int32 number, uint8 value) { column(number).setUInt8(value); }
    void updateInt16(int32 number, int16 value) { column(number).setInt16(value); }
    void updateUInt16(int32 number, uint16 value) { column(number).setUInt16(value); }
    void updateInt32(int32 number, int32 value) { column(number).setInt32(value); }
    void updateUInt32(int32 number, uint32 value) { column(number).setUInt32(value); }
    void updateInt64(int32 number, int64 value) { column(number).setInt64(value); }
    void updateUInt64(int32 number, uint64 value) { column(number).setUInt64(value); }
    void updateString(int32 number, const char* valueTxt, size_t len) { column(number).setString(valueTxt, len); }
    void updateString(int32 number, const std::string& value) { column(number).setString(value); }
    void updateFloat(int32 number, float value) { column(number).setFloat(value); }
    void updateDouble(int32 number, double value) { column(number).setDouble(value); }
    void updateDate(int32 number, const DbDate& value) { column(number).setDate(value); }
    void updateTime(int32 number, const DbTime& value) { column(number).setTime(value); }
    void updateTimestamp(int32 number, const DbTimestamp& value) { column(number).setTimestamp(value); }

    bool updateRow();
    bool deleteRow();
    void close();

    SQLHSTMT getHandle() const { return m_statement; }
    DbConnection* getConnection() const { return m_connectionPtr; }
    int32 getNumOfColumns() const { return m_numOfColumns; }
    const DbColumnsInfo& getColumnsInfo() const { return *m_columnsInfoPtr; }
    // The column of a name read through slot (the index in a caller's field
    // array): the column that slot named last time is tried first, so rows
    // read with the same fields skip the hashed look-up. -1 when no column
    // has that name.
    int32 findColumnForSlot(int32 slot, std::string_view name);
    // The same for a name in a fixed field of capacity bytes, terminated
    // unless it fills the field: the bytes the slot's last column is named
    // by, terminator included, are taken as that column without measuring,
    // folding or hashing the name.
    int32 findColumnForSlot(int32 slot, const char* fieldTxt, size_t capacity)
    {
        if (slot >= 0 && slot < MAX_NAME_HINTS)
        {
            const NameHint& hint = m_nameHints[slot];
            if (hint.isShort && capacity >= sizeof(hint.word))
            {
                // Two word compares instead of a call: the field's bytes past
                // the terminator are masked off, and the field holds them.
                uint64 word[2];
                std::memcpy(word, fieldTxt, sizeof(word));
                if ((((word[0] ^ hint.word[0]) & hint.mask[0]) | ((word[1] ^ hint.word[1]) & hint.mask[1])) == 0)
                    return hint.number;
            }
            else if (const ColumnInfo* last = m_columnsInfoPtr->getColumnInfo(hint.number);
                     last != nullptr && last->m_columnName.size() < capacity &&
                     std::memcmp(fieldTxt, last->m_columnName.c_str(), last->m_columnName.size() + 1) == 0)
                return hint.number;
        }
        return findColumnForSlotSlowly(slot, fieldTxt, capacity);
    }

    // The owning prepared statement ran again or ended: the cursor is gone.
    void detach();

private:
    // Inline: every getter and updater of every field of every row passes here.
    DbColumn& column(int32 number, bool* isNull = nullptr) const
    {
        DbColumn* col = m_rowsetPtr->getColumn(number);
        if (col == nullptr || number > m_numOfColumns)
            throwColumnOutOfRange();
        if (isNull != nullptr)
            *isNull = col->isNull();
        return *col;
    }
    [[noreturn]] static void throwColumnOutOfRange();
    int32 findColumnForSlotSlowly(int32 slot, const char* fieldTxt, size_t capacity);
    bool fetch(SQLSMALLINT orientation);
    bool setPos(SQLUSMALLINT operation);

    DbConnection* m_connectionPtr;
    SQLHSTMT m_statement;
    std::unique_ptr<DbRowset> m_rowsetPtr;
    SQLUSMALLINT m_rowStatusPtr[DEFAULT_FETCH_SIZE] = {};
    uint32 m_rowsInRowset = DEFAULT_FETCH_SIZE;
    std::unique_ptr<DbColumnsInfo> m_columnsInfoPtr;
    bool m_columnsBound = false;
    bool m_isStatementOwner;
    int32 m_numOfColumns = 0;
    DbPreparedStatement* m_ownerPtr;
    // The column a slot named last time, and that column's name with its
    // terminator as two masked words when it fits them.
    struct NameHint
    {
        int32 number = 0;
        bool isShort = false;
        uint64 word[2] = {};
        uint64 mask[2] = {};
    };
    void setNameHint(int32 slot, int32 number);
    static constexpr int32 MAX_NAME_HINTS = 64;
    NameHint m_nameHints[MAX_NAME_HINTS];
};
