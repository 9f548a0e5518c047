#include "kelmora/admin/KeshMethodInvoker.h"

#include "kelmora/admin/KeshInterfaceOrvane.h"
#include "kelmora/thread/OrvaneIpcMsg.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokOldMsg.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"
#include "zunq/log/Log.h"

#include <cstring>
#include <cxxabi.h>
#include <exception>

namespace
{

// A field of a received record: never trusts its terminating zero.
template <std::size_t N>
std::string text(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

} // namespace

KeshMethodInvoker::KeshMethodInvoker(KeshMethod& method, TarvokSession& session, TarvokSession* targetSession,
                                     Log& log, bool logInvoc, bool logInvocResponse, const std::string& keshName)
    : OrluSubscriber<Zunq::ThreadData>("KeshMethodInvoker"),
      mMethod(method),
      mSession(session),
      mTargetSession(targetSession),
      mLog(log),
      mLogInvoc(logInvoc),
      mLogInvocResponse(logInvocResponse),
      mKeshName(keshName)
{
}

void KeshMethodInvoker::onMsg(TarvokListener* listener, TarvokOldMsg& msg)
{
    if (mTargetSession == nullptr)
        invoke(listener, msg, false);
    else
        relayToTargetThread(listener, msg);
}

int KeshMethodInvoker::relayToTargetThread(TarvokListener* listener, TarvokOldMsg& msg)
{
    const bool request = listener != nullptr;
    Zunq::ThreadData data;
    data.mDataType = request ? Zunq::ORVANE_REQUEST : Zunq::ORVANE_REPLY;
    data.mDataPtr1 = this;
    data.mDataPtr2 = listener;
    data.mDataSize = sizeof(OrvaneIpcMsg);
    OrvaneIpcMsg record;
    buildOrvaneIpcMsg(msg, record);
    std::memcpy(data.mData, &record, sizeof record);

    Runnable* target = mTargetSession != nullptr ? mTargetSession->getRunnable() : nullptr;
    Runnable* admin = mSession.getRunnable();
    if (target == nullptr || admin == nullptr)
    {
        mLog.warning() << "KeshMethodInvoker::relayToTargetThread(): target session|"
                       << (mTargetSession != nullptr ? "true" : "false") << "| or target runnable not found for "
                       << (request ? "ORVANE_REQUEST" : "ORVANE_REPLY");
        return 0;
    }
    Runnable* sender = request ? admin : target;
    char dst[17];
    (request ? target : admin)->getResourceName(dst);
    // Per call: requests are relayed on the admin thread while replies are
    // relayed on the method's thread, through this same invoker.
    const int rc = sender->sendThreadMessageByThreadName(dst, data, false);
    if (rc != 0)
    {
        std::string subject;
        msg.getSendSubject(subject);
        mLog.error() << "KeshMethodInvoker::relayToTargetThread(): failed to send orvane message|" << subject
                     << "| to thread|" << dst << "|. error|" << rc << "|";
        return 0;
    }
    return 1;
}

void KeshMethodInvoker::onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& td)
{
    if (td.mDataPtr1 != this)
    {
        if (mLog.enabled(LOG_LEVEL_DEBUG))
            mLog.debug() << "KeshMethodInvoker::onData(): orvane not to this KeshMethodInvoker";
        return;
    }
    if (td.mDataSize < sizeof(OrvaneIpcMsg))
        return;
    OrvaneIpcMsg record;
    std::memcpy(&record, td.mData, sizeof record);
    TarvokOldMsg msg;
    msg.setSendSubject(text(record.mSubject));
    msg.setReplySubject(text(record.mReplySubject));
    msg.setKeshName(text(record.mKeshName));
    msg.setMethod(text(record.mMethod));
    msg.setArgs(text(record.mArgs));

    if (td.mDataType == Zunq::ORVANE_REQUEST)
    {
        invoke(static_cast<TarvokListener*>(const_cast<void*>(td.mDataPtr2)), msg, true);
    }
    else if (td.mDataType == Zunq::ORVANE_REPLY)
    {
        if (mReplyLog.admit(mLog, "KeshInterfaceOrvane::reply(" + mKeshName + "::" + mMethod.getName() + ")"))
            mLog.info() << "KeshInterfaceOrvane::reply(" << msg.getKeshName() << "::" << msg.getMethod() << ")";
        mSession.send(msg);
    }
}

void KeshMethodInvoker::splitArgs(const std::string& args, const std::string& separator, KeshParamList& in)
{
    std::string rest = args;
    int i = 0;
    if (!separator.empty())
    {
        for (std::size_t at = rest.find(separator); at != std::string::npos; at = rest.find(separator))
        {
            in.add("Arg" + std::to_string(i++), rest.substr(0, at));
            rest.erase(0, at + separator.size());
        }
    }
    if (!rest.empty())
        in.add("Arg" + std::to_string(i), rest);
}

std::vector<std::string> KeshMethodInvoker::chunk(const std::string& result)
{
    std::vector<std::string> chunks;
    std::string rest = result;
    while (rest.size() > cMaxChunk)
    {
        const std::size_t lf = rest.rfind('\n', cMaxChunk - 1);
        if (lf == std::string::npos)
        {
            chunks.push_back(rest.substr(0, cMaxChunk));
            rest.erase(0, cMaxChunk);
        }
        else
        {
            chunks.push_back(rest.substr(0, lf));
            rest.erase(0, lf + 1);
        }
    }
    if (!rest.empty())
        chunks.push_back(rest);
    return chunks;
}

void KeshMethodInvoker::invoke(TarvokListener*, TarvokOldMsg& msg, bool relayReply)
{
    KeshParamList in;
    KeshParamList out;
    std::string args;
    msg.getArgs(args);
    // Requests come as fast as the requester sends them: their lines are limited.
    const std::string who = "KeshInterfaceOrvane::invoke (" + mKeshName + "::" + mMethod.getName() + ")";
    if (mLogInvoc && !mMethod.getQuiet() && mRequestLog.admit(mLog, who))
        mLog.info() << "KeshInterfaceOrvane::invoke (" << mKeshName << "::" << mMethod.getName() << "," << args << ")";
    splitArgs(args, KeshInterfaceOrvane::getParamSeparator(), in);

    // Whatever the method throws ends here: on the relayed path an escaping
    // exception would end the method's thread. A usage error answers the help,
    // any other failure answers its text.
    try
    {
        mMethod.invoke(in, out);
    }
    catch (const KeshUsageError&)
    {
        std::string help;
        mMethod.getFullHelp(help);
        out.add("Usage", help);
    }
    catch (const abi::__forced_unwind&)
    {
        throw; // thread cancellation must unwind
    }
    catch (const std::exception& e)
    {
        if (mRequestLog.admit(mLog, who))
            mLog.error() << "KeshInterfaceOrvane::invoke (" << mKeshName << "::" << mMethod.getName() << "): failed: "
                         << e.what();
        out.clear();
        out.add("Error", std::string("Error: ") + e.what());
    }
    catch (...)
    {
        mLog.error() << "KeshInterfaceOrvane::invoke (" << mKeshName << "::" << mMethod.getName()
                     << "): failed: unknown exception";
        out.clear();
        out.add("Error", "Error: unknown exception");
    }

    const KeshParam* first = out.getParam(std::size_t{0});
    const std::string result = first != nullptr ? first->getValue() : std::string();
    std::string replySubject;
    msg.getReplySubject(replySubject);
    if (result.empty() || replySubject.empty())
        return;

    TarvokOldMsg reply;
    std::string sendSubject;
    msg.getSendSubject(sendSubject);
    reply.setSendSubject(replySubject);
    reply.setReplySubject(sendSubject);
    reply.setKeshName(mKeshName);
    reply.setMethod(mMethod.getName());
    if (mLog.enabled(LOG_LEVEL_DEBUG))
        mLog.debug() << "KeshInterfaceOrvane::Invoke (" << mKeshName << "::" << mMethod.getName() << "," << args
                     << "): " << result;
    for (const std::string& piece : chunk(result))
    {
        reply.setArgs(piece);
        deliver(reply, relayReply);
    }
}

void KeshMethodInvoker::deliver(TarvokOldMsg& reply, bool relayReply)
{
    if (relayReply)
    {
        relayToTargetThread(nullptr, reply);
        return;
    }
    if (mReplyLog.admit(mLog, "KeshInterfaceOrvane::reply(" + mKeshName + "::" + mMethod.getName() + ")"))
        mLog.info() << "KeshInterfaceOrvane::reply(" << reply.getKeshName() << "::" << reply.getMethod() << ")";
    mSession.send(reply);
}
