// SQL text prepared once on a connection, with one typed parameter buffer per
// parameter (types described by the driver), bound again on every execution.
// Its result sets use its handle: a new execution or the statement's end
// detaches them, after which they answer failures instead of touching a
// closed cursor.
#pragma once

#include "FendralServices/db/DbRowset.h"
#include "FendralServices/db/DbStatement.h"

#include <memory>
#include <vector>

class DbPreparedStatement : public DbStatement
{
public:
    // Throws DbException "Failed to get parameters info in DbPreparedStatement"
    // when a parameter cannot be described; isValid() is false when the text
    // could not be prepared (the code is set).
    DbPreparedStatement(DbConnection* connectionPtr, const char* sqlTxt, int32 queryTimeout);
    ~DbPreparedStatement() override;

    int64 executeUpdate() override;
    DbResultset* executeQuery() override;

    // Each answers false with DB_BIND_PARAM_ERROR for a number outside
    // 1..getNumOfParams(); a value the parameter cannot hold throws DbException.
    bool setBoolean(int32 number, bool value);
    bool setInt8(int32 number, int8 value);
    bool setUInt8(int32 number, uint8 value);
    bool setInt16(int32 number, int16 value);
    bool setUInt16(int32 number, uint16 value);
    bool setInt32(int32 number, int32 value);
    bool setUInt32(int32 number, uint32 value);
    bool setInt64(int32 number, int64 value);
    bool setUInt64(int32 number, uint64 value);
    bool setString(int32 number, const char* valueTxt, size_t len);
    bool setString(int32 number, const std::string& value) { return setString(number, value.data(), value.size()); }
    bool setFloat(int32 number, float value);
    bool setDouble(int32 number, double value);
    bool setDate(int32 number, const DbDate& value);
    bool setTime(int32 number, const DbTime& value);
    bool setTimestamp(int32 number, const DbTimestamp& value);
    bool setNull(int32 number);

    bool bindParams();
    // Binds unless the bindings in place still describe every parameter.
    bool bindParamsIfChanged();
    int32 getNumOfParams() const { return m_numOfParams; }
    DbColumn* getParam(int32 number) { return m_rowsetPtr->getColumn(number); }

    // Called by a result set of this statement when it closes.
    void resultsetClosed(DbResultset* resultsetPtr);

private:
    DbColumn* paramOrFail(int32 number);
    bool execute();
    void detachResultsets();

    std::unique_ptr<DbRowset> m_rowsetPtr;
    bool m_paramsBound = false;
    int32 m_numOfParams = 0;
    std::vector<DbResultset*> m_resultsets;
    std::vector<int32> m_boundCTypes;
    bool m_cursorOpen = false;
    bool m_noData = false;
};
