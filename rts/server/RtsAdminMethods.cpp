#include "rts/server/RtsAdminMethods.h"

#include "rts/cache/LineDataCacheManager.h"
#include "rts/server/RtsTcpServer.h"
#include "zunq/HaMode.h"
#include "zunq/admin/KeshSession.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>

namespace
{

const std::string cAck = "Acknowledgement of action";

std::string cut(std::string text)
{
    if (text.size() > cRtsMaxResultLength)
        text.resize(cRtsMaxResultLength);
    return text;
}

void requireCount(const KeshParamList& in, std::size_t count, KeshParamList& out)
{
    if (in.size() != count)
    {
        out.add("Message", cRtsNotEnoughParameters);
        throw KeshUsageError("KESH usage");
    }
}

// A whole decimal from 0 to `highest`; anything else is a usage error.
unsigned long readUnsigned(const KeshParamList& in, std::size_t index, unsigned long highest)
{
    unsigned long value = 0;
    if (!in.getParam(index)->getValue(value) || value > highest)
        throw KeshUsageError("KESH usage");
    return value;
}

} // namespace

KeshRtsNumRequestsResetClient::KeshRtsNumRequestsResetClient(RtsTcpServer& server)
    : KeshMethod("RtsNumRequestsReset", KESH_METHOD_ACTION_INFO,
                 "Reset the number of Retrans Requests that can be requested in a day by a specified client"),
      mRtsTcpServer(server)
{
    addArgParamDef("UserId", "", "", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsNumRequestsResetClient::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1, out);
    std::string user = in.getParam(0)->getValue();
    const bool done = mRtsTcpServer.resetNumRequestsPerClient(user) != 0; // 1: done, 0: unknown user
    out.add("Message", cut((done ? "Successfully Reset Number of Requests for '" : "Unable to Reset Number of Requests for '")
                           + user + "'."));
}

KeshRtsMaxNumMessagesSetClient::KeshRtsMaxNumMessagesSetClient(RtsTcpServer& server)
    : KeshMethod("RtsMaxNumMessagesSetClient", KESH_METHOD_ACTION_INFO,
                 "Set the maximum number of Retrans Messages that can be requested in a day by a specified client"),
      mRtsTcpServer(server)
{
    addArgParamDef("UserId", "", "", false);
    addArgParamDef("Max", "", "", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsMaxNumMessagesSetClient::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 2, out);
    std::string user = in.getParam(0)->getValue();
    const unsigned long max = readUnsigned(in, 1, UINT32_MAX);
    const bool done = mRtsTcpServer.setMaxNumMessagesPerClient(user, static_cast<unsigned>(max)) != 0;
    out.add("Message", cut((done ? "Successfully set Maximum Number of Messages for '"
                                 : "Unable to set Maximum Number of Messages for '")
                           + user + "' to '" + std::to_string(max) + "'"));
}

KeshRtsMaxNumRequestsSetClient::KeshRtsMaxNumRequestsSetClient(RtsTcpServer& server)
    : KeshMethod("RtsMaxNumRequestsSetClient", KESH_METHOD_ACTION_INFO,
                 "Set the maximum number of Retrans Requests that can be requested in a day by a specified client"),
      mRtsTcpServer(server)
{
    addArgParamDef("UserId", "", "", false);
    addArgParamDef("Max", "", "", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsMaxNumRequestsSetClient::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 2, out);
    std::string user = in.getParam(0)->getValue();
    // A limit is never negative, and it is kept as an int.
    const unsigned long max = readUnsigned(in, 1, INT_MAX);
    const bool done = mRtsTcpServer.setMaxNumRequestsPerClient(user, static_cast<int>(max)) != 0;
    out.add("Message", cut((done ? "Successfully set Maximum Number of Requests for '"
                                 : "Unable to set Maximum Number of Requests for '")
                           + user + "' to '" + std::to_string(max) + "'"));
}

KeshRtsMaxNumRequestsSetAll::KeshRtsMaxNumRequestsSetAll(RtsTcpServer& server)
    : KeshMethod("RtsNumReqeustsSetAll", KESH_METHOD_ACTION_INFO,
                 "Set the default maximum number of Retrans Requests made by a client in 1 day"),
      mRtsTcpServer(server)
{
    addArgParamDef("MaxRequests", "", "", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsMaxNumRequestsSetAll::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1, out);
    const unsigned long max = readUnsigned(in, 0, UINT32_MAX);
    mRtsTcpServer.setMaxNumRequests(static_cast<unsigned>(max));
    out.add("Message", cut("Successfully set Default Maximum Number of Requests to '" + std::to_string(max) + "'. "));
}

KeshRtsMaxRejectRequestsAll::KeshRtsMaxRejectRequestsAll(RtsTcpServer& server)
    : KeshMethod("RtsMaxRejectRequestAll", KESH_METHOD_ACTION_INFO,
                 "Set the default Max Reject Requests that can be requested in a single day"),
      mRtsTcpServer(server)
{
    addArgParamDef("Max", "", "", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsMaxRejectRequestsAll::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1, out);
    const unsigned long max = readUnsigned(in, 0, UINT32_MAX);
    mRtsTcpServer.setMaxRejectedRequests(static_cast<unsigned>(max));
    out.add("Message", cut("Default Maximum Reject Requets is '" + std::to_string(max) + "'. "));
}

KeshRtsTraceCommunications::KeshRtsTraceCommunications(RtsTcpServer& server)
    : KeshMethod("RtsTraceCommunications", KESH_METHOD_ACTION_INFO,
                 "Turn on the tracing of clients communications with the RTS server"),
      mRtsTcpServer(server)
{
    addArgParamDef("Mode", "Can be On or Off", "On", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsTraceCommunications::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1, out);
    std::string mode = in.getParam(0)->getValue();
    std::transform(mode.begin(), mode.end(), mode.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (mode == "on")
    {
        mRtsTcpServer.setTraceCommunications(true);
        out.add("Message", "Successfully turned all trace communications.");
    }
    else if (mode == "off")
    {
        mRtsTcpServer.setTraceCommunications(false);
        out.add("Message", "Successfully turned off trace communications.");
    }
    else
        out.add("Message", "Unknown mode, no change was made.");
}

KeshRtsTraceUser::KeshRtsTraceUser(RtsTcpServer& server)
    : KeshMethod("RtsTraceUser", KESH_METHOD_ACTION_INFO,
                 "Turn on the tracing of the specified users communications with the RTS server"),
      mRtsTcpServer(server)
{
    addArgParamDef("User", "RTS User to trace", "", false);
    addResultParamDef("Message", cAck);
}

void KeshRtsTraceUser::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1, out);
    const std::string& user = in.getParam(0)->getValue();
    mRtsTcpServer.setTraceUser(user);
    out.add("Message", cut("Successfully turned on trace communications for user " + user + "."));
}

KeshRtsCleanCache::KeshRtsCleanCache(RtsTcpServer& server, LineDataCacheManager& cache)
    : KeshMethod("KeshRtsCleanCache", KESH_METHOD_ACTION_INFO, "Clears RTS cache if no pending requests are found."),
      mRtsTcpServer(server), mRtsCache(cache)
{
    addResultParamDef("Message", "Result of action");
}

void KeshRtsCleanCache::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (!in.empty())
    {
        out.add("Message", "-1: No parameters have to be provided. Run orvane help for details");
        throw KeshUsageError("KESH usage");
    }
    // A client being sent retransmissions reads the cache as it goes.
    if (mRtsTcpServer.getActiveClients() != 0)
    {
        out.add("Message", "WARNING: cache not cleared. There are pending clients.");
        return;
    }
    mRtsCache.clear();
    out.add("Message", "OK: cache clear");
}

KeshRtsActivateDr::KeshRtsActivateDr(RtsTcpServer& server)
    : KeshMethod("ActivateDr", KESH_METHOD_ACTION_INFO, "Activate the RTS on the DR node."), mRtsTcpServer(server)
{
    addResultParamDef("Message", cAck);
}

void KeshRtsActivateDr::invoke(const KeshParamList&, KeshParamList& out)
{
    mRtsTcpServer.initListen();
    mRtsTcpServer.startConnectionCountTimer();
    out.add("Message", "RTS on DR node activated. Start listening......");
}

KeshGetRtsHAMode::KeshGetRtsHAMode(RtsTcpServer& server)
    : KeshMethod("getHAMode", KESH_METHOD_INFO, "Check the HA \"mode\" that the RtsTcpServer is runnning in."),
      mRtsTcpServer(server)
{
    addResultParamDef("Mode", "Current RtsTcpServer HA mode.");
}

void KeshGetRtsHAMode::invoke(const KeshParamList&, KeshParamList& out)
{
    out.add("Mode", HaMode::modeToString(mRtsTcpServer.getHAMode()));
}

KeshSetRtsHAMode::KeshSetRtsHAMode(RtsTcpServer& server)
    : KeshMethod("setHAMode", KESH_METHOD_ACTION_INFO, "Set the HA \"mode\" that the RtsTcpServer is runnning in."),
      mRtsTcpServer(server)
{
    addArgParamDef("Mode",
                   "New RtsTcpServer mode.  Can be one of the following:\n    - Active\n    - Standby\n    - Error\n"
                   "    - Unknown\n",
                   "Active", true);
    addResultParamDef("Mode", "Set RtsTcpServer HA mode");
}

void KeshSetRtsHAMode::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = in.getParam("Mode");
    if (param == nullptr)
        param = in.getParam(0);
    const HaMode::Mode mode = HaMode::stringToMode(param->getValue());
    if (mode == HaMode::ERROR)
        throw KeshUsageError("KESH usage");
    mRtsTcpServer.setHAMode(mode);
    out.add("Mode", HaMode::modeToString(mRtsTcpServer.getHAMode()));
}

void addRtsAdminMethods(KeshSession& kesh, RtsTcpServer& server, LineDataCacheManager& cache)
{
    kesh.addMethod(new KeshRtsNumRequestsResetClient(server));
    kesh.addMethod(new KeshRtsMaxNumMessagesSetClient(server));
    kesh.addMethod(new KeshRtsMaxNumRequestsSetClient(server));
    kesh.addMethod(new KeshRtsMaxNumRequestsSetAll(server));
    kesh.addMethod(new KeshRtsMaxRejectRequestsAll(server));
    kesh.addMethod(new KeshRtsTraceCommunications(server));
    kesh.addMethod(new KeshRtsTraceUser(server));
    kesh.addMethod(new KeshRtsCleanCache(server, cache));
    kesh.addMethod(new KeshRtsActivateDr(server));
    kesh.addMethod(new KeshGetRtsHAMode(server));
    kesh.addMethod(new KeshSetRtsHAMode(server));
}
