#include "RegistryFixture.h"

#include "FendralCore/foundation/GlobalData.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <string>
#include <thread>

namespace
{

class ResourceManagerTest : public RegistryFixture
{
};

std::string indexed(const char* prefix, int i)
{
    return prefix + std::to_string(i);
}

// Each kind takes its limit's number of records, and refuses the next with
// RES_REG_FULL; a configured limit below 1 gives the default.
TEST_F(ResourceManagerTest, EachKindStopsAtItsLimit)
{
    struct Case
    {
        const char* config;
        const char* kind;
        int32 limit;
        bool needsThread; // channels need their owning thread
        std::function<int32(ResourceManagerTest&, int)> add;
    };
    auto thread = [](ResourceManagerTest& t, int i) {
        return t.reg().registerThreadRes(t.threadParam(indexed("TH", i).c_str()), true, nullptr);
    };
    auto tcp = [](ResourceManagerTest& t, int i) {
        return t.reg().registerTcpConnRes(t.tcpClient(indexed("C", i).c_str()), nullptr, false);
    };
    auto udp = [](ResourceManagerTest& t, int i) {
        return t.reg().registerUdpConnRes(t.udp(indexed("U", i).c_str()), nullptr);
    };
    auto ipc = [](ResourceManagerTest& t, int i) {
        return t.reg().registerIpcRes(t.ipc(indexed("I", i).c_str()), nullptr);
    };
    auto topic = [](ResourceManagerTest& t, int i) {
        return t.reg().registerMsgTopicRes(t.topic(indexed("TP", i).c_str()), nullptr);
    };
    auto pipeline = [](ResourceManagerTest& t, int i) {
        return t.reg().registerPipelineRes(t.pipeline(indexed("P", i).c_str()), nullptr);
    };
    const Case cases[] = {
        {"", "threads", 10, false, thread},
        {"THREAD_RES_MAX INT32 0\n", "threads, 0 configured", 10, false, thread},
        {"THREAD_RES_MAX INT32 -3\n", "threads, -3 configured", 10, false, thread},
        {"THREAD_RES_MAX INT32 13\n", "threads, 13 configured", 13, false, thread},
        {"", "TCP connections", 20, true, tcp},
        {"TCP_CONN_RES_MAX INT32 3\n", "TCP connections, 3 configured", 3, true, tcp},
        {"", "UDP channels", 10, true, udp},
        {"UDP_CONN_RES_MAX INT32 2\n", "UDP channels, 2 configured", 2, true, udp},
        {"", "IPC channels", 5, true, ipc},
        {"IPC_RES_MAX INT32 0\n", "IPC channels, 0 configured", 5, true, ipc},
        {"", "pipelines", 5, false, pipeline},
        {"PIPELINE_RES_MAX INT32 1\n", "pipelines, 1 configured", 1, false, pipeline},
        {"", "topics", 200, true, topic},
        {"TOPIC_MAX INT32 3\nSUB_MAX INT32 0\n", "topics, 3 + default", 103, true, topic},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.kind));
        useConfig(c.config);
        if (c.needsThread)
            addThread("T");
        for (int i = 0; i < c.limit; ++i)
            ASSERT_EQ(c.add(*this, i), 0) << i << " code " << lastCode();
        EXPECT_EQ(c.add(*this, c.limit), -1);
        EXPECT_EQ(lastCode(), RES_REG_FULL);
    }
}

TEST_F(ResourceManagerTest, NamesAreCheckedOnRegistration)
{
    struct Case
    {
        const char* what;
        std::string bytes;
        int32 code; // 0: registered
    };
    const Case cases[] = {
        {"16 characters", std::string(16, 'a'), 0},
        {"1 character", "b", 0},
        {"17 characters", std::string(17, 'c'), RES_NAME_NOT_NULL_TERM},
        {"text after the NUL", std::string("de\0f", 4), RES_NAME_NOT_NULL_PADDED},
        {"empty", std::string(), RES_NO_NAME},
        {"taken", "b", RES_NAME_EXIST},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        ThreadParam p = threadParam("");
        setRawName(p.threadNameTxt, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), c.code == 0 ? 0 : -1);
        if (c.code != 0)
        {
            EXPECT_EQ(lastCode(), c.code);
        }
        EXPECT_EQ(reg().isValidResName(p.threadNameTxt), c.code == 0 || c.code == RES_NAME_EXIST ? 0 : -1);
    }
    int32 size = -1;
    reg().getThreadResSize(size);
    EXPECT_EQ(size, 2);
}

TEST_F(ResourceManagerTest, CopyResourceNameKeepsSixteenCharacters)
{
    ResourceName name;
    std::memset(name, 'x', sizeof(name));
    ResourceManager::copyResourceName(name, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(std::string(name, 17), std::string("ABCDEFGHIJKLMNOP") + '\0');
    ResourceManager::copyResourceName(name, "ab");
    EXPECT_EQ(std::string(name, 17), std::string("ab") + std::string(15, '\0'));
    ResourceManager::copyResourceName(name, nullptr);
    EXPECT_STREQ(name, "ab");
}

TEST_F(ResourceManagerTest, ListenConnectionsNameTheirAcceptedOnes)
{
    addThread("T");
    struct Case
    {
        const char* name;
        const char* prefix;
        int64 max;
    };
    for (const Case& c : {Case{"LISTEN0123", "LISTEN0123:", 99999}, Case{"L", "L:", 99999999999999}})
    {
        TcpConnResource* rec = nullptr;
        ASSERT_EQ(reg().registerTcpConnRes(tcpListen(c.name), &rec, false), 0) << c.name;
        EXPECT_STREQ(rec->srvConnNamePrefix, c.prefix);
        EXPECT_EQ(rec->srvConnNamePrefixLen, static_cast<int32>(std::strlen(c.prefix)));
        EXPECT_EQ(rec->nextInConnNum, 0);
        EXPECT_EQ(rec->inConnNumMax, c.max);
        EXPECT_EQ(rec->status.load(), RES_REGISTERED);
        EXPECT_STREQ(rec->interfaceAddrTxt, "127.0.0.1");
    }
    EXPECT_EQ(reg().registerTcpConnRes(tcpListen("LISTEN01234"), nullptr, false), -1);
    EXPECT_EQ(lastCode(), RES_TCP_SVR_NAME_TOO_LONG);
    // Other modes may use all 16 characters.
    EXPECT_EQ(reg().registerTcpConnRes(tcpClient("CLIENT0123456789"), nullptr, false), 0);
}

TEST_F(ResourceManagerTest, ChannelsNeedTheirThreadAndPipeline)
{
    addThread("T");
    UdpConnParam noThread = udp("U1", "NOBODY");
    EXPECT_EQ(reg().registerUdpConnRes(noThread, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_NOT_EXIST);
    EXPECT_EQ(reg().registerTcpConnRes(tcpClient("C1", "NOBODY"), nullptr, false), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_NOT_EXIST);
    EXPECT_EQ(reg().registerIpcRes(ipc("I1", "NOBODY"), nullptr), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_NOT_EXIST);
    EXPECT_EQ(reg().registerMsgTopicRes(topic("TP", "NOBODY"), nullptr), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_NOT_EXIST);

    TcpConnParam viaPipeline = tcpClient("C2");
    viaPipeline.channelType = PIPELINE_CHANNEL;
    setName(viaPipeline.pipelineNameTxt, "PL");
    EXPECT_EQ(reg().registerTcpConnRes(viaPipeline, nullptr, false), -1);
    EXPECT_EQ(lastCode(), RES_PL_NOT_EXIST);
    ASSERT_EQ(reg().registerPipelineRes(pipeline("PL"), nullptr), 0);
    TcpConnResource* rec = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(viaPipeline, &rec, false), 0);
    EXPECT_TRUE(rec->usePipeline);
}

TEST_F(ResourceManagerTest, ThreadsClaimPipelineStages)
{
    ASSERT_EQ(reg().registerPipelineRes(pipeline("PL", 3), nullptr), 0);
    PipelineResource* pl = nullptr;
    ASSERT_EQ(reg().getPipelineRes(Name("PL"), &pl), 0);
    auto serving = [this](const char* name, std::initializer_list<int32> stages) {
        ThreadParam p = threadParam(name);
        for (int32 stage : stages)
        {
            setName(p.pipelineInfo[p.numOfPipeline].pipelineNameTxt, "PL");
            p.pipelineInfo[p.numOfPipeline].pipelineStageNum = stage;
            ++p.numOfPipeline;
        }
        return p;
    };
    ThreadResource* a = nullptr;
    ASSERT_EQ(reg().registerThreadRes(serving("A", {2}), true, &a), 0);
    EXPECT_EQ(a->numOfPipeline, 1);
    EXPECT_STREQ(a->pipelineRec[0].pipelineNameTxt, "PL");
    EXPECT_EQ(a->pipelineRec[0].appPlStageNum, 2);
    EXPECT_TRUE(a->pipelineRec[0].isLastStage);

    EXPECT_EQ(reg().registerThreadRes(serving("B", {2}), true, nullptr), -2);
    EXPECT_EQ(lastCode(), RES_PL_STAGE_ALREADY_ASSIGNED);
    ThreadResource* b = nullptr;
    EXPECT_EQ(reg().getThreadRes(Name("B"), &b), 0) << "registered despite the warning";

    EXPECT_EQ(reg().registerThreadRes(serving("C", {0, 0}), true, nullptr), -2) << "one record, one stage twice";
    EXPECT_EQ(reg().registerThreadRes(serving("D", {3}), true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_PL_STAGE_NUM_INVALID);
    EXPECT_EQ(reg().registerThreadRes(serving("E", {-1}), true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_PL_STAGE_NUM_INVALID);
    ThreadParam unknown = serving("F", {1});
    setName(unknown.pipelineInfo[0].pipelineNameTxt, "NOPE");
    EXPECT_EQ(reg().registerThreadRes(unknown, true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_PL_NOT_EXIST);
    EXPECT_EQ(pl->stageCheckBitmask, 0b101u);
}

TEST_F(ResourceManagerTest, RefusedThreadClaimsNoStage)
{
    useConfig("STS_RPT_INTERVAL INT32 5000\n");
    ASSERT_EQ(reg().registerPipelineRes(pipeline("PL", 2), nullptr), 0);
    PipelineResource* pl = nullptr;
    ASSERT_EQ(reg().getPipelineRes(Name("PL"), &pl), 0);

    ThreadParam p = threadParam("A");
    p.numOfPipeline = 2;
    setName(p.pipelineInfo[0].pipelineNameTxt, "PL");
    p.pipelineInfo[0].pipelineStageNum = 0;
    setName(p.pipelineInfo[1].pipelineNameTxt, "MISSING");
    EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_PL_NOT_EXIST);

    p.numOfPipeline = 1;
    p.statusCheckInterval = 4; // 4000 ms is below the 5000 ms report interval
    EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_HEALTH_CHECK_INTERVAL_INVALID);
    p.statusCheckInterval = 4294967295u; // would wrap in 32 bits
    EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_HEALTH_CHECK_INTERVAL_INVALID);
    EXPECT_EQ(pl->stageCheckBitmask, 0u) << "the refused registrations claimed stage 0";

    p.statusCheckInterval = 5;
    EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), 0) << "stage 0 is free";
    EXPECT_EQ(pl->stageCheckBitmask, 1u);
    int32 size = -1;
    reg().getThreadResSize(size);
    EXPECT_EQ(size, 1);
}

int32 acceptEverything(const ThreadParam&)
{
    return 0;
}

int32 acceptEveryPipeline(const PipelineParam&)
{
    return 0;
}

TEST_F(ResourceManagerTest, ApplicationChecksCannotBreakTheRecordBounds)
{
    reg().setThreadValidateParamFunc(acceptEverything);
    reg().setPipelineValidateParamFunc(acceptEveryPipeline);
    ThreadParam p = threadParam("A");
    p.numOfPipeline = THREAD_PIPELINE_MAX + 1;
    EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_THREAD_NUM_PL_INVALID);

    struct Case
    {
        int32 stages, entrySize, entries, code;
    };
    for (const Case& c : {Case{3, 2375, 10, RES_PL_ENTRY_SIZE_INVALID}, Case{3, 32769, 10, RES_PL_ENTRY_SIZE_INVALID},
                          Case{0, 2376, 10, RES_PL_NUM_STAGE_INVALID}, Case{31, 2376, 10, RES_PL_NUM_STAGE_INVALID},
                          Case{3, 2376, 0, RES_PL_NUM_ENTRY_INVALID}, Case{3, 2376, 1000001, RES_PL_NUM_ENTRY_INVALID},
                          Case{30, 32768, 1000000, 0}})
    {
        PipelineParam pl = pipeline(indexed("P", c.stages).c_str(), c.stages);
        pl.entrySize = c.entrySize;
        pl.numEntry = c.entries;
        EXPECT_EQ(reg().registerPipelineRes(pl, nullptr), c.code == 0 ? 0 : -1) << c.entrySize;
        if (c.code != 0)
        {
            EXPECT_EQ(lastCode(), c.code);
        }
    }

    // The installed check replaces the standard one.
    p.numOfPipeline = 0;
    p.messageQueueLength = 1;
    EXPECT_EQ(reg().registerThreadRes(p, true, nullptr), 0);
}

TEST_F(ResourceManagerTest, DispatcherThreadsMayNotRegister)
{
    addThread("T");
    ASSERT_EQ(reg().registerPipelineRes(pipeline("PL"), nullptr), 0);
    std::vector<std::pair<std::string, int32>> results;
    std::thread dispatcher([&] {
        ResourceManager::setDispatcherThread(true);
        results.emplace_back("thread", reg().registerThreadRes(threadParam("A"), true, nullptr));
        results.emplace_back("tcp", reg().registerTcpConnRes(tcpClient("C"), nullptr, false));
        results.emplace_back("accepted tcp", reg().registerTcpConnRes(tcpAccepted("L:1"), nullptr, true));
        results.emplace_back("udp", reg().registerUdpConnRes(udp("U"), nullptr));
        results.emplace_back("ipc", reg().registerIpcRes(ipc("I"), nullptr));
        results.emplace_back("topic", reg().registerMsgTopicRes(topic("TP"), nullptr));
        results.emplace_back("pipeline", reg().registerPipelineRes(pipeline("PL2"), nullptr));
        results.emplace_back("callback", reg().registerThreadAppCallback(
                                             Name("T"), [](MessageType, EventMsg*, DataMsg*) { return 0; }));
        for (auto& [what, result] : results)
            result = result == -1 ? lastCode() : result;
    });
    dispatcher.join();
    for (const auto& [what, code] : results)
        EXPECT_EQ(code, RES_REG_NOT_ALLOWED) << what;

    // A receiver thread, which runs no dispatcher, registers accepted connections.
    int32 result = -1;
    std::thread receiver([&] { result = reg().registerTcpConnRes(tcpAccepted("L:1"), nullptr, true); });
    receiver.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(ResourceManager::isDispatcherThread());
}

TEST_F(ResourceManagerTest, LookupsAndWalks)
{
    ResourceName name;
    ThreadResource* rec = nullptr;
    EXPECT_EQ(reg().getThreadFirstRes(name, &rec), -1);
    EXPECT_EQ(lastCode(), RES_EMPTY);
    ThreadResource* a = addThread("A");
    ThreadResource* b = addThread("B");
    EXPECT_EQ(reg().getThreadFirstRes(name, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_NULL_OBJ_PTR);
    EXPECT_EQ(reg().getThreadRes(Name("A"), nullptr), -1);
    EXPECT_EQ(lastCode(), RES_NULL_OBJ_PTR);
    EXPECT_EQ(reg().getThreadRes(Name("Z"), &rec), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);

    ASSERT_EQ(reg().lockThreadRes(ResourceManager::DEFAULT_RES_LOCK_TIMEOUT_MICRO), 0);
    ASSERT_EQ(reg().getThreadFirstRes(name, &rec), 0);
    EXPECT_STREQ(name, "A");
    EXPECT_EQ(rec, a);
    ASSERT_EQ(reg().getThreadNextRes(name, &rec), 0);
    EXPECT_EQ(rec, b);
    EXPECT_EQ(reg().getThreadNextRes(name, &rec), -1);
    EXPECT_EQ(lastCode(), RES_NEXT_END);
    ASSERT_EQ(reg().unlockThreadRes(), 0);

    EXPECT_EQ(a->status.load(), RES_REGISTERED);
    EXPECT_EQ(a->msgQueueLen, 1000);
    EXPECT_EQ(a->statusCheckInterval, 2);
    EXPECT_TRUE(a->appThread);
    EXPECT_EQ(a->thdInfo.tid, static_cast<pthread_t>(~pthread_t{0}));
}

TEST_F(ResourceManagerTest, SubnetInterfacesGetEveryCheck)
{
    addThread("T");
    struct Case
    {
        const char* what;
        std::function<int32(ResourceManagerTest&)> add;
        int32 code;
    };
    const Case cases[] = {
        {"tcp without remote",
         [](ResourceManagerTest& t) {
             TcpConnParam p = t.tcpClient("C1");
             setText(p.interfaceTxt, "127.0.0.0");
             setText(p.remoteAddrTxt, "");
             return t.reg().registerTcpConnRes(p, nullptr, false);
         },
         RES_REMOTE_ADDR_INVALID},
        {"tcp with a bad buffer",
         [](ResourceManagerTest& t) {
             TcpConnParam p = t.tcpListen("C2");
             setText(p.interfaceTxt, "127.0.0.0");
             p.sendBufSize = -7;
             return t.reg().registerTcpConnRes(p, nullptr, false);
         },
         RES_TCP_SND_BUF_SIZE_INVALID},
        {"udp with port 0",
         [](ResourceManagerTest& t) {
             UdpConnParam p = t.udp("U1");
             setText(p.interfaceTxt, "127.0.0.0");
             p.port = 0;
             return t.reg().registerUdpConnRes(p, nullptr);
         },
         RES_UDP_PORT_INVALID},
        {"udp to unicast",
         [](ResourceManagerTest& t) {
             UdpConnParam p = t.udp("U2");
             setText(p.interfaceTxt, "127.0.0.0");
             setText(p.destAddrTxt, "10.1.1.1");
             return t.reg().registerUdpConnRes(p, nullptr);
         },
         RES_MCAST_ADDR_INVALID},
        {"no matching subnet",
         [](ResourceManagerTest& t) {
             UdpConnParam p = t.udp("U3");
             setText(p.interfaceTxt, "10.255.255.0");
             return t.reg().registerUdpConnRes(p, nullptr);
         },
         RES_INT_ADDR_NOT_EXIST},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.add(*this), -1);
        EXPECT_EQ(lastCode(), c.code);
    }
    int32 tcpCount = -1;
    int32 udpCount = -1;
    reg().getTcpConnResSize(tcpCount);
    reg().getUdpConnResSize(udpCount);
    EXPECT_EQ(tcpCount + udpCount, 0);

    TcpConnParam tcp = tcpClient("C3");
    setText(tcp.interfaceTxt, "127.0.0.0");
    TcpConnResource* tcpRec = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcp, &tcpRec, false), 0);
    EXPECT_STREQ(tcpRec->interfaceAddrTxt, "127.0.0.1");
    EXPECT_STREQ(tcpRec->regParam.interfaceTxt, "127.0.0.0");
    UdpConnParam u = udp("U4");
    setText(u.interfaceTxt, "127.0.0.0");
    UdpConnResource* udpRec = nullptr;
    ASSERT_EQ(reg().registerUdpConnRes(u, &udpRec), 0);
    EXPECT_STREQ(udpRec->interfaceAddrTxt, "127.0.0.1");
}

TEST_F(ResourceManagerTest, RefusedRegistrationsLeaveNoEntry)
{
    // One TCP record, so that its slot is the one every registration asks for.
    useConfig("TCP_CONN_RES_MAX INT32 1\n");
    addThread("T");
    UdpConnResource* first = nullptr;
    ASSERT_EQ(reg().registerUdpConnRes(udp("U1"), &first), 0);
    UdpConnParam bad = udp("U2");
    bad.port = 0;
    EXPECT_EQ(reg().registerUdpConnRes(bad, nullptr), -1);
    UdpConnResource* rec = nullptr;
    EXPECT_EQ(reg().getUdpConnRes(Name("U2"), &rec), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
    UdpConnResource* next = nullptr;
    ASSERT_EQ(reg().registerUdpConnRes(udp("U3"), &next), 0);
    EXPECT_EQ(next, first + 1) << "the refused channel took no record";

    // An accepted connection's slot, freed and then asked for by a refused
    // registration, goes to the next good one.
    TcpConnResource* accepted = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpAccepted("L:1"), &accepted, true), 0);
    ASSERT_EQ(reg().removeTcpClientConnRes(Name("L:1"), true), 0);
    EXPECT_EQ(accepted->status.load(), RES_UNUSED);
    EXPECT_STREQ(accepted->tcpConnNameTxt, "");
    TcpConnParam badTcp = tcpAccepted("L:2");
    badTcp.streamBufSize = 0;
    EXPECT_EQ(reg().registerTcpConnRes(badTcp, nullptr, true), -1);
    EXPECT_EQ(lastCode(), RES_TCP_STREAM_BUF_SIZE_INVALID);
    EXPECT_EQ(accepted->status.load(), RES_UNUSED);
    TcpConnResource* reused = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpAccepted("L:3"), &reused, true), 0);
    EXPECT_EQ(reused, accepted);
    EXPECT_STREQ(reused->tcpConnNameTxt, "L:3");
    EXPECT_EQ(reg().removeTcpClientConnRes(Name("L:2"), true), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);

    // A topic refused by its direct pair does not count as a direct channel.
    MsgTopicParam t = topic("TP");
    setText(t.topicDataMcastTxt, "224.0.11.1");
    t.topicDataPortNum = 8006;
    setText(t.topicAckMcastTxt, "239.1.1.1");
    t.topicAckPortNum = 9000;
    EXPECT_EQ(reg().registerMsgTopicRes(t, nullptr), -1);
    EXPECT_EQ(reg().getNumTopicDirectMcastChannel(), 0);
    int32 topics = -1;
    reg().getMsgTopicResSize(topics);
    EXPECT_EQ(topics, 0);
}

TEST_F(ResourceManagerTest, AcceptedConnectionRecordsStartClean)
{
    useConfig("TCP_CONN_RES_MAX INT32 1\n");
    addThread("T");
    TcpConnResource* rec = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpAccepted("L:1"), &rec, true), 0);
    ASSERT_EQ(reg().registerMsgMaskCallback(Name("L:1"), TCP_RES, [](char*, unsigned int len) { return static_cast<int>(len); }), 0);
    rec->congested = true;
    rec->connCloseReason = 5;
    rec->dataSockPtr = reinterpret_cast<TcpDataSocket*>(rec);
    ASSERT_EQ(reg().removeTcpClientConnRes(Name("L:1"), true), 0);
    TcpConnResource* again = nullptr;
    ASSERT_EQ(reg().registerTcpConnRes(tcpAccepted("L:2"), &again, true), 0);
    ASSERT_EQ(again, rec);
    EXPECT_FALSE(again->congested);
    EXPECT_EQ(again->connCloseReason, 0);
    EXPECT_EQ(again->dataSockPtr, nullptr);
    EXPECT_EQ(again->msgMaskFuncPtr, nullptr) << "the previous connection's masking does not carry over";
}

TEST_F(ResourceManagerTest, TopicsWithDirectChannels)
{
    addThread("T");
    auto direct = [this](const char* name, const char* data, uint16 dataPort, const char* ack, uint16 ackPort) {
        MsgTopicParam p = topic(name);
        setText(p.topicDataMcastTxt, data);
        p.topicDataPortNum = dataPort;
        setText(p.topicAckMcastTxt, ack);
        p.topicAckPortNum = ackPort;
        return p;
    };
    MsgTopicResource* t1 = nullptr;
    MsgTopicParam first = direct("T1", "239.1.1.1", 9000, "239.1.1.2", 9001);
    setText(first.interfaceSubnetTxt, "127.0.0.0");
    ASSERT_EQ(reg().registerMsgTopicRes(first, &t1), 0);
    EXPECT_TRUE(t1->directMcastAssigned);
    EXPECT_FALSE(t1->mcastAddrDuplicated);
    EXPECT_EQ(t1->dataMcast, inet_addr("239.1.1.1"));
    EXPECT_EQ(t1->ackMcast, inet_addr("239.1.1.2"));
    EXPECT_STREQ(t1->interfaceTxt, "127.0.0.1");
    EXPECT_EQ(reg().getNumTopicDirectMcastChannel(), 1);

    MsgTopicResource* t2 = nullptr;
    EXPECT_EQ(reg().registerMsgTopicRes(direct("T2", "239.1.1.1", 9000, "239.1.1.2", 9001), &t2), -2);
    EXPECT_EQ(lastCode(), RES_TOPIC_MADDR_USED_IN_OTHER);
    ASSERT_NE(t2, nullptr);
    EXPECT_TRUE(t2->mcastAddrDuplicated);
    EXPECT_EQ(reg().getNumTopicDirectMcastChannel(), 1);

    struct Refused
    {
        const char* data;
        uint16 dataPort;
        const char* ack;
        uint16 ackPort;
        const char* log;
    };
    const Refused refused[] = {
        {"239.1.1.1", 9000, "239.1.1.3", 9001,
         "Not both of the direct assignment of data channel [239.1.1.1:9000] and ack channel [239.1.1.3:9001] for "
         "topic [T3] match the registered topic [T1]."},
        {"239.1.1.5", 9000, "239.1.1.2", 9001, "match the registered topic [T1]."},
        {"239.1.1.2", 9001, "239.1.1.7", 9000,
         "The direct assignment of the data channel [239.1.1.2:9001] for topic [T3] is the same as the ack channel "
         "of the registered topic {T1]."},
        {"239.1.1.7", 9000, "239.1.1.1", 9000,
         "The direct assignment of the ack channel [239.1.1.1:9000] for topic [T3] is the same as the data channel "
         "of the registered topic {T1]."},
    };
    for (const Refused& r : refused)
    {
        SCOPED_TRACE(r.log);
        testLog().clear();
        EXPECT_EQ(reg().registerMsgTopicRes(direct("T3", r.data, r.dataPort, r.ack, r.ackPort), nullptr), -1);
        EXPECT_EQ(lastCode(), RES_TOPIC_MADDR_USED_IN_OTHER);
        EXPECT_TRUE(testLog().contains(r.log));
    }

    MsgTopicResource* logical = nullptr;
    EXPECT_EQ(reg().registerMsgTopicRes(direct("T4", "224.0.1.3", 8005, "224.0.1.3", 8015), &logical), -2);
    EXPECT_EQ(lastCode(), RES_TOPIC_MADDR_USED_IN_FW);
    EXPECT_TRUE(logical->mcastWithinLogicalChnList);
    EXPECT_EQ(logical->posMcastRange, 24);
    EXPECT_EQ(reg().getNumTopicDirectMcastChannel(), 1);

    MsgTopicResource* reco = nullptr;
    ASSERT_EQ(reg().registerMsgTopicRes(topic("ABC_RECO"), &reco), 0);
    EXPECT_TRUE(reco->recoveryRqsTopic);
    MsgTopicParam repl = topic("X_FW_REPL");
    repl.logicalChnNum = 997;
    MsgTopicResource* replRec = nullptr;
    ASSERT_EQ(reg().registerMsgTopicRes(repl, &replRec), 0);
    EXPECT_TRUE(replRec->replicationTopic);
    EXPECT_FALSE(replRec->recoveryRqsTopic);
}

TEST_F(ResourceManagerTest, CallbacksAreSetOnce)
{
    addThread("T");
    ASSERT_EQ(reg().registerUdpConnRes(udp("U"), nullptr), 0);
    AppCallbackFunc callback = [](MessageType, EventMsg*, DataMsg*) { return 0; };
    MsgMaskFunc mask = [](char*, unsigned int len) { return static_cast<int>(len); };

    EXPECT_EQ(reg().registerThreadAppCallback(Name("T"), nullptr), -1);
    EXPECT_EQ(lastCode(), RES_NO_FUNC);
    EXPECT_EQ(reg().registerThreadAppCallback(Name("X"), callback), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
    EXPECT_EQ(reg().registerThreadAppCallback(Name("T"), callback), 0);
    EXPECT_EQ(reg().registerThreadAppCallback(Name("T"), callback), -1);
    EXPECT_EQ(lastCode(), RES_CBK_EXIST);

    EXPECT_EQ(reg().registerMsgMaskCallback(Name("U"), UDP_RES, nullptr), -1);
    EXPECT_EQ(lastCode(), RES_NO_FUNC);
    EXPECT_EQ(reg().registerMsgMaskCallback(Name("U"), TCP_RES, mask), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
    EXPECT_EQ(reg().registerMsgMaskCallback(Name("U"), UDP_RES, mask), 0);
    EXPECT_EQ(reg().registerMsgMaskCallback(Name("U"), UDP_RES, mask), -1);
    EXPECT_EQ(lastCode(), RES_CBK_EXIST);
    EXPECT_EQ(reg().registerMsgMaskCallback(Name("T"), THREAD_RES, mask), -1);
    EXPECT_EQ(lastCode(), RES_REG_NOT_ALLOWED);
}

void appThreadName(TcpConnParam& p)
{
    setName(p.threadNameTxt, "APP");
}

TEST_F(ResourceManagerTest, MiddlewareOwnsEveryChannel)
{
    GlobalData& gbl = GlobalData::getInst();
    reg().setTcpConnInitParamFunc(appThreadName);
    TcpConnParam tcp;
    reg().initTcpConnParam(tcp);
    EXPECT_STREQ(tcp.threadNameTxt, "APP");

    gbl.m_runAsFwMiddleware = true;
    reg().initTcpConnParam(tcp);
    UdpConnParam u;
    reg().initUdpConnParam(u);
    IpcParam i;
    reg().initIpcParam(i);
    MsgTopicParam t;
    reg().initMsgTopicParam(t);
    ThreadParam th;
    reg().initThreadParam(th);
    gbl.m_runAsFwMiddleware = false;
    for (const char* owner : {tcp.threadNameTxt, u.threadNameTxt, i.threadNameTxt, t.threadNameTxt})
        EXPECT_STREQ(owner, "MIDDLEWARE_MD");
    EXPECT_STREQ(th.threadNameTxt, "");
    EXPECT_EQ(ResourceManager::MIDDLEWARE_DISPATCHER_ID, UInt128(Name("MIDDLEWARE_MD").txt, true));
}

TEST_F(ResourceManagerTest, ServiceObjectTables)
{
    int a = 0;
    int b = 0;
    using Svc = ResourceManager;
    const auto bad = static_cast<Svc::ServiceResourceType>(9);
    EXPECT_EQ(reg().registerServiceRes(bad, Name("A"), &a), -1);
    EXPECT_EQ(lastCode(), RES_SVC_OBJ_TYPE_INVALID);
    EXPECT_EQ(reg().lockServiceRes(static_cast<Svc::ServiceResourceType>(-1), 0), -1);
    EXPECT_EQ(lastCode(), RES_SVC_OBJ_TYPE_INVALID);
    EXPECT_EQ(reg().registerServiceRes(Svc::RES_TYPE_FILE, Name("A"), nullptr), -1);
    EXPECT_EQ(lastCode(), RES_NULL_OBJ_PTR);

    ASSERT_EQ(reg().registerServiceRes(Svc::RES_TYPE_FILE, Name("A"), &a), 0);
    ASSERT_EQ(reg().registerServiceRes(Svc::RES_TYPE_LOCK, Name("A"), &b), 0) << "each type has its own names";
    EXPECT_EQ(reg().registerServiceRes(Svc::RES_TYPE_FILE, Name("A"), &b), -1);
    EXPECT_EQ(lastCode(), RES_NAME_EXIST);
    void* found = nullptr;
    ASSERT_EQ(reg().getServiceRes(Svc::RES_TYPE_LOCK, Name("A"), &found), 0);
    EXPECT_EQ(found, &b);
    EXPECT_EQ(reg().getServiceRes(Svc::RES_TYPE_LOCK, Name("A"), nullptr), -1);
    EXPECT_EQ(lastCode(), RES_NULL_OBJ_PTR);
    ResourceName name;
    ASSERT_EQ(reg().getFirstServiceRes(Svc::RES_TYPE_FILE, name, &found), 0);
    EXPECT_STREQ(name, "A");
    EXPECT_EQ(reg().getNextServiceRes(Svc::RES_TYPE_FILE, name, &found), -1);
    EXPECT_EQ(lastCode(), RES_NEXT_END);
    ASSERT_EQ(reg().removeServiceRes(Svc::RES_TYPE_FILE, Name("A")), 0);
    int32 size = -1;
    ASSERT_EQ(reg().getServiceResSize(Svc::RES_TYPE_FILE, size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(reg().removeServiceRes(Svc::RES_TYPE_FILE, Name("A")), -1);
    EXPECT_EQ(lastCode(), RES_NOT_EXIST);
}

TEST_F(ResourceManagerTest, InvalidChannelPlanBlocksStartUp)
{
    int32 code = 0;
    EXPECT_FALSE(reg().anyErrorInResource(code));
    useConfig("MCAST_DC_ADDR STRING 224.0.1.252\n");
    EXPECT_TRUE(reg().anyErrorInResource(code));
    EXPECT_EQ(code, RES_TOPIC_PARA_INVALID);
}

} // namespace
