#include "kelmora/linehandler/LineHandlerMulticast.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerSupport.h"
#include "kelmora/linehandler/NetworkApi.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/Time.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{
const char* const cPublisherName = "LineHandlerMulticast";

bool isClassD(const std::string& group)
{
    const long first = std::strtol(group.c_str(), nullptr, 10);
    return first >= 224 && first <= 239;
}
} // namespace

class LineHandlerMulticastImpl
{
public:
    LineHandlerMulticastImpl(LineHandlerMulticast& handler, LineDataFactory& factory, Log& log)
        : mHandler(handler), mFactory(factory), mLog(log), mLineData(factory.create())
    {
        // One inflater for the handler's life, reset per datagram: each
        // datagram still inflates on its own, with no allocation per datagram.
        mZReady = inflateInit(&mZ) == Z_OK;
    }
    ~LineHandlerMulticastImpl()
    {
        if (mZReady)
            inflateEnd(&mZ);
        mFactory.destroy(mLineData);
    }

    // The datagram into mData; its length, or -1 when it is dropped.
    long fill(const char* data, unsigned int length);
    void process(unsigned int length);
    bool join(const char* who);
    void drop() { ++mDropped; }
    // Whether a line the senders caused is written: anyone who reaches the
    // group could otherwise fill the log.
    bool peerLine() { return mPeerLog.admit(mLog, "LineHandlerMulticast (" + mHandler.LineHandler::getFeedName() + ")"); }
    void publishAdmin(MsgPubAdmin::Action action)
    {
        if (!mSendPubFlushMsg)
            return;
        mMsgPubAdmin.setAction(action);
        mHandler.OrluPublisher<MsgPubAdmin>::publish(mMsgPubAdmin);
    }

    LineHandlerMulticast& mHandler;
    LineDataFactory& mFactory;
    Log& mLog;
    std::string mMcGroup;
    in_addr mMcInterface{};
    int mMcPort = 0;
    int mUdpBufferSize = LineHandlerMulticast::cDefaultUdpBufferSize;
    long mMaxReadsPerChance = 10;
    bool mDataIsCompressed = false;
    bool mCheckForClassD = false;
    char mData[LineHandlerMulticast::cBufferSize];
    LineHandlerMulticast::MC_CONNECT_STATUS mConnected = LineHandlerMulticast::MC_DISCONNECT;
    Time mLatencyEnd;
    MsgPubAdmin mMsgPubAdmin;
    bool mSendPubFlushMsg = false;
    LineData* mLineData;
    z_stream mZ{};
    bool mZReady = false;
    std::uint64_t mDropped = 0;
    PeerLog mPeerLog;
};

long LineHandlerMulticastImpl::fill(const char* data, unsigned int length)
{
    if (!mDataIsCompressed)
    {
        if (length > sizeof mData)
        {
            // Cutting it would publish a message that never was.
            if (peerLine())
                mLog.warning() << "LineHandlerMulticast::onNetworkData(): datagram of " << length
                               << " bytes exceeds the buffer of " << sizeof mData << " bytes; dropped";
            return -1;
        }
        std::memcpy(mData, data, length);
        return length;
    }
    int result = Z_MEM_ERROR;
    if (mZReady && inflateReset(&mZ) == Z_OK)
    {
        mZ.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        mZ.avail_in = length;
        mZ.next_out = reinterpret_cast<Bytef*>(mData);
        mZ.avail_out = sizeof mData;
        result = inflate(&mZ, Z_FINISH);
        if (result == Z_STREAM_END)
            result = Z_OK;
        else if (result == Z_NEED_DICT)
            result = Z_DATA_ERROR;
        else if (result == Z_BUF_ERROR || result == Z_OK)
            // Output full: more than the buffer; otherwise the input ended early.
            result = mZ.avail_out == 0 ? Z_BUF_ERROR : Z_DATA_ERROR;
    }
    switch (result)
    {
    case Z_OK:
    {
        const unsigned int inflated = sizeof mData - mZ.avail_out;
        const void* nul = std::memchr(mData, 0, inflated);
        return nul != nullptr ? static_cast<const char*>(nul) - mData : long(inflated);
    }
    case Z_MEM_ERROR:
        mLog.warning() << "LineHandlerMulticast: uncompress(): not enough memory";
        return -1;
    case Z_BUF_ERROR:
        if (peerLine())
            mLog.warning() << "LineHandlerMulticast: uncompress(): not enough buffer space";
        return -1;
    default:
        if (peerLine())
            mLog.warning() << "LineHandlerMulticast: uncompress(): corrupt data";
        return -1;
    }
}

void LineHandlerMulticastImpl::process(unsigned int length)
{
    LineData& record = *mLineData;
    record.setLineTimeNow();
    record.setData(mData, length);
    mHandler.save(record);
    mHandler.check(record);
    mHandler.OrluPublisher<LineData>::publish(record);
    if (mHandler.getLogInternalLatencyPerPacket())
        linehandler::logPacketLatency(mLog, "LineHandlerMulticast", record, mLatencyEnd, length);
}

bool LineHandlerMulticastImpl::join(const char* who)
{
    const std::string& feed = mHandler.getFeedName();
    if (mHandler.joinMulticastService(feed.c_str()))
    {
        mLog.info() << "LineHandlerMulticast::" << who << "(): " << feed << " joined multicast stream successfully";
        mConnected = LineHandlerMulticast::MC_CONNECT;
        return true;
    }
    mLog.error() << "LineHandlerMulticast::" << who << "(): " << feed << " failed to join multicast stream";
    mConnected = LineHandlerMulticast::MC_READY_CONNECT;
    return false;
}

LineHandlerMulticast::LineHandlerMulticast(LineDataFactory& factory, TarvokSession& session, Log& log)
    : LineHandler(&factory, session, log), UDPNetworkHandler(session, log), OrluPublisher<MsgPubAdmin>(cPublisherName),
      mImpl(std::make_unique<LineHandlerMulticastImpl>(*this, factory, log))
{
}

LineHandlerMulticast::~LineHandlerMulticast()
{
    disconnect();
    // Datagrams handed in while the line never joined count too.
    mImpl->mPeerLog.close(mLog, "LineHandlerMulticast (" + getFeedName() + ")");
}

void LineHandlerMulticast::setName(const std::string& name)
{
    LineHandler::setName(name);
}

void LineHandlerMulticast::setUdpBufferSize(long size)
{
    mImpl->mUdpBufferSize = static_cast<int>(size);
}

void LineHandlerMulticast::setReadsPerIoEvent(long reads)
{
    mImpl->mMaxReadsPerChance = reads;
}

void LineHandlerMulticast::setDataIsCompressed(bool on)
{
    mImpl->mDataIsCompressed = on;
}

void LineHandlerMulticast::setCheckForClassD(bool on)
{
    mImpl->mCheckForClassD = on;
}

void LineHandlerMulticast::setSendPubFlushMsg(bool on)
{
    mImpl->mSendPubFlushMsg = on;
}

LineHandlerMulticast::MC_CONNECT_STATUS LineHandlerMulticast::getConnectStatus() const
{
    return mImpl->mConnected;
}

std::uint64_t LineHandlerMulticast::getDroppedCount() const
{
    return mImpl->mDropped;
}

void LineHandlerMulticast::setMulticastParams(const std::string& interface, const std::string& group,
                                              const std::string& service)
{
    setMulticastParams(interface, group, service, true);
}

void LineHandlerMulticast::setMulticastParams(const std::string& interface, const std::string& group,
                                              const std::string& service, bool connectOnInit)
{
    LineHandlerMulticastImpl& d = *mImpl;
    d.mMcGroup = group;
    d.mMcInterface.s_addr = htonl(INADDR_ANY);
    if (!interface.empty())
    {
        const in_addr_t resolved = resolve_ip(interface.c_str());
        if (resolved == INADDR_NONE)
            mLog.error() << "could not resolve multicast interface parameter: \"" << interface
                         << "\", using default interface";
        else
            d.mMcInterface.s_addr = resolved;
    }

    if (service.empty())
    {
        const char* text = "Invalid (empty) multicast service parameter.";
        mLog.error() << text;
        throw LineError(text);
    }
    const long port = linehandler::resolveService(service);
    if (port == 0)
    {
        const std::string text = "Invalid multicast service parameter: \"" + service + "\"";
        mLog.error() << text;
        throw LineError(text);
    }
    d.mMcPort = static_cast<int>(port);

    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &d.mMcInterface, address, sizeof address);
    mLog.info() << "  interface (resolved): " << address;
    mLog.info() << "  service (resolved): " << d.mMcPort;
    d.mLineData->setSource(group.c_str(), d.mMcPort);

    const std::string& feed = getFeedName();
    std::strncpy(mFeedName, feed.c_str(), sizeof mFeedName - 1);
    bool registered = false;
    if (d.mCheckForClassD && !isClassD(group))
    {
        // Directed UDP: the framework's multicast receiver takes group
        // addresses only, so the unicast address goes to a point-to-point receiver.
        in_addr destination{};
        registered = ::inet_pton(AF_INET, group.c_str(), &destination) == 1 &&
                     registerUdpService(feed.c_str(), d.mMcInterface, d.mMcPort, destination, d.mUdpBufferSize,
                                        P2P_RECEIVER_MODE);
    }
    else
        registered = registerMulticastService(feed.c_str(), d.mMcInterface, group, d.mMcPort, d.mUdpBufferSize,
                                              MULTICAST_RECEIVER_MODE);
    if (!registered)
    {
        const std::string text = "Failed to register multicast receiver [" + feed +
                                 "], error = " + std::to_string(NetworkApi::current().getErrorCode());
        mLog.error() << text;
        throw LineError(text);
    }
    if (connectOnInit)
        connect();
    else
        mLog.info() << "LineHandlerMulticast: NOT joining multicast group (ConnectOnInit==false)";
}

void LineHandlerMulticast::connect()
{
    LineHandlerMulticastImpl& d = *mImpl;
    const std::string& feed = getFeedName();
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &d.mMcInterface, address, sizeof address);
    if (d.mCheckForClassD && !isClassD(d.mMcGroup))
    {
        mLog.info() << "LineHandlerMulticast: listening for Directed UDP:";
        mLog.info() << "  feed name: " << feed;
        mLog.info() << "  interface: " << address;
        mLog.info() << "  address:   " << d.mMcGroup;
        mLog.info() << "  service:   " << d.mMcPort;
        return;
    }
    mLog.info() << "LineHandlerMulticast: joining multicast feed: " << feed << " interface: " << address
                << " group: " << d.mMcGroup << " service: " << d.mMcPort;
    switch (d.mConnected)
    {
    case MC_READY_CONNECT:
        d.join("connect");
        break;
    case MC_CONNECT:
        // Forgetting the membership here would make a later disconnect() not leave.
        mLog.info() << "LineHandlerMulticast::connect(): " << feed << " already joined; membership kept";
        break;
    default:
        d.mConnected = MC_DELAY_CONNECT;
        break;
    }
}

void LineHandlerMulticast::onReadyToConnect()
{
    LineHandlerMulticastImpl& d = *mImpl;
    if (d.mConnected == MC_DELAY_CONNECT)
        d.join("onReadyToConnect");
    else
        d.mConnected = MC_READY_CONNECT;
}

void LineHandlerMulticast::disconnect()
{
    LineHandlerMulticastImpl& d = *mImpl;
    if (d.mConnected != MC_CONNECT)
        return;
    d.mPeerLog.close(mLog, "LineHandlerMulticast (" + getFeedName() + ")");
    leaveMulticastService(getFeedName().c_str());
    d.mConnected = MC_READY_CONNECT;
}

bool LineHandlerMulticast::connected() const
{
    return mImpl->mConnected == MC_CONNECT;
}

void LineHandlerMulticast::onLineDown(const std::string&, LineStatus::StatusType, bool)
{
}

void LineHandlerMulticast::onNetworkData(const char* data, unsigned int length)
{
    LineHandlerMulticastImpl& d = *mImpl;
    d.publishAdmin(MsgPubAdmin::START_BATCH);
    try
    {
        const long filled = d.fill(data, length);
        if (filled < 0)
            d.drop();
        else if (filled == 0)
        {
            // Anyone who reaches the group could otherwise force a leave and
            // rejoin, losing the data that arrives meanwhile.
            d.drop();
            if (d.peerLine())
                mLog.warning() << "LineHandlerMulticast::onNetworkData(): empty datagram on " << getFeedName()
                               << " dropped";
        }
        else
        {
            try
            {
                d.process(static_cast<unsigned int>(filled));
            }
            catch (std::invalid_argument& e)
            {
                d.drop();
                if (d.peerLine())
                    mLog.warning() << "LineHandlerMulticast::read(): " << e.what() << "; data=("
                                   << ZunqDumpUtils::writePeerBytes(d.mData, static_cast<std::size_t>(filled)) << ")";
            }
        }
    }
    catch (...)
    {
        d.publishAdmin(MsgPubAdmin::FLUSH);
        throw;
    }
    d.publishAdmin(MsgPubAdmin::FLUSH);
}

void LineHandlerMulticast::onLineEof(LineEof& e)
{
    lineEof(e);
}

void LineHandlerMulticast::onLineError(LineError& e)
{
    lineError(e);
}

void LineHandlerMulticast::onLineConnectError(LineConnectError& e)
{
    lineConnectError(e);
}

void LineHandlerMulticast::onLineTerminate(LineTerminate& e)
{
    lineTerminate(e);
}

void LineHandlerMulticast::onInvalidArg(std::invalid_argument& e)
{
    invalidArg(e);
}
