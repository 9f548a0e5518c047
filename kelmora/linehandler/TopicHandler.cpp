#include "kelmora/linehandler/TopicHandler.h"

#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace
{
const TopicApi cFramework{initStructParam, registerMsgTopic, sendMsgServiceEvent, getErrorCode};
std::atomic<const TopicApi*> gCurrent{&cFramework};

// Chains of handlers on one topic change under this lock; deliveries walk
// them without it, on the owning thread.
std::mutex& chainLock()
{
    static std::mutex m;
    return m;
}
} // namespace

const TopicApi& TopicApi::current()
{
    return *gCurrent.load(std::memory_order_acquire);
}

void TopicApi::install(const TopicApi* api)
{
    gCurrent.store(api != nullptr ? api : &cFramework, std::memory_order_release);
}

class TopicHandlerImpl
{
public:
    TopicHandlerImpl(TopicHandler& handler, TarvokSession& session, Log& log)
        : mHandler(&handler), mSession(session), mLog(log)
    {
        if (Runnable* r = session.getRunnable())
            r->getResourceName(mName);
    }

    bool sendTopicEvent(const char* topic, FwEventID event)
    {
        const TopicApi& api = TopicApi::current();
        if (api.sendMsgServiceEvent(topic, event, nullptr) == 0)
            return true;
        mLog.error() << "TopicHandlerImpl::sendTopicEvent(" << topic << ") failed to send topic event ["
                     << TopicHandler::eventToString(event) << "], error:" << api.getErrorCode();
        return false;
    }

    // The first handler of this handler's topic, when it is in the map.
    TopicHandler* first() const
    {
        unsigned long value = 0;
        if (!mInMap || !Runnable::getTopicHandleMap(mKey, value))
            return nullptr;
        return reinterpret_cast<TopicHandler*>(value);
    }
    // Whether another handler on the topic holds the subscription, and
    // whether one of those saw it acknowledged.
    bool otherHolds(bool* acknowledged = nullptr) const
    {
        bool holds = false;
        for (TopicHandler* h = first(); h != nullptr; h = h->mNextOnTopic)
            if (h != mHandler && h->mHoldsTopic)
            {
                holds = true;
                if (acknowledged != nullptr)
                    *acknowledged = *acknowledged || h->mTopicAcknowledged;
            }
        return holds;
    }
    // The handler taking a topic another one registered: same full name, same
    // thread. Anything else holding the cut name is refused.
    bool join(TopicHandler& holder, const MsgTopicParam& param, const std::string& topic);
    void leave();

    TopicHandler* mHandler;
    TarvokSession& mSession;
    Log& mLog;
    char mName[17] = {};
    // The topic as configured and as the map knows it.
    std::string mTopic;
    char mKey[17] = {};
    bool mInMap = false;
    MsgTopicParam mParam{};
};

bool TopicHandlerImpl::join(TopicHandler& holder, const MsgTopicParam& param, const std::string& topic)
{
    const TopicHandlerImpl& h = *holder.mTopicImpl;
    if (h.mTopic != topic)
    {
        mLog.error() << "TopicHandlerImpl::registerTopic(" << topic << ") failed to register: its resource name|"
                     << param.topicNameTxt << "| is taken by topic|" << h.mTopic << "|";
        return false;
    }
    if (std::memcmp(h.mName, mName, sizeof mName) != 0)
    {
        mLog.error() << "TopicHandlerImpl::registerTopic(" << topic << ") failed to register: thread|" << mName
                     << "| asks for a topic registered by thread|" << h.mName << "|";
        return false;
    }
    const MsgTopicParam& held = h.mParam;
    if (std::strncmp(held.topicDataMcastTxt, param.topicDataMcastTxt, sizeof held.topicDataMcastTxt) != 0 ||
        held.topicDataPortNum != param.topicDataPortNum ||
        std::strncmp(held.topicAckMcastTxt, param.topicAckMcastTxt, sizeof held.topicAckMcastTxt) != 0 ||
        held.topicAckPortNum != param.topicAckPortNum)
        mLog.warning() << "TopicHandlerImpl::registerTopic(" << topic << ") groups and ports of this line are not "
                       << "used: the topic keeps those it was registered with";
    TopicHandler* last = &holder;
    while (last->mNextOnTopic != nullptr)
        last = last->mNextOnTopic;
    last->mNextOnTopic = mHandler;
    std::memcpy(mKey, param.topicNameTxt, sizeof mKey);
    mTopic = topic;
    mParam = held;
    mInMap = true;
    mLog.info() << "TopicHandlerImpl::registerTopic(" << topic << ") another line on the topic of thread|" << mName
                << "|";
    return true;
}

void TopicHandlerImpl::leave()
{
    std::lock_guard lock(chainLock());
    TopicHandler* head = first();
    if (head == nullptr)
        return;
    if (head == mHandler)
        Runnable::removeTopicHandleMap(mKey, mHandler, mHandler->mNextOnTopic, mLog);
    else
        for (TopicHandler* h = head; h != nullptr; h = h->mNextOnTopic)
            if (h->mNextOnTopic == mHandler)
            {
                h->mNextOnTopic = mHandler->mNextOnTopic;
                break;
            }
    mHandler->mNextOnTopic = nullptr;
    mInMap = false;
}

TopicHandler::TopicHandler(TarvokSession& session, Log& log)
    : mTopicImpl(std::make_unique<TopicHandlerImpl>(*this, session, log))
{
}

TopicHandler::~TopicHandler()
{
    mTopicImpl->leave();
}

bool TopicHandler::registerTopic(const std::string& topic, const std::string& dataGroup, int dataPort,
                                 const std::string& ackGroup, int ackPort, std::uint64_t startingSeqNum,
                                 MsgTopicOpenType openType, bool waitForDrSiteAck, bool openInStandbyMode,
                                 ReplicationMode replicationMode)
{
    TopicHandlerImpl& d = *mTopicImpl;
    const TopicApi& api = TopicApi::current();
    MsgTopicParam param;
    api.initStructParam(MSG_TOPIC_PARAM, &param, sizeof param);
    copyResourceName(param.topicNameTxt, topic.c_str());
    std::memcpy(param.threadNameTxt, d.mName, sizeof param.threadNameTxt);
    param.openType = openType;
    // A dotted address fits the 16-byte fields with its terminator; a longer
    // text is no address, and cut short it could become another one.
    for (const std::string* group : {&dataGroup, &ackGroup})
        if (group->size() >= sizeof param.topicDataMcastTxt)
        {
            d.mLog.error() << "TopicHandlerImpl::registerTopic(" << topic << ") failed to register: group address|"
                           << *group << "| is too long";
            return false;
        }
    std::memcpy(param.topicDataMcastTxt, dataGroup.c_str(), dataGroup.size() + 1);
    param.topicDataPortNum = static_cast<uint16_t>(dataPort);
    std::memcpy(param.topicAckMcastTxt, ackGroup.c_str(), ackGroup.size() + 1);
    param.topicAckPortNum = static_cast<uint16_t>(ackPort);
    param.openAtStartup = false;
    param.startingSeqNum = startingSeqNum;
    param.waitForDrSiteAck = waitForDrSiteAck;
    param.openInStandbyMode = openInStandbyMode;
    param.replicationMode = replicationMode;

    std::lock_guard lock(chainLock());
    if (d.mInMap)
    {
        d.mLog.error() << "TopicHandlerImpl::registerTopic(" << topic << ") failed to register: the handler already "
                       << "receives topic|" << d.mTopic << "|";
        return false;
    }
    char key[17] = {};
    std::memcpy(key, param.topicNameTxt, sizeof param.topicNameTxt);
    unsigned long held = 0;
    if (Runnable::getTopicHandleMap(key, held))
        return d.join(*reinterpret_cast<TopicHandler*>(held), param, topic);
    if (api.registerMsgTopic(&param) != 0)
    {
        d.mLog.error() << "TopicHandlerImpl::registerTopic(" << topic << ") failed to register as type|"
                       << static_cast<int>(openType) << "|";
        return false;
    }
    if (!Runnable::insertTopicHandleMap(key, d.mHandler, d.mLog))
        return false;
    std::memcpy(d.mKey, key, sizeof d.mKey);
    d.mTopic = topic;
    d.mParam = param;
    d.mInMap = true;
    return true;
}

bool TopicHandler::subscribeTopic(const char* topic)
{
    TopicHandlerImpl& d = *mTopicImpl;
    bool joined = false;
    bool acknowledged = false;
    {
        std::lock_guard lock(chainLock());
        joined = d.otherHolds(&acknowledged);
        if (joined)
        {
            // One subscription serves every line on the topic.
            d.mLog.info() << "TopicHandlerImpl::subscribeTopic(" << topic << ") joins the subscription of the "
                          << "other lines on the topic";
            mHoldsTopic = true;
        }
    }
    if (joined)
    {
        if (acknowledged)
        {
            mTopicAcknowledged = true;
            onConnect();
        }
        return true;
    }
    if (!d.sendTopicEvent(topic, TOPIC_SUBSCRIBE))
        return false;
    mHoldsTopic = true;
    return true;
}

bool TopicHandler::unsubscribeTopic(const char* topic)
{
    TopicHandlerImpl& d = *mTopicImpl;
    {
        std::lock_guard lock(chainLock());
        mHoldsTopic = false;
        mTopicAcknowledged = false;
        if (d.otherHolds())
        {
            d.mLog.info() << "TopicHandlerImpl::unsubscribeTopic(" << topic << ") leaves the subscription to the "
                          << "other lines on the topic";
            return true;
        }
    }
    return d.sendTopicEvent(topic, TOPIC_LEAVE_SUB);
}

std::string TopicHandler::eventToString(FwEventID event)
{
    switch (static_cast<int>(event))
    {
    case 36:
        return "TOPIC_PUBLISH_ACK";
    case 39:
        return "TOPIC_PUB_READY_TO_OPEN";
    case 41:
        return "TOPIC_SUBSCRIBE_ACK";
    case 43:
        return "TOPIC_LEAVE_SUB_ACK";
    case 44:
        return "TOPIC_SUB_READY_TO_OPEN";
    case 45:
        return "TOPIC_CONFLICT";
    case 46:
        return "TOPIC_PUBLISHER_JOINED";
    case 47:
        return "TOPIC_PUBLISHER_LEFT";
    case 48:
        return "UNRECOVERABLE_TOPIC_MSG_GAP";
    case 50:
        return "FIRST_SUBSCRIBER_JOINED";
    case 51:
        return "FIRST_DR_SUBSCRIBER_JOINED";
    case 52:
        return "LAST_SUBSCRIBER_LEFT";
    case 53:
        return "LAST_DR_SUBSCRIBER_LEFT";
    case 70:
        return "REPLI_SUBSCRIBER_NOT_AVAIL";
    case 71:
        return "REPLI_SUBSCRIBER_REJOINED";
    default:
        return std::to_string(static_cast<int>(event));
    }
}
