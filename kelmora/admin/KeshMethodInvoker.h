// Serves one admin method under one subject of the admin session. A request
// is carried to the method's own thread as a thread message (type 1), run
// there, and each reply chunk is carried back to the admin session's thread
// (type 2), which sends it. Without a target session the method runs on the
// delivering thread and replies go out directly. Nothing a method throws
// leaves the invoker: a thread that serves admin requests must live on.
#pragma once

#include "kelmora/runtime/PeerLog.h"
#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/bus/OrluSubscriber.h"

#include <string>
#include <vector>

class KeshMethod;
class KeshParamList;
class Log;
class TarvokSession;

class KeshMethodInvoker : public TarvokMsgHandler, public OrluSubscriber<Zunq::ThreadData>
{
public:
    // The characters a reply record's args field holds.
    static constexpr std::size_t cMaxChunk = 1199;

    KeshMethodInvoker(KeshMethod& method, TarvokSession& session, TarvokSession* targetSession, Log& log,
                      bool logInvoc, bool logInvocResponse, const std::string& keshName);

    // TarvokMsgHandler
    void onMsg(TarvokListener* listener, TarvokOldMsg& msg) override;
    // OrluSubscriber<ThreadData>
    void onData(const Orlu<Zunq::ThreadData>& bus, const std::string& busName, const Zunq::ThreadData& td) override;

    // 1 when the thread message was handed over, else 0. A listener makes it
    // a request to the method's thread; none, a reply to the admin thread.
    int relayToTargetThread(TarvokListener* listener, TarvokOldMsg& msg);
    void invoke(TarvokListener* listener, TarvokOldMsg& msg, bool relayReply);

    // The argument text as "Arg0".."ArgN", cut at `separator`; empty pieces
    // are kept, a trailing empty one is not.
    static void splitArgs(const std::string& args, const std::string& separator, KeshParamList& in);
    // A result as reply texts of at most cMaxChunk characters, cut after the
    // last line feed that fits (which is dropped).
    static std::vector<std::string> chunk(const std::string& result);

private:
    void deliver(TarvokOldMsg& reply, bool relayReply);

    KeshMethod& mMethod;
    TarvokSession& mSession;
    TarvokSession* mTargetSession;
    Log& mLog;
    bool mLogInvoc;
    bool mLogInvocResponse;
    std::string mKeshName;
    // The lines requests cause: on the method's thread (the invocation and
    // its failure) and on the admin session's (the replies).
    PeerLog mRequestLog;
    PeerLog mReplyLog;
};
