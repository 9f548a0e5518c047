// The real rtsd: start on a configuration, stop on SIGTERM or "quit", the
// start-up errors that end it with 1, and the bus statistics report.
#include "RtsdProcess.h"
#include "rts/tests/support/RtsTestClient.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/shm.h>
#include <unistd.h>

using proctest::RtsdProcess;

namespace
{

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RtsdProcess, ExampleConfigurationRunsUntilSigtermThenExitsZero)
{
    RtsdProcess rtsd;
    // The example as shipped, run from a copy of the tree's examples folder;
    // only its framework log directory moves into the test's own, and the
    // server to a free port.
    std::string xml = slurp(std::string(EXAMPLES_DIR) + "/rtsd.xml");
    const std::string logDir = "<FwInitArg6>/tmp</FwInitArg6>";
    ASSERT_NE(xml.find(logDir), std::string::npos);
    xml.replace(xml.find(logDir), logDir.size(), "<FwInitArg6>" + rtsd.dir() + "</FwInitArg6>");
    const std::string port = "<RtsTcpPort>47001</RtsTcpPort>";
    ASSERT_NE(xml.find(port), std::string::npos);
    xml.replace(xml.find(port), port.size(), "<RtsTcpPort>" + std::to_string(rtsd.port()) + "</RtsTcpPort>");
    rtsd.write("examples/rtsd.xml", xml);
    rtsd.write("examples/rtsd_fw.cfg", slurp(std::string(EXAMPLES_DIR) + "/rtsd_fw.cfg"));

    rtsd.start({"--config-file", "examples/rtsd.xml"});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();

    const std::string out = rtsd.out();
    const std::string pid = std::to_string(rtsd.pid());
    EXPECT_EQ(RtsdProcess::count(out, "\nPID " + pid + " caught signal 15\n"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "ProcessExit (PID=" + pid + "): exit code 0"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "starting termination procedure"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "Main: quit"), 1) << out;
    // "Main: quit" is the last word, after the framework has stopped.
    EXPECT_GT(out.rfind("Main: quit"), out.rfind("ProcessExit"));
    EXPECT_TRUE(std::filesystem::exists(rtsd.dir() + "/examples/rtsd.xml"));
}

// The README's gap-filling example as written, in place of the example
// configuration's sub-feeds: rtsd starts on it, with a retransmission client
// for RETR, and stops cleanly.
TEST(RtsdProcess, TheReadmeGapFillingExampleStarts)
{
    const std::string readme = slurp(README_FILE);
    const std::size_t section = readme.find("\n## Filling gaps from a retransmission server\n");
    ASSERT_NE(section, std::string::npos);
    // The section's first indented block, every line without its indent.
    std::size_t at = readme.find("\n    <", section);
    ASSERT_NE(at, std::string::npos);
    std::string block;
    for (++at; readme.compare(at, 4, "    ") == 0;)
    {
        const std::size_t end = readme.find('\n', at);
        block += readme.substr(at + 4, end - at - 4) + "\n";
        at = end + 1;
    }
    ASSERT_NE(block.find("<RETR>"), std::string::npos) << block;

    RtsdProcess rtsd;
    std::string xml = slurp(std::string(EXAMPLES_DIR) + "/rtsd.xml");
    const std::size_t subFeeds = xml.find("<SubFeeds>");
    const std::size_t feedEnd = xml.find("</FEED>");
    ASSERT_TRUE(subFeeds != std::string::npos && feedEnd != std::string::npos);
    xml.replace(subFeeds, feedEnd + 7 - subFeeds, block);
    const std::string logDir = "<FwInitArg6>/tmp</FwInitArg6>";
    const std::string port = "<RtsTcpPort>47001</RtsTcpPort>";
    ASSERT_NE(xml.find(logDir), std::string::npos);
    ASSERT_NE(xml.find(port), std::string::npos);
    xml.replace(xml.find(logDir), logDir.size(), "<FwInitArg6>" + rtsd.dir() + "</FwInitArg6>");
    xml.replace(xml.find(port), port.size(), "<RtsTcpPort>" + std::to_string(rtsd.port()) + "</RtsTcpPort>");
    rtsd.write("examples/rtsd.xml", xml);
    rtsd.write("examples/rtsd_fw.cfg", slurp(std::string(EXAMPLES_DIR) + "/rtsd_fw.cfg"));

    rtsd.start({"--config-file", "examples/rtsd.xml"});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
    EXPECT_NE(rtsd.out().find("InitModule<LineHandlerZunqRetrans>(RETR): creating"), std::string::npos) << rtsd.out();
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
}

// The middleware path needs a process the framework does not run: in rtsd
// the setting is refused, and SIGTERM still stops the process.
TEST(RtsdProcess, MiddlewareSettingIsRefusedWhereTheFrameworkRunsTheProcess)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"UseQuorAsMiddleware", "true"}})});
    ASSERT_TRUE(rtsd.waitForOutput("Module initialization completed")) << rtsd.out() << rtsd.err();
    EXPECT_NE(rtsd.out().find("UseQuorAsMiddleware ignored"), std::string::npos);
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
    EXPECT_EQ(RtsdProcess::count(rtsd.out(), "Main: quit"), 1);
}

// "--help" lists the options and reads no configuration, so it answers
// where none is found; "--version" answers once the configuration opened.
TEST(RtsdProcess, HelpNeedsNoConfigurationAndVersionAnswersOnceItOpened)
{
    struct Case
    {
        std::vector<std::string> args;
        bool withConfig; // a configuration file named first
        int code;
        std::string stderrHas;
        std::string stderrLacks;
    };
    const std::string usage = "Usage: rtsd [options]";
    const Case cases[] = {
        // None in the working directory or TARVOK_PATH: help alone answers.
        {{"--help"}, false, 0, usage, "Error: opening"},
        {{"-h"}, false, 0, usage, "Error: opening"},
        {{"--help", "--config-file", "missing.xml"}, false, 0, usage, "Error: opening"},
        {{"-?"}, true, 0, usage, "Version"},
        {{"--help", "--version"}, true, 0, usage, "Version"},
        {{"--version"}, true, 0, "rtsd:  Version [\"4.28.0\"] Build Date", usage},
        {{"--app-name", "feed", "--version"}, true, 0, "feed:  Version [\"4.28.0\"]", usage},
        {{"--version"}, false, 1, "Error: opening configuration file: rtsd", usage},
    };
    for (const Case& c : cases)
    {
        RtsdProcess rtsd;
        std::vector<std::string> args;
        if (c.withConfig)
            args = {"--config-file", rtsd.writeConfig()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        rtsd.start(args);
        const std::string what = testing::PrintToString(c.args);
        EXPECT_EQ(rtsd.waitExit(), c.code) << what << rtsd.err();
        EXPECT_NE(rtsd.err().find(c.stderrHas), std::string::npos) << what << rtsd.err();
        EXPECT_EQ(rtsd.err().find(c.stderrLacks), std::string::npos) << what << rtsd.err();
        EXPECT_EQ(rtsd.out().find("Module initialization"), std::string::npos) << what;
        if (c.stderrHas != usage)
            continue;
        for (const char* option : {"--config-file", "--feed-name", "--app-name", "--shared-objects", "--version",
                                   "--help"})
        {
            EXPECT_NE(rtsd.err().find(option), std::string::npos) << what << ": " << option;
        }
    }
}

// Which configuration file the program opens, and under which application
// name: "--version" answers once the file has opened, with that name.
TEST(RtsdProcess, ConfigurationFileAndApplicationNameFollowTheExeNameAndOptions)
{
    struct Case
    {
        std::string name;
        std::map<std::string, std::string> files; // in TARVOK_PATH
        std::vector<std::string> args;
        int code;
        std::string stderrHas;
    };
    const std::string xml = "<c><APP_LOG_PREFIX>stdout</APP_LOG_PREFIX></c>";
    const Case cases[] = {
        {"no options: the application name up to the first _", {{"feed.xml", xml}}, {"--version"}, 0,
         "feed:  Version"},
        {"the base file names the class file", {{"tarvok.xml", "<t><ConfigFile.feed>other</ConfigFile.feed></t>"},
                                                {"other.xml", xml}},
         {"--version"}, 0, "feed:  Version"},
        {"the base file's class file missing", {{"tarvok.xml", "<t><ConfigFile.feed>other</ConfigFile.feed></t>"},
                                                {"feed.xml", xml}},
         {"--version"}, 1, "Error: opening configuration file: other"},
        {"--file wins over --config-file", {{"b.xml", xml}}, {"--config-file", "a.xml", "--file", "b.xml", "--version"},
         0, "feed:  Version"},
        {"--file wins also when it is missing", {{"a.xml", xml}},
         {"--config-file", "a.xml", "--file", "b.xml", "--version"}, 1, "Error: opening configuration file: b.xml"},
        {"--app-name", {{"x.xml", xml}}, {"--app-name", "x", "--version"}, 0, "x:  Version"},
        {"a malformed configuration file", {{"feed.xml", "<c><open></c>"}}, {"--version"}, 1,
         "Error: Main: caught ConfigError: "},
    };
    for (const Case& c : cases)
    {
        RtsdProcess rtsd;
        for (const auto& [name, content] : c.files)
            rtsd.write(name, content);
        const std::string program = rtsd.dir() + "/feed_a1";
        std::filesystem::create_symlink(RTSD_PROGRAM, program);
        rtsd.start(c.args, "", program);
        EXPECT_EQ(rtsd.waitExit(), c.code) << c.name << "\n" << rtsd.err();
        EXPECT_NE(rtsd.err().find(c.stderrHas), std::string::npos) << c.name << "\n" << rtsd.err();
    }
}

// Started by the framework agent, the configuration is looked for beside the
// framework configuration file (argv[5]) unless TARVOK_PATH is already set.
TEST(RtsdProcess, AgentCommandLineSetsTheConfigurationPathWithoutOverwritingIt)
{
    const std::string xml = "<c><APP_LOG_PREFIX>stdout</APP_LOG_PREFIX></c>";
    struct Case
    {
        std::string name;
        std::optional<std::string> tarvokPath; // nullopt: set to the other directory
        int code;
    };
    const Case cases[] = {
        {"TARVOK_PATH unset: taken from argv[5]", std::string(), 0},
        {"TARVOK_PATH set elsewhere: kept", std::nullopt, 1},
    };
    for (const Case& c : cases)
    {
        RtsdProcess rtsd, elsewhere;
        rtsd.write("fw/feed.xml", xml);
        const std::string program = rtsd.dir() + "/feed_a1";
        std::filesystem::create_symlink(RTSD_PROGRAM, program);
        rtsd.start({"APP1", "0", "0", "0", rtsd.dir() + "/fw/fw.cfg", rtsd.dir(), "--version"}, elsewhere.dir(),
                   program, c.tarvokPath ? c.tarvokPath : std::optional<std::string>(elsewhere.dir()));
        EXPECT_EQ(rtsd.waitExit(), c.code) << c.name << "\n" << rtsd.err();
        if (c.code == 0)
        {
            EXPECT_NE(rtsd.err().find("feed:  Version"), std::string::npos) << c.name << "\n" << rtsd.err();
        }
    }
}

// A key in the section named after the exe applies to it: the exe's base
// comes before the host's and after the top level.
TEST(RtsdProcess, SectionOfTheExeNameOverridesTheTopLevel)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"StatsInterval", "5"}, {"rtsd", "<StatsInterval>0</StatsInterval>"}})});
    EXPECT_EQ(rtsd.waitExit(), 1) << rtsd.out() << rtsd.err();
    EXPECT_NE(rtsd.err().find("StatsInterval |0|"), std::string::npos) << rtsd.err();
}

TEST(RtsdProcess, StartUpErrorsEndWithOneAndTheirMessage)
{
    struct Case
    {
        std::string name;
        std::vector<std::string> args; // after the configuration file
        std::map<std::string, std::string> keys;
        std::string stderrHas;
    };
    const Case cases[] = {
        {"missing configuration file", {"--config-file", "nowhere.xml"}, {},
         "Error: opening configuration file: nowhere.xml"},
        {"framework argument over 511 characters", {}, {{"FwInitArg5", "/" + std::string(511, 'y')}},
         "Error: Main: caught runtime_error: configureFwArg failed"},
        // 511 characters pass the vector; the framework start then fails on the
        // missing file, and that is a failure, not a clean stop.
        {"framework start that fails", {}, {{"FwInitArg5", "/" + std::string(510, 'y')}},
         "Error: Main: framework start failed with error"},
        {"factory missing its setting", {}, {{"RtsChannelId", "0"}},
         "Error: Main: caught InitModuleError: InitModule<LineDataCacheManager>"},
        {"zero statistics interval", {"--stats-interval=0"}, {},
         "Error: Main: caught ConfigError: InitModule<StatsManager>: StatsInterval |0|"},
        {"non-numeric statistics interval", {}, {{"StatsInterval", "soon"}},
         "Error: Main: caught ConfigError: InitModule<StatsManager>: StatsInterval |soon|"},
    };
    for (const Case& c : cases)
    {
        RtsdProcess rtsd;
        std::vector<std::string> args{"--config-file", rtsd.writeConfig(c.keys)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        rtsd.start(args);
        EXPECT_EQ(rtsd.waitExit(), 1) << c.name << "\n" << rtsd.out() << rtsd.err();
        EXPECT_NE(rtsd.err().find(c.stderrHas), std::string::npos) << c.name << "\n" << rtsd.err();
        EXPECT_EQ(rtsd.out().find("Main: quit"), std::string::npos) << c.name;
    }
}

TEST(RtsdProcess, QuitEndsTheProcessWithOneTerminateAll)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"ProbeQuitAfterMs", "200"}}), "--shared-objects",
                PROBE_PLUGIN});
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
    const std::string out = rtsd.out();
    EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: quit answered: Goodbye from rtsd@"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: TerminateAll 1 from Terminator (no reason!)"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: TerminateAll 2"), 0) << out;
    EXPECT_EQ(RtsdProcess::count(out, "ProcessExit (PID="), 1) << out;
    // The framework's own stop follows, and finds the end already under way.
    EXPECT_EQ(RtsdProcess::count(out, "termination already in progress"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, "Main: quit"), 1) << out;
}

// Sequence records that several threads write stay attached through
// TerminateAll, until the framework has stopped them all, and are detached
// once, by main; the segment itself is kept for the next run.
TEST(RtsdProcess, RecoverySegmentIsDetachedOnceAfterTheFrameworkHasStopped)
{
    const key_t key = static_cast<key_t>(0x52000000 + (::getpid() & 0xFFFFF));
    const auto remove = [key] {
        for (int level = 0; level < 8; ++level)
            if (const int id = ::shmget(key + level, 0, 0); id >= 0)
                ::shmctl(id, IPC_RMID, nullptr);
    };
    remove();
    RtsdProcess rtsd;
    rtsd.start({"--config-file",
                rtsd.writeConfig({{"ProbeQuitAfterMs", "200"},
                                  {"ProbeRecoveryKey", std::to_string(key)},
                                  {"APP_LOG_LEVEL", "6"}}),
                "--shared-objects", PROBE_PLUGIN});
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.err();
    const std::string out = rtsd.out();
    const std::string detached = "Destroying sequence number storage in shared memory.";
    EXPECT_EQ(RtsdProcess::count(out, "ProcessProbe: recovery segment attached at TerminateAll: yes"), 1) << out;
    EXPECT_EQ(RtsdProcess::count(out, detached), 1) << out;
    EXPECT_GT(out.find(detached), out.find("termination already in progress")) << out;
    EXPECT_LT(out.find(detached), out.find("Main: quit")) << out;
    const int id = ::shmget(key, 0, 0);
    struct shmid_ds info{};
    ASSERT_GE(id, 0);
    ASSERT_EQ(::shmctl(id, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_nattch, 0u);
    remove();
}

TEST(RtsdProcess, DisabledQuitAnswersAndKeepsRunning)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"ProbeQuitAfterMs", "100"}}), "--shared-objects",
                PROBE_PLUGIN, "--orvane-disable-quit"});
    ASSERT_TRUE(rtsd.waitForOutput("ProcessProbe: quit answered: Quit is disabled. Please check OrvaneDisableQuit "
                                   "parameter in the config."))
        << rtsd.out() << rtsd.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(rtsd.out().find("ProcessProbe: TerminateAll"), std::string::npos);
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
    EXPECT_EQ(RtsdProcess::count(rtsd.out(), "ProcessProbe: TerminateAll 1"), 1) << rtsd.out();
}

TEST(RtsdProcess, BusyLineDataChannelIsReportedEveryIntervalTheSilentOneNever)
{
    RtsdProcess rtsd;
    rtsd.start({"--config-file", rtsd.writeConfig({{"ProbeLineData", "true"}}), "--shared-objects",
                PROBE_PLUGIN, "--stats-interval", "1"});
    ASSERT_TRUE(rtsd.waitForOutput("[StatsCollector] Channel:LineData.default rate:", 3)) << rtsd.out() << rtsd.err();
    rtsd.signal(SIGTERM);
    EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
    const std::string out = rtsd.out();
    // The probe publishes every 50 ms: about 20 a second, each line closing its interval.
    const std::regex line(R"(\[StatsCollector\] Channel:LineData\.default rate:(\d+) max (\d+) total:(\d+))");
    unsigned long lastTotal = 0;
    int lines = 0;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it, ++lines)
    {
        const unsigned long rate = std::stoul((*it)[1]), total = std::stoul((*it)[3]);
        EXPECT_GT(rate, 5u) << it->str();
        EXPECT_LT(rate, 40u) << it->str();
        EXPECT_EQ(total, lastTotal + rate) << it->str();
        lastTotal = total;
    }
    EXPECT_GE(lines, 3);
    // The general MsgZunq channel is reported too, but carries nothing.
    EXPECT_EQ(out.find("Channel:MsgZunq"), std::string::npos);
}

} // namespace

namespace
{
// A listening socket on 127.0.0.1:port, held until closed.
struct HeldPort
{
    explicit HeldPort(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        held = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0;
    }
    ~HeldPort() { release(); }
    void release()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int fd = -1;
    bool held = false;
};

const char* const cOneUser = "<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>"
                             "<Channels><Value>7</Value></Channels></Client>";
} // namespace

// A port another process listens on. At start-up the server says in its own
// log which address and port it cannot listen on and why, and the process
// ends with 1. Started in standby and switched to active, it says the same,
// tries again, and serves once the port is free.
TEST(RtsdProcess, PortInUseEndsStartUpAndIsTriedAgainAfterASwitchToActive)
{
    {
        RtsdProcess rtsd;
        HeldPort other(rtsd.port());
        ASSERT_TRUE(other.held);
        rtsd.start({"--config-file", rtsd.writeConfig()});
        EXPECT_EQ(rtsd.waitExit(), 1) << rtsd.out() << rtsd.err();
        const std::string line = "cannot listen for clients on 127.0.0.1:" + std::to_string(rtsd.port()) +
                                 " (port " + std::to_string(rtsd.port()) + "): Address already in use";
        EXPECT_EQ(RtsdProcess::count(rtsd.out(), line + " (errno 98, framework error 708); the server cannot serve"), 1)
            << rtsd.out();
        EXPECT_EQ(RtsdProcess::count(rtsd.out(), "ProcessExit (PID=" + std::to_string(rtsd.pid()) + "): exit code 1"),
                  1)
            << rtsd.out();
        EXPECT_NE(rtsd.err().find("Error: Main: RtsTcpServer: " + line), std::string::npos) << rtsd.err();
    }
    {
        RtsdProcess rtsd;
        HeldPort other(rtsd.port());
        ASSERT_TRUE(other.held);
        const std::string activate = rtsd.dir() + "/activate";
        rtsd.start({"--config-file",
                    rtsd.writeConfig({{"HaMode", "standby"},
                                      {"ClientList", cOneUser},
                                      {"ProbeInvokeWhenFile", activate},
                                      {"ProbeInvoke", "setHAMode active"}}),
                    "--shared-objects", PROBE_PLUGIN});
        ASSERT_TRUE(rtsd.waitForOutput("listening is tried again when the server turns active")) << rtsd.out()
                                                                                                 << rtsd.err();
        rtsd.write("activate", "");
        ASSERT_TRUE(rtsd.waitForOutput("ProcessProbe: setHAMode answered: Active")) << rtsd.out();
        ASSERT_TRUE(rtsd.waitForOutput("Address already in use (errno 98, framework error 708); trying again every"))
            << rtsd.out();
        // Tried again while the port is held, refused again.
        ASSERT_TRUE(rtsd.waitForOutput("listening again after 2 refused attempts", 1, std::chrono::seconds(10)))
            << rtsd.out();
        other.release();
        rtstest::Client bob;
        ASSERT_TRUE(bob.connect(rtsd.port(), std::chrono::seconds(10))) << rtsd.out();
        ASSERT_TRUE(bob.send(rtstest::logon("bob")));
        const std::optional<rtstest::Packet> answer = bob.read();
        ASSERT_TRUE(answer) << rtsd.out();
        EXPECT_EQ(answer->logonStatus(), 0);
        rtsd.signal(SIGTERM);
        EXPECT_EQ(rtsd.waitExit(), 0) << rtsd.out() << rtsd.err();
    }
}
