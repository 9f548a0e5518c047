// What the topic tests share: a socket that keeps what a topic sends, the
// tests' own encoder of topic datagrams (written from the byte offsets, not
// from the protocol's descriptor), and a messaging service set up on an
// in-memory fabric, whose registry and application thread queues a test's
// own topic objects use.
#pragma once

#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/messaging/MessagingTopic.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace topictest
{
// Keeps every datagram sent; the failAt-th send (counting from 1) fails
// with failCode, and every one after it while failAll is set.
class RecordingSocket : public MslSocket
{
public:
    FileDescriptor* waitable() override { return nullptr; }
    int32 send(const char* buf, int32 len) override
    {
        std::lock_guard lock(m_mutex);
        ++m_sends;
        if (m_sends == failAt || (failAll && m_sends > failAt && failAt > 0))
            return fwFail(failCode, -1);
        m_sent.emplace_back(buf, static_cast<size_t>(len));
        return 0;
    }
    int32 receive(char*, int32, int32&, sockaddr_in&) override { return fwFail(WOULD_BLOCK, -1); }
    int32 receiveBatch(MslDatagramSlot*, int32, int32& count) override
    {
        count = 0;
        return fwFail(WOULD_BLOCK, -1);
    }
    int32 join() override { return 0; }
    int32 leave() override { return 0; }
    uint64 truncatedCount() const override { return 0; }

    std::vector<std::string> sent()
    {
        std::lock_guard lock(m_mutex);
        return m_sent;
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_sent.clear();
        m_sends = 0;
    }

    int failAt = 0;
    bool failAll = false;
    int32 failCode = SOCK_ERROR;

private:
    std::mutex m_mutex;
    int m_sends = 0;
    std::vector<std::string> m_sent;
};

// Little-endian fields at the topic datagram's byte offsets.
inline uint32_t u32At(const std::string& b, size_t at)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}
inline uint64_t u64At(const std::string& b, size_t at)
{
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i)
        v |= static_cast<uint64_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}
inline void putLe(std::string& b, size_t at, uint64_t v, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Offsets of the header and the data body.
constexpr size_t CMD = 0, SENDER = 4, RECIPIENT = 13, SENDER_INST = 22, RECIPIENT_INST = 26, SENDER_SITE = 30,
                 SEQ = 38, BODY_LEN = 46, PART = 66, MORE = 70, RESEND = 71, TOPIC = 72, DATA_LEN = 90, DATA = 94,
                 HB_LAST_SENT = 90, ACK_LAST = 90, ACK_FLAGS = 89;

struct DataSpec
{
    std::string topic = "QUOTES";
    std::string sender = "PUBA";
    int32_t senderInst = 1;
    std::string recipient;
    int32_t recipientInst = 0;
    uint64_t seq = 1;
    int32_t part = 0;
    bool more = false;
    std::string data = "x";
    uint32_t cmd = 13;
};

inline std::string dataDatagram(const DataSpec& d)
{
    std::string b(72 + 22 + d.data.size(), '\0');
    putLe(b, CMD, d.cmd, 4);
    std::memcpy(b.data() + SENDER, d.sender.data(), d.sender.size());
    std::memcpy(b.data() + RECIPIENT, d.recipient.data(), d.recipient.size());
    putLe(b, SENDER_INST, static_cast<uint32_t>(d.senderInst), 4);
    putLe(b, RECIPIENT_INST, static_cast<uint32_t>(d.recipientInst), 4);
    putLe(b, SEQ, d.seq, 8);
    putLe(b, BODY_LEN, 22 + d.data.size(), 4);
    putLe(b, PART, static_cast<uint32_t>(d.part), 4);
    b[MORE] = d.more ? 1 : 0;
    std::memcpy(b.data() + TOPIC, d.topic.data(), d.topic.size());
    putLe(b, DATA_LEN, d.data.size(), 4);
    std::memcpy(b.data() + DATA, d.data.data(), d.data.size());
    return b;
}

inline std::string heartbeatDatagram(const std::string& topic, const std::string& sender, uint64_t lastSent)
{
    std::string b(106, '\0');
    putLe(b, CMD, 15, 4);
    std::memcpy(b.data() + SENDER, sender.data(), sender.size());
    putLe(b, SENDER_INST, 1, 4);
    putLe(b, BODY_LEN, 34, 4);
    std::memcpy(b.data() + TOPIC, topic.data(), topic.size());
    putLe(b, HB_LAST_SENT, lastSent, 8);
    return b;
}

// A datagram as the service hands it over: in a buffer of a whole message.
inline TopicMessage asMessage(const std::string& bytes)
{
    TopicMessage m;
    std::memset(&m, 0, sizeof(m));
    std::memcpy(m.bytes, bytes.data(), std::min(bytes.size(), sizeof(m)));
    return m;
}

// A messaging service (identity SUBA:2, or as given) set up on an in-memory
// fabric; topic objects a test makes use its settings, its registry and the
// queues of its application thread APP1.
class TopicBench
{
public:
    explicit TopicBench(const std::string& config = "", uint32 appQueueLen = 64, const std::string& appId = "SUBA")
    {
        msltest::Options o;
        o.appId = appId;
        o.inst = 2;
        o.sockets = &m_fabric.host("127.0.0.1");
        o.config = config;
        o.appQueueLen = appQueueLen;
        m_harness = std::make_unique<msltest::ServiceHarness>(o);
        EXPECT_EQ(m_harness->service().initialize(), 0);
    }

    MessagingService& service() { return m_harness->service(); }
    msltest::ServiceHarness& harness() { return *m_harness; }

    // A topic of APP1 with the registration's defaults changed by adjust.
    MsgTopicResource* topic(const char* name, MsgTopicOpenType type,
                            const std::function<void(MsgTopicParam&)>& adjust = {})
    {
        MsgTopicResource* res = m_harness->addTopic(name, type, RES_INITIALIZED);
        if (res != nullptr && adjust)
            adjust(res->regParam);
        if (res != nullptr)
            res->tmpMsgStorePtr = &m_store;
        return res;
    }

    std::unique_ptr<MessagingTopic> publisher(MsgTopicResource* res, TopicRecord& rec)
    {
        rec.clear();
        rec.used = true;
        std::memcpy(rec.topicNameTxt, res->topicNameTxt, sizeof(ResourceName));
        rec.topicResPtr = res;
        auto topic = std::make_unique<MessagingTopic>(service(), service(), &rec, &data, &ack, inet_addr("127.0.0.1"),
                                                      false);
        rec.publisherTopicPtr = topic.get();
        rec.publishReady.store(true);
        return topic;
    }

    std::unique_ptr<MessagingTopic> subscriber(MsgTopicResource* res, SubscriptionRecord& sub)
    {
        sub.clear();
        sub.used = true;
        std::memcpy(sub.topicNameTxt, res->topicNameTxt, sizeof(ResourceName));
        sub.topicResPtr = res;
        auto topic = std::make_unique<MessagingTopic>(service(), service(), &sub, &data, &ack, inet_addr("127.0.0.1"),
                                                      false);
        sub.subscriberTopicPtr = topic.get();
        sub.subscribeReady = true;
        return topic;
    }

    MessageStore& store() { return m_store; }

    RecordingSocket data;
    RecordingSocket ack;

private:
    MslMemFabric m_fabric;
    std::unique_ptr<msltest::ServiceHarness> m_harness;
    MessageStore m_store;
};
} // namespace topictest
