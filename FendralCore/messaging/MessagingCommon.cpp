#include "FendralCore/messaging/MessagingCommon.h"

#include "FendralCore/messaging/MslProtocol.h"

#include <cstring>

MessagingCommon::MessagingCommon(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                                 const ConfigManager* configMgr, const MslClock& clock)
    : m_resMgr(resMgr), m_gblData(gblData), m_configMgrPtr(configMgr), m_clock(clock), m_threadResPtr(threadResPtr)
{
    // The first 8 characters, NUL-padded, so that the text and its number
    // always agree.
    std::memcpy(m_appIdTxt, gblData.m_appIdTxt, strnlen(gblData.m_appIdTxt, sizeof(ApplicationID) - 1));
    m_appId = MslProtocol::appIdKey(m_appIdTxt);
    m_appInstId = gblData.m_appInstId;
    m_siteId = gblData.m_siteId;
}

MessagingCommon::~MessagingCommon() = default;

MessagingCommon::TopicHistoryBuffer* MessagingCommon::topicHistory(const ResourceName& topicNameTxt)
{
    const auto it = m_topicHistoryRepository.find(UInt128(topicNameTxt, true));
    return it != m_topicHistoryRepository.end() ? it->second.get() : nullptr;
}

MessagingCommon::TopicHistoryBuffer& MessagingCommon::addTopicHistory(const ResourceName& topicNameTxt,
                                                                      uint32 entries)
{
    std::unique_ptr<TopicHistoryBuffer>& slot = m_topicHistoryRepository[UInt128(topicNameTxt, true)];
    if (slot == nullptr)
    {
        slot = std::make_unique<TopicHistoryBuffer>();
        slot->bufPtr = std::make_unique<RingBuffer<TopicMessage>>(entries, false, LOW_LATENCY);
    }
    return *slot;
}
