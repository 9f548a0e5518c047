// A feed line received as a framework messaging topic. The topic is
// registered closed when the line is configured; the handler subscribes once
// its thread has reached APP_READY and the messaging service reports the
// topic ready to open, in either order. Each topic message becomes one
// LineData record on the sub-feed's line data bus, framed by start-batch and
// flush messages when asked; subscription acknowledgements and publisher
// join and leave events drive the line's status. Runs on its session's
// thread and takes no lock; the message buffer (8 MiB) is allocated once.
#pragma once

#include "kelmora/bus/MsgPubAdmin.h"
#include "kelmora/linehandler/LineHandler.h"
#include "kelmora/linehandler/TopicHandler.h"
#include "kelmora/runtime/InitModule.h"

#include <cstdint>
#include <memory>
#include <string>

class LineHandlerTopicImpl;
class LineMonitor;
class MsgZunqPublisher;

class LineHandlerTopic : public LineHandler,
                         public TopicHandler,
                         public OrluPublisher<MsgPubAdmin>,
                         public OrluSubscriber<Zunq::ThreadStatus>
{
public:
    static constexpr unsigned int cMaxMessage = 8388608;

    enum MC_CONNECT_STATUS : int
    {
        MC_DISCONNECT = 0,
        MC_DELAY_CONNECT = 1,
        MC_READY_CONNECT = 2,
        MC_CONNECT = 3
    };

    LineHandlerTopic(LineDataFactory& factory, TarvokSession& session, Log& log);
    // Leaves the topic when subscribed and the thread's status channel.
    ~LineHandlerTopic() override;

    void connect() override;
    void disconnect() override;
    bool connected() const override;
    void onLineDown(const std::string& reason, LineStatus::StatusType status, bool isError) override;

    void onTopicData(const char* data, unsigned int length) override;
    void onTopicEvent(EventMsg* event) override;
    void onConnect() override;
    void onReadyToConnect() override;
    // The thread's status: APP_READY lets the subscription go out.
    void onData(const Orlu<Zunq::ThreadStatus>& orlu, const std::string& name,
                const Zunq::ThreadStatus& status) override;
    using LineHandler::onData;

    void setName(const std::string& name);
    const std::string& getName() const { return LineHandler::getName(); }

    // Stores the names, resolves both services, labels the record and
    // registers the topic: std::invalid_argument for a bad service,
    // LineError for a refused registration.
    void setTopicParams(const std::string& topic, const std::string& group, const std::string& service,
                        const std::string& ackGroup, const std::string& ackService,
                        const std::uint64_t& startingSeqNum);
    void setUdpBufferSize(long size);
    void setReadsPerIoEvent(long reads);
    void setCheckForClassD(bool on);
    void setSendPubFlushMsg(bool on);
    void setLineMonitor(LineMonitor* monitor);
    void setMsgRecoveryOption(long channelId, MsgZunqPublisher* publisher);

    MC_CONNECT_STATUS getConnectStatus() const;
    const std::string& getTopic() const;
    int getPort() const;
    int getAckPort() const;

private:
    std::unique_ptr<LineHandlerTopicImpl> mImpl;
};

// Topic lines per sub-feed whose line handler type is "topic" (priority 801):
// one handler per Listen entry, wired to the sub-feed's channels, line
// monitor and admin session, with a "disconnect" admin method per line; the
// last one of each Listen value registered as "LineHandler".
template <>
bool InitModule<LineHandlerTopic>::createModule(ModuleList* list, ZunqConfigManager* config);
