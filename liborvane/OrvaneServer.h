// The admin relay hub: a TCP listener (by default 127.0.0.1 port 13888)
// whose every accepted connection gets an OrvaneServerSession. Each whole
// 1451-byte record a session receives is relayed unchanged to every
// connected peer, the sender included, in ascending order of connection id.
// The hub reads nothing of a record: requests and replies travel alike and
// each peer picks what concerns it.
//
// The relay has no login: the port must stay local, and a listen address
// other than loopback is warned about at start. A peer that stops reading
// is closed once its queue passes the maximum queue size (when that is 0,
// cDefaultMaxQueueBufferSize). Closed sessions are deleted on a later turn
// of the thread's loop, never while a call on them is under way.
//
// Runs on the thread of its session; nothing is locked.
#pragma once

#include "kelmora/masquerade/LineMasqueraderLogin.h"
#include "kelmora/masquerade/LineMasqueraderManagerTcp.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct OrvaneIpcMsg;
class OrvaneServer;

class OrvaneServerSession : public LineMasqueraderLogin
{
public:
    class OrvaneServerSessionImpl;

    OrvaneServerSession(OrvaneServer& server, TarvokSession& session, Log& log);
    ~OrvaneServerSession() override;

    // Joins the client's bytes into records; each whole one goes to the hub.
    void fromClient(LineData& data) override;
    void onClosed() override;

    void setName(const std::string& name);
    const std::string& getName() const;
    // Closes the connection (the framework closes the socket).
    void closeFd();
    using LineMasqueraderLogin::closeFd;

private:
    std::unique_ptr<OrvaneServerSessionImpl> mImpl;
};

class OrvaneServer : public LineMasqueraderManagerTcp
{
public:
    class OrvaneServerImpl;

    // The bound of a peer's queue when the configured maximum is 0 (none).
    static constexpr int cDefaultMaxQueueBufferSize = 16 * 1024 * 1024;

    OrvaneServer(TarvokSession& session, Log& log);
    ~OrvaneServer() override;

    LineMasqueraderTcp* create() override;
    void onConnected(const char* connectionId, const LineMasqueraderTcp* masq) override;
    void removeClient(const char* connectionId) override;
    void setTcpIpAddress(const std::string& address) override;
    void initListen() override;

    // Sends the record to every peer of the client list; `connectionId`
    // names the sender.
    void onOrvaneRequest(const OrvaneIpcMsg& record, const char* connectionId);
    // A session closed: it leaves the client list (unless a later session
    // holds its connection id) and is deleted on a later turn of the loop.
    void onSessionClosed(OrvaneServerSession& session);

    std::size_t clientCount() const;
    std::vector<std::string> clientIds() const;
    // Sessions alive, closed ones not yet deleted included.
    std::size_t sessionCount() const;

private:
    std::unique_ptr<OrvaneServerImpl> mImpl;
};
