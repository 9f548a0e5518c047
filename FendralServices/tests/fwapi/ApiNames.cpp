// Names every type and constant the framework's records and calls take, with
// the API header alone included, as an application outside this tree would.
// Built against the installed tree with the flags pkg-config gives; the build
// fails when one of them needs a header the API header does not bring. It is
// compiled and linked, never run.
#include <FendralServices/api/FwServices.h>

namespace
{
int onMessage(MessageType type, EventMsg* event, DataMsg* data)
{
    return type == MSG_EVENT && event != nullptr && event->id == INIT && data == nullptr ? 0 : -1;
}
int registration()
{
    return 0;
}
int mask(char*, unsigned int)
{
    return 0;
}
bool onException(FwException*)
{
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    ThreadParam thread{};
    thread.thdOptimiz = GLOBAL_OPTIMIZATION_SETTING;
    thread.thdOptimiz = CPU_OPTIMIZATION;
    thread.thdOptimiz = LATENCY_OPTIMIZATION;
    PipelineInfo stage{};
    stage.pipelineStageNum = THREAD_PIPELINE_MAX;
    thread.pipelineInfo[0] = stage;

    TcpConnParam tcp{};
    for (IntChannelType channel : {NORMAL_CHANNEL, PRIORITY_CHANNEL, PIPELINE_CHANNEL})
        tcp.channelType = channel;
    for (TcpMode mode : {TCP_CLIENT_DATA_MODE, TCP_SERVER_LISTEN_MODE, TCP_SERVER_DATA_MODE})
        tcp.tcpMode = mode;
    for (MsgFormatType format : {MSG_FORMAT_RAW, MSG_FORMAT_QUOR, MSG_FORMAT_FIX, MSG_FORMAT_CUSTOM})
        tcp.msgFormat = format;
    for (ReplicationMode mode : {NO_REPLICATION, INPUT_REPLICATION, OUTPUT_REPLICATION, INPUT_OUTPUT_REPLICATION})
        tcp.replicationMode = mode;
    AppMsgSizeInfo sizeInfo{};
    sizeInfo.sizeFldType = BIG_UNSIGNED_INTEGER32;
    sizeInfo.sizeFldType = INTEGER16;
    tcp.appMsgSizeInfo = sizeInfo;
    ResourceName name{};
    IpAddress address{};
    copyResourceName(name, "NAME");
    static_assert(sizeof tcp.connNameTxt == sizeof name && sizeof tcp.remoteAddrTxt == sizeof address);

    UdpConnParam udp{};
    for (UdpMode mode : {P2P_SENDER_MODE, P2P_RECEIVER_MODE, P2P_SENDER_RECEIVER_MODE, MULTICAST_SENDER_MODE,
                         MULTICAST_RECEIVER_MODE, MULTICAST_SENDER_RCVR_MODE})
        udp.udpMode = mode;
    for (MulticastLoopback loop : {GLOBAL_MCAST_LOOPBACK_SETTING, ENABLE_MCAST_LOOPBACK, DISABLE_MCAST_LOOPBACK})
        udp.mcastLoopBack = loop;

    IpcParam ipc{};
    for (IpcAccessMode mode : {IPC_READER_MODE, IPC_WRITER_MODE})
        ipc.accessMode = mode;
    MsgTopicParam topic{};
    for (MsgTopicOpenType open : {PUBLISH, SUBSCRIBE, APPL_REPLICATE})
        topic.openType = open;
    PipelineParam pipeline{};

    FrameworkArgument start{};
    for (ApplicationSite site : {PRIMARY_SITE, DR_SITE})
        start.siteId = site;
    for (AppMode mode : {ACTIVE_MODE, STANDBY_MODE, RECOVERY_MODE})
        start.mode = mode;
    start.regFnPtr = registration;
    start.callbackFnPtr = onMessage;
    FwMessageCallback callback = onMessage;
    FwRegistrationFunc regFn = registration;
    int index = APP_NAME + LOG_DIR + META_CMD_CODE + NUM_OF_ARGUMENTS;
    MetaCmdCode meta = NO_META_CMD;
    for (StructParamType type : {THREAD_PARAM, TCPCONN_PARAM, UDPCONN_PARAM, IPC_PARAM, MSG_TOPIC_PARAM, PIPELINE_PARAM})
        index += type;

    AppEventParam appEvent{};
    appEvent.paramInt64 = 1;
    EventMsg event{};
    event.id = APP_DEFINED_EVENT_BASE;
    event.eventParam.paramInt32 = TIMER;
    DataMsg data{};
    ResourceHandle handle;
    ResourceType resType = THREAD_RES;
    StatisticCounter counter{};
    counter.statCounterId = 1;
    counter.currentRate = 2;
    FindOperation find = FIND_EQ;
    int level = LOG_LEVEL_INFO;
    int code = RES_NOT_EXIST;

    // Never taken: the calls need only link.
    if (argc > 1000)
    {
        char* nameTxt = name;
        char thdName[17] = {};
        long timer = 0;
        unsigned long seq = 0;
        AppMode mode = ACTIVE_MODE;
        ApplicationSite site = PRIMARY_SITE;
        int inst = 0;
        int state = 0, result = 0, error = 0;
        code += frameworkInit(argc, argv, regFn) + startFrameworkThreads(&start) + stopFrameworkThreads() +
                getFrameworkThreadInfo(&state, &result, &error) +
                frameworkInit(argv[0], nameTxt, 0, site, mode, "", "", "", "", "", 0, "", 0, meta, regFn);
        code += initStructParam(THREAD_PARAM, &thread, sizeof thread) + registerThread(&thread) +
                registerTcpConnection(&tcp) + registerListenTcpConnection(&tcp) + registerUdpConnection(&udp) +
                registerListenMulticastConnection(&udp) + registerSendMulticastConnection(&udp) +
                registerIpc(&ipc) + registerPipeline(&pipeline) + registerMsgTopic(&topic) +
                registerMessageCallback("T", callback) + registerMsgMaskCallback("T", resType, mask) +
                registerExceptionCallback("T", onException);
        code += sendTcpMessage("T", "x", 1, &thdName, false) + sendTcpMessage2(handle, "x", 1, &handle, false) +
                sendUdpMessage("T", "x", 1, nullptr, false) + sendUdpMessage2(handle, "x", 1, nullptr, false) +
                sendTopicMessage("T", "x", 1, &seq, 0, nullptr, false) +
                sendTopicMessage2(handle, "x", 1, &seq, 0, nullptr, false) + sendIpcMessage("T", "x", 1) +
                sendIpcMessage2(handle, "x", 1) + sendNetEvent("T", CONN_RQS, &appEvent) +
                sendMsgServiceEvent("T", TOPIC_PUBLISH, &appEvent) + sendIpcEvent("T", IPC_OPEN_RQS, &appEvent) +
                setMcastTtl("T", 1) + updateTcpChannel("T", "127.0.0.1", 1) +
                getResHandleByName("T", TCP_RES, handle) + writeStatistic(&counter) + setAppObjectPtr(nullptr) +
                getCurrentThreadName(thdName) + sendThreadMessage("T", "x", 1, true) +
                sendThreadMessage2(handle, "x", 1, true) + setApplThreadHealthCheckInterval(1) +
                resetApplThreadHealthCheckTimer() + getApplicationInfo(nameTxt, inst, site, mode) +
                appNotifyEndRecovery() + getErrorCode();
        code += static_cast<int>(dataStoreGetHandle("T")) + (getAppObjectPtr() != nullptr);
        code += createTimer("T", 1, true, timer) + createUTimer("T", 1, true, timer) + startTimer(timer) +
                startTimer("T") + stopTimer(timer) + stopTimer("T") + removeTimer(timer) + removeTimer("T") +
                static_cast<int>(getTimerHandle("T"));
    }
    return code + index + level + find + static_cast<int>(data.dataLen) + event.id + ipc.accessMode +
                   topic.openType + udp.udpMode == 0
               ? 0
               : 1;
}
