// The remote-administration client of a host process: a TCP line to the
// local relay hub that never logs in and never sends heartbeats. It joins
// the hub's byte stream into 1451-byte admin records and executes each
// against the admin listeners of its session (a subject without listeners is
// dropped); replies leave through this same line (the session calls sendTo
// with a whole record). When its thread switches to active it runs the
// configured failover actions: touch files and admin commands executed in
// this process, with the database failover let through once only.
//
// A record whose text fields are not NUL-terminated text followed by zero
// bytes means the stream is out of step: it is logged with the peer's bytes
// and the connection is bounced, so nothing misframed is ever executed.
//
// The code lives in the relay library; everything runs on the session's
// thread and nothing is locked.
#pragma once

#include "kelmora/bus/OrvaneConnected.h"
#include "kelmora/linehandler/LineHandlerLogin.h"
#include "kelmora/thread/ThreadData.h"
#include "zunq/admin/DroskUtils.h"
#include "zunq/bus/Orlu.h"

#include <memory>
#include <string>

struct OrvaneIpcMsg;

class OrvaneClient : public LineHandlerLogin,
                     public OrluSubscriber<Zunq::ThreadStatus>,
                     public OrluPublisher<OrvaneConnected>
{
public:
    class OrvaneClientImpl;

    static constexpr const char* cDatabaseFailoverSubject = "orvane.all.databasefailover";
    static constexpr const char* cDatabaseProcess = "postgres";

    OrvaneClient(LineDataFactory& factory, TarvokSession& session, Log& log);
    ~OrvaneClient() override;

    void onTcpConnect() override;
    void onTcpDisconnect() override;
    void onNetworkData(const char* data, unsigned int len) override;

    // Only THD_SW_ACTIVE has an effect: the failover actions run.
    void onData(const Orlu<Zunq::ThreadStatus>& orlu, const std::string& name,
                const Zunq::ThreadStatus& status) override;
    // Parse and keep the list; a list kept before is freed. A malformed text
    // keeps no list (the parser says why).
    virtual void setFailoverActions(const std::string& text);
    virtual void setDRFailoverActions(const std::string& text);

    // The DR list when DR mode is on and the list holds an action, else the
    // normal list.
    DroskUtils::KeshCmd** getFailoverActionsContext() const;
    void runActions(DroskUtils::KeshCmd** list);
    void runTouchAction(const DroskUtils::KeshCmd* cmd);
    bool validateSendAction(const DroskUtils::KeshCmd* cmd);
    // Runs a record against the session's listeners, as if it had come from
    // the hub.
    void executeOrvaneCommand(const OrvaneIpcMsg& record);

    void setDRActive(bool on) { mDRActive = on; }
    bool getDatabaseFailedOver() const { return mDatabaseFailedOver; }
    bool getDatabaseOrvanesSent() const { return mDatabaseOrvanesSent; }
    // Bytes of a record received so far.
    int bufferedBytes() const;

private:
    std::unique_ptr<OrvaneClientImpl> mImpl;
    bool mDRActive = false;
    bool mDatabaseFailedOver = false;
    bool mDatabaseOrvanesSent = false;
    DroskUtils::KeshCmd** mFailoverActions = nullptr;
    DroskUtils::KeshCmd** mDRFailoverActions = nullptr;
};
