// What the recovery tests share: messaging services on one in-memory fabric,
// each on a host of its own and driven pass by pass from the test's thread,
// with what their application thread received; a raw peer that speaks the
// control protocol from the bytes (the tests' own encoder, written from the
// byte offsets); and sending on a published topic as an application thread
// does.
#pragma once

#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/messaging/MessagingService.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rectest
{
using namespace std::chrono_literals;

// The plan every service of a test shares: control channels, one topic
// channel pair, quick time-outs. The first line of a key counts, so more
// goes first.
inline std::string planConfig(const std::string& more = "")
{
    return more + msltest::controlPlan("239.1.1.1", 7001, "239.1.1.2", 7002) +
           "MCAST_DC_ADDR STRING 239.1.1.3\nMCAST_DC_PORT UINT16 7003\nMCAST_DAC_ADDR STRING 239.1.1.4\n"
           "MCAST_DAC_PORT UINT16 7004\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
           "RQS_TIMEOUT INT32 40\nMSL_RESEND_THOLD INT32 2\nMSL_TM_INTERVAL INT32 10\nTOPIC_IDLE_INTV INT32 200\n";
}

struct TopicSpec
{
    std::string name = "QUOTES";
    MsgTopicOpenType type = PUBLISH;
    int32 history = 1000;
    uint64 maxPubGap = 100000;
    bool skipLateJoin = false;
};

// One service and what its application thread APP1 received.
struct Node
{
    std::unique_ptr<msltest::ServiceHarness> h;
    std::vector<uint64> seqs;            // delivered messages, in order
    std::vector<std::pair<int32, int64>> events; // id, paramInt64
    bool terminated = false;
    bool threaded = false;
    // While set, what reaches APP1's queues stays there.
    bool holdDelivery = false;
    // Sees every data message APP1 receives, when set.
    std::function<void(const FwIntMessage&)> onData;

    MessagingService& svc() { return h->service(); }
    int count(FwEventID id) const
    {
        int n = 0;
        for (const auto& e : events)
            n += e.first == id ? 1 : 0;
        return n;
    }
    int64 lastParam(FwEventID id) const
    {
        for (auto it = events.rbegin(); it != events.rend(); ++it)
            if (it->first == id)
                return it->second;
        return -1;
    }
    SubscriptionRecord* sub(const char* topic = "QUOTES")
    {
        ResourceName n{};
        ResourceManager::copyResourceName(n, topic);
        return svc().findSubscription(n);
    }
    TopicRecord* pub(const char* topic = "QUOTES")
    {
        ResourceName n{};
        ResourceManager::copyResourceName(n, topic);
        return svc().findTopic(n);
    }
    // Whether every message 1..n was delivered once, in order.
    bool deliveredInOrder(uint64 first, uint64 last) const
    {
        if (seqs.size() != last - first + 1)
            return false;
        for (uint64 i = 0; i < seqs.size(); ++i)
            if (seqs[i] != first + i)
                return false;
        return true;
    }
};

// What a node needs beyond its topics: its instance, changes of its global
// data, and what to register before its service starts.
struct NodeExtra
{
    int32 inst = 1;
    uint32 appQueueLen = 16384;
    std::function<void(GlobalData&)> adjust;
    std::function<void(Node&)> beforeStart;
};

class Net
{
public:
    explicit Net(std::string config = planConfig(), const MslClock* clock = nullptr)
        : m_config(std::move(config)), m_clock(clock)
    {
    }

    using Extra = NodeExtra;

    // threaded: the service runs on a thread of its own, not by pump.
    Node& add(const std::string& appId, const std::string& host, const std::vector<TopicSpec>& topics,
              const std::string& more = "", bool threaded = false, const Extra& extra = Extra{})
    {
        msltest::Options o;
        o.appId = appId;
        o.inst = extra.inst;
        o.adjust = extra.adjust;
        o.sockets = &fabric.host(host);
        o.clock = m_clock;
        o.config = more + m_config;
        o.appQueueLen = extra.appQueueLen;
        auto node = std::make_unique<Node>();
        node->h = std::make_unique<msltest::ServiceHarness>(o);
        for (const TopicSpec& t : topics)
        {
            MsgTopicResource* res = node->h->addTopic(t.name.c_str(), t.type, RES_REGISTERED);
            EXPECT_NE(res, nullptr);
            if (res == nullptr)
                continue;
            res->regParam.openAtStartup = true;
            res->regParam.historyBufSize = t.history;
            res->regParam.maxPubGapRecovery = t.maxPubGap;
            res->regParam.skipLateJoinRecovery = t.skipLateJoin;
        }
        if (extra.beforeStart)
            extra.beforeStart(*node);
        if (threaded)
        {
            node->h->start();
            node->threaded = true;
        }
        else
            EXPECT_EQ(node->svc().initialize(), 0);
        node->h->post(MQUEUE_HIGH_PRIORITY, INIT);
        node->h->post(MQUEUE_HIGH_PRIORITY, CONN_INIT);
        if (threaded)
        {
            // The service's thread builds its topic tables until every topic
            // it publishes is open: the test looks into them only after the
            // application thread has heard so.
            const auto publishing = std::count_if(topics.begin(), topics.end(),
                                                  [](const TopicSpec& t) { return t.type == PUBLISH; });
            Node& n = *node;
            EXPECT_TRUE(msltest::waitUntil(
                [&] {
                    drain(n);
                    return n.count(TOPIC_PUBLISH_ACK) >= publishing;
                },
                20s));
        }
        nodes.push_back(std::move(node));
        return *nodes.back();
    }

    // One pass of every service that still runs, and what their threads got.
    void pump()
    {
        for (auto& n : nodes)
        {
            if (n->terminated || n->threaded)
                continue;
            bool terminate = false;
            n->svc().runOnce(0, terminate);
            n->terminated = terminate;
            // As the thread body does after its loop.
            if (terminate)
                n->svc().sendLeaveNotificationForAllTopic();
            drain(*n);
        }
    }

    template <typename Pred>
    bool pumpUntil(Pred pred, std::chrono::milliseconds limit = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pump();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

    // Every topic of the node open.
    bool ready(Node& n, const char* topic = "QUOTES")
    {
        return pumpUntil([&] {
            const SubscriptionRecord* s = n.sub(topic);
            const TopicRecord* t = n.pub(topic);
            return (s != nullptr && s->subscribeReady) || (t != nullptr && t->publishReady.load());
        });
    }

    // count messages on the node's topic, each sent once (waiting for the
    // window with passes of every service).
    bool send(Node& n, int count, const char* topic = "QUOTES", uint32 size = 16)
    {
        MsgTopicResource* res = nullptr;
        ResourceName name{};
        ResourceManager::copyResourceName(name, topic);
        if (n.h->registry().getMsgTopicRes(name, &res) != 0 || res->msgTopicPtr == nullptr)
            return false;
        std::string payload(size, 'm');
        for (int i = 0; i < count; ++i)
        {
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            for (;;)
            {
                uint64 seq = 0;
                const int32 rc = res->msgTopicPtr->sendMessage(payload.data(), size, seq, 0, false, nullptr, 0, false);
                const int32 code = rc == 0 ? 0 : FrameworkErrno::m_fwErrno;
                if (rc == 0 || code == MSL_NO_SUBSCRIBER || code == MSL_NO_DR_SITE_SUBSCRIBER ||
                    code == MSL_NO_MRM_SUBSCRIBER || code == MSL_NO_DR_SITE_MRM_SUBSCRIBER || code == MSL_FORCE_SENT)
                    break;
                if (code != WOULD_BLOCK || std::chrono::steady_clock::now() > deadline)
                {
                    ADD_FAILURE() << "send failed with " << code;
                    return false;
                }
                pump();
            }
            if (i % 8 == 7)
                pump();
        }
        return true;
    }

    MslMemFabric fabric;
    std::vector<std::unique_ptr<Node>> nodes;

private:
    static void drain(Node& n)
    {
        if (n.holdDelivery)
            return;
        FwIntMessage m;
        for (FwMessageQueue* q : {&n.h->appHigh(), &n.h->appNormal()})
        {
            bool more = true;
            while (more && q->getMessage(&m, more) == 0)
            {
                if (m.appMsg.type == MSG_EVENT)
                    n.events.emplace_back(m.appMsg.event.id, m.appMsg.event.eventParam.paramInt64);
                else if (n.onData)
                    n.onData(m);
                else if (m.appMsg.data.msgPartNum == 0)
                    n.seqs.push_back(m.appMsg.data.msgTopicSeq);
            }
        }
    }

    std::string m_config;
    const MslClock* m_clock;
};

// ---- the control protocol from the bytes ----

inline void putLe(std::string& b, size_t at, uint64_t v, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline uint64_t getLe(const std::string& b, size_t at, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= static_cast<uint64_t>(static_cast<uint8_t>(b[at + i])) << (8 * i);
    return v;
}

struct Rqs
{
    uint32_t cmd = 7; // DATA_RECOVERY_RQS
    std::string sender = "SUBX";
    int32_t senderInst = 1;
    int32_t site = PRIMARY_SITE;
    std::string recipient{};
    int32_t recipientInst = 0;
    uint32_t rqsId = 1;
    std::string topic = "QUOTES";
    uint64_t seq = 0;
    int32_t reason = 0;
    uint32_t lacked = 0; // a resend request: how many after seq it lacks (0: all)
};

inline std::string request(const Rqs& r)
{
    std::string b(99, '\0');
    putLe(b, 0, r.cmd, 4);
    std::memcpy(b.data() + 20, r.sender.data(), r.sender.size());
    std::memcpy(b.data() + 29, r.recipient.data(), r.recipient.size());
    putLe(b, 38, static_cast<uint32_t>(r.senderInst), 4);
    putLe(b, 42, static_cast<uint32_t>(r.recipientInst), 4);
    putLe(b, 46, static_cast<uint32_t>(r.site), 4);
    putLe(b, 54, r.rqsId, 4);
    putLe(b, 62, 99, 4);
    std::memcpy(b.data() + 66, r.topic.data(), r.topic.size());
    putLe(b, 83, r.seq, 8);
    putLe(b, 91, static_cast<uint32_t>(r.reason), 4);
    putLe(b, 95, r.lacked, 4);
    return b;
}

// An answer to a recovery request, decoded.
struct Rsp
{
    uint32_t cmd;
    std::string recipient{};
    uint32_t rqsId;
    int32_t status;
    int32_t errorCode;
    uint64_t begin;
    uint64_t end;
};

// A topic data datagram (one whole message of data) as a publisher sends it.
inline std::string topicData(const std::string& sender, uint64_t seq, bool resent, const std::string& data,
                             const std::string& topic = "QUOTES")
{
    std::string b(94 + data.size(), '\0');
    putLe(b, 0, 13, 4); // TOPIC_MSG
    std::memcpy(b.data() + 4, sender.data(), sender.size());
    putLe(b, 22, 1, 4);
    putLe(b, 38, seq, 8);
    putLe(b, 46, 22 + data.size(), 4);
    b[71] = resent ? 1 : 0;
    std::memcpy(b.data() + 72, topic.data(), topic.size());
    putLe(b, 90, data.size(), 4);
    std::memcpy(b.data() + 94, data.data(), data.size());
    return b;
}

// A subscriber's acknowledgement of a topic's data up to lastSeq (98 bytes);
// mrm: sent by a recovery instance.
inline std::string topicAck(const std::string& sender, int32_t inst, int32_t site, bool mrm, uint64_t lastSeq,
                            const std::string& topic = "QUOTES")
{
    std::string b(98, '\0');
    putLe(b, 0, 14, 4); // TOPIC_MSG_ACK
    std::memcpy(b.data() + 4, sender.data(), sender.size());
    putLe(b, 22, static_cast<uint32_t>(inst), 4);
    putLe(b, 30, static_cast<uint32_t>(site), 4);
    putLe(b, 46, 26, 4);
    std::memcpy(b.data() + 72, topic.data(), topic.size());
    b[89] = mrm ? 1 : 0;
    putLe(b, 90, lastSeq, 8);
    return b;
}

// An answer to a recovery request as a publisher (or a peer) sends it.
struct Answer
{
    uint32_t cmd = 8; // DATA_RECOVERY_RSP
    std::string sender = "PUBA";
    std::string recipient{};
    int32_t recipientInst = 1;
    uint32_t rqsId = 0;
    std::string topic = "QUOTES";
    int32_t status = -1;
    int32_t errorCode = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
};

inline std::string answer(const Answer& a)
{
    std::string b(107, '\0');
    putLe(b, 0, a.cmd, 4);
    std::memcpy(b.data() + 20, a.sender.data(), a.sender.size());
    std::memcpy(b.data() + 29, a.recipient.data(), a.recipient.size());
    putLe(b, 38, 1, 4);
    putLe(b, 42, static_cast<uint32_t>(a.recipientInst), 4);
    putLe(b, 54, a.rqsId, 4);
    putLe(b, 62, 107, 4);
    std::memcpy(b.data() + 66, a.topic.data(), a.topic.size());
    putLe(b, 83, static_cast<uint32_t>(a.status), 4);
    putLe(b, 87, static_cast<uint32_t>(a.errorCode), 4);
    putLe(b, 91, a.begin, 8);
    putLe(b, 99, a.end, 8);
    return b;
}

inline Rsp decodeRsp(const std::string& b)
{
    Rsp r{};
    r.cmd = static_cast<uint32_t>(getLe(b, 0, 4));
    r.recipient = std::string(b.data() + 29, strnlen(b.data() + 29, 9));
    r.rqsId = static_cast<uint32_t>(getLe(b, 54, 4));
    r.status = static_cast<int32_t>(getLe(b, 83, 4));
    r.errorCode = static_cast<int32_t>(getLe(b, 87, 4));
    r.begin = getLe(b, 91, 8);
    r.end = getLe(b, 99, 8);
    return r;
}

// A process of the test's own on the fabric: it sends requests and reads
// the answers and what the topic channel carries.
class RawPeer
{
public:
    RawPeer(MslMemFabric& fabric, const std::string& host = "10.0.0.99")
    {
        auto open = [&](const char* group, uint16 port) {
            MslSocketSpec spec{};
            std::strcpy(spec.groupTxt, group);
            spec.port = port;
            auto s = fabric.host(host).open(spec);
            s->join();
            return s;
        };
        rc = open("239.1.1.1", 7001);
        rac = open("239.1.1.2", 7002);
        data = open("239.1.1.3", 7003);
        MslSocketSpec spec{};
        std::strcpy(spec.groupTxt, "239.1.1.4");
        spec.port = 7004;
        acks = fabric.host(host).open(spec);
    }

    void send(const Rqs& r) { rc->send(request(r).data(), 99); }
    void send(const Answer& a) { rac->send(answer(a).data(), 107); }
    void sendData(const std::string& datagram) { data->send(datagram.data(), static_cast<int32>(datagram.size())); }
    void sendAck(const std::string& datagram) { acks->send(datagram.data(), static_cast<int32>(datagram.size())); }

    // The recovery answers so far.
    std::vector<Rsp> answers()
    {
        char buf[256];
        int32 len = 0;
        sockaddr_in from{};
        while (rac->receive(buf, sizeof buf, len, from) == 0)
            if (len == 107 && (getLe(std::string(buf, 4), 0, 4) == 8 || getLe(std::string(buf, 4), 0, 4) == 12))
                m_answers.push_back(decodeRsp(std::string(buf, static_cast<size_t>(len))));
        return m_answers;
    }

    // A request seen on the request channel, and when it was read.
    struct Seen
    {
        uint32_t cmd;
        std::string sender;
        uint32_t rqsId;
        int32_t reason;
        std::chrono::steady_clock::time_point at;
        uint64_t seq;
    };

    // The requests of other processes so far.
    std::vector<Seen> requests()
    {
        char buf[256];
        int32 len = 0;
        sockaddr_in from{};
        while (rc->receive(buf, sizeof buf, len, from) == 0)
        {
            if (len != 99)
                continue;
            const std::string b(buf, 99);
            m_requests.push_back(Seen{static_cast<uint32_t>(getLe(b, 0, 4)),
                                      std::string(b.data() + 20, strnlen(b.data() + 20, 9)),
                                      static_cast<uint32_t>(getLe(b, 54, 4)), static_cast<int32_t>(getLe(b, 91, 4)),
                                      std::chrono::steady_clock::now(), getLe(b, 83, 8)});
        }
        return m_requests;
    }

    // The recovery answers so far, each with when it was read.
    std::vector<std::pair<Rsp, std::chrono::steady_clock::time_point>> timedAnswers()
    {
        const size_t before = m_answers.size();
        answers();
        for (size_t i = before; i < m_answers.size(); ++i)
            m_answerTimes.push_back(std::chrono::steady_clock::now());
        std::vector<std::pair<Rsp, std::chrono::steady_clock::time_point>> out;
        for (size_t i = 0; i < m_answerTimes.size(); ++i)
            out.emplace_back(m_answers[i], m_answerTimes[i]);
        return out;
    }

    // The topic data datagrams so far: (seq, resend session) of those resent.
    std::vector<std::pair<uint64, int>> resent()
    {
        drain();
        return m_resent;
    }

    // The heartbeats so far, per topic.
    std::map<std::string, int> heartbeats()
    {
        drain();
        return m_heartbeats;
    }

    std::unique_ptr<MslSocket> rc, rac, data;
    std::unique_ptr<MslSocket> acks; // to the topic's acknowledgement group; not joined

private:
    void drain()
    {
        char buf[1500];
        int32 len = 0;
        sockaddr_in from{};
        while (data->receive(buf, sizeof buf, len, from) == 0)
        {
            const std::string b(buf, static_cast<size_t>(len));
            const uint64 cmd = len >= 94 ? getLe(b, 0, 4) : 0;
            if ((cmd == 13 || cmd == 21) && b[71] == 1)
                m_resent.emplace_back(getLe(b, 38, 8), static_cast<uint8_t>(b[89]));
            else if (cmd == 15)
                ++m_heartbeats[std::string(b.data() + 72, strnlen(b.data() + 72, 17))];
        }
    }

    std::vector<Rsp> m_answers;
    std::vector<std::chrono::steady_clock::time_point> m_answerTimes;
    std::vector<Seen> m_requests;
    std::vector<std::pair<uint64, int>> m_resent;
    std::map<std::string, int> m_heartbeats;
};
} // namespace rectest
