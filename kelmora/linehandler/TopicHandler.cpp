#include "kelmora/linehandler/TopicHandler.h"

#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <atomic>
#include <cstring>

namespace
{
const TopicApi cFramework{initStructParam, registerMsgTopic, sendMsgServiceEvent, getErrorCode};
std::atomic<const TopicApi*> gCurrent{&cFramework};
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

    TopicHandler* mHandler;
    TarvokSession& mSession;
    Log& mLog;
    char mName[17] = {};
};

TopicHandler::TopicHandler(TarvokSession& session, Log& log)
    : mTopicImpl(std::make_unique<TopicHandlerImpl>(*this, session, log))
{
}

TopicHandler::~TopicHandler() = default;

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
    // The address fields hold 16 bytes; a dotted address never needs more.
    std::strncpy(param.topicDataMcastTxt, dataGroup.c_str(), sizeof param.topicDataMcastTxt);
    param.topicDataPortNum = static_cast<uint16_t>(dataPort);
    std::strncpy(param.topicAckMcastTxt, ackGroup.c_str(), sizeof param.topicAckMcastTxt);
    param.topicAckPortNum = static_cast<uint16_t>(ackPort);
    param.openAtStartup = false;
    param.startingSeqNum = startingSeqNum;
    param.waitForDrSiteAck = waitForDrSiteAck;
    param.openInStandbyMode = openInStandbyMode;
    param.replicationMode = replicationMode;
    if (api.registerMsgTopic(&param) != 0)
    {
        d.mLog.error() << "TopicHandlerImpl::registerTopic(" << topic << ") failed to register as type|"
                       << static_cast<int>(openType) << "|";
        return false;
    }
    return Runnable::insertTopicHandleMap(param.topicNameTxt, d.mHandler, d.mLog);
}

bool TopicHandler::subscribeTopic(const char* topic)
{
    return mTopicImpl->sendTopicEvent(topic, TOPIC_SUBSCRIBE);
}

bool TopicHandler::unsubscribeTopic(const char* topic)
{
    return mTopicImpl->sendTopicEvent(topic, TOPIC_LEAVE_SUB);
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
