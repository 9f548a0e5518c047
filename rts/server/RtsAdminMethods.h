// The retransmission server's admin methods: per-client limits, server-wide
// defaults, traffic tracing, cache cleaning, disaster-recovery activation and
// the HA mode. The admin interface runs them on the server's thread, so they
// touch the server without locks.
//
// Numbers must be whole decimal numbers that fit the setting they change; a
// sign on an unsigned setting, or anything else, is a usage error, so "-1"
// never turns into a huge limit.
#pragma once

#include "zunq/admin/KeshMethod.h"

#include <string>

class LineDataCacheManager;
class RtsTcpServer;
class KeshSession;

// The "Message" of a wrong argument count.
inline const std::string cRtsNotEnoughParameters = "-1: Not enough parameters provided. Run orvane help for details";
// Result texts are cut to this many characters.
constexpr std::size_t cRtsMaxResultLength = 79;

class KeshRtsNumRequestsResetClient : public KeshMethod
{
public:
    explicit KeshRtsNumRequestsResetClient(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsMaxNumMessagesSetClient : public KeshMethod
{
public:
    explicit KeshRtsMaxNumMessagesSetClient(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsMaxNumRequestsSetClient : public KeshMethod
{
public:
    explicit KeshRtsMaxNumRequestsSetClient(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsMaxNumRequestsSetAll : public KeshMethod
{
public:
    explicit KeshRtsMaxNumRequestsSetAll(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsMaxRejectRequestsAll : public KeshMethod
{
public:
    explicit KeshRtsMaxRejectRequestsAll(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsTraceCommunications : public KeshMethod
{
public:
    explicit KeshRtsTraceCommunications(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsTraceUser : public KeshMethod
{
public:
    explicit KeshRtsTraceUser(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshRtsCleanCache : public KeshMethod
{
public:
    KeshRtsCleanCache(RtsTcpServer& server, LineDataCacheManager& cache);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
    LineDataCacheManager& mRtsCache;
};

class KeshRtsActivateDr : public KeshMethod
{
public:
    explicit KeshRtsActivateDr(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshGetRtsHAMode : public KeshMethod
{
public:
    explicit KeshGetRtsHAMode(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

class KeshSetRtsHAMode : public KeshMethod
{
public:
    explicit KeshSetRtsHAMode(RtsTcpServer& server);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsTcpServer& mRtsTcpServer;
};

// Creates the eleven methods in their registration order and hands each to `kesh`.
void addRtsAdminMethods(KeshSession& kesh, RtsTcpServer& server, LineDataCacheManager& cache);
