#include "kelmora/thread/TarvokStatus.h"

#include <cstdio>

const TarvokStatus gStatusOk;

const char* TarvokStatus::getText()
{
    if (mError == 0)
        mErrorText[0] = '\0';
    else
        std::snprintf(mErrorText, sizeof mErrorText, "[(%d) %s]", 1, "NOT IMPLEMENTED ERROR");
    return mErrorText;
}
