// An admin request or reply as text fields.
#pragma once

#include "kelmora/thread/TarvokStatus.h"

#include <string>

class TarvokOldMsg
{
public:
    TarvokOldMsg() = default;
    virtual ~TarvokOldMsg() = default;

#define TARVOK_OLD_MSG_FIELD(X, member)                                                                               \
    TarvokStatus get##X(const char*& out) const                                                                      \
    {                                                                                                                \
        out = member.c_str();                                                                                        \
        return gStatusOk;                                                                                            \
    }                                                                                                                \
    TarvokStatus get##X(std::string& out) const                                                                      \
    {                                                                                                                \
        out = member;                                                                                                \
        return gStatusOk;                                                                                            \
    }                                                                                                                \
    TarvokStatus set##X(const char* value)                                                                           \
    {                                                                                                                \
        member = value != nullptr ? value : "";                                                                      \
        return gStatusOk;                                                                                            \
    }                                                                                                                \
    TarvokStatus set##X(const std::string& value)                                                                    \
    {                                                                                                                \
        member = value;                                                                                              \
        return gStatusOk;                                                                                            \
    }

    TARVOK_OLD_MSG_FIELD(SendSubject, mSendSubject)
    TARVOK_OLD_MSG_FIELD(ReplySubject, mReplySubject)
    TARVOK_OLD_MSG_FIELD(Args, mArgs)
    TARVOK_OLD_MSG_FIELD(Method, mMethod)
    TARVOK_OLD_MSG_FIELD(KeshName, mKeshName)
#undef TARVOK_OLD_MSG_FIELD

    const char* getKeshName() const { return mKeshName.c_str(); }
    const char* getMethod() const { return mMethod.c_str(); }

private:
    std::string mSendSubject;
    std::string mReplySubject;
    std::string mArgs;
    std::string mMethod;
    std::string mKeshName;
};
