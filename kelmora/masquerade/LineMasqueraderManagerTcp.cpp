#include "kelmora/masquerade/LineMasqueraderManagerTcp.h"

#include "kelmora/linehandler/LineError.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "kelmora/masquerade/LineMasqueraderTcp.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralServices/api/FwServices.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netdb.h>
#include <set>

class LineMasqueraderManagerTcpImpl : public LineMasqueraderTcpObserver
{
public:
    // Takes the thread messages that carry a TerminateAll published on
    // another thread, and closes the listener here, on the manager's thread.
    class HopTaker : public OrluSubscriber<Zunq::ThreadData>
    {
    public:
        explicit HopTaker(LineMasqueraderManagerTcp& masqMan)
            : OrluSubscriber<Zunq::ThreadData>("LineMasqueraderManagerTcp"), mMasqMan(masqMan)
        {
        }
        void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& data) override
        {
            if (data.mDataPtr1 == &mMasqMan)
                mMasqMan.closeListen();
        }

    private:
        LineMasqueraderManagerTcp& mMasqMan;
    };

    LineMasqueraderManagerTcpImpl(LineMasqueraderManagerTcp& masqMan, TarvokSession& session, Log& log)
        : mMasqMan(masqMan), mSession(session), mLog(log), mHopTaker(masqMan)
    {
        if (Runnable* owner = session.getRunnable())
        {
            mHopBus = owner->getOrluThreadData(LineMasqueraderManagerTcp::cThreadDataType);
            mHopBus->subscribe(&mHopTaker);
        }
    }

    ~LineMasqueraderManagerTcpImpl() override
    {
        if (mHopBus != nullptr)
            mHopBus->unsubscribe(&mHopTaker);
    }

    // True when the listener's close went to the manager's thread as a
    // thread message; false when the caller is on it (or outside every
    // framework thread, where nothing else runs the manager).
    bool hopped()
    {
        Runnable* owner = mSession.getRunnable();
        Runnable* own = Runnable::current();
        if (owner == nullptr || mHopBus == nullptr || own == nullptr || own == owner)
            return false;
        Zunq::ThreadData data;
        data.mDataType = LineMasqueraderManagerTcp::cThreadDataType;
        data.mDataPtr1 = &mMasqMan;
        char dst[17];
        owner->getResourceName(dst);
        const int rc = own->sendThreadMessageByThreadName(dst, data, false);
        if (rc != 0)
            mLog.error() << "LineMasqueraderManagerTcp: cannot pass the listener's close to thread " << dst
                         << ", error " << rc;
        return true;
    }

    void onConnectionEnded(LineMasqueraderTcp& connection) override
    {
        auto it = mLive.find(&connection);
        if (it == mLive.end())
            return;
        auto count = mClientConnections.find(it->second);
        if (count != mClientConnections.end() && --count->second == 0)
            mClientConnections.erase(count);
        mLive.erase(it);
    }

    // Deletes the closed objects of the default create; never called from
    // inside one of their own callbacks.
    void sweep()
    {
        for (auto it = mOwned.begin(); it != mOwned.end();)
        {
            if ((*it)->connected())
            {
                ++it;
                continue;
            }
            (*it)->setObserver(nullptr);
            delete *it;
            it = mOwned.erase(it);
        }
    }

    [[noreturn]] void fail(const std::string& text)
    {
        mLog.error() << text;
        throw LineError(text);
    }

    void registerServer();

    LineMasqueraderManagerTcp& mMasqMan;
    TarvokSession& mSession;
    Log& mLog;
    std::string mFeedName = "MasqTcpSvr";
    std::string mIpAddress;
    std::string mService;
    bool mLogTcpBuffer = false;
    TCP_CONNECT_STATUS mConnected = TCP_DISCONNECT;
    Orlu<LineData>* mOrluLineData = nullptr;
    unsigned int mSeqNum = 0;
    bool mDeflateData = false;
    int maxBufferSize = 0;
    int mInitalBufferSize = 0;
    unsigned short mMaxConnectionsPerIpAddress = 0;
    // Live connections per client address (dotted IPv4).
    std::map<std::string, unsigned int> mClientConnections;
    // Every live accepted connection and its address.
    std::map<LineMasqueraderTcp*, std::string> mLive;
    // Made by the default create and not yet handed to a client.
    std::set<LineMasqueraderTcp*> mMadeHere;
    // Bound objects of the default create, deleted once closed.
    std::set<LineMasqueraderTcp*> mOwned;
    bool mRegistered = false;
    HopTaker mHopTaker;
    Orlu<Zunq::ThreadData>* mHopBus = nullptr;
};

void LineMasqueraderManagerTcpImpl::registerServer()
{
    if (mService.empty())
        fail(std::string("Invalid (empty) service parameter: ") + std::strerror(errno));
    long port = 0;
    if (const servent* entry = ::getservbyname(mService.c_str(), "tcp"))
    {
        port = ntohs(static_cast<uint16_t>(entry->s_port));
    }
    else
    {
        errno = 0;
        char* end = nullptr;
        port = std::strtol(mService.c_str(), &end, 0);
        // Only the whole text as a port number: "80x" or "70000" is no port.
        if (end == mService.c_str() || *end != '\0' || port < 0 || port > 65535)
            port = 0;
    }
    if (port == 0)
        fail("Invalid service parameter: " + mService + ": " + std::strerror(errno));
    in_addr_t address = 0;
    if (!mIpAddress.empty())
    {
        address = resolve_ip(mIpAddress.c_str());
        if (address == INADDR_NONE)
        {
            mLog.error() << "could not resolve interface parameter: \"" << mIpAddress << "\", using default interface";
            address = 0;
        }
    }
    char dotted[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = address;
    ::inet_ntop(AF_INET, &a, dotted, sizeof dotted);
    mLog.info() << "  interface (resolved): " << dotted;
    mLog.info() << "  service (resolved): " << port;
    if (!mMasqMan.registerTCPServerService(mFeedName.c_str(), dotted, static_cast<int>(port)))
        fail("Failed to register TCP Server [" + mFeedName + "], error = " + std::to_string(NetworkApi::current().getErrorCode()));
    mLog.info() << "Listening for connections...";
    mRegistered = true;
}

LineMasqueraderManagerTcp::LineMasqueraderManagerTcp(TarvokSession& session, Log& log)
    : TCPServerNetworkHandler(session, log), OrluSubscriber<LineData>("LineMasqueraderManagerTcp"),
      OrluSubscriber<TerminateAll>("LineMasqueraderManagerTcp"),
      mImpl(std::make_unique<LineMasqueraderManagerTcpImpl>(*this, session, log))
{
}

LineMasqueraderManagerTcp::~LineMasqueraderManagerTcp()
{
    LineMasqueraderManagerTcpImpl& m = *mImpl;
    for (auto& [connection, address] : m.mLive)
        connection->setObserver(nullptr);
    m.mLive.clear();
    for (LineMasqueraderTcp* connection : m.mOwned)
        delete connection;
    m.mOwned.clear();
    for (LineMasqueraderTcp* connection : m.mMadeHere)
        delete connection;
    m.mMadeHere.clear();
}

LineMasqueraderTcp* LineMasqueraderManagerTcp::create()
{
    LineMasqueraderManagerTcpImpl& m = *mImpl;
    auto connection = std::make_unique<LineMasqueraderTcp>("LineMasqueraderTcp", m.mSession, m.mLog);
    if (m.mDeflateData)
        connection->setDeflateData(true);
    connection->setMaxQueueBufferSize(m.maxBufferSize);
    connection->setInitialBufferSize(m.mInitalBufferSize);
    m.mMadeHere.insert(connection.get());
    return connection.release();
}

void LineMasqueraderManagerTcp::initialize(LineMasqueraderTcp*) {}

void LineMasqueraderManagerTcp::onData(const Orlu<LineData>&, const std::string&, const LineData& data)
{
    const unsigned int seqNum = data.getSeqNum();
    mImpl->mSeqNum = seqNum != 0 ? seqNum : mImpl->mSeqNum + 1;
}

void LineMasqueraderManagerTcp::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    // The listener belongs to the manager's thread; the bus may deliver on
    // another one (the admin method "quit", say).
    if (!mImpl->hopped())
        closeListen();
}

void LineMasqueraderManagerTcp::setFeedName(const std::string& name)
{
    mImpl->mFeedName = name;
}

void LineMasqueraderManagerTcp::setTcpIpAddress(const std::string& address)
{
    mImpl->mIpAddress = address;
}

void LineMasqueraderManagerTcp::setTcpService(const std::string& service)
{
    mImpl->mService = service;
}

void LineMasqueraderManagerTcp::setLogTcpBuffer(bool on)
{
    mImpl->mLogTcpBuffer = on;
}

void LineMasqueraderManagerTcp::setDeflateData(bool on)
{
    mImpl->mDeflateData = on;
}

bool LineMasqueraderManagerTcp::getDeflateData() const
{
    return mImpl->mDeflateData;
}

void LineMasqueraderManagerTcp::setOrluLineData(Orlu<LineData>* orlu)
{
    // Connections subscribe and unsubscribe on this thread, so it must be
    // the thread that publishes the bus (or start-up, before any publishes).
    Runnable* caller = Runnable::current();
    Runnable* own = mImpl->mSession.getRunnable();
    if (caller != nullptr && own != nullptr && caller != own)
        mImpl->mLog.error() << "LineMasqueraderManagerTcp::setOrluLineData(): called on thread " << caller->getName()
                            << ", not on the manager's thread " << own->getName()
                            << "; the bus must be published on the manager's thread";
    mImpl->mOrluLineData = orlu;
}

void LineMasqueraderManagerTcp::initListen()
{
    LineMasqueraderManagerTcpImpl& m = *mImpl;
    // One registration: the framework refuses a second one of the same name.
    if (!m.mRegistered)
        m.registerServer();
    switch (m.mConnected)
    {
    case TCP_READY_CONNECT:
        m.mLog.info() << "LineMasqueraderManagerTcp::initListen(): Listening for connections... port: " << m.mService;
        startListenService(m.mFeedName.c_str());
        m.mConnected = TCP_CONNECT;
        break;
    case TCP_CONNECT:
        m.mLog.info() << "LineMasqueraderManagerTcp::initListen(): Already listening for connections... port: "
                      << m.mService;
        break;
    default:
        m.mConnected = TCP_DELAY_CONNECT;
        break;
    }
}

void LineMasqueraderManagerTcp::closeListen()
{
    LineMasqueraderManagerTcpImpl& m = *mImpl;
    m.mLog.info() << "LineMasqueraderManagerTcp::closeListen(): called, closing sockets.";
    if (m.mConnected == TCP_DELAY_CONNECT)
    {
        m.mConnected = TCP_DISCONNECT;
    }
    else if (m.mConnected == TCP_CONNECT)
    {
        TCPServerNetworkHandler::disconnectService(m.mFeedName.c_str());
        m.mConnected = TCP_READY_CONNECT;
    }
}

void LineMasqueraderManagerTcp::setSeqNum(unsigned int seqNum)
{
    mImpl->mSeqNum = seqNum;
}

void LineMasqueraderManagerTcp::setMaxQueueBufferSize(int size)
{
    mImpl->maxBufferSize = size;
}

int LineMasqueraderManagerTcp::getMaxQueueBufferSize()
{
    return mImpl->maxBufferSize;
}

void LineMasqueraderManagerTcp::setInitialBufferSize(int size)
{
    mImpl->mInitalBufferSize = size;
}

int LineMasqueraderManagerTcp::getInitialBufferSize()
{
    return mImpl->mInitalBufferSize;
}

void LineMasqueraderManagerTcp::onReadyToConnect()
{
    LineMasqueraderManagerTcpImpl& m = *mImpl;
    if (m.mConnected == TCP_DELAY_CONNECT)
    {
        m.mLog.info() << "LineMasqueraderManagerTcp::onReadyToConnect() : Listening for connections... port: "
                      << m.mService;
        startListenService(m.mFeedName.c_str());
        m.mConnected = TCP_CONNECT;
    }
    else if (m.mConnected != TCP_CONNECT)
    {
        m.mConnected = TCP_READY_CONNECT;
    }
}

void LineMasqueraderManagerTcp::onConnectFail()
{
    mImpl->fail(std::string("bind() failed: ") + std::strerror(errno));
}

void LineMasqueraderManagerTcp::onNewConnect(EventMsg* event)
{
    LineMasqueraderManagerTcpImpl& m = *mImpl;
    m.sweep();
    if (m.mLog.verboseEnabled())
        m.mLog.verbose() << "LineMasqueraderManagerTcpImpl(" << m.mIpAddress << ":" << m.mService
                         << "): received client event";
    char resourceName[17] = {};
    std::memcpy(resourceName, event->eventParam.resNameTxt, 16);
    in_addr peer{};
    peer.s_addr = static_cast<in_addr_t>(event->eventParam.paramInt32);
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer, address, sizeof address);
    const unsigned int port = ntohs(static_cast<uint16_t>(event->eventParam.paramInt16));
    char id[256];
    std::snprintf(id, sizeof id, "%s:%u", address, port);
    const std::string connectionId = id;

    // The framework keeps a listening socket open after closeListen's
    // request; a client it still accepts then is refused here.
    LineMasqueraderTcp* connection = m.mConnected == TCP_CONNECT ? create() : nullptr;
    if (connection == nullptr)
    {
        m.mLog.info() << "LineMasqueraderManagerTcpImp::onNewConnect(): not currently accepting connections, "
                         "connection from IP Address rejected ["
                      << address << "] - Closing socket.";
        TCPServerNetworkHandler::disconnectService(resourceName);
        return;
    }
    if (m.mMadeHere.erase(connection) != 0)
        m.mOwned.insert(connection);
    if (m.mLogTcpBuffer)
        connection->setLogTcpBuffer(true);
    initialize(connection);
    connection->setConnection(resourceName, connectionId);
    connection->setSeqNum(m.mSeqNum);
    if (m.mOrluLineData != nullptr)
    {
        m.mOrluLineData->subscribe(connection);
        connection->setOrluLineData(m.mOrluLineData);
    }
    m.mLive[connection] = address;
    const unsigned int live = ++m.mClientConnections[address];
    connection->setObserver(&m);
    if (!registerAcceptedClient(resourceName, connection))
    {
        m.mLog.error() << "LineMasqueraderManagerTcpImp::onNewConnect(): cannot take over connection ["
                       << resourceName << "] from " << connectionId << " - Closing socket.";
        connection->setAccepted(false);
        connection->closeFd(true);
        return;
    }
    if (m.mMaxConnectionsPerIpAddress != 0 && live > m.mMaxConnectionsPerIpAddress)
    {
        m.mLog.info() << "LineMasqueraderManagerTcpImp::onNewConnect(): Too many connection attempts [" << live
                      << "] from IP Address [" << address << "] - Closing socket.";
        connection->setAccepted(false);
        connection->closeFd(true);
        return;
    }
    connection->setAccepted(true);
    m.mLog.info() << "LineMasqueraderManagerTcpImp::onNewConnect(): accepted connection from " << connectionId;
    onConnected(connectionId.c_str(), connection);
}

void LineMasqueraderManagerTcp::onConnected(const char*, const LineMasqueraderTcp*) {}

void LineMasqueraderManagerTcp::removeClient(const char*) {}

void LineMasqueraderManagerTcp::setMaxConnectionsPerIpAddress(unsigned short max)
{
    mImpl->mMaxConnectionsPerIpAddress = max;
}

TCP_CONNECT_STATUS LineMasqueraderManagerTcp::getListenState() const
{
    return mImpl->mConnected;
}

unsigned int LineMasqueraderManagerTcp::getSeqNum() const
{
    return mImpl->mSeqNum;
}

unsigned int LineMasqueraderManagerTcp::liveConnections(const std::string& address) const
{
    auto it = mImpl->mClientConnections.find(address);
    return it != mImpl->mClientConnections.end() ? it->second : 0;
}

std::size_t LineMasqueraderManagerTcp::closedAwaitingDelete() const
{
    std::size_t n = 0;
    for (LineMasqueraderTcp* connection : mImpl->mOwned)
        n += !connection->connected();
    return n;
}
