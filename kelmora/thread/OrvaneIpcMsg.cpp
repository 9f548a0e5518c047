#include "kelmora/thread/OrvaneIpcMsg.h"

#include "kelmora/thread/TarvokOldMsg.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{
template <std::size_t N>
void put(char (&field)[N], const std::string& text, bool always)
{
    if (always || !text.empty())
        std::snprintf(field, N, "%s", text.c_str());
}
} // namespace

void buildOrvaneIpcMsg(const TarvokOldMsg& msg, OrvaneIpcMsg& out)
{
    std::memset(&out, 0, sizeof out);
    std::string text;
    msg.getSendSubject(text);
    put(out.mSubject, text, true);
    msg.getReplySubject(text);
    put(out.mReplySubject, text, false);
    msg.getArgs(text);
    put(out.mArgs, text, false);
    msg.getMethod(text);
    put(out.mMethod, text, false);
    msg.getKeshName(text);
    put(out.mKeshName, text, false);
}
