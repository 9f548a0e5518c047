// The exported calls inside one process, before any framework start: record
// checks of the registration calls, and the thread-context rules of the
// messaging and timer calls from a thread the framework does not own.
#include "FendralServices/api/FwLimits.h"
#include "FendralServices/api/FwServices.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace
{
int noCallback(MessageType, EventMsg*, DataMsg*)
{
    return 0;
}

void setMiddleware(bool on)
{
    std::atomic_ref<bool>(GlobalData::getInst().m_runAsFwMiddleware).store(on);
}

void setMrmBase(const char* base, bool mrmApp)
{
    GlobalData& gd = GlobalData::getInst();
    std::memset(gd.m_mrmBaseName, 0, sizeof(gd.m_mrmBaseName));
    std::strncpy(gd.m_mrmBaseName, base, sizeof(gd.m_mrmBaseName) - 1);
    gd.m_mrmBaseNameLen = static_cast<int32>(std::strlen(gd.m_mrmBaseName));
    gd.m_mrmApplication = mrmApp;
}

// Result and error code of a call made on a fresh thread of our own.
template <typename F>
std::pair<long, int> onOwnThread(F call)
{
    std::pair<long, int> out{};
    std::thread([&] {
        FrameworkErrno::m_fwErrno = 0;
        out.first = static_cast<long>(call());
        out.second = getErrorCode();
    }).join();
    return out;
}
} // namespace

TEST(InitStructParam, RecordChecks)
{
    ThreadParam thread{};
    PipelineParam pipeline{};
    struct Case
    {
        int type;
        void* record;
        int size;
        int code;
    } cases[] = {
        {THREAD_PARAM, nullptr, sizeof(ThreadParam), RES_NULL_STRUCT_PTR},
        {6, nullptr, 8, RES_NULL_STRUCT_PTR},
        {THREAD_PARAM, &thread, sizeof(ThreadParam) - 1, RES_STRUCT_SIZE_INVALID},
        {THREAD_PARAM, &thread, sizeof(ThreadParam) + 1, RES_STRUCT_SIZE_INVALID},
        {THREAD_PARAM, &thread, -1, RES_STRUCT_SIZE_INVALID},
        {TCPCONN_PARAM, &thread, sizeof(ThreadParam), RES_STRUCT_SIZE_INVALID},
        {6, &thread, sizeof(ThreadParam), RES_STRUCT_TYPE_UNKNNOWN},
        {-1, &thread, sizeof(ThreadParam), RES_STRUCT_TYPE_UNKNNOWN},
        {THREAD_PARAM, &thread, sizeof(ThreadParam), 0},
        {PIPELINE_PARAM, &pipeline, sizeof(PipelineParam), 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("type " + std::to_string(c.type) + " size " + std::to_string(c.size));
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(initStructParam(static_cast<StructParamType>(c.type), c.record, c.size), c.code == 0 ? 0 : -1);
        EXPECT_EQ(getErrorCode(), c.code);
    }
}

TEST(InitStructParam, FillsTheRegistryDefaults)
{
    ThreadParam param;
    std::memset(&param, 0x5a, sizeof(param));
    ASSERT_EQ(initStructParam(THREAD_PARAM, &param, sizeof(param)), 0);
    EXPECT_GT(param.messageQueueLength, 0);
    EXPECT_EQ(param.threadNameTxt[0], '\0');
}

TEST(RegisterMsgTopic, ReservedNames)
{
    struct Case
    {
        const char* name;
        const char* base;
        bool mrmApp;
        bool reserved;
    } cases[] = {
        {"ABC_RECO", "MRM", false, true},   // longer than 5, ends in _RECO
        {"_RECO", "MRM", false, false},     // the suffix alone
        {"X_FW_REPL", "MRM", false, true},  // longer than 8, ends in _FW_REPL
        {"_FW_REPL", "MRM", false, false},
        {"MRMx", "MRM", false, true},       // begins with the base name
        {"XMRM", "MRM", false, false},
        {"ABC_RECO", "MRM", true, false},   // a recovery-manager application may
        {"MRMx", "MRM", true, false},
        {"QUOTES", "", false, true},        // an empty base name prefixes every name
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.name) + " base " + c.base);
        setMrmBase(c.base, c.mrmApp);
        MsgTopicParam param;
        ASSERT_EQ(initStructParam(MSG_TOPIC_PARAM, &param, sizeof(param)), 0);
        copyResourceName(param.topicNameTxt, c.name);
        FrameworkErrno::m_fwErrno = 0;
        registerMsgTopic(&param);
        if (c.reserved)
            EXPECT_EQ(getErrorCode(), RES_NAME_RESERVED);
        else
            EXPECT_NE(getErrorCode(), RES_NAME_RESERVED);
    }
    setMrmBase("MRM", false);
}

TEST(RegisterConnection, ModeChecks)
{
    using Reg = int (*)(const UdpConnParam*);
    struct Case
    {
        const char* who;
        Reg call;
        int mode;
        int code; // 0: passed on to the registry
    } cases[] = {
        {"udp", registerUdpConnection, P2P_SENDER_MODE, 0},
        {"udp", registerUdpConnection, P2P_RECEIVER_MODE, 0},
        {"udp", registerUdpConnection, P2P_SENDER_RECEIVER_MODE, RES_NOT_SUPPORTED},
        {"udp", registerUdpConnection, MULTICAST_RECEIVER_MODE, RES_NOT_SUPPORTED},
        {"udp", registerUdpConnection, -1, RES_NOT_SUPPORTED},
        {"listen", registerListenMulticastConnection, MULTICAST_RECEIVER_MODE, 0},
        {"listen", registerListenMulticastConnection, MULTICAST_SENDER_MODE, RES_UDP_MODE_INVALID},
        {"listen", registerListenMulticastConnection, MULTICAST_SENDER_RCVR_MODE, RES_UDP_MODE_INVALID},
        {"send", registerSendMulticastConnection, MULTICAST_SENDER_MODE, 0},
        {"send", registerSendMulticastConnection, MULTICAST_RECEIVER_MODE, RES_UDP_MODE_INVALID},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.who) + " mode " + std::to_string(c.mode));
        UdpConnParam param;
        ASSERT_EQ(initStructParam(UDPCONN_PARAM, &param, sizeof(param)), 0);
        param.udpMode = static_cast<UdpMode>(c.mode);
        FrameworkErrno::m_fwErrno = 0;
        const int rc = c.call(&param);
        if (c.code != 0)
        {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(getErrorCode(), c.code);
        }
        else
        {
            // Unnamed: the registry's own check answers, not the mode check.
            EXPECT_NE(getErrorCode(), RES_NOT_SUPPORTED);
            EXPECT_NE(getErrorCode(), RES_UDP_MODE_INVALID);
        }
    }

    TcpConnParam tcp;
    ASSERT_EQ(initStructParam(TCPCONN_PARAM, &tcp, sizeof(tcp)), 0);
    tcp.tcpMode = TCP_SERVER_LISTEN_MODE;
    EXPECT_EQ(registerTcpConnection(&tcp), -1);
    EXPECT_EQ(getErrorCode(), RES_TCP_MODE_INVALID);
    tcp.tcpMode = TCP_CLIENT_DATA_MODE;
    EXPECT_EQ(registerListenTcpConnection(&tcp), -1);
    EXPECT_EQ(getErrorCode(), RES_TCP_MODE_INVALID);
}

TEST(Registration, ThreadAndCallback)
{
    ThreadParam param;
    ASSERT_EQ(initStructParam(THREAD_PARAM, &param, sizeof(param)), 0);
    copyResourceName(param.threadNameTxt, "REG_WORKER");
    ASSERT_EQ(registerThread(&param), 0);
    EXPECT_EQ(registerMessageCallback("REG_WORKER", noCallback), 0);
    EXPECT_EQ(registerMessageCallback("REG_WORKER", noCallback), -1); // one callback per thread
    EXPECT_EQ(registerMessageCallback(nullptr, noCallback), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    EXPECT_EQ(registerThread(nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);

    // Not offered: the code itself comes back and the thread's code stays.
    FrameworkErrno::m_fwErrno = 77;
    EXPECT_EQ(registerExceptionCallback("REG_WORKER", nullptr), RES_NOT_SUPPORTED);
    EXPECT_EQ(getErrorCode(), 77);

    setMiddleware(true);
    copyResourceName(param.threadNameTxt, "REG_OTHER");
    EXPECT_EQ(registerThread(&param), -1);
    EXPECT_EQ(getErrorCode(), FUNC_NOT_ALLOWED_IN_MIDDLEWARE);
    setMiddleware(false);
}

TEST(CopyResourceName, CutsAndPads)
{
    char name[17];
    std::memset(name, 'x', sizeof(name));
    copyResourceName(name, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(std::string(name, 16), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(name[16], '\0');
    copyResourceName(name, "AB");
    for (int i = 2; i < 17; ++i)
        EXPECT_EQ(name[i], '\0') << i;
    copyResourceName(name, nullptr); // ignored: the name stays
    EXPECT_STREQ(name, "AB");
}

// The error code is the calling thread's own.
TEST(ErrorCode, IsPerThread)
{
    FrameworkErrno::m_fwErrno = 0;
    registerThread(nullptr);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    int other = -1;
    std::thread([&] { other = getErrorCode(); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
}

// Which code a call gives from a thread the framework does not own, outside
// and inside middleware mode (no "MIDDLEWARE_MD" running yet).
TEST(ThreadContext, CallsFromAThreadOfOurOwn)
{
    char name[17];
    long handle = 0;
    ResourceHandle none;
    struct Case
    {
        const char* who;
        std::function<long()> call;
        long failure;
        int plain;
        int middleware;
    } cases[] = {
        {"sendThreadMessage", [] { return sendThreadMessage("X", "a", 1, false); }, -1, NOT_IN_THREAD_CONTEXT,
         FUNC_NOT_ALLOWED_IN_MIDDLEWARE},
        {"sendThreadMessage2", [&] { return sendThreadMessage2(none, "a", 1, true); }, -1, NOT_IN_THREAD_CONTEXT,
         FUNC_NOT_ALLOWED_IN_MIDDLEWARE},
        {"setApplThreadHealthCheckInterval", [] { return setApplThreadHealthCheckInterval(5); }, -1,
         NOT_IN_THREAD_CONTEXT, FUNC_NOT_ALLOWED_IN_MIDDLEWARE},
        {"resetApplThreadHealthCheckTimer", [] { return resetApplThreadHealthCheckTimer(); }, -1,
         NOT_IN_THREAD_CONTEXT, FUNC_NOT_ALLOWED_IN_MIDDLEWARE},
        {"getCurrentThreadName", [&] { return getCurrentThreadName(name); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"setAppObjectPtr", [] { return setAppObjectPtr(nullptr); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        // Rule A: any thread's own dispatcher, else the middleware one.
        {"sendTcpMessage", [] { return sendTcpMessage("C", "a", 1, nullptr, false); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendTcpMessage2", [&] { return sendTcpMessage2(none, "a", 1, nullptr, false); }, -1,
         NOT_IN_THREAD_CONTEXT, MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendUdpMessage", [] { return sendUdpMessage("C", "a", 1, nullptr, false); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendUdpMessage2", [&] { return sendUdpMessage2(none, "a", 1, nullptr, false); }, -1,
         NOT_IN_THREAD_CONTEXT, MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendTopicMessage", [] { return sendTopicMessage("T", "a", 1, nullptr, 0, nullptr, false); }, -1,
         NOT_IN_THREAD_CONTEXT, MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendTopicMessage2", [&] { return sendTopicMessage2(none, "a", 1, nullptr, 0, nullptr, false); }, -1,
         NOT_IN_THREAD_CONTEXT, MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendIpcMessage", [] { return sendIpcMessage("I", "a", 1); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendIpcMessage2", [&] { return sendIpcMessage2(none, "a", 1); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendNetEvent", [] { return sendNetEvent("C", CONN_UPDATED, nullptr); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendMsgServiceEvent", [] { return sendMsgServiceEvent("T", CONN_UPDATED, nullptr); }, -1,
         NOT_IN_THREAD_CONTEXT, MIDDLEWARE_MD_NOT_AVAILABLE},
        {"sendIpcEvent", [] { return sendIpcEvent("I", CONN_UPDATED, nullptr); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"setMcastTtl", [] { return setMcastTtl("C", 2); }, -1, NOT_IN_THREAD_CONTEXT, MIDDLEWARE_MD_NOT_AVAILABLE},
        {"updateTcpChannel", [] { return updateTcpChannel("C", "127.0.0.1", 1); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"getResHandleByName", [&] { return getResHandleByName("C", TCP_RES, none); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"writeStatistic", [] { return writeStatistic(nullptr); }, -1, NOT_IN_THREAD_CONTEXT,
         MIDDLEWARE_MD_NOT_AVAILABLE},
        {"createTimer", [&] { return createTimer("T", 10, true, handle); }, -1, NOT_IN_THREAD_CONTEXT,
         NOT_IN_THREAD_CONTEXT},
        {"createUTimer", [&] { return createUTimer("T", 10, true, handle); }, -1, NOT_IN_THREAD_CONTEXT,
         NOT_IN_THREAD_CONTEXT},
        {"startTimer", [] { return startTimer(1L); }, -1, NOT_IN_THREAD_CONTEXT, NOT_IN_THREAD_CONTEXT},
        {"stopTimer", [] { return stopTimer("T"); }, -1, NOT_IN_THREAD_CONTEXT, NOT_IN_THREAD_CONTEXT},
        {"removeTimer", [] { return removeTimer(1L); }, -1, NOT_IN_THREAD_CONTEXT, NOT_IN_THREAD_CONTEXT},
        {"getTimerHandle", [] { return getTimerHandle("T"); }, 0, NOT_IN_THREAD_CONTEXT, NOT_IN_THREAD_CONTEXT},
        {"getTimerLimit", [] { return getTimerLimit(); }, -1, NOT_IN_THREAD_CONTEXT, NOT_IN_THREAD_CONTEXT},
    };
    for (bool middleware : {false, true})
    {
        setMiddleware(middleware);
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.who) + (middleware ? " in middleware mode" : ""));
            const auto [rc, code] = onOwnThread(c.call);
            EXPECT_EQ(rc, c.failure);
            EXPECT_EQ(code, middleware ? c.middleware : c.plain);
        }
    }
    setMiddleware(false);
    EXPECT_EQ(onOwnThread([] { return reinterpret_cast<long>(getAppObjectPtr()); }).first, 0);
}

TEST(ThreadContext, ApplicationInfoAndFixedAnswers)
{
    char appId[9] = {};
    int inst = -1;
    ApplicationSite site = DR_SITE;
    AppMode mode = STANDBY_MODE;
    EXPECT_EQ(getApplicationInfo(appId, inst, site, mode), -1);
    EXPECT_EQ(getErrorCode(), NOT_IN_THREAD_CONTEXT);

    GlobalData& gd = GlobalData::getInst();
    gd.setAppId("INFOAPP1");
    gd.m_appInstId = 3;
    gd.m_siteId = PRIMARY_SITE;
    gd.m_appMode.store(RECOVERY_MODE);
    EXPECT_EQ(getApplicationInfo(appId, inst, site, mode), 0);
    EXPECT_STREQ(appId, "INFOAPP1");
    EXPECT_EQ(inst, 3);
    EXPECT_EQ(site, PRIMARY_SITE);
    EXPECT_EQ(mode, RECOVERY_MODE);
    gd.setAppId("");

    EXPECT_EQ(appNotifyEndRecovery(), -1);
    EXPECT_EQ(getErrorCode(), FUNC_NOT_ALLOWED);
    EXPECT_EQ(dataStoreGetHandle(nullptr), 0);
    EXPECT_EQ(dataStoreGetHandle("NO_SUCH_STORE"), 0);

    int state = 0;
    EXPECT_EQ(getFrameworkThreadInfo(&state, nullptr, nullptr), -1);
    EXPECT_EQ(getErrorCode(), FUNC_NOT_ALLOWED);
    EXPECT_EQ(stopFrameworkThreads(), -1);
    EXPECT_EQ(getErrorCode(), FUNC_NOT_ALLOWED);
}

TEST(StartFrameworkThreads, ArgumentChecks)
{
    EXPECT_EQ(startFrameworkThreads(nullptr), -1);
    EXPECT_EQ(getErrorCode(), FUNC_NOT_ALLOWED);
    FrameworkArgument arg{};
    EXPECT_EQ(startFrameworkThreads(&arg), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    // Middleware mode starts once per process.
    setMiddleware(true);
    arg.regFnPtr = [] { return 0; };
    arg.callbackFnPtr = noCallback;
    EXPECT_EQ(startFrameworkThreads(&arg), -1);
    EXPECT_EQ(getErrorCode(), MIDDLEWARE_RESTART_NOT_ALLOW);
    setMiddleware(false);
}
