#include "RegistryTestSupport.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/ResParamValidator.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <functional>
#include <string>
#include <unistd.h>

namespace
{

// --- default records ---

struct DefaultCase
{
    const char* config; // configuration text, "" for none
    const char* field;
    std::function<int64(const ResParamValidator&)> read;
    int64 expected;
};

ThreadParam threadOf(const ResParamValidator& v)
{
    ThreadParam p;
    v.initThreadParam(p);
    return p;
}
TcpConnParam tcpOf(const ResParamValidator& v)
{
    TcpConnParam p;
    v.initTcpConnParam(p);
    return p;
}
UdpConnParam udpOf(const ResParamValidator& v)
{
    UdpConnParam p;
    v.initUdpConnParam(p);
    return p;
}
MsgTopicParam topicOf(const ResParamValidator& v)
{
    MsgTopicParam p;
    v.initMsgTopicParam(p);
    return p;
}
IpcParam ipcOf(const ResParamValidator& v)
{
    IpcParam p;
    v.initIpcParam(p);
    return p;
}

TEST(ResParamValidatorTest, DefaultRecordsFollowTheConfiguration)
{
    const DefaultCase cases[] = {
        // Without entries.
        {"", "thread messageQueueLength", [](auto& v) { return threadOf(v).messageQueueLength; }, 1000},
        {"", "thread statusCheckInterval", [](auto& v) { return threadOf(v).statusCheckInterval; }, 2},
        {"", "thread numOfPipeline", [](auto& v) { return threadOf(v).numOfPipeline; }, 0},
        {"", "tcp msgFormat", [](auto& v) { return tcpOf(v).msgFormat; }, MSG_FORMAT_QUOR},
        {"", "tcp sendBufSize", [](auto& v) { return tcpOf(v).sendBufSize; }, -1},
        {"", "tcp recvBufSize", [](auto& v) { return tcpOf(v).recvBufSize; }, -1},
        {"", "tcp streamBufSize", [](auto& v) { return tcpOf(v).streamBufSize; }, 22000},
        {"", "tcp connectAtStartup", [](auto& v) { return tcpOf(v).connectAtStartup; }, 1},
        {"", "tcp tcpMode", [](auto& v) { return tcpOf(v).tcpMode; }, TCP_CLIENT_DATA_MODE},
        {"", "udp udpMode", [](auto& v) { return udpOf(v).udpMode; }, MULTICAST_SENDER_RCVR_MODE},
        {"", "udp mcastSendTtl", [](auto& v) { return udpOf(v).mcastSendTtl; }, 8},
        {"", "udp loopback follows the configuration", [](auto& v) { return udpOf(v).mcastLoopBack; }, 0},
        {"", "udp buffers", [](auto& v) { return udpOf(v).sendBufSize + udpOf(v).recvBufSize; }, -2},
        {"", "topic logicalChnNum", [](auto& v) { return topicOf(v).logicalChnNum; }, -1},
        {"", "topic historyBufSize", [](auto& v) { return topicOf(v).historyBufSize; }, 1000},
        {"", "topic numUnackMsgMax", [](auto& v) { return topicOf(v).numUnackMsgMax; }, 10},
        {"", "topic outstandingMsgMax", [](auto& v) { return topicOf(v).outstandingMsgMax; }, 1000},
        {"", "topic maxPubGapRecovery", [](auto& v) { return topicOf(v).maxPubGapRecovery; }, 1000},
        {"", "topic waitForDrSiteAck", [](auto& v) { return topicOf(v).waitForDrSiteAck; }, 0},
        {"", "topic activeSubscriber", [](auto& v) { return topicOf(v).activeSubscriber; }, 1},
        {"", "ipc accessMode", [](auto& v) { return ipcOf(v).accessMode; }, 0},
        {"", "ipc msgQueLen", [](auto& v) { return ipcOf(v).msgQueLen; }, 1000},
        // Corrections.
        {"RP_TM_MULTIPLIER INT32 1\n", "multiplier 1 acts as 3", [](auto& v) { return threadOf(v).statusCheckInterval; }, 2},
        {"RP_TM_MULTIPLIER INT32 0\n", "multiplier 0", [](auto& v) { return threadOf(v).statusCheckInterval; }, 0},
        {"RP_TM_MULTIPLIER INT32 -4\n", "negative multiplier", [](auto& v) { return threadOf(v).statusCheckInterval; }, 2},
        {"STS_RPT_INTERVAL INT32 100\nRP_TM_MULTIPLIER INT32 2\n", "0.2 s rounds up to 1",
         [](auto& v) { return threadOf(v).statusCheckInterval; }, 1},
        {"STS_RPT_INTERVAL INT32 2000000000\nRP_TM_MULTIPLIER INT32 2000000000\n", "no wrap on large settings",
         [](auto& v) { return threadOf(v).statusCheckInterval; }, 2147483647},
        {"MCAST_TTL UINT16 0\n", "ttl 0", [](auto& v) { return udpOf(v).mcastSendTtl; }, 8},
        {"MCAST_TTL UINT16 300\n", "ttl 300", [](auto& v) { return udpOf(v).mcastSendTtl; }, 8},
        {"MCAST_TTL UINT16 32\n", "ttl 32", [](auto& v) { return udpOf(v).mcastSendTtl; }, 32},
        {"REPLICATE_MODE INT32 7\n", "replication 7", [](auto& v) { return tcpOf(v).replicationMode; }, NO_REPLICATION},
        {"REPLICATE_MODE INT32 3\n", "replication 3 on topics",
         [](auto& v) { return topicOf(v).replicationMode; }, INPUT_OUTPUT_REPLICATION},
        {"WAIT_DR_ACK INT32 2\n", "only 1 counts", [](auto& v) { return topicOf(v).waitForDrSiteAck; }, 0},
        {"WAIT_MRM_ACK INT32 1\n", "mrm ack 1", [](auto& v) { return topicOf(v).waitForMrmAck; }, 1},
        {"TCP_SEND_BUF INT32 -9\n", "tcp send below -1", [](auto& v) { return tcpOf(v).sendBufSize; }, -1},
        {"TCP_RECV_BUF INT32 65536\n", "tcp receive", [](auto& v) { return tcpOf(v).recvBufSize; }, 65536},
        {"STREAM_BUF_SIZE INT32 0\n", "stream buffer 0", [](auto& v) { return tcpOf(v).streamBufSize; }, 22000},
        {"MCAST_RECV_BUF INT32 -3\n", "udp receive below -1", [](auto& v) { return udpOf(v).recvBufSize; }, -1},
        {"TOPIC_BUF_ENTRY INT32 0\n", "history 0", [](auto& v) { return topicOf(v).historyBufSize; }, 1000},
        {"UNACK_MSG_MAX UINT32 0\n", "unack 0 kept", [](auto& v) { return topicOf(v).numUnackMsgMax; }, 0},
        {"DEF_MSGQ_LEN INT32 5\n", "queue length kept", [](auto& v) { return threadOf(v).messageQueueLength; }, 5},
        {"DEF_IPC_MSGQ_LEN INT32 200\n", "ipc queue", [](auto& v) { return ipcOf(v).msgQueLen; }, 200},
        {"DEF_MSGQ_LEN STRING many\n", "wrong type reads the default",
         [](auto& v) { return threadOf(v).messageQueueLength; }, 1000},
    };
    for (const DefaultCase& c : cases)
    {
        SCOPED_TRACE(c.field);
        TestConfig config(c.config);
        ResParamValidator validator(config.get());
        EXPECT_EQ(c.read(validator), c.expected);
    }
}

TEST(ResParamValidatorTest, StatusReportIntervalGoesToTheGlobalData)
{
    GlobalData& gbl = GlobalData::getInst();
    const int32 saved = gbl.m_stsRptInterval;
    for (auto [text, expected] : {std::pair{"", 500}, {"STS_RPT_INTERVAL INT32 0\n", 500}, {"STS_RPT_INTERVAL INT32 250\n", 250}})
    {
        TestConfig config(text);
        ResParamValidator validator(config.get());
        EXPECT_EQ(gbl.m_stsRptInterval, expected) << text;
    }
    ResParamValidator withoutStore(nullptr);
    EXPECT_EQ(gbl.m_stsRptInterval, 500);
    gbl.m_stsRptInterval = saved;
}

// --- record checks ---

template <typename Param>
struct CheckCase
{
    const char* what;
    std::function<void(Param&)> change;
    int32 code; // 0: accepted
};

template <typename Param, typename Check>
void runChecks(const Param& base, const std::vector<CheckCase<Param>>& cases, Check check)
{
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        Param param = base;
        c.change(param);
        FrameworkErrno::m_fwErrno = 0;
        const int32 result = check(param);
        EXPECT_EQ(result, c.code == 0 ? 0 : -1);
        if (c.code != 0)
        {
            EXPECT_EQ(lastCode(), c.code);
        }
    }
}

TEST(ResParamValidatorTest, ThreadChecks)
{
    ResParamValidator v(nullptr);
    ThreadParam base;
    v.initThreadParam(base);
    setName(base.threadNameTxt, "T");
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<CheckCase<ThreadParam>> cases = {
        {"defaults", [](ThreadParam&) {}, 0},
        {"queue 99", [](ThreadParam& p) { p.messageQueueLength = 99; }, RES_THREAD_MSGQ_LEN_INVALID},
        {"queue 100", [](ThreadParam& p) { p.messageQueueLength = 100; }, 0},
        {"queue 1000001", [](ThreadParam& p) { p.messageQueueLength = 1000001; }, RES_THREAD_MSGQ_LEN_INVALID},
        {"6 pipelines", [](ThreadParam& p) { p.numOfPipeline = 6; }, RES_THREAD_NUM_PL_INVALID},
        {"-1 pipelines", [](ThreadParam& p) { p.numOfPipeline = -1; }, RES_THREAD_NUM_PL_INVALID},
    };
    if (cpus > 0 && cpus + 1 < 64)
    {
        // Bit n (one past the last CPU) is accepted; bit n + 1 is not.
        cases.push_back({"bit n", [cpus](ThreadParam& p) { p.cpuAffinityBitmask = uint64{1} << cpus; }, 0});
        cases.push_back({"bit n+1", [cpus](ThreadParam& p) { p.cpuAffinityBitmask = uint64{1} << (cpus + 1); },
                         RES_CPU_BITMASK_INVALID});
    }
    cases.push_back({"bit 63", [](ThreadParam& p) { p.cpuAffinityBitmask = uint64{1} << 63; },
                     cpus > 0 && cpus < 63 ? RES_CPU_BITMASK_INVALID : 0});
    runChecks(base, cases, [&v](const ThreadParam& p) { return v.checkThreadParam(p); });
}

TEST(ResParamValidatorTest, TcpChecks)
{
    ResParamValidator v(nullptr);
    TcpConnParam base;
    v.initTcpConnParam(base);
    setText(base.remoteAddrTxt, "127.0.0.1");
    const std::vector<CheckCase<TcpConnParam>> cases = {
        {"client defaults", [](TcpConnParam&) {}, 0},
        {"mode 3", [](TcpConnParam& p) { p.tcpMode = static_cast<TcpMode>(3); }, RES_TCP_MODE_INVALID},
        {"mode -1", [](TcpConnParam& p) { p.tcpMode = static_cast<TcpMode>(-1); }, RES_TCP_MODE_INVALID},
        {"listen on any", [](TcpConnParam& p) { p.tcpMode = TCP_SERVER_LISTEN_MODE; }, RES_INT_ADDR_INVALID},
        {"listen 0.0.0.0",
         [](TcpConnParam& p) {
             p.tcpMode = TCP_SERVER_LISTEN_MODE;
             setText(p.interfaceTxt, "0.0.0.0");
         },
         0},
        {"listen on loopback",
         [](TcpConnParam& p) {
             p.tcpMode = TCP_SERVER_LISTEN_MODE;
             setText(p.interfaceTxt, "127.0.0.1");
         },
         0},
        {"client on a foreign address", [](TcpConnParam& p) { setText(p.interfaceTxt, "10.255.255.1"); },
         RES_INT_ADDR_NOT_EXIST},
        {"client interface unparsable", [](TcpConnParam& p) { setText(p.interfaceTxt, "256.1.1.1"); },
         RES_INT_ADDR_INVALID},
        {"no remote", [](TcpConnParam& p) { setText(p.remoteAddrTxt, ""); }, RES_REMOTE_ADDR_INVALID},
        {"remote any at start-up", [](TcpConnParam& p) { setText(p.remoteAddrTxt, "0.0.0.0"); },
         RES_REMOTE_ADDR_INVALID},
        {"remote any, connect later",
         [](TcpConnParam& p) {
             setText(p.remoteAddrTxt, "0.0.0.0");
             p.connectAtStartup = false;
         },
         0},
        {"server data skips addresses",
         [](TcpConnParam& p) {
             p.tcpMode = TCP_SERVER_DATA_MODE;
             setText(p.remoteAddrTxt, "");
             setText(p.interfaceTxt, "junk");
         },
         0},
        {"format 4", [](TcpConnParam& p) { p.msgFormat = static_cast<MsgFormatType>(4); }, RES_MSG_FORMAT_INVALID},
        {"send buffer -2", [](TcpConnParam& p) { p.sendBufSize = -2; }, RES_TCP_SND_BUF_SIZE_INVALID},
        {"receive buffer -2", [](TcpConnParam& p) { p.recvBufSize = -2; }, RES_TCP_RCV_BUF_SIZE_INVALID},
        {"stream buffer 0", [](TcpConnParam& p) { p.streamBufSize = 0; }, RES_TCP_STREAM_BUF_SIZE_INVALID},
        // A stream buffer must hold the framing's longest header, and stay within 1 GiB.
        {"quor stream buffer 9",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_QUOR;
             p.streamBufSize = 9;
         },
         RES_TCP_STREAM_BUF_SIZE_INVALID},
        {"quor stream buffer 10",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_QUOR;
             p.streamBufSize = 10;
         },
         0},
        {"fix stream buffer 114",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_FIX;
             p.streamBufSize = 114;
         },
         RES_TCP_STREAM_BUF_SIZE_INVALID},
        {"fix stream buffer 115",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_FIX;
             p.streamBufSize = 115;
         },
         0},
        {"stream buffer above 1 GiB", [](TcpConnParam& p) { p.streamBufSize = (1 << 30) + 1; },
         RES_TCP_STREAM_BUF_SIZE_INVALID},
        {"stream buffer of 1 GiB", [](TcpConnParam& p) { p.streamBufSize = 1 << 30; }, 0},
        {"custom size field",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_CUSTOM;
             p.appMsgSizeInfo = {4, UNSIGNED_INTEGER32, true, 16, 0};
         },
         0},
        {"custom offset 32769",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_CUSTOM;
             p.appMsgSizeInfo.sizeFldOffset = 32769;
         },
         RES_APP_MSG_SIZE_INFO_INVALID},
        {"custom type 14",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_CUSTOM;
             p.appMsgSizeInfo.sizeFldType = static_cast<ParaType>(14);
         },
         RES_APP_MSG_SIZE_INFO_INVALID},
        {"custom header -1 counts only for body sizes",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_CUSTOM;
             p.appMsgSizeInfo.headerSize = -1;
         },
         0},
        {"custom header -1 with body size",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_CUSTOM;
             p.appMsgSizeInfo.bodySizeOnly = true;
             p.appMsgSizeInfo.headerSize = -1;
         },
         RES_APP_MSG_SIZE_INFO_INVALID},
        {"custom trailer 40000",
         [](TcpConnParam& p) {
             p.msgFormat = MSG_FORMAT_CUSTOM;
             p.appMsgSizeInfo.trailerSize = 40000;
         },
         RES_APP_MSG_SIZE_INFO_INVALID},
        {"standby with replication",
         [](TcpConnParam& p) {
             p.openInStandbyMode = true;
             p.replicationMode = OUTPUT_REPLICATION;
         },
         RES_STDBY_RES_REPLI_NOT_ALLOW},
        {"standby listen",
         [](TcpConnParam& p) {
             p.openInStandbyMode = true;
             p.tcpMode = TCP_SERVER_LISTEN_MODE;
             setText(p.interfaceTxt, "0.0.0.0");
         },
         RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY},
        {"standby client", [](TcpConnParam& p) { p.openInStandbyMode = true; }, 0},
    };
    runChecks(base, cases, [&v](const TcpConnParam& p) { return v.checkTcpConnParam(p); });
}

TEST(ResParamValidatorTest, UdpChecks)
{
    ResParamValidator v(nullptr);
    UdpConnParam base;
    v.initUdpConnParam(base);
    setText(base.interfaceTxt, "127.0.0.1");
    setText(base.destAddrTxt, "239.1.2.3");
    base.port = 5000;
    auto mode = [](UdpMode m) { return [m](UdpConnParam& p) { p.udpMode = m; }; };
    const std::vector<CheckCase<UdpConnParam>> cases = {
        {"sender-receiver defaults", [](UdpConnParam&) {}, 0},
        {"mode 6", mode(static_cast<UdpMode>(6)), RES_UDP_MODE_INVALID},
        // Point to point: receivers bind to the interface, senders need a peer.
        {"point to point receiver", mode(P2P_RECEIVER_MODE), 0},
        {"point to point receiver needs no peer",
         [](UdpConnParam& p) {
             p.udpMode = P2P_RECEIVER_MODE;
             setText(p.destAddrTxt, "");
         },
         0},
        {"point to point sender to a unicast peer",
         [](UdpConnParam& p) {
             p.udpMode = P2P_SENDER_MODE;
             setText(p.destAddrTxt, "10.0.0.1");
         },
         0},
        {"point to point sender without peer",
         [](UdpConnParam& p) {
             p.udpMode = P2P_SENDER_MODE;
             setText(p.destAddrTxt, "");
         },
         RES_DEST_ADDR_INVALID},
        {"point to point sender-receiver to any",
         [](UdpConnParam& p) {
             p.udpMode = P2P_SENDER_RECEIVER_MODE;
             setText(p.destAddrTxt, "0.0.0.0");
         },
         RES_DEST_ADDR_INVALID},
        {"point to point receiver on a foreign interface",
         [](UdpConnParam& p) {
             p.udpMode = P2P_RECEIVER_MODE;
             setText(p.interfaceTxt, "10.255.255.1");
         },
         RES_INT_ADDR_NOT_EXIST},
        {"send buffer -2", [](UdpConnParam& p) { p.sendBufSize = -2; }, RES_UDP_SND_BUF_SIZE_INVALID},
        {"receive buffer -2", [](UdpConnParam& p) { p.recvBufSize = -2; }, RES_UDP_RCV_BUF_SIZE_INVALID},
        {"sender ttl 0", [](UdpConnParam& p) { p.mcastSendTtl = 0; }, RES_MCAST_TTL_INVALID},
        {"sender ttl 256 would be cut to one byte", [](UdpConnParam& p) { p.mcastSendTtl = 256; },
         RES_MCAST_TTL_INVALID},
        {"receiver ttl 0",
         [](UdpConnParam& p) {
             p.udpMode = MULTICAST_RECEIVER_MODE;
             p.mcastSendTtl = 0;
         },
         0},
        {"empty interface", [](UdpConnParam& p) { setText(p.interfaceTxt, ""); }, RES_INT_ADDR_INVALID},
        {"interface any", [](UdpConnParam& p) { setText(p.interfaceTxt, "0.0.0.0"); }, 0},
        {"foreign interface", [](UdpConnParam& p) { setText(p.interfaceTxt, "10.255.255.1"); }, RES_INT_ADDR_NOT_EXIST},
        {"sender without group",
         [](UdpConnParam& p) {
             p.udpMode = MULTICAST_SENDER_MODE;
             setText(p.destAddrTxt, "");
         },
         RES_DEST_ADDR_INVALID},
        // The default mode sends to its group too: its destination is checked.
        {"sender-receiver without group", [](UdpConnParam& p) { setText(p.destAddrTxt, ""); }, RES_DEST_ADDR_INVALID},
        {"sender-receiver to unicast", [](UdpConnParam& p) { setText(p.destAddrTxt, "10.0.0.1"); },
         RES_MCAST_ADDR_INVALID},
        {"receiver to a unicast address elsewhere",
         [](UdpConnParam& p) {
             p.udpMode = MULTICAST_RECEIVER_MODE;
             setText(p.destAddrTxt, "10.255.255.1");
         },
         RES_MCAST_ADDR_INVALID},
        {"receiver of directed datagrams to this host",
         [](UdpConnParam& p) {
             p.udpMode = MULTICAST_RECEIVER_MODE;
             setText(p.destAddrTxt, "127.0.0.1");
         },
         0},
        {"receiver without group",
         [](UdpConnParam& p) {
             p.udpMode = MULTICAST_RECEIVER_MODE;
             setText(p.destAddrTxt, "");
         },
         RES_MCAST_ADDR_INVALID},
        {"port 0", [](UdpConnParam& p) { p.port = 0; }, RES_UDP_PORT_INVALID},
        {"standby with replication",
         [](UdpConnParam& p) {
             p.openInStandbyMode = true;
             p.replicationMode = INPUT_REPLICATION;
         },
         RES_STDBY_RES_REPLI_NOT_ALLOW},
        {"standby sender-receiver", [](UdpConnParam& p) { p.openInStandbyMode = true; },
         RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY},
        {"standby receiver",
         [](UdpConnParam& p) {
             p.openInStandbyMode = true;
             p.udpMode = MULTICAST_RECEIVER_MODE;
         },
         0},
        {"standby point to point receiver",
         [](UdpConnParam& p) {
             p.openInStandbyMode = true;
             p.udpMode = P2P_RECEIVER_MODE;
         },
         0},
        {"standby point to point sender",
         [](UdpConnParam& p) {
             p.openInStandbyMode = true;
             p.udpMode = P2P_SENDER_MODE;
         },
         RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY},
    };
    runChecks(base, cases, [&v](const UdpConnParam& p) { return v.checkUdpConnParam(p); });
}

TEST(ResParamValidatorTest, IpcChecks)
{
    ResParamValidator v(nullptr);
    IpcParam base;
    v.initIpcParam(base);
    setName(base.ipcNameTxt, "Chan01");
    const std::vector<CheckCase<IpcParam>> cases = {
        {"default access mode is none", [](IpcParam&) {}, RES_IPC_ACCESS_MODE_INVALID},
        {"reader", [](IpcParam& p) { p.accessMode = IPC_READER_MODE; }, 0},
        {"underscore",
         [](IpcParam& p) {
             p.accessMode = IPC_WRITER_MODE;
             setName(p.ipcNameTxt, "chan_1");
         },
         RES_IPC_NAME_ID_INVALID},
        {"mode 3", [](IpcParam& p) { p.accessMode = static_cast<IpcAccessMode>(3); }, RES_IPC_ACCESS_MODE_INVALID},
        {"reader queue 99",
         [](IpcParam& p) {
             p.accessMode = IPC_READER_MODE;
             p.msgQueLen = 99;
         },
         RES_IPC_MSGQ_LEN_INVALID},
        {"writer queue 99",
         [](IpcParam& p) {
             p.accessMode = IPC_WRITER_MODE;
             p.msgQueLen = 99;
         },
         0},
    };
    runChecks(base, cases, [&v](const IpcParam& p) { return v.checkIpcParam(p); });
}

// --- topics ---

MsgTopicParam topic(const ResParamValidator& v, const char* name)
{
    MsgTopicParam p;
    v.initMsgTopicParam(p);
    setName(p.topicNameTxt, name);
    setName(p.threadNameTxt, "T");
    return p;
}

void direct(MsgTopicParam& p, const char* data, uint16 dataPort, const char* ack, uint16 ackPort)
{
    setText(p.topicDataMcastTxt, data);
    p.topicDataPortNum = dataPort;
    setText(p.topicAckMcastTxt, ack);
    p.topicAckPortNum = ackPort;
}

struct TopicResult
{
    int32 result;
    int32 code;
    bool direct;
    int32 pos;
    std::string dataTxt;
    std::string ackTxt;
    std::string interfaceTxt;
};

TopicResult checkTopic(const ResParamValidator& v, const MsgTopicParam& p)
{
    bool directAssigned = true;
    in_addr_t data = 1;
    in_addr_t ack = 1;
    int32 pos = 99;
    IpAddress interfaceTxt;
    FrameworkErrno::m_fwErrno = 0;
    const int32 result = v.checkMsgTopicParam(p, directAssigned, data, ack, pos, interfaceTxt);
    char dataTxt[INET_ADDRSTRLEN] = "";
    char ackTxt[INET_ADDRSTRLEN] = "";
    const in_addr d{data}, a{ack};
    inet_ntop(AF_INET, &d, dataTxt, sizeof(dataTxt));
    inet_ntop(AF_INET, &a, ackTxt, sizeof(ackTxt));
    return {result, lastCode(), directAssigned, pos, dataTxt, ackTxt, std::string(interfaceTxt, strnlen(interfaceTxt, 16))};
}

// The multicast channel plan with its default configuration: logical data
// channels 224.0.1.1-5 x 8001-8010, ack channels 224.0.1.1-5 x 8011-8020,
// recovery request 224.0.0.1:8081 / ack 224.0.0.2:8082, MRM channels in 224.0.11.x.
TEST(ResParamValidatorTest, DirectAssignmentAgainstTheChannelPlan)
{
    struct Case
    {
        const char* data;
        uint16 dataPort;
        const char* ack;
        uint16 ackPort;
        int32 result;
        int32 code;
        int32 pos;
        const char* log; // a line that must be logged, or null
    };
    const Case cases[] = {
        {"239.1.1.1", 9000, "239.1.1.2", 9001, 0, 0, -1, nullptr},
        {"224.0.1.3", 8005, "224.0.1.3", 8015, -2, RES_TOPIC_MADDR_USED_IN_FW, 24,
         "The direct assignment of both data channel [224.0.1.3:8005] and ack channel [224.0.1.3:8015] for topic "
         "[TOPIC] are already used in framework logical data channel and ack channel of the same position [24] in "
         "the range."},
        {"224.0.1.1", 8001, "224.0.1.1", 8011, -2, RES_TOPIC_MADDR_USED_IN_FW, 0, nullptr},
        {"224.0.1.5", 8010, "224.0.1.5", 8020, -2, RES_TOPIC_MADDR_USED_IN_FW, 49, nullptr},
        {"224.0.1.3", 8005, "224.0.1.4", 8015, -1, RES_TOPIC_MADDR_USED_IN_FW, -1,
         "The direct assignment of multicast group for topic [TOPIC] on data [224.0.1.3:8005] or on ack "
         "[224.0.1.4:8015] is already used in framework logical data or ack channel with address range [5] and port "
         "range [10]."},
        {"224.0.1.3", 8005, "239.9.9.9", 9000, -1, RES_TOPIC_MADDR_USED_IN_FW, -1,
         "is already used in framework logical data or ack channel"},
        {"224.0.11.1", 8006, "239.9.9.9", 9000, -1, RES_TOPIC_MADDR_USED_IN_FW, -1,
         "The direct assignment of multicast group for topic [TOPIC] on data [224.0.11.1:8006] or on ack "
         "[239.9.9.9:9000] is already used in framework MRM requst/ack or data/ack channel."},
        {"239.9.9.9", 9000, "224.0.11.2", 8017, -1, RES_TOPIC_MADDR_USED_IN_FW, -1, "MRM requst/ack"},
        {"224.0.0.1", 8081, "239.9.9.9", 9000, -1, RES_TOPIC_MADDR_USED_IN_FW, -1,
         "The direct assignment of multicast group for topic [TOPIC] on data [224.0.0.1:8081] or on ack "
         "[239.9.9.9:9000] is already used in framework topic request and request ack channel."},
        {"224.0.1.2", 8012, "239.9.9.9", 9000, -1, RES_TOPIC_MADDR_USED_IN_FW, -1,
         "The direct assignment of multicast group for topic [TOPIC] on data [224.0.1.2:8012] falls within the "
         "framework logical ack channel range or the ack [239.9.9.9:9000] falls within the framework logical data "
         "channel range."},
        {"10.0.0.1", 9000, "239.9.9.9", 9000, -1, RES_TOPIC_PARA_INVALID, -1,
         "The direct assignment of multicast group for topic [TOPIC] on data [10.0.0.1:9000] or on ack "
         "[239.9.9.9:9000] is invalid."},
        {"239.9.9.8", 0, "239.9.9.9", 9000, -1, RES_TOPIC_PARA_INVALID, -1, "is invalid."},
        {"", 0, "239.9.9.9", 9000, -1, RES_TOPIC_PARA_INVALID, -1, "is invalid."},
    };
    ResParamValidator v(nullptr);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.data) + ":" + std::to_string(c.dataPort) + " " + c.ack + ":" +
                     std::to_string(c.ackPort));
        MsgTopicParam p = topic(v, "TOPIC");
        direct(p, c.data, c.dataPort, c.ack, c.ackPort);
        testLog().clear();
        const TopicResult r = checkTopic(v, p);
        EXPECT_EQ(r.result, c.result);
        if (c.result != 0)
        {
            EXPECT_EQ(r.code, c.code);
        }
        EXPECT_EQ(r.pos, c.pos);
        EXPECT_EQ(r.direct, c.result != -1);
        if (c.result != -1)
        {
            EXPECT_EQ(r.dataTxt, c.data);
            EXPECT_EQ(r.ackTxt, c.ack);
        }
        if (c.log != nullptr)
        {
            EXPECT_TRUE(testLog().contains(c.log)) << c.log;
        }
    }
}

TEST(ResParamValidatorTest, TopicParameterChecks)
{
    struct Case
    {
        const char* what;
        const char* name;
        std::function<void(MsgTopicParam&)> change;
        int32 code; // 0: accepted
        const char* log;
    };
    auto outstanding = [](uint32 outstandingMax, uint32 unack, int32 history) {
        return [=](MsgTopicParam& p) {
            p.outstandingMsgMax = outstandingMax;
            p.numUnackMsgMax = unack;
            p.historyBufSize = history;
        };
    };
    auto chn = [](int32 n) { return [n](MsgTopicParam& p) { p.logicalChnNum = n; }; };
    const Case cases[] = {
        {"defaults", "TOPIC", [](MsgTopicParam&) {}, 0, nullptr},
        {"open type 3", "TOPIC", [](MsgTopicParam& p) { p.openType = static_cast<MsgTopicOpenType>(3); },
         RES_TOPIC_TYPE_INVALID, "Invalid topic open type [3] on topic [TOPIC]."},
        {"channel type 3", "TOPIC", [](MsgTopicParam& p) { p.channelType = static_cast<IntChannelType>(3); },
         RES_INT_CHN_TYPE_INVALID,
         "Invalid channel type [3] on topic [TOPIC] for forwarding topic message to the application thread."},
        {"history 0", "TOPIC", [](MsgTopicParam& p) { p.historyBufSize = 0; }, RES_TOPIC_PARA_INVALID,
         "The history buffer size of topic [TOPIC] must be > 0."},
        {"outstanding 0", "TOPIC", outstanding(0, 10, 1000), RES_TOPIC_PARA_INVALID,
         "<outstandingMsgMax> of topic [TOPIC] must not be 0."},
        {"unack 0", "TOPIC", outstanding(100, 0, 1000), RES_TOPIC_PARA_INVALID,
         "<numUnackMsgMax> of topic [TOPIC] must not be 0."},
        {"30 vs 10", "TOPIC", outstanding(30, 10, 1000), RES_TOPIC_PARA_INVALID,
         "<outstandingMsgMax> of topic [TOPIC] must be at least [3] times +1 larger than <numUnackMsgMax>."},
        {"31 vs 10", "TOPIC", outstanding(31, 10, 31), 0, nullptr},
        {"31 vs history 30", "TOPIC", outstanding(31, 10, 30), RES_TOPIC_PARA_INVALID,
         "<outstandingMsgMax> of topic [TOPIC] must be <= the topic history buffer size."},
        {"no wrap in 3 x unack", "TOPIC", outstanding(4000000000u, 2000000000u, 2147483647), RES_TOPIC_PARA_INVALID,
         nullptr},
        {"replicating APPL_REPLICATE", "TOPIC",
         [](MsgTopicParam& p) {
             p.openType = APPL_REPLICATE;
             p.replicationMode = OUTPUT_REPLICATION;
         },
         RES_REPLICATION_INVALID,
         "Cannot enable replication for topic [TOPIC] when the topic open type is APPL_REPLICATE."},
        {"input replication of a publisher", "TOPIC", [](MsgTopicParam& p) { p.replicationMode = INPUT_REPLICATION; },
         RES_REPLICATION_INVALID, "Cannot enable INPUT_REPLICATION for the publisher topic [TOPIC]."},
        {"output replication of a subscriber", "TOPIC",
         [](MsgTopicParam& p) {
             p.openType = SUBSCRIBE;
             p.replicationMode = OUTPUT_REPLICATION;
         },
         RES_REPLICATION_INVALID, "Cannot enable OUTPUT_REPLICATION for the subscriber topic [TOPIC]."},
        {"both ways on a subscriber", "TOPIC",
         [](MsgTopicParam& p) {
             p.openType = SUBSCRIBE;
             p.replicationMode = INPUT_OUTPUT_REPLICATION;
         },
         0, nullptr},
        {"channel 4", "TOPIC", chn(4), 0, nullptr},
        {"channel 5", "TOPIC", chn(5), RES_TOPIC_PARA_INVALID,
         "Logical channel number [5] assigned to topic [TOPIC] exceeds the available range [0-4]."},
        {"channel -2", "TOPIC", chn(-2), RES_TOPIC_PARA_INVALID, "exceeds the available range [0-4]."},
        {"998 for a recovery name", "ABC_RECO", chn(998), 0, nullptr},
        {"998 for a short name", "_RECO", chn(998), RES_TOPIC_PARA_INVALID, nullptr},
        {"998 for another name", "ABC", chn(998), RES_TOPIC_PARA_INVALID, nullptr},
        {"997 for a replication name", "A_FW_REPL", chn(997), 0, nullptr},
        {"997 for a recovery name", "ABC_RECO", chn(997), RES_TOPIC_PARA_INVALID, nullptr},
        {"999 without an MRM base name", "MRMX", chn(999), RES_TOPIC_PARA_INVALID, nullptr},
        {"standby publisher", "TOPIC", [](MsgTopicParam& p) { p.openInStandbyMode = true; },
         RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY,
         "The topic [TOPIC] open type [0] is not supported in open in standby mode."},
        {"standby replicating subscriber", "TOPIC",
         [](MsgTopicParam& p) {
             p.openInStandbyMode = true;
             p.openType = SUBSCRIBE;
             p.replicationMode = INPUT_REPLICATION;
         },
         RES_STDBY_RES_REPLI_NOT_ALLOW, "Replication is not allowed for topic [TOPIC] open in standby mode."},
        {"direct pair with a logical channel", "TOPIC",
         [](MsgTopicParam& p) {
             p.logicalChnNum = 1;
             direct(p, "239.1.1.1", 9000, "239.1.1.2", 9001);
         },
         RES_TOPIC_PARA_INVALID,
         "Logical channel number [1] should be [-1] when direct assignment of multicast group data "
         "[239.1.1.1:9000] ack [239.1.1.2:9001] for topic [TOPIC]."},
    };
    ResParamValidator v(nullptr);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        MsgTopicParam p = topic(v, c.name);
        c.change(p);
        testLog().clear();
        const TopicResult r = checkTopic(v, p);
        EXPECT_EQ(r.result, c.code == 0 ? 0 : -1);
        if (c.code != 0)
        {
            EXPECT_EQ(r.code, c.code);
            EXPECT_EQ(r.pos, -1);
            EXPECT_FALSE(r.direct);
        }
        if (c.log != nullptr)
        {
            EXPECT_TRUE(testLog().contains(c.log)) << c.log;
        }
    }
}

TEST(ResParamValidatorTest, MrmChannelNumbersNeedTheMrmBaseName)
{
    GlobalData& gbl = GlobalData::getInst();
    std::strcpy(gbl.m_mrmBaseName, "MRM");
    gbl.m_mrmBaseNameLen = 3;
    ResParamValidator v(nullptr);
    for (int32 n : {999, 996})
    {
        MsgTopicParam p = topic(v, "MRM_P1_I1");
        p.logicalChnNum = n;
        EXPECT_EQ(checkTopic(v, p).result, 0) << n;
        setName(p.topicNameTxt, "XMRM");
        EXPECT_EQ(checkTopic(v, p).result, -1) << n;
    }
    std::memset(gbl.m_mrmBaseName, 0, sizeof(gbl.m_mrmBaseName));
    gbl.m_mrmBaseNameLen = 0;
}

TEST(ResParamValidatorTest, TopicSubnetSelectsTheLocalInterface)
{
    ResParamValidator v(nullptr);
    MsgTopicParam p = topic(v, "TOPIC");
    direct(p, "239.1.1.1", 9000, "239.1.1.2", 9001);
    setText(p.interfaceSubnetTxt, "127.0.0.0");
    TopicResult r = checkTopic(v, p);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.interfaceTxt, "127.0.0.1");

    setText(p.interfaceSubnetTxt, "10.255.255.0");
    testLog().clear();
    r = checkTopic(v, p);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.code, RES_TOPIC_PARA_INVALID);
    EXPECT_TRUE(testLog().contains("No local interface matches the subnet [10.255.255.0] for topic [TOPIC]."));
}

// --- the channel plan in the configuration ---

TEST(ResParamValidatorTest, InvalidChannelPlansAreReported)
{
    struct Case
    {
        const char* config;
        const char* log; // null: a valid plan
    };
    const Case cases[] = {
        {"", nullptr},
        {"MCAST_DC_ADDR STRING 224.0.1.251\n", nullptr},
        {"MCAST_DC_ADDR STRING 224.0.1.252\n",
         "FW_CONFIG: Invalid topic logical group data address range [5] for starting address [224.0.1.252]."},
        {"MCAST_DAC_ADDR STRING 224.0.2.254\nMCAST_DC_ADDR_RG INT32 3\n",
         "FW_CONFIG: Invalid topic logical group ack address range [3] for starting address [224.0.2.254]."},
        {"MCAST_DC_PORT UINT16 65530\n",
         "FW_CONFIG: Invalid topic logical group data port range [10] for starting port [65530]."},
        {"MCAST_DAC_PORT UINT16 65535\nMCAST_DC_PORT_RG INT32 2\n",
         "FW_CONFIG: Invalid topic logical group ack port range [2] for starting port [65535]."},
        {"MCAST_DAC_PORT UINT16 8005\n",
         "FW_CONFIG: Topic logical data channel start addr [224.0.1.1:8001] end addr [224.0.1.5:8010] is overlapped "
         "within logical ack channel between addr [224.0.1.1:8005] and [224.0.1.5:8014] (addr range [5], port range "
         "[10]) at position [45]."},
        {"MCAST_DC_PORT UINT16 8015\n",
         "FW_CONFIG: Topic logical data channel start addr [224.0.1.1:8015] end addr [224.0.1.5:8024] is overlapped "
         "within logical ack channel between addr [224.0.1.1:8011] and [224.0.1.5:8020] (addr range [5], port range "
         "[10]) at position [4]."},
        {"MCAST_DC_ADDR STRING 224.0.1.3\nMCAST_DC_PORT UINT16 8021\nMCAST_DAC_PORT UINT16 8021\n"
         "MCAST_DAC_ADDR STRING 224.0.1.1\n",
         "FW_CONFIG: Topic logical data channel start addr [224.0.1.3:8021]"},
        {"MCAST_DC_ADDR_RG INT32 0\nMCAST_DC_PORT_RG INT32 -3\n", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.config);
        testLog().clear();
        TestConfig config(c.config);
        ResParamValidator v(config.get());
        int32 code = 0;
        EXPECT_EQ(v.errorInValidator(code), c.log != nullptr);
        if (c.log != nullptr)
        {
            EXPECT_EQ(code, RES_TOPIC_PARA_INVALID);
            EXPECT_TRUE(testLog().contains(c.log)) << c.log;
        }
    }
}

TEST(ResParamValidatorTest, RangeSizesShapeTheLogicalRanges)
{
    TestConfig config("MCAST_DC_ADDR_RG INT32 2\nMCAST_DC_PORT_RG INT32 3\n");
    ResParamValidator v(config.get());
    EXPECT_EQ(v.getTopicAddrRange(), 2);
    EXPECT_EQ(v.getTopicPortRange(), 3);
    // Data 224.0.1.1-2 x 8001-8003; 224.0.1.2:8003 is position 1 x 3 + 2 = 5.
    MsgTopicParam p = topic(v, "TOPIC");
    direct(p, "224.0.1.2", 8003, "224.0.1.2", 8013);
    const TopicResult r = checkTopic(v, p);
    EXPECT_EQ(r.result, -2);
    EXPECT_EQ(r.pos, 5);
    // 224.0.1.3 is outside the two-address range.
    direct(p, "224.0.1.3", 8001, "239.1.1.1", 9000);
    EXPECT_EQ(checkTopic(v, p).result, 0);
    // The channel numbers follow the address range: 0 and 1 only.
    p = topic(v, "TOPIC");
    p.logicalChnNum = 2;
    EXPECT_EQ(checkTopic(v, p).result, -1);
}

TEST(ResParamValidatorTest, FrameworkChannelsAreKnown)
{
    GlobalData& gbl = GlobalData::getInst();
    setText(gbl.m_repliTopicMcast, "224.0.5.5");
    gbl.m_repliTopicPort = 7000;
    ResParamValidator v(nullptr);
    auto addr = [](const char* txt) { return ntohl(inet_addr(txt)); };
    EXPECT_TRUE(v.isMcAddrExistInFwIntRes(addr("224.0.5.5"), 7000));
    EXPECT_TRUE(v.isMcAddrExistInFwIntRes(addr("224.0.11.3"), 8018));
    EXPECT_TRUE(v.isMcAddrExistInFwIntRes(addr("224.0.1.4"), 8019));
    EXPECT_FALSE(v.isMcAddrExistInFwIntRes(addr("224.0.1.6"), 8001));
    EXPECT_FALSE(v.isMcAddrExistInFwIntRes(0, 0)) << "empty entries match nothing";

    MsgTopicParam p = topic(v, "TOPIC");
    direct(p, "239.1.1.1", 9000, "224.0.5.5", 7000);
    testLog().clear();
    EXPECT_EQ(checkTopic(v, p).code, RES_TOPIC_MADDR_USED_IN_FW);
    EXPECT_TRUE(testLog().contains("is already used in framework replication or replication ack topic."));
    setText(gbl.m_repliTopicMcast, "");
    gbl.m_repliTopicPort = 0;
}

TEST(ResParamValidatorTest, AddressOperations)
{
    EXPECT_FALSE(ResParamValidator::checkValidIpAddr("256.1.1.1"));
    EXPECT_TRUE(ResParamValidator::checkValidIpAddr("10.0.0.1"));
    EXPECT_FALSE(ResParamValidator::checkValidIpAddr(""));
    EXPECT_FALSE(ResParamValidator::checkValidIpAddr(nullptr));
    IpAddress unterminated;
    std::memset(unterminated, '1', sizeof(unterminated));
    EXPECT_FALSE(ResParamValidator::checkValidIpAddr(unterminated)) << "read no further than 16 characters";
    EXPECT_TRUE(ResParamValidator::isInterfaceIpAddrExist(inet_addr("127.0.0.1")));
    EXPECT_FALSE(ResParamValidator::isInterfaceIpAddrExist(inet_addr("10.255.255.1")));

    IpAddress found;
    EXPECT_TRUE(ResParamValidator::getInterfaceAddrBySubnet("127.0.0.0", found));
    EXPECT_STREQ(found, "127.0.0.1");
    EXPECT_FALSE(ResParamValidator::getInterfaceAddrBySubnet("10.255.255.0", found));
    EXPECT_FALSE(ResParamValidator::getInterfaceAddrBySubnet("subnet", found));
    EXPECT_STREQ(found, "");
}

} // namespace
