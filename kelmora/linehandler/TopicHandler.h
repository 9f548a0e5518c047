// The host's door to the framework's messaging topics. A component that
// receives a topic derives from it, registers the topic closed at start-up
// (binding it to itself in the thread's topic handle map) and later asks the
// messaging service to subscribe or leave. The thread's Runnable finds the
// handler by the topic's resource name and calls onTopicData or onTopicEvent
// on the owning thread; the handler takes no lock.
//
// Several handlers of one thread may receive the same topic (two lines on
// one topic): the first registers it with the framework, the others join it,
// and the map holds the first, which links the others in configuration
// order. They share one subscription: it is requested by the first that
// asks and left when the last leaves. A handler leaves the map (or the
// topic's chain) when destroyed, on its thread or once the thread stopped.
#pragma once

#include "kelmora/thread/TarvokHandler.h"

#include "FendralServices/api/FwServices.h"

#include <cstdint>
#include <memory>
#include <string>

class Log;
class TarvokSession;
class TopicHandlerImpl;

// The framework calls of the topic handler, in one table so a test can
// script the codes (a reserved name, a call from outside a framework thread).
struct TopicApi
{
    int (*initStructParam)(StructParamType, void*, int);
    int (*registerMsgTopic)(const MsgTopicParam*);
    int (*sendMsgServiceEvent)(const char*, FwEventID, AppEventParam*);
    int (*getErrorCode)();

    static const TopicApi& current();
    // Tests only, while no handler runs; null restores the framework's.
    static void install(const TopicApi* api);
};

class TopicHandler : public TarvokHandler
{
public:
    // Copies the resource name of the session's thread.
    TopicHandler(TarvokSession& session, Log& log);
    // Leaves the topic handle map, or its topic's chain.
    ~TopicHandler() override;

    TopicHandler(const TopicHandler&) = delete;
    TopicHandler& operator=(const TopicHandler&) = delete;

    virtual void onTopicData(const char* /*buffer*/, unsigned int /*length*/) {}
    virtual void onTopicEvent(EventMsg* /*event*/) {}
    virtual void onConnect() {}
    virtual void onReadyToConnect() {}

    // Registers the topic closed and enters it in the topic handle map, or
    // joins the handler already holding the same topic on the same thread;
    // false (logged) when the framework refuses it, or when the cut name is
    // held by another topic or by another thread.
    bool registerTopic(const std::string& topic, const std::string& dataGroup, int dataPort,
                       const std::string& ackGroup, int ackPort, std::uint64_t startingSeqNum,
                       MsgTopicOpenType openType, bool waitForDrSiteAck, bool openInStandbyMode,
                       ReplicationMode replicationMode);
    // Requests to the messaging service; false (logged) when refused. A
    // handler whose topic another handler already holds subscribed only
    // joins; the leave goes out when no other handler holds it.
    bool subscribeTopic(const char* topic);
    bool unsubscribeTopic(const char* topic);

    static std::string eventToString(FwEventID event);

    // The walk of the Runnable's delivery: the next handler on this topic.
    TopicHandler* nextOnTopic() const { return mNextOnTopic; }
    // Whether this handler asked for the topic and has not left it.
    bool holdsTopic() const { return mHoldsTopic; }

protected:
    // The subscription's acknowledgement as the handler saw it: a handler
    // that joins an acknowledged subscription later gets onConnect at once,
    // as no acknowledgement of its own will come.
    void setTopicAcknowledged(bool on) { mTopicAcknowledged = on; }

private:
    friend class TopicHandlerImpl;

    std::unique_ptr<TopicHandlerImpl> mTopicImpl;
    TopicHandler* mNextOnTopic = nullptr;
    bool mHoldsTopic = false;
    bool mTopicAcknowledged = false;
};
