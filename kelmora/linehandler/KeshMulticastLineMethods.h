// The admin methods of one multicast line, created per line by the multicast
// line handler module and added to its sub-feed's KeshSession, so a session
// holds each method name once per line: "unjoinMulticastGroup" and
// "rejoinMulticastGroup" (by group and port, as configured),
// "unjoinSubfeed" and "rejoinSubfeed" (by sub-feed) and "disconnect". A
// method whose line the call does not name does nothing and answers nothing;
// the others answer one result "Message". Wrong argument counts throw
// KeshUsageError ("KESH usage"). Run on the line's session thread.
#pragma once

#include "zunq/admin/KeshMethod.h"

#include <string>

class LineHandler;

// What the five methods share: the line and the texts it was configured with.
class KeshMulticastLineMethod : public KeshMethod
{
public:
    KeshMulticastLineMethod(const std::string& name, const std::string& description, LineHandler* handler,
                            const std::string& subfeed, const std::string& groupAddr, const std::string& addrPort);

protected:
    // "<sub-feed> (<group>/<service>)".
    std::string lineText() const;
    // Leaves (join false) or joins the line unless it is so already; adds the answer.
    void apply(bool join, const char* done, const char* already, KeshParamList& out);

    LineHandler* mLh;
    const std::string mSubfeed;
    const std::string mGroupAddr;
    const std::string mAddrPort;
};

class KeshUnjoinMulticastGroup : public KeshMulticastLineMethod
{
public:
    KeshUnjoinMulticastGroup(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                             const std::string& addrPort);
    void invoke(const KeshParamList& in, KeshParamList& out) override;
};

class KeshRejoinMulticastGroup : public KeshMulticastLineMethod
{
public:
    KeshRejoinMulticastGroup(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                             const std::string& addrPort);
    void invoke(const KeshParamList& in, KeshParamList& out) override;
};

class KeshUnjoinSubfeed : public KeshMulticastLineMethod
{
public:
    KeshUnjoinSubfeed(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                      const std::string& addrPort);
    void invoke(const KeshParamList& in, KeshParamList& out) override;
};

class KeshRejoinSubfeed : public KeshMulticastLineMethod
{
public:
    KeshRejoinSubfeed(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                      const std::string& addrPort);
    void invoke(const KeshParamList& in, KeshParamList& out) override;
};

class KeshMulticastDisconnect : public KeshMulticastLineMethod
{
public:
    KeshMulticastDisconnect(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                            const std::string& addrPort);
    void invoke(const KeshParamList& in, KeshParamList& out) override;
};
