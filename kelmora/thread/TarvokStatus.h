// Result of the session, timer and listener operations: 0 is ok.
#pragma once

#include <string>

class TarvokStatus
{
public:
    TarvokStatus() = default;
    TarvokStatus(int error, const std::string& context) : mError(error), mContext(context) {}
    TarvokStatus(const TarvokStatus& other) : mError(other.mError), mContext(other.mContext) {}
    TarvokStatus& operator=(const TarvokStatus& other)
    {
        if (this != &other)
        {
            mError = other.mError;
            mContext = other.mContext;
        }
        return *this;
    }

    bool operator!() const { return mError != 0; }
    int getError() const { return mError; }
    const std::string& getContext() const { return mContext; }
    // Empty for ok; otherwise the fixed text callers' error lines carry.
    const char* getText();

private:
    char mErrorText[256] = {};
    int mError = 0;
    std::string mContext;
};

extern const TarvokStatus gStatusOk;
