#include "kelmora/linehandler/KeshLoginLineMethods.h"

#include "kelmora/linehandler/LineHandlerLogin.h"
#include "kelmora/linehandler/LineHandlerModuleSupport.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <cstdint>
#include <vector>

namespace
{
const char* const cResult = "A message as a result of this action.";
} // namespace

KeshLineReset::KeshLineReset(LineHandlerLogin& handler)
    : KeshMethod("lineReset", KESH_METHOD_ACTION_INFO,
                 "Explicitly reset the TCP connection to the feed and reset the expected\nsequence number."),
      mHandler(handler)
{
    addArgParamDef("SeqNum", "The sequence number to request upon reconnection", "1", false);
    addResultParamDef("Message", cResult);
}

void KeshLineReset::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (args.size() > 1)
        throw KeshUsageError("KESH usage");
    unsigned long seqNum = 1;
    const KeshParam* given = args.getParam("SeqNum");
    if (given == nullptr)
        given = args.getParam(std::size_t{0});
    // A sequence number that is not one is refused, never read as 0 or cut.
    if (given != nullptr && (!given->getValue(seqNum) || seqNum > UINT32_MAX))
        throw KeshUsageError("KESH usage");
    mHandler.reset(static_cast<std::uint32_t>(seqNum));
    results.add("Message", "Reset requested; check the log file.");
}

KeshSendLogin::KeshSendLogin(LineHandlerLogin& handler)
    : KeshMethod("sendLogin", KESH_METHOD_ACTION_INFO, "Manually send the login message to the server."),
      mHandler(handler)
{
    addResultParamDef("Message", cResult);
}

void KeshSendLogin::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (!args.empty())
        throw KeshUsageError("KESH usage");
    mHandler.sendLogin();
    results.add("Message", "Login sent; check the log file.");
}

KeshSendLogout::KeshSendLogout(LineHandlerLogin& handler)
    : KeshMethod("sendLogout", KESH_METHOD_ACTION_INFO, "Manually send the logout message to the server."),
      mHandler(handler)
{
    addResultParamDef("Message", cResult);
}

void KeshSendLogout::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (!args.empty())
        throw KeshUsageError("KESH usage");
    mHandler.sendLogout();
    results.add("Message", "Logout sent; check the log file.");
}

KeshSetDaysToIgnorePeriodEnd::KeshSetDaysToIgnorePeriodEnd(LineHandlerLogin& handler)
    : KeshMethod("setDaysToIgnoreLoginResetPeriodEnd", KESH_METHOD_ACTION_INFO,
                 "Specifies the days of the week to ignore when the reset period ends. This may be used\n"
                 "to stop connects on certain days of the week. Days of the week are 0 to 6\n"
                 "(Sunday = 0). Previously defined days will be cleared when new days set.\n"),
      mLineHandlerLogin(handler)
{
    addArgParamDef("Days", "Space-separated list of days (0 to 6)", "0 6", true);
    addResultParamDef("Message", "Message related to this operation");
}

void KeshSetDaysToIgnorePeriodEnd::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (args.empty())
        throw KeshUsageError("KESH usage");
    // Every day is read before any is set: a bad one leaves the old days.
    std::vector<int> days;
    for (std::size_t i = 0; i < args.size(); ++i)
        for (const std::string& token : linehandler::splitText(args.getParam(i)->getValue(), ' '))
        {
            if (token.empty())
                continue;
            unsigned long day = 0;
            if (!KeshParam("Days", token).getValue(day))
                throw KeshUsageError("KESH usage");
            // The handler ignores a day past Saturday.
            days.push_back(day > 6 ? 7 : static_cast<int>(day));
        }
    mLineHandlerLogin.clearIgnoreDayForResetPeriodEnd();
    for (int day : days)
        mLineHandlerLogin.setIgnoreDayForResetPeriodEnd(day);
    results.add("Message", "Days specified will not have their end of reset period.");
}
