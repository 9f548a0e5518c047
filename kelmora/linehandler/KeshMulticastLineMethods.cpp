#include "kelmora/linehandler/KeshMulticastLineMethods.h"

#include "kelmora/linehandler/LineHandler.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

namespace
{

const char* const cMessage = "Message";
const char* const cMessageHelp = "Message related to this operation";

// Argument `index` as text; a missing one reads as empty.
std::string argument(const KeshParamList& in, std::size_t index)
{
    const KeshParam* param = in.getParam(index);
    return param != nullptr ? param->getValue() : std::string();
}

void requireCount(const KeshParamList& in, std::size_t count)
{
    if (in.size() != count)
        throw KeshUsageError("KESH usage");
}

} // namespace

KeshMulticastLineMethod::KeshMulticastLineMethod(const std::string& name, const std::string& description,
                                                 LineHandler* handler, const std::string& subfeed,
                                                 const std::string& groupAddr, const std::string& addrPort)
    : KeshMethod(name, KESH_METHOD_INFO, description),
      mLh(handler),
      mSubfeed(subfeed),
      mGroupAddr(groupAddr),
      mAddrPort(addrPort)
{
    addResultParamDef(cMessage, cMessageHelp);
}

std::string KeshMulticastLineMethod::lineText() const
{
    return mSubfeed + " (" + mGroupAddr + "/" + mAddrPort + ")";
}

void KeshMulticastLineMethod::apply(bool join, const char* done, const char* already, KeshParamList& out)
{
    if (mLh == nullptr)
        return;
    if (mLh->connected() == join)
    {
        out.add(cMessage, already + lineText());
        return;
    }
    join ? mLh->connect() : mLh->disconnect();
    out.add(cMessage, done + lineText());
}

KeshUnjoinMulticastGroup::KeshUnjoinMulticastGroup(LineHandler* handler, const std::string& subfeed,
                                                   const std::string& groupAddr, const std::string& addrPort)
    : KeshMulticastLineMethod("unjoinMulticastGroup",
                              "UnjoinMulticastGroup is used to leave a previously joined multicast group.", handler,
                              subfeed, groupAddr, addrPort)
{
    addArgParamDef("Group", "Multicast group to leave", "239.1.1.1", true);
    addArgParamDef("GroupPort", "Multicast port to leave", "12345", true);
}

void KeshUnjoinMulticastGroup::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 2);
    if (argument(in, 0) == mGroupAddr && argument(in, 1) == mAddrPort)
        apply(false, "Unjoined: ", "Already unjoined: ", out);
}

KeshRejoinMulticastGroup::KeshRejoinMulticastGroup(LineHandler* handler, const std::string& subfeed,
                                                   const std::string& groupAddr, const std::string& addrPort)
    : KeshMulticastLineMethod("rejoinMulticastGroup",
                              "RejoinMulticastGroup is used to rejoin a previously unjoined multicast group.",
                              handler, subfeed, groupAddr, addrPort)
{
    addArgParamDef("Group", "Multicast group to rejoin", "239.1.1.1", true);
    addArgParamDef("GroupPort", "Multicast port to rejoin", "12345", true);
}

void KeshRejoinMulticastGroup::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 2);
    if (argument(in, 0) == mGroupAddr && argument(in, 1) == mAddrPort)
        apply(true, "Rejoined :", "Already joined: ", out);
}

KeshUnjoinSubfeed::KeshUnjoinSubfeed(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                                     const std::string& addrPort)
    : KeshMulticastLineMethod("unjoinSubfeed",
                              "UnjoinSubfeed is used to cause a subfeed to leave all multicast groups for that "
                              "subfeed.",
                              handler, subfeed, groupAddr, addrPort)
{
    addArgParamDef("Subfeed", "Subfeed to leave multicast groups", "uqdf_ae", true);
}

void KeshUnjoinSubfeed::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1);
    if (argument(in, 0) == mSubfeed)
        apply(false, "Unjoined: ", "Already unjoined: ", out);
}

KeshRejoinSubfeed::KeshRejoinSubfeed(LineHandler* handler, const std::string& subfeed, const std::string& groupAddr,
                                     const std::string& addrPort)
    : KeshMulticastLineMethod("rejoinSubfeed",
                              "RejoinSubfeed is used to cause a subfeed that has previously left multicast groups "
                              "to rejoin all multicast groups for that subfeed.",
                              handler, subfeed, groupAddr, addrPort)
{
    addArgParamDef("Subfeed", "Subfeed to rejoin multicast groups", "uqdf_ae", true);
}

void KeshRejoinSubfeed::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 1);
    if (argument(in, 0) == mSubfeed)
        apply(true, "Rejoined :", "Already joined: ", out);
}

KeshMulticastDisconnect::KeshMulticastDisconnect(LineHandler* handler, const std::string& subfeed,
                                                 const std::string& groupAddr, const std::string& addrPort)
    : KeshMulticastLineMethod("disconnect", "disconnect is used to leave all mutlicast group", handler, subfeed,
                              groupAddr, addrPort)
{
}

void KeshMulticastDisconnect::invoke(const KeshParamList& in, KeshParamList& out)
{
    requireCount(in, 0);
    apply(false, "Disconnected: ", "Already disconnected: ", out);
}
