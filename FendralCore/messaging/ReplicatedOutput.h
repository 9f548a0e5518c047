// The sends of outgoing data that the replicator releases once the standby has
// acknowledged it: TCP, UDP and topic channels, each without stalling the
// replicator behind a slow peer.
// - TCP: what the socket does not take after a few short retries waits in the
//   channel's temporary buffer (oldest bytes first); past the threshold the
//   channel is marked congested (the dispatcher then holds further sends) and
//   its owner told NET_CONGEST; NET_FREE follows once the buffer is empty. A
//   buffer that cannot take more, or a send error, has the network thread close
//   the channel: this thread never closes or shuts a data socket itself.
// - UDP: a few retries on would-block, then the datagram is dropped with a log.
// - Topics: what the topic does not take waits in a pending list, resent oldest
//   first before anything newer. Past half the topic's history size the topic
//   is marked congested, so the dispatcher refuses further sends of its
//   threads (WOULD_BLOCK) until the list has drained. What was already on its
//   way to this thread is never dropped: it may take the list past the
//   history size (by at most what the replicator holds), which is counted and
//   logged once.
// Parts of a message longer than one framework message are joined per sending
// thread and sent whole.
//
// Owned and used by the replicator's thread only.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class EventMessage;
class StreamBuffer;

class ReplicatedOutput
{
public:
    static constexpr int32 SEND_CHUNK_SIZE = 32768;
    static constexpr int32 DEFAULT_TMP_BUF_SIZE = 327680;
    static constexpr int32 DEFAULT_TMP_BUF_LIMIT = 32768;
    // Would-blocks in a row a TCP send waits out before buffering the rest.
    static constexpr int32 TCP_WOULD_BLOCK_RETRIES = 4;
    static constexpr int32 UDP_SEND_TRIES = 5;
    // A topic's pending list when its history size gives none.
    static constexpr int32 DEFAULT_TOPIC_PENDING_CAP = 1000;

    struct Settings
    {
        int32 tmpBufSize = DEFAULT_TMP_BUF_SIZE;
        int32 tmpBufLimit = DEFAULT_TMP_BUF_LIMIT;
        // The wait between two would-blocks (10 ms); tests step in here.
        std::function<void()> wouldBlockPause;
    };

    // sender sends the congestion events and the close requests, stamped from
    // msgSeqNum; netThread is the network thread that closes channels.
    ReplicatedOutput(EventMessage& sender, uint32& msgSeqNum, ThreadResource* netThread, uint32 maxMsgSize,
                     Settings settings);
    ~ReplicatedOutput();

    ReplicatedOutput(const ReplicatedOutput&) = delete;
    ReplicatedOutput& operator=(const ReplicatedOutput&) = delete;

    void setNetThread(ThreadResource* netThread) { m_netThread = netThread; }

    // One outgoing record of the channel. 0 when it was sent, buffered,
    // joined or dropped with its log line; -1 with the code of a failure the
    // caller logs. topicSeq receives the topic's number of a topic message
    // that went out, 0 when it waits.
    int32 sendTcp(TcpConnResource& res, const FwIntMessage& rec);
    int32 sendUdp(UdpConnResource& res, const FwIntMessage& rec);
    int32 sendTopic(MsgTopicResource& res, const FwIntMessage& rec, uint64& topicSeq);

    // The timer's work: flush every TCP buffer and resend every topic's
    // pending list as far as they go now.
    void flushBuffered();

    // A TCP channel that went away: what waits for it is dropped.
    void dropTcpBuffer(TcpConnResource& res);
    // Has the network thread close the channel, giving its owner code as the
    // reason; what waits for it is dropped.
    void requestClose(TcpConnResource& res, int32 code) { closeTcp(res, code); }

    bool hasBuffered() const { return !m_tcpCongested.empty() || !m_topicPending.empty(); }
    int32 tcpBuffered(const TcpConnResource& res) const;
    size_t topicPending(const MsgTopicResource& res) const;
    // Messages kept past a topic's history size.
    uint64 topicPastBound() const { return m_topicPastBound; }

private:
    struct Join
    {
        int32 lastPart = -1;
        uint32 len = 0;
        std::unique_ptr<char[]> buf;
    };
    struct PendingTopicMsg
    {
        std::string bytes;
        uint64 applSeq;
    };
    struct TopicPending
    {
        std::deque<PendingTopicMsg> msgs;
        uint64 pastBound = 0;
    };
    // A channel whose close was asked for: its records are dropped until the
    // network thread has closed it (its stream changes).
    struct Closing
    {
        TcpConnResource* res;
        StreamBuffer* stream;
    };

    // A whole message of rec: its own bytes, or the join completed by its
    // last part. false while parts are still to come, or after a part out of
    // order (then logged with what).
    bool wholeMessage(const FwIntMessage& rec, const char* what, const char*& payload, uint32& len);

    int32 sendTcpMessage(TcpConnResource& res, const char* payload, uint32 len, uint32 msgSeq);
    // Sends buffered bytes until the buffer is empty (0, blocked false), the
    // socket would block (0, blocked true) or fails (-1; the channel closed).
    int32 flushTcp(TcpConnResource& res, bool& blocked);
    // Appends behind what waits; false when the channel had to be closed.
    bool appendTcp(TcpConnResource& res, const char* bytes, uint32 len, bool whileSending);
    void closeTcp(TcpConnResource& res, int32 code);
    bool isClosing(TcpConnResource& res);
    void tcpFree(TcpConnResource& res, const char* text);

    int32 publish(MsgTopicResource& res, const char* bytes, uint32 len, uint64 applSeq, uint64& topicSeq);
    bool resendPending(MsgTopicResource& res, TopicPending& p);
    void holdTopicMsg(MsgTopicResource& res, const char* bytes, uint32 len, uint64 applSeq);
    void topicFree(MsgTopicResource& res, TopicPending& p);

    void notify(const ResourceName& owner, FwMessageQueue* queue, FwEventID id, const ResourceName& channel,
                ResourceType type);
    void pause();

    EventMessage& m_sender;
    uint32& m_msgSeqNum;
    ThreadResource* m_netThread;
    const uint32 m_maxMsgSize;
    Settings m_settings;
    std::unique_ptr<char[]> m_sendBuf;
    std::map<UInt128, Join> m_joins; // by sending thread
    std::vector<StreamBuffer*> m_ownBuffers;
    std::vector<TcpConnResource*> m_tcpCongested;
    std::vector<Closing> m_closing;
    std::map<MsgTopicResource*, TopicPending> m_topicPending;
    uint64 m_topicPastBound = 0;
};
