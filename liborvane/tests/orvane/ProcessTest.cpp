// Whole processes: rtsd with the relay's hub and client on a port the test
// chose, driven with orvane_admin, and two rtsd processes where one holds
// the hub and the other's methods answer through it.
#include "rts/tests/host_process/RtsdProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sys/wait.h>

using proctest::RtsdProcess;

namespace
{

struct ToolRun
{
    int status = -1;
    std::string out;
};

// orvane_admin with `args` against the hub on `port`.
ToolRun admin(int port, const std::string& args)
{
    const std::string command =
        std::string(ADMIN_TOOL) + " --port " + std::to_string(port) + " " + args + " 2>/dev/null";
    ToolRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr)
        run.out += buffer.data();
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::map<std::string, std::string> relay(int port, bool hub)
{
    return {{"IsOrvaneServer", hub ? "true" : "false"},
            {"OrvaneTcpListenPort", std::to_string(port)},
            {"OrvaneTcpPort", std::to_string(port)},
            // A client that starts first tries again within a second.
            {"OrvaneTcpConnectDelayMax", "500"}};
}

const char* const cConnected = "OrvaneClient::onTcpConnect(): connected";

} // namespace

// rtsd holds the hub and a client: one of its admin methods answers through
// the relay, and "quit" sent the same way ends it with exit code 0 after one
// TerminateAll (the hub ends with it, so the answer may not get out).
TEST(OrvaneProcess, RtsdAnswersThroughTheRelayAndQuitsOnRequest)
{
    RtsdProcess rtsd;
    const int port = rtstest::freeTcpPort();
    rtsd.start({"--config-file", rtsd.writeConfig(relay(port, true)), "--shared-objects", PROBE_PLUGIN});
    ASSERT_TRUE(rtsd.waitForOutput(cConnected, 1, std::chrono::seconds(60))) << rtsd.out() << rtsd.err();

    const ToolRun mode = admin(port, "--timeout 30 orvane.rtsd.gethamode");
    EXPECT_EQ(mode.status, 0) << rtsd.out();
    EXPECT_EQ(mode.out, "Active\n") << rtsd.out();

    const ToolRun quit = admin(port, "--timeout 30 --linger 100 orvane.rtsd.quit");
    EXPECT_EQ(rtsd.waitExit(std::chrono::seconds(60)), 0) << rtsd.out() << rtsd.err();
    EXPECT_TRUE(quit.status == 0 || quit.status == 2) << quit.status;
    const std::string out = rtsd.out();
    EXPECT_EQ(RtsdProcess::count(out, "starting termination procedure (reason: by KESH request)"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: TerminateAll 1 from Terminator"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: TerminateAll 2"), 0) << out;
    EXPECT_EQ(RtsdProcess::count(out, "Main: quit"), 1) << out;
}

// Process B starts first with a client only, A then with the hub: B's client
// connects once the hub listens. A request for B's method is relayed to both
// and answered by B alone; a subject no process listens to gets no answer;
// B's "quit" answers and ends B alone.
TEST(OrvaneProcess, AMethodOfAnotherProcessAnswersThroughTheHub)
{
    RtsdProcess a, b;
    const int port = rtstest::freeTcpPort();
    auto keysB = relay(port, false);
    keysB["FwInitArg1"] = "ORVANEB";
    b.start({"--config-file", b.writeConfig(keysB), "--feed-name", "rtsd_b"});
    ASSERT_TRUE(b.waitForOutput("Module initialization completed", 1, std::chrono::seconds(60)))
        << b.out() << b.err();
    auto keysA = relay(port, true);
    keysA["FwInitArg1"] = "ORVANEA";
    a.start({"--config-file", a.writeConfig(keysA), "--feed-name", "rtsd_a"});
    ASSERT_TRUE(a.waitForOutput(cConnected, 1, std::chrono::seconds(60))) << a.out() << a.err();
    ASSERT_TRUE(b.waitForOutput(cConnected, 1, std::chrono::seconds(60))) << b.out() << b.err();

    const ToolRun mode = admin(port, "--timeout 30 orvane.rtsd_b.gethamode");
    EXPECT_EQ(mode.status, 0) << a.out() << b.out();
    EXPECT_EQ(mode.out, "Active\n");
    EXPECT_EQ(RtsdProcess::count(b.out(), "KeshInterfaceOrvane::invoke (rtsd_b::getHAMode"), 1) << b.out();
    EXPECT_EQ(RtsdProcess::count(a.out(), "KeshInterfaceOrvane::invoke"), 0) << a.out();

    const ToolRun nobody = admin(port, "--timeout 2 orvane.nobody.gethamode");
    EXPECT_EQ(nobody.status, 1);
    EXPECT_EQ(nobody.out, "");

    const ToolRun quit = admin(port, "--timeout 30 orvane.rtsd_b.quit");
    EXPECT_EQ(quit.status, 0);
    EXPECT_EQ(quit.out.rfind("Goodbye from rtsd_b@", 0), 0u) << quit.out;
    EXPECT_EQ(b.waitExit(), 0) << b.out();
    EXPECT_EQ(RtsdProcess::count(a.out(), "starting termination procedure"), 0) << a.out();
    a.signal(SIGTERM);
    EXPECT_EQ(a.waitExit(), 0) << a.out();
}
