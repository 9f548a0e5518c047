// What a thread's delivery calls for data and events of a message topic. A
// handler registers under its topic's resource name with
// Runnable::insertTopicHandleMap.
#pragma once

struct EventMsg;

class TopicHandler
{
public:
    virtual ~TopicHandler() = default;

    virtual void onTopicData(const char* /*buffer*/, unsigned int /*length*/) {}
    virtual void onTopicEvent(EventMsg* /*event*/) {}
    virtual void onConnect() = 0;
    virtual void onReadyToConnect() = 0;
};
