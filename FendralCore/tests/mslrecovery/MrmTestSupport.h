// A small recovery instance for the tests, and the framework topics every
// node of an MRM test registers as the control thread does.
//
// The instance is a messaging service flagged as an MRM application
// (application id: the base name and its partition) whose application
// thread is this fixture: it subscribes to the topics it carries and keeps
// every message, publishes its local and cross-site MRM topics (its service
// sends its heartbeats and answers partition enquiries), subscribes to the
// recovery-request topics of the subscribers, and answers each request with
// an acceptance and the messages after the requester's number: as
// long-recovery records on its MRM topic, or as quick-recovery data. It can
// be told to stay silent or to refuse. Test support only: real instances
// are separate products.
//
// Records are written and read from the byte offsets, not from the
// service's descriptors.
#pragma once

#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mrmtest
{
using rectest::getLe;
using rectest::putLe;

constexpr const char* BASE = "MRM";
constexpr int32 RECO_CHN = 998;
constexpr int32 LOCAL_CHN = 999;
constexpr int32 CROSS_CHN = 996;

inline std::string localTopic(int p, int i)
{
    return std::string(BASE) + std::to_string(p) + ":" + std::to_string(i) + "L";
}
inline std::string crossTopic(int p, int i)
{
    return std::string(BASE) + std::to_string(p) + ":" + std::to_string(i) + "C";
}
inline std::string recoTopic(const std::string& appId, int inst)
{
    return appId + ":" + std::to_string(inst) + "_RECO";
}

inline MsgTopicResource* registerTopic(rectest::Node& n, const std::string& name, const char* thread, int32 chn,
                                       MsgTopicOpenType type)
{
    MsgTopicParam p;
    n.h->registry().initMsgTopicParam(p);
    ResourceManager::copyResourceName(p.topicNameTxt, name.c_str());
    ResourceManager::copyResourceName(p.threadNameTxt, thread);
    p.logicalChnNum = chn;
    p.openType = type;
    p.openAtStartup = true;
    p.channelType = NORMAL_CHANNEL;
    p.replicationMode = NO_REPLICATION;
    MsgTopicResource* res = nullptr;
    const int32 rc = n.h->registry().registerMsgTopicRes(p, &res);
    EXPECT_TRUE(rc == 0 || rc == -2) << name << " " << FrameworkErrno::m_fwErrno;
    return res;
}

// The MRM layout of a node's global data: partitions by instances, this
// node an instance of partition when mrmInst >= 0.
inline std::function<void(GlobalData&)> mrmIdentity(int partitions, int instances, int mrmInst = -1,
                                                    ApplicationSite site = PRIMARY_SITE)
{
    return [=](GlobalData& gd) {
        std::memset(gd.m_mrmBaseName, 0, sizeof(ApplicationID));
        std::memcpy(gd.m_mrmBaseName, BASE, std::strlen(BASE));
        gd.m_mrmBaseNameLen = static_cast<int32>(std::strlen(BASE));
        gd.m_numMrmPartition = partitions;
        gd.m_numMrmInst = instances;
        gd.m_mrmApplication = mrmInst >= 0;
        gd.m_siteId = site;
        for (int p = 0; p < partitions; ++p)
            for (int i = 0; i < instances; ++i)
            {
                ResourceManager::copyResourceName(gd.m_mrmLocalTopicNameList[p][i], localTopic(p, i).c_str());
                ResourceManager::copyResourceName(gd.m_mrmCrossSiteTopicNameList[p][i], crossTopic(p, i).c_str());
            }
        if (mrmInst >= 0)
        {
            ResourceManager::copyResourceName(gd.m_thisMrmLocalTopicName, localTopic(0, mrmInst).c_str());
            ResourceManager::copyResourceName(gd.m_thisMrmCrossSiteTopicName, crossTopic(0, mrmInst).c_str());
        }
    };
}

// The framework topics of a node as the control thread registers them: its
// own recovery-request topic, and every instance's MRM topics (published by
// the instance itself, subscribed by everyone else).
inline void registerFrameworkTopics(rectest::Node& n, const std::string& appId, int inst, int partitions,
                                    int instances, int mrmInst)
{
    registerTopic(n, recoTopic(appId, inst), "MSG_SERVICE", RECO_CHN, PUBLISH);
    for (int p = 0; p < partitions; ++p)
        for (int i = 0; i < instances; ++i)
        {
            const MsgTopicOpenType type = i == mrmInst ? PUBLISH : SUBSCRIBE;
            registerTopic(n, localTopic(p, i), "MSG_SERVICE", LOCAL_CHN, type);
            registerTopic(n, crossTopic(p, i), "MSG_SERVICE", CROSS_CHN, type);
        }
}

// The lines every node of an MRM test adds to the plan.
inline std::string mrmConfig(const std::string& more = "")
{
    return more + "MCAST_JOIN_LD_TM UINT32 5\nMRM_HB_TIME UINT32 100\n";
}

class Instance
{
public:
    enum Mode
    {
        ANSWER,      // accept and resend
        SILENT,      // read requests, answer nothing
        REFUSE,      // refuse with "message not available"
        ACCEPT_ONLY, // accept and send nothing
        ANSWER_HALF, // accept and send the first half
    };

    struct Request
    {
        std::string requester;
        int32 requesterInst;
        uint32 rqsId;
        std::string topic;
        int32 mode;
        uint64 lastSeq;
    };

    // Instance inst of partition 0 on host, carrying topics and serving the
    // recovery-request topics of the given subscribers (app id, instance).
    Instance(rectest::Net& net, int inst, int instances, const std::string& host, const std::vector<std::string>& topics,
             const std::vector<std::pair<std::string, int>>& subscribers, ApplicationSite site = PRIMARY_SITE)
        : m_inst(inst)
    {
        std::vector<rectest::TopicSpec> specs;
        for (const std::string& t : topics)
            specs.push_back(rectest::TopicSpec{t, SUBSCRIBE});
        rectest::Net::Extra extra;
        extra.inst = inst;
        extra.adjust = mrmIdentity(1, instances, inst, site);
        extra.beforeStart = [&](rectest::Node& n) {
            registerFrameworkTopics(n, std::string(BASE) + "0", inst, 1, instances, inst);
            for (const auto& [app, appInst] : subscribers)
                registerTopic(n, recoTopic(app, appInst), "APP1", RECO_CHN, SUBSCRIBE);
            n.onData = [this](const FwIntMessage& m) { take(m); };
        };
        m_node = &net.add(std::string(BASE) + "0", host, specs, mrmConfig(), false, extra);
    }

    rectest::Node& node() { return *m_node; }
    void setMode(Mode m) { m_mode = m; }
    // Quick data in place of long-recovery records.
    void setQuick(bool quick) { m_quick = quick; }
    // While held, requests wait unanswered.
    void hold(bool held) { m_held = held; }
    // The first session served loses records [first, first + count) on
    // the way to one subscriber: deafen(true) before the first of them is
    // sent, deafen(false) after the last.
    void loseRecords(size_t first, size_t count, std::function<void(bool)> deafen)
    {
        m_loseFirst = first;
        m_loseCount = count;
        m_deafen = std::move(deafen);
    }
    const std::vector<Request>& requests() const { return m_requests; }
    int endNotices() const { return m_endNotices; }
    size_t historySize() const
    {
        size_t n = 0;
        for (const auto& [topic, msgs] : m_history)
            n += msgs.size();
        return n;
    }

    // Answers the requests that came since the last call.
    void serve()
    {
        if (m_held)
            return;
        for (; m_served < m_requests.size(); ++m_served)
        {
            const Request r = m_requests[m_served];
            if (m_mode == SILENT)
                continue;
            uint64 current = 0;
            const auto& hist = m_history[r.topic];
            if (!hist.empty())
                current = hist.rbegin()->first;
            if (m_mode == REFUSE)
            {
                answer(r, -1, 0, 0, 2205);
                continue;
            }
            const uint32 session = ++m_session;
            answer(r, 0, current, session, 0);
            if (m_mode == ACCEPT_ONLY)
                continue;
            const size_t total = static_cast<size_t>(std::distance(hist.upper_bound(r.lastSeq), hist.end()));
            size_t sent = 0;
            size_t index = 0;
            for (auto it = hist.upper_bound(r.lastSeq); it != hist.end(); ++it, ++index)
            {
                if (m_mode == ANSWER_HALF && ++sent > total / 2)
                    break;
                if (m_deafen && index == m_loseFirst)
                    m_deafen(true);
                const std::string& bytes = it->second;
                const MrmCmdType cmd = m_quick ? MRM_QUICK_RECOVERY_MSG : MRM_LONG_RECOVERY_MSG;
                ASSERT_EQ(mrmTopic()->sendMrmMessage(cmd, m_quick ? 0 : session, bytes.data(),
                                                     static_cast<int32>(bytes.size()), r.requester.c_str(),
                                                     r.requesterInst),
                          0)
                    << FrameworkErrno::m_fwErrno;
                if (m_deafen && index + 1 == m_loseFirst + m_loseCount)
                {
                    m_deafen(false);
                    m_deafen = nullptr;
                }
            }
        }
    }

    // A record of the test's own on this instance's MRM topic, to
    // requester.
    int32 sendRaw(MrmCmdType cmd, const std::string& record, const std::string& requester, int32 inst)
    {
        return mrmTopic()->sendMrmMessage(cmd, 0, record.data(), static_cast<int32>(record.size()), requester.c_str(),
                                          inst);
    }

    TopicPublisher* mrmTopic()
    {
        MsgTopicResource* res = nullptr;
        ResourceName name{};
        ResourceManager::copyResourceName(name, localTopic(0, m_inst).c_str());
        if (m_node->h->registry().getMsgTopicRes(name, &res) != 0 || res == nullptr)
            return nullptr;
        return res->msgTopicPtr;
    }

    // The MRM_TOPIC_RSP record from the bytes.
    static std::string rspRecord(uint32 rqsId, const std::string& topic, int32 status, uint64 current, uint32 session,
                                 int32 error)
    {
        std::string b(45, '\0');
        putLe(b, 0, 1, 4);
        putLe(b, 4, rqsId, 4);
        std::memcpy(b.data() + 8, topic.data(), std::min<size_t>(topic.size(), 16));
        putLe(b, 25, static_cast<uint32>(status), 4);
        putLe(b, 29, current, 8);
        putLe(b, 37, session, 4);
        putLe(b, 41, static_cast<uint32>(error), 4);
        return b;
    }

private:
    void take(const FwIntMessage& m)
    {
        const Data_t& d = m.appMsg.data;
        const std::string b(d.buffer, d.dataLen);
        if (d.dataLen >= 94 && getLe(b, 0, 4) == 13)
        {
            // A whole topic message: what an instance keeps.
            const std::string topic(b.data() + 72, strnlen(b.data() + 72, 17));
            m_history[topic][getLe(b, 38, 8)] = b;
        }
        else if (d.dataLen == 37 && getLe(b, 0, 4) == 0)
            m_requests.push_back(Request{std::string(d.peerAppIdTxt, strnlen(d.peerAppIdTxt, 9)), d.peerAppInstId,
                                         static_cast<uint32>(getLe(b, 4, 4)),
                                         std::string(b.data() + 8, strnlen(b.data() + 8, 17)),
                                         static_cast<int32>(getLe(b, 25, 4)), getLe(b, 29, 8)});
        else if (d.dataLen == 21 && getLe(b, 0, 4) == 2)
            ++m_endNotices;
    }

    void answer(const Request& r, int32 status, uint64 current, uint32 session, int32 error)
    {
        const std::string b = rspRecord(r.rqsId, r.topic, status, current, session, error);
        ASSERT_EQ(sendRaw(MRM_TOPIC_RSP, b, r.requester, r.requesterInst), 0) << FrameworkErrno::m_fwErrno;
    }

    int m_inst;
    rectest::Node* m_node = nullptr;
    Mode m_mode = ANSWER;
    bool m_quick = false;
    bool m_held = false;
    uint32 m_session = 0;
    std::map<std::string, std::map<uint64, std::string>> m_history;
    std::vector<Request> m_requests;
    size_t m_served = 0;
    int m_endNotices = 0;
    size_t m_loseFirst = 0;
    size_t m_loseCount = 0;
    std::function<void(bool)> m_deafen;
};
} // namespace mrmtest
