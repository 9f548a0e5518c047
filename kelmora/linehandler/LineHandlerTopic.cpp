#include "kelmora/linehandler/LineHandlerTopic.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/runtime/PeerLog.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerSupport.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"
#include "zunq/time/Time.h"

#include <cstdlib>
#include <cstring>

namespace
{
const char* const cPublisherName = "LineHandlerTopic";

int servicePort(Log& log, const std::string& service, const char* what)
{
    if (service.empty())
    {
        const std::string text = std::string("Invalid (empty) multicast ") + what + "service parameter.";
        log.error() << text;
        throw std::invalid_argument(text);
    }
    const long port = linehandler::resolveService(service);
    if (port == 0)
    {
        const std::string text = std::string("Invalid multicast ") + what + "service parameter: \"" + service + "\"";
        log.error() << text;
        throw std::invalid_argument(text);
    }
    return static_cast<int>(port);
}
} // namespace

class LineHandlerTopicImpl
{
public:
    LineHandlerTopicImpl(LineHandlerTopic& handler, LineDataFactory& factory, Log& log)
        : mHandler(handler), mFactory(factory), mLog(log), mLineData(factory.create()),
          mData(new char[LineHandlerTopic::cMaxMessage])
    {
    }
    ~LineHandlerTopicImpl() { mFactory.destroy(mLineData); }

    void publishAdmin(MsgPubAdmin::Action action)
    {
        if (!mSendPubFlushMsg)
            return;
        mMsgPubAdmin.setAction(action);
        mHandler.OrluPublisher<MsgPubAdmin>::publish(mMsgPubAdmin);
    }
    void process(const char* data, unsigned int length);
    std::string detail(const EventMsg& e) const
    {
        const EventParam& p = e.eventParam;
        char app[sizeof p.appIdTxt + 1] = {};
        std::memcpy(app, p.appIdTxt, sizeof p.appIdTxt);
        return "| evt|" + std::to_string(p.paramInt16) + ", " + std::to_string(p.paramInt32) + ", " +
               std::to_string(p.paramInt64) + ", " + app + "|";
    }

    LineHandlerTopic& mHandler;
    LineDataFactory& mFactory;
    Log& mLog;
    LineData* mLineData;
    std::string mMcGroup;
    int mMcPort = 0;
    long mUdpBufferSize = 262144;
    long mMaxReadsPerChance = 10;
    bool mCheckForClassD = false;
    std::unique_ptr<char[]> mData;
    // Lines the publishers' records cause.
    PeerLog mPeerLog;
    LineHandlerTopic::MC_CONNECT_STATUS mConnected = LineHandlerTopic::MC_DISCONNECT;
    std::string mTopic;
    std::string mMcAckGroup;
    int mMcAckPort = 0;
    Time mLatencyEnd;
    MsgPubAdmin mMsgPubAdmin;
    bool mSendPubFlushMsg = true;
    long mChannelId = 0;
    MsgZunqPublisher* mMsgZunqPublisher = nullptr;
    LineMonitor* mLineMonitor = nullptr;
    bool mReceivedData = false;
};

void LineHandlerTopicImpl::process(const char* data, unsigned int length)
{
    if (length > LineHandlerTopic::cMaxMessage)
        // The length is what went wrong; errno says nothing here.
        throw LineError("read() failed, message of " + std::to_string(length) + " bytes exceeds " +
                        std::to_string(LineHandlerTopic::cMaxMessage) + " bytes");
    LineData& record = *mLineData;
    record.setReadQuorDataTimeNow();
    if (length == 0)
    {
        mLog.info() << "LineHandlerTopic::onTopicData(): end-of-file reached";
        throw LineEof();
    }
    std::memcpy(mData.get(), data, length);
    if (!mReceivedData)
    {
        mHandler.setLineStatus(LineStatus::UP);
        if (mLineMonitor != nullptr)
            mLineMonitor->setQualityInterval(0);
        mReceivedData = true;
    }
    try
    {
        // The read time serves as the line time: one clock read per message,
        // the two stamps a copy apart.
        record.setLineTime(record.getReadQuorDataTime());
        record.setData(mData.get(), length);
        mHandler.save(record);
        mHandler.LineHandler::OrluPublisher<LineData>::publish(record);
        if (mHandler.getLogInternalLatencyPerPacket())
            linehandler::logPacketLatency(mLog, "LineHandlerTopic", record, mLatencyEnd, length);
    }
    catch (std::invalid_argument& e)
    {
        if (mPeerLog.admit(mLog, "LineHandlerTopic (" + mHandler.LineHandler::getName() + ")"))
            mLog.warning() << "LineHandlerTopic::read(): " << e.what() << "; data=("
                           << ZunqDumpUtils::writePeerBytes(mData.get(), length) << ")";
    }
}

LineHandlerTopic::LineHandlerTopic(LineDataFactory& factory, TarvokSession& session, Log& log)
    : LineHandler(&factory, session, log), TopicHandler(session, log), OrluPublisher<MsgPubAdmin>(cPublisherName),
      OrluSubscriber<Zunq::ThreadStatus>(cPublisherName),
      mImpl(std::make_unique<LineHandlerTopicImpl>(*this, factory, log))
{
}

LineHandlerTopic::~LineHandlerTopic()
{
    disconnect();
    // The thread's status channel would otherwise call a freed handler.
    if (Runnable* runnable = getTarvokSession().getRunnable())
        runnable->getOrluThreadStatus()->unsubscribe(this);
}

void LineHandlerTopic::setName(const std::string& name)
{
    LineHandler::setName(name);
}

void LineHandlerTopic::setUdpBufferSize(long size)
{
    mImpl->mUdpBufferSize = size;
}

void LineHandlerTopic::setReadsPerIoEvent(long reads)
{
    mImpl->mMaxReadsPerChance = reads;
}

void LineHandlerTopic::setCheckForClassD(bool on)
{
    mImpl->mCheckForClassD = on;
}

void LineHandlerTopic::setSendPubFlushMsg(bool on)
{
    mImpl->mSendPubFlushMsg = on;
}

void LineHandlerTopic::setLineMonitor(LineMonitor* monitor)
{
    mImpl->mLineMonitor = monitor;
}

void LineHandlerTopic::setMsgRecoveryOption(long channelId, MsgZunqPublisher* publisher)
{
    mImpl->mChannelId = channelId;
    mImpl->mMsgZunqPublisher = publisher;
}

LineHandlerTopic::MC_CONNECT_STATUS LineHandlerTopic::getConnectStatus() const
{
    return mImpl->mConnected;
}

const std::string& LineHandlerTopic::getTopic() const
{
    return mImpl->mTopic;
}

int LineHandlerTopic::getPort() const
{
    return mImpl->mMcPort;
}

int LineHandlerTopic::getAckPort() const
{
    return mImpl->mMcAckPort;
}

void LineHandlerTopic::setTopicParams(const std::string& topic, const std::string& group, const std::string& service,
                                      const std::string& ackGroup, const std::string& ackService,
                                      const std::uint64_t& startingSeqNum)
{
    LineHandlerTopicImpl& d = *mImpl;
    d.mTopic = topic;
    d.mMcGroup = group;
    d.mMcAckGroup = ackGroup;
    d.mMcPort = servicePort(mLog, service, "");
    d.mMcAckPort = servicePort(mLog, ackService, "Ack ");
    mLog.info() << "  service (resolved): " << d.mMcPort;
    mLog.info() << "  Ack service (resolved): " << d.mMcAckPort;
    d.mLineData->setSource(group.c_str(), d.mMcPort);
    if (!registerTopic(topic, group, d.mMcPort, ackGroup, d.mMcAckPort, startingSeqNum, SUBSCRIBE, false, false,
                       NO_REPLICATION))
    {
        const std::string text = "Failed to register multicast receiver [" + getFeedName() +
                                 "], error = " + std::to_string(TopicApi::current().getErrorCode());
        mLog.error() << text;
        throw LineError(text);
    }
}

void LineHandlerTopic::connect()
{
    LineHandlerTopicImpl& d = *mImpl;
    const long first = std::strtol(d.mMcGroup.c_str(), nullptr, 10);
    const std::string& feed = getFeedName();
    if (d.mCheckForClassD && (first < 224 || first > 239))
    {
        mLog.info() << "LineHandlerTopic: listening for Directed UDP:";
        mLog.info() << "  feed name: " << feed;
        mLog.info() << "  interface: 0.0.0.0";
        mLog.info() << "  address:   " << d.mMcGroup;
        mLog.info() << "  service:   " << d.mMcPort;
        return;
    }
    mLog.info() << "LineHandlerTopic: joining multicast feed: " << feed << " interface: 0.0.0.0 group: "
                << d.mMcGroup << " service: " << d.mMcPort;
    if (d.mConnected == MC_READY_CONNECT)
        subscribeTopic(d.mTopic.c_str());
    else
        d.mConnected = MC_DELAY_CONNECT;
}

void LineHandlerTopic::onReadyToConnect()
{
    LineHandlerTopicImpl& d = *mImpl;
    if (d.mConnected == MC_DELAY_CONNECT)
    {
        d.mConnected = MC_READY_CONNECT;
        connect();
    }
    else
        d.mConnected = MC_READY_CONNECT;
}

void LineHandlerTopic::onConnect()
{
    mImpl->mConnected = MC_CONNECT;
    setTopicAcknowledged(true);
}

void LineHandlerTopic::disconnect()
{
    LineHandlerTopicImpl& d = *mImpl;
    if (d.mConnected != MC_CONNECT)
        return;
    d.mPeerLog.close(mLog, "LineHandlerTopic (" + LineHandler::getName() + ")");
    unsubscribeTopic(d.mTopic.c_str());
    d.mConnected = MC_READY_CONNECT;
}

bool LineHandlerTopic::connected() const
{
    return mImpl->mConnected == MC_CONNECT;
}

void LineHandlerTopic::onLineDown(const std::string&, LineStatus::StatusType, bool)
{
}

void LineHandlerTopic::onData(const Orlu<Zunq::ThreadStatus>&, const std::string&, const Zunq::ThreadStatus& status)
{
    if (status.mState != Zunq::THD_APP_READY)
        return;
    mLog.info() << "LineHandlerTopic::LineHandlerTopicImpl::onData received THD_APP_READY, subscribe to topic now";
    onReadyToConnect();
}

void LineHandlerTopic::onTopicEvent(EventMsg* event)
{
    LineHandlerTopicImpl& d = *mImpl;
    char topic[sizeof event->eventParam.resNameTxt + 1] = {};
    std::memcpy(topic, event->eventParam.resNameTxt, sizeof event->eventParam.resNameTxt);
    const char* const prefix = "TopicHandlerImpl::onTopicEvent(): ";
    switch (static_cast<int>(event->id))
    {
    case TOPIC_SUBSCRIBE_ACK:
    {
        mLog.info() << prefix << "TOPIC_SUBSCRIBE_ACK for topic|" << topic << d.detail(*event);
        const EventParam& p = event->eventParam;
        const char* why = p.paramInt16 != 0   ? ": TOPIC_SUBSCRIBE_ACK negative ack"
                          : p.paramInt32 == 0 ? ": TOPIC_SUBSCRIBE_ACK without publisher"
                                              : nullptr;
        if (why != nullptr)
        {
            lineDown(topic + std::string(why), LineStatus::DOWN, true);
            setLineStatus(LineStatus::DOWN);
        }
        // Subscribed even when refused: a later disconnect still leaves.
        onConnect();
        break;
    }
    case TOPIC_SUB_READY_TO_OPEN:
        if (event->replicationFlag)
            break;
        mLog.info() << prefix << "TOPIC_SUB_READY_TO_OPEN for topic|" << topic << d.detail(*event);
        connect();
        break;
    case TOPIC_PUBLISHER_JOINED:
        mLog.info() << prefix << "TOPIC_PUBLISHER_JOINED for topic|" << topic << "|";
        setLineStatus(LineStatus::UP);
        publishHeartbeat();
        break;
    case TOPIC_PUBLISHER_LEFT:
        mLog.info() << prefix << "TOPIC_PUBLISHER_LEFT for topic|" << topic << "|";
        lineDown(topic + std::string(": TOPIC_PUBLISHER_LEFT"), LineStatus::DOWN, true);
        setLineStatus(LineStatus::DOWN);
        break;
    default:
    {
        char thread[17] = {};
        getCurrentThreadName(thread);
        mLog.info() << "LineHandlerTopic::onTopicEvent(): topic event handle|" << topic << "| unhandled event|"
                    << eventToString(static_cast<FwEventID>(event->id)) << "| found in thread|" << thread << "|";
        break;
    }
    }
}

void LineHandlerTopic::onTopicData(const char* data, unsigned int length)
{
    LineHandlerTopicImpl& d = *mImpl;
    d.publishAdmin(MsgPubAdmin::START_BATCH);
    try
    {
        d.process(data, length);
    }
    catch (...)
    {
        d.publishAdmin(MsgPubAdmin::FLUSH);
        throw;
    }
    d.publishAdmin(MsgPubAdmin::FLUSH);
}
