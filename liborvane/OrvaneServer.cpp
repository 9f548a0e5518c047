#include "liborvane/OrvaneServer.h"

#include "liborvane/OrvaneRecord.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/thread/OrvaneIpcMsg.h"
#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <set>
#include <utility>

// ---- the session

class OrvaneServerSession::OrvaneServerSessionImpl
{
public:
    OrvaneServerSessionImpl(OrvaneServer& server, OrvaneServerSession& tcpSession, Log& log)
        : mOrvaneServer(server), mTcpSession(tcpSession), mLog(log)
    {
    }

    void fromClient(const char* data, std::size_t len);

    OrvaneServer& mOrvaneServer;
    OrvaneServerSession& mTcpSession;
    std::string mName = "OrvaneServerSessionImpl";
    Log& mLog;
    int mBufPosition = 0;
    char mBuffer[orvane::cRecordSize] = {};
    // What this peer causes in the log.
    PeerLog mPeerLog;
};

void OrvaneServerSession::OrvaneServerSessionImpl::fromClient(const char* data, std::size_t len)
{
    const std::string who = "OrvaneServerSessionImpl::fromClient(" + mName + ")";
    std::size_t need = orvane::cRecordSize - static_cast<std::size_t>(mBufPosition);
    while (len >= need)
    {
        std::memcpy(mBuffer + mBufPosition, data, need);
        data += need;
        len -= need;
        mBufPosition = 0;
        need = orvane::cRecordSize;
        if (const orvane::TextField* bad = orvane::badField(mBuffer))
        {
            // Out of step with the records: whatever follows would be cut in
            // the wrong places, so nothing more of this peer is relayed.
            if (mPeerLog.admit(mLog, who))
                mLog.error() << who << ": record from " << mTcpSession.getConnectionId()
                             << " is out of step: its " << bad->name
                             << " is not terminated text followed by zero bytes ("
                             << ZunqDumpUtils::writePeerBytes(mBuffer + bad->offset, bad->size)
                             << "); not relayed, closing the connection";
            mTcpSession.closeFd();
            return;
        }
        if (mPeerLog.admit(mLog, who))
            mLog.info() << who << ": received orvane " << orvane::describe(mBuffer);
        OrvaneIpcMsg record;
        std::memcpy(&record, mBuffer, sizeof record);
        mOrvaneServer.onOrvaneRequest(record, mTcpSession.getConnectionId().c_str());
        // The relay may have closed this very peer (a failed send).
        if (!mTcpSession.connected())
            return;
    }
    if (len == 0)
        return;
    std::memcpy(mBuffer + mBufPosition, data, len);
    mBufPosition += static_cast<int>(len);
    if (mLog.verboseEnabled())
        mLog.verbose() << who << ": received " << len << " bytes. waiting for extra "
                       << orvane::cRecordSize - static_cast<std::size_t>(mBufPosition) << " bytes.";
}

OrvaneServerSession::OrvaneServerSession(OrvaneServer& server, TarvokSession& session, Log& log)
    : LineMasqueraderLogin(session, log), mImpl(std::make_unique<OrvaneServerSessionImpl>(server, *this, log))
{
}

OrvaneServerSession::~OrvaneServerSession() = default;

void OrvaneServerSession::fromClient(LineData& data)
{
    if (data.getDataLen() == 0)
        return;
    mImpl->fromClient(data.getData(), data.getDataLen());
}

void OrvaneServerSession::onClosed()
{
    OrvaneServerSessionImpl& d = *mImpl;
    d.mLog.info() << "OrvaneServerSessionImpl::onClosed(" << d.mName << "): " << getConnectionId() << " disconnected";
    d.mPeerLog.close(d.mLog, "OrvaneServerSessionImpl::fromClient(" + d.mName + ")");
    d.mBufPosition = 0;
    d.mOrvaneServer.onSessionClosed(*this);
}

void OrvaneServerSession::setName(const std::string& name)
{
    mImpl->mName = name;
}

const std::string& OrvaneServerSession::getName() const
{
    return mImpl->mName;
}

void OrvaneServerSession::closeFd()
{
    LineMasqueraderLogin::closeFd(true);
}

// ---- the hub

class OrvaneServer::OrvaneServerImpl : public TarvokTimerHandler
{
public:
    static constexpr unsigned int cDeleteDelayMs = 1;

    OrvaneServerImpl(OrvaneServer& server, TarvokSession& session, Log& log)
        : mServer(server), mSession(session), mLog(log)
    {
    }
    ~OrvaneServerImpl() override
    {
        if (mDeleteTimerArmed)
            mDeleteTimer.destroy();
    }

    // Deletes the closed sessions; never from inside one of their calls.
    void deleteClosed()
    {
        for (OrvaneServerSession* s : mClosed)
        {
            mSessions.erase(s);
            delete s;
        }
        mClosed.clear();
    }

    void onTimer(TarvokTimer*) override
    {
        mDeleteTimer.destroy();
        mDeleteTimerArmed = false;
        deleteClosed();
    }

    void scheduleDelete()
    {
        if (mDeleteTimerArmed)
            return;
        const TarvokStatus status = mDeleteTimer.create(&mSession, this, cDeleteDelayMs, nullptr);
        if (!status)
        {
            // They go at the next accepted connection instead.
            mLog.error() << "OrvaneServer: no timer to delete closed sessions: the thread holds as many as the "
                            "framework allows (MSG_DISP_FD_NUM + 5); "
                         << mClosed.size() << " closed sessions wait for the next connection: " << status.getContext();
            return;
        }
        mDeleteTimerArmed = true;
    }

    OrvaneServer& mServer;
    TarvokSession& mSession;
    Log& mLog;
    int mMasqId = 0;
    std::map<std::string, OrvaneServerSession*> mClientList;
    // Every session made and not deleted yet, and those of them closed.
    std::set<OrvaneServerSession*> mSessions;
    std::vector<OrvaneServerSession*> mClosed;
    TarvokTimer mDeleteTimer;
    bool mDeleteTimerArmed = false;
    std::string mListenAddress;
};

OrvaneServer::OrvaneServer(TarvokSession& session, Log& log)
    : LineMasqueraderManagerTcp(session, log), mImpl(std::make_unique<OrvaneServerImpl>(*this, session, log))
{
    // A listening resource's name holds at most 10 characters, and must not
    // be another manager's default.
    setFeedName("OrvaneSvr");
}

OrvaneServer::~OrvaneServer()
{
    OrvaneServerImpl& m = *mImpl;
    m.mClientList.clear();
    // Sessions closing here must not schedule anything on the way out.
    std::set<OrvaneServerSession*> all;
    all.swap(m.mSessions);
    m.mClosed.clear();
    for (OrvaneServerSession* s : all)
        delete s;
}

LineMasqueraderTcp* OrvaneServer::create()
{
    OrvaneServerImpl& m = *mImpl;
    // Any left behind by a refused timer.
    if (!m.mDeleteTimerArmed)
        m.deleteClosed();
    m.mLog.info() << "OrvaneServer::create(): creating OrvaneServerSession instanace";
    const std::string name = "OrvaneServerSession_" + std::to_string(m.mMasqId++);
    auto session = std::make_unique<OrvaneServerSession>(*this, m.mSession, m.mLog);
    session->setName(name);
    const int max = getMaxQueueBufferSize();
    session->setMaxQueueBufferSize(max > 0 ? max : cDefaultMaxQueueBufferSize);
    session->setInitialBufferSize(getInitialBufferSize());
    m.mSessions.insert(session.get());
    return session.release();
}

void OrvaneServer::onConnected(const char* connectionId, const LineMasqueraderTcp* masq)
{
    OrvaneServerImpl& m = *mImpl;
    m.mLog.info() << "OrvaneServer::onConnected(): adding " << connectionId << " into orvane client list";
    // Only sessions of this hub are ever passed here.
    m.mClientList[connectionId] = static_cast<OrvaneServerSession*>(const_cast<LineMasqueraderTcp*>(masq));
    m.mLog.info() << "OrvaneServer::onConnected(): total number of clients = " << m.mClientList.size();
}

void OrvaneServer::removeClient(const char* connectionId)
{
    OrvaneServerImpl& m = *mImpl;
    m.mLog.info() << "OrvaneServer::removeClient(): removing " << connectionId << " from orvane client list";
    m.mClientList.erase(connectionId);
    m.mLog.info() << "OrvaneServer::removeClient(): total number of clients = " << m.mClientList.size();
}

void OrvaneServer::onSessionClosed(OrvaneServerSession& session)
{
    OrvaneServerImpl& m = *mImpl;
    if (m.mSessions.count(&session) == 0)
        return;
    // A later session under the same connection id keeps its entry.
    const std::string id = session.getConnectionId();
    auto it = m.mClientList.find(id);
    if (it != m.mClientList.end() && it->second == &session)
        removeClient(id.c_str());
    m.mClosed.push_back(&session);
    m.scheduleDelete();
}

void OrvaneServer::setTcpIpAddress(const std::string& address)
{
    mImpl->mListenAddress = address;
    LineMasqueraderManagerTcp::setTcpIpAddress(address);
}

void OrvaneServer::initListen()
{
    const std::string& address = mImpl->mListenAddress;
    const in_addr_t ip = address.empty() ? INADDR_ANY : resolve_ip(address.c_str());
    if (ip == INADDR_NONE || (ntohl(ip) >> 24) != 127)
        mImpl->mLog.warning() << "OrvaneServer::initListen(): listening on [" << address
                              << "], not on loopback: the admin relay has no login, and anyone who reaches this "
                                 "port can run every admin method of every process on the host";
    LineMasqueraderManagerTcp::initListen();
}

void OrvaneServer::onOrvaneRequest(const OrvaneIpcMsg& record, const char*)
{
    OrvaneServerImpl& m = *mImpl;
    // A failed send closes its peer, which leaves the list during the walk:
    // the walk goes over a copy and skips whoever left meanwhile.
    std::vector<std::pair<std::string, OrvaneServerSession*>> peers(m.mClientList.begin(), m.mClientList.end());
    for (const auto& [id, session] : peers)
    {
        auto it = m.mClientList.find(id);
        if (it == m.mClientList.end() || it->second != session || !session->connected())
            continue;
        if (m.mLog.verboseEnabled())
            m.mLog.verbose() << "OrvaneServer::onOrvaneRequest(): relaying to " << id;
        session->sendTo(reinterpret_cast<const char*>(&record), static_cast<int>(sizeof record), "unspecified");
    }
}

std::size_t OrvaneServer::clientCount() const
{
    return mImpl->mClientList.size();
}

std::vector<std::string> OrvaneServer::clientIds() const
{
    std::vector<std::string> ids;
    for (const auto& entry : mImpl->mClientList)
        ids.push_back(entry.first);
    return ids;
}

std::size_t OrvaneServer::sessionCount() const
{
    return mImpl->mSessions.size();
}
