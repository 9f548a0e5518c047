// What the topic tests share: a thread's Runnable whose topic data delivery
// the test calls, as the framework's callback would on that thread.
#pragma once

#include "kelmora/thread/Runnable.h"

#include "FendralServices/api/FwServices.h"

#include <string>

namespace topictest
{
struct TopicThread : Runnable
{
    using Runnable::Runnable;
    void topicData(const std::string& topic, const std::string& bytes)
    {
        DataMsg m{};
        copyResourceName(m.channelNameTxt, topic.c_str());
        m.chnType = MSG_TOPIC_CHANNEL;
        m.bufPtr = const_cast<char*>(bytes.data());
        m.dataLen = static_cast<int32>(bytes.size());
        _onTopic(&m);
    }
};
} // namespace topictest
