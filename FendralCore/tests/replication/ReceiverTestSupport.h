// A standby's registry for the replication receiver's tests: the framework
// threads it talks to, an application thread owning a TCP listen server, a
// TCP client channel, a multicast channel and a topic, all replicated, and
// the replication topic; records wrapped as the messaging service hands them
// to the receiver.
#pragma once

#include "FendralCore/tests/registry/RegistryTestSupport.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/messaging/ReplicationReceiver.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

class ReceiverFixture : public ::testing::Test
{
protected:
    static constexpr uint32 QUEUE_LEN = 64;

    explicit ReceiverFixture(OptimizationMode mode = LOW_LATENCY) : m_config(""), m_registry(m_config.get())
    {
        m_gd.setAppId("RTEST");
        m_gd.m_appMode.store(STANDBY_MODE);
        m_gd.m_optMode.store(mode);
        m_gd.m_repliServiceEnabled = true;
        m_ctl = thread("CTL_THREAD", m_ctlQ, mode);
        m_svc = thread("MSG_SERVICE", m_svcQ, mode);
        m_self = thread("MSG_REPLICATOR", m_selfQ, mode);
        m_owner = thread("OWNER", m_ownerQ, mode);
        m_fwd = thread("FWD_THREAD", m_fwdQ, mode);
        m_owner->appThread = true;
        m_fwd->appThread = true;
        m_owner->tmpMsgStorePtr = &m_ownerStore;
        m_fwd->tmpMsgStorePtr = &m_fwdStore;
        m_gd.m_tmpMsgRepository.insert(UInt128(m_owner->threadNameTxt, true),
                                       reinterpret_cast<DataValueType>(&m_ownerStore), true);

        MsgTopicParam rt;
        m_registry.initMsgTopicParam(rt);
        setName(rt.topicNameTxt, "RTEST_FW_REPL");
        setName(rt.threadNameTxt, "MSG_REPLICATOR");
        rt.logicalChnNum = 997;
        rt.openType = SUBSCRIBE;
        EXPECT_GE(m_registry.registerMsgTopicRes(rt, &m_repliTopic), -2) << lastCode();

        TcpConnParam srv;
        m_registry.initTcpConnParam(srv);
        setName(srv.connNameTxt, "SRV");
        setName(srv.threadNameTxt, "OWNER");
        setText(srv.interfaceTxt, "127.0.0.1");
        srv.tcpMode = TCP_SERVER_LISTEN_MODE;
        srv.replicationMode = INPUT_OUTPUT_REPLICATION;
        srv.msgJournalEnabled = true;
        EXPECT_EQ(m_registry.registerTcpConnRes(srv, &m_srv, false), 0) << lastCode();

        TcpConnParam cli;
        m_registry.initTcpConnParam(cli);
        setName(cli.connNameTxt, "CLI");
        setName(cli.threadNameTxt, "OWNER");
        setText(cli.remoteAddrTxt, "127.0.0.1");
        cli.remotePort = 9000;
        cli.replicationMode = INPUT_OUTPUT_REPLICATION;
        EXPECT_EQ(m_registry.registerTcpConnRes(cli, &m_cli, false), 0) << lastCode();

        TcpConnParam plain = cli;
        setName(plain.connNameTxt, "PLAIN");
        plain.replicationMode = NO_REPLICATION;
        EXPECT_EQ(m_registry.registerTcpConnRes(plain, nullptr, false), 0) << lastCode();

        UdpConnParam mc;
        m_registry.initUdpConnParam(mc);
        setName(mc.connNameTxt, "MCAST");
        setName(mc.threadNameTxt, "OWNER");
        setText(mc.interfaceTxt, "127.0.0.1");
        setText(mc.destAddrTxt, "239.1.2.3");
        mc.port = 5000;
        mc.udpMode = MULTICAST_RECEIVER_MODE;
        mc.replicationMode = INPUT_REPLICATION;
        EXPECT_EQ(m_registry.registerUdpConnRes(mc, &m_mcast), 0) << lastCode();

        MsgTopicParam tp;
        m_registry.initMsgTopicParam(tp);
        setName(tp.topicNameTxt, "APPTOPIC");
        setName(tp.threadNameTxt, "OWNER");
        tp.openType = SUBSCRIBE;
        tp.replicationMode = INPUT_REPLICATION;
        EXPECT_GE(m_registry.registerMsgTopicRes(tp, &m_topic), -2) << lastCode();

        m_rx = std::make_unique<ReplicationReceiver>(m_self, m_registry, m_gd, nullptr);
    }

    struct Queues
    {
        std::unique_ptr<FwMessageQueue> normal, high;
    };

    ThreadResource* thread(const char* name, Queues& q, OptimizationMode mode)
    {
        ThreadResource* res = registerTestThread(m_registry, name, q.normal, q.high, QUEUE_LEN, mode);
        EXPECT_NE(res, nullptr) << name;
        return res;
    }

    // INIT in standby and CONN_INIT: the receiver ready for records.
    void start()
    {
        ASSERT_EQ(m_rx->initialize(), 0) << lastCode();
        FwIntMessage init = event(INIT);
        init.appMsg.event.eventParam.paramInt32 = STANDBY_MODE;
        ASSERT_EQ(m_rx->processMessage(init, m_selfQ.high.get()), 0);
        ASSERT_EQ(m_rx->processMessage(event(CONN_INIT), m_selfQ.high.get()), 0);
        EXPECT_EQ(takeEvents(*m_ctlQ.high), std::vector<int32>{INIT_ACK});
    }

    static FwIntMessage event(FwEventID id, const char* resName = "")
    {
        FwIntMessage m{};
        m.appMsg.type = MSG_EVENT;
        m.appMsg.event.id = id;
        ResourceManager::copyResourceName(m.originatorTxt, "CTL_THREAD");
        ResourceManager::copyResourceName(m.appMsg.event.eventParam.resNameTxt, resName);
        return m;
    }

    // A replication-topic event from the messaging service.
    FwIntMessage topicEvent(FwEventID id, int16 p16 = 0, int32 p32 = 0)
    {
        FwIntMessage m = event(id, "RTEST_FW_REPL");
        ResourceManager::copyResourceName(m.originatorTxt, "MSG_SERVICE");
        m.appMsg.event.eventParam.paramInt16 = p16;
        m.appMsg.event.eventParam.paramInt32 = p32;
        return m;
    }

    // A data record the active would publish.
    static FwIntMessage dataRecord(ExtChannelType chn, const char* channel, const std::string& bytes,
                                   DataDirection dir = INCOMING_DATA, int32 part = 0, bool more = false)
    {
        FwIntMessage m{};
        m.appMsg.type = MSG_DATA;
        ResourceManager::copyResourceName(m.originatorTxt, dir == INCOMING_DATA ? "DATA_STREAM_HDR" : "OWNER");
        ResourceManager::copyResourceName(m.recipientTxt, "MSG_REPLICATOR");
        Data_t& d = m.appMsg.data;
        ResourceManager::copyResourceName(d.channelNameTxt, channel);
        d.chnType = chn;
        d.dataDir = dir;
        d.fdPtr = reinterpret_cast<void*>(0x10); // the active's address
        d.dataLen = static_cast<uint32>(bytes.size());
        d.msgPartNum = part;
        d.more = more;
        std::memcpy(d.buffer, bytes.data(), bytes.size());
        return m;
    }

    static FwIntMessage eventRecord(FwEventID id, const char* channel)
    {
        FwIntMessage m = event(id, channel);
        ResourceManager::copyResourceName(m.originatorTxt, "NET_RECEIVER");
        m.appMsg.event.eventParam.resPtr = reinterpret_cast<void*>(0x20);
        return m;
    }

    // The record bytes as the messaging service hands them on: data of the
    // replication topic, in parts of at most 2200 bytes.
    std::vector<FwIntMessage> wrapBytes(const std::string& rec)
    {
        std::vector<FwIntMessage> out;
        ++m_topicSeq;
        size_t off = 0;
        int32 part = 0;
        do
        {
            const size_t chunk = std::min<size_t>(rec.size() - off, Data_t::MAX_DATA_LEN);
            FwIntMessage m{};
            m.appMsg.type = MSG_DATA;
            ResourceManager::copyResourceName(m.originatorTxt, "MSG_SERVICE");
            ResourceManager::copyResourceName(m.recipientTxt, "MSG_REPLICATOR");
            Data_t& d = m.appMsg.data;
            ResourceManager::copyResourceName(d.channelNameTxt, "RTEST_FW_REPL");
            d.chnType = MSG_TOPIC_CHANNEL;
            d.dataDir = INCOMING_DATA;
            d.msgTopicSeq = m_topicSeq;
            d.dataLen = static_cast<uint32>(chunk);
            d.msgPartNum = part++;
            d.more = off + chunk < rec.size();
            std::memcpy(d.buffer, rec.data() + off, chunk);
            out.push_back(m);
            off += chunk;
        } while (off < rec.size());
        return out;
    }

    std::vector<FwIntMessage> wrap(const FwIntMessage& rec)
    {
        return wrapBytes(std::string(reinterpret_cast<const char*>(&rec), rec.usedSize()));
    }

    void feed(const FwIntMessage& rec)
    {
        for (const FwIntMessage& m : wrap(rec))
            ASSERT_EQ(m_rx->processMessage(m, m_selfQ.normal.get()), 0);
    }

    // Into the receiver's own normal queue, as the messaging service puts it.
    void queue(const FwIntMessage& rec)
    {
        for (const FwIntMessage& m : wrap(rec))
            ASSERT_EQ(m_selfQ.normal->putMessage(&m), 0);
    }

    static std::vector<FwIntMessage> takeAll(FwMessageQueue& q)
    {
        std::vector<FwIntMessage> out;
        FwIntMessage m{};
        bool more = false;
        while (q.getMessage(&m, more) == 0)
            out.push_back(m);
        return out;
    }

    static std::vector<int32> takeEvents(FwMessageQueue& q)
    {
        std::vector<int32> ids;
        for (const FwIntMessage& m : takeAll(q))
            ids.push_back(m.appMsg.type == MSG_EVENT ? m.appMsg.event.id : -1);
        return ids;
    }

    static std::string payload(const FwIntMessage& m)
    {
        return m.appMsg.type == MSG_DATA ? std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen)
                                         : "#" + std::to_string(m.appMsg.event.id);
    }

    int32 tcpCount()
    {
        int32 n = 0;
        ResourceName name{};
        TcpConnResource* r = nullptr;
        for (int32 w = m_registry.getFirstTcpConnRes(name, &r); w == 0; w = m_registry.getNextTcpConnRes(name, &r))
            ++n;
        return n;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    GlobalData m_gd;
    Queues m_ctlQ, m_svcQ, m_selfQ, m_ownerQ, m_fwdQ;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_svc = nullptr;
    ThreadResource* m_self = nullptr;
    ThreadResource* m_owner = nullptr;
    ThreadResource* m_fwd = nullptr;
    MessageStore m_ownerStore;
    MessageStore m_fwdStore;
    MsgTopicResource* m_repliTopic = nullptr;
    TcpConnResource* m_srv = nullptr;
    TcpConnResource* m_cli = nullptr;
    UdpConnResource* m_mcast = nullptr;
    MsgTopicResource* m_topic = nullptr;
    std::unique_ptr<ReplicationReceiver> m_rx;
    uint64 m_topicSeq = 0;
};
