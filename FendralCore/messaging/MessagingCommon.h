// What the messaging service shares with the topics it opens: the settings
// read when the service thread started, the process identity the protocol
// carries, the clocks, the framework threads the messaging layer talks to,
// and the parking of framework messages whose target queue or pipeline was
// full (the one delivery helper, retried at each expiry of the service's
// timer).
//
// One per messaging service (a test process may hold two services, each with
// its own identity), not per process. Set up on the messaging service thread
// before its loop runs; afterwards application threads that send on topics
// read the settings and the identity, which no longer change.
#pragma once

#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/messaging/MslClock.h"
#include "FendralCore/messaging/MslSettings.h"
#include "FendralCore/messaging/TopicMessage.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/RingBuffer.h"

#include <map>
#include <memory>

class ConfigManager;
class MessageStore;
class ResourceManager;

class MessagingCommon
{
public:
    static constexpr const char* REPLICATOR_THREAD_NAME = "MSG_REPLICATOR";
    static constexpr const char* CTL_THREAD_NAME = "CTL_THREAD";

    MessagingCommon(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                    const ConfigManager* configMgr, const MslClock& clock);
    virtual ~MessagingCommon();

    MessagingCommon(const MessagingCommon&) = delete;
    MessagingCommon& operator=(const MessagingCommon&) = delete;

    const MslSettings& settings() const { return m_settings; }
    const MslClock& clock() const { return m_clock; }
    ResourceManager& registry() const { return m_resMgr; }
    GlobalData& globalData() const { return m_gblData; }

    // The identity every message of this process carries: the application
    // id (its first 8 characters, NUL-padded), its 64-bit form, instance
    // and site.
    const ApplicationID& appIdTxt() const { return m_appIdTxt; }
    uint64 appId() const { return m_appId; }
    int32 appInstId() const { return m_appInstId; }
    ApplicationSite siteId() const { return m_siteId; }

    ThreadResource* serviceThread() const { return m_threadResPtr; }
    // Null unless replication is enabled for the process.
    ThreadResource* replicatorThread() const { return m_msgRepliThdResPtr; }
    MessageStore* replicatorStore() const { return m_repliMsgStorePtr; }
    const UInt128& replicatorKey() const { return m_replicationThreadId; }

    // The parking of framework messages for full queues and pipelines.
    MsgForwarder& forwarder() { return *m_forwarder; }
    // The counter of the framework messages this service and its topics
    // build (service thread only).
    uint32& msgSeqNum() { return m_msgSeqNum; }

    // A copy of a topic's messages kept apart from any topic object: what a
    // standby saw of a replicated topic, taken over by the topic that
    // publishes it when this instance starts to; and what a replication
    // subscriber accepted, handed over when this instance becomes active.
    struct TopicHistoryBuffer
    {
        uint64 lastSeqNum = 0;
        int32 lastBufIdx = -1;
        std::unique_ptr<RingBuffer<TopicMessage>> bufPtr;
        uint64 applSeqNum = 0;
    };
    // The repository's buffer of a topic; null when it has none.
    TopicHistoryBuffer* topicHistory(const ResourceName& topicNameTxt);
    // The buffer of a topic, made with room for entries messages when it has
    // none yet.
    TopicHistoryBuffer& addTopicHistory(const ResourceName& topicNameTxt, uint32 entries);

protected:
    ResourceManager& m_resMgr;
    GlobalData& m_gblData;
    const ConfigManager* m_configMgrPtr;
    const MslClock& m_clock;
    MslSettings m_settings;
    ApplicationID m_appIdTxt{};
    uint64 m_appId = 0;
    int32 m_appInstId = 0;
    ApplicationSite m_siteId = PRIMARY_SITE;
    ThreadResource* m_threadResPtr;
    ThreadResource* m_msgRepliThdResPtr = nullptr;
    MessageStore* m_repliMsgStorePtr = nullptr;
    UInt128 m_replicationThreadId;
    // Counter of the framework messages this service and its topics build.
    uint32 m_msgSeqNum = 0;
    std::unique_ptr<MsgForwarder> m_forwarder;
    std::map<UInt128, std::unique_ptr<TopicHistoryBuffer>> m_topicHistoryRepository;
};
