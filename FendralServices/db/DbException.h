// The database layer's exception for programming errors (unsupported column
// types, bad column numbers, conversions that cannot be made). It carries the
// framework error code the exported functions report when they catch it.
#pragma once

#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/foundation/FwTypes.h"

#include <exception>
#include <string>

class DbException : public std::exception
{
public:
    explicit DbException(const std::string& messageTxt, int32 errorCode = DB_GENERAL_ERROR)
        : m_messageStr("Exception : " + messageTxt), m_errorCode(errorCode)
    {
    }

    const char* what() const noexcept override { return m_messageStr.c_str(); }
    int32 getErrorCode() const { return m_errorCode; }

private:
    std::string m_messageStr;
    int32 m_errorCode;
};
