// A topic published by another process over multicast on the loopback
// interface, received by a topic line on its thread and seen on the line's
// data channel. A process holds one registration per topic name, so the
// publisher is a framework application of its own (the messaging tests'
// topic application). Where it may, the test runs in a network namespace of
// its own, which the publisher shares.
#include "../lh_base/LineHandlerTestSupport.h"

#include "FendralCore/tests/support/ProcessTestSupport.h"
#include "kelmora/linehandler/LineHandlerTopic.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace hostrun;
using namespace lhtest;

namespace
{
// Groups of this process's own, should it share the host's loopback.
std::string group(int n)
{
    const unsigned pid = static_cast<unsigned>(::getpid());
    return "239." + std::to_string(120 + pid % 100) + "." + std::to_string((pid / 100) % 250) + "." +
           std::to_string(n);
}

// The publishing application; killed when the test ends.
struct Publisher
{
    Publisher(const std::string& dir, const std::vector<std::string>& args) : out(dir + "/pub")
    {
        pid = ::fork();
        if (pid == 0)
        {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(TOPIC_APP_PATH)};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(TOPIC_APP_PATH, argv.data());
            ::_exit(127);
        }
    }
    ~Publisher()
    {
        if (pid > 0)
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    std::string output() const
    {
        std::ifstream in(out);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string out;
    pid_t pid = -1;
};

// The application's message n: its index, then bytes that follow from it.
bool intact(const char* data, unsigned int length, long expected)
{
    long index = -1;
    if (length >= sizeof index)
        std::memcpy(&index, data, sizeof index);
    const size_t size = 8 + static_cast<size_t>((static_cast<unsigned long>(expected) * 2654435761ul) % 3000);
    bool ok = index == expected && length == size;
    for (unsigned int i = 8; ok && i < length; ++i)
        ok = data[i] == static_cast<char>((index + static_cast<long>(i)) & 0xFF);
    return ok;
}
} // namespace

TEST(TopicLoop, LoopbackTopicMessagesReachTheLineDataChannel)
{
    RecordProperty("network", processtest::isolateNetwork() ? "namespace" : "host loopback");
    constexpr long cCount = 300;
    std::string pattern = (std::filesystem::temp_directory_path() / "lhTopicLoopXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const std::string dir = pattern;
    // The topic's own groups, apart from the configuration's pool.
    const int dataPort = freeUdpPort();
    const int ackPort = freeUdpPort();
    const std::string config =
        "MCAST_RC_ADDR STRING " + group(1) + "\nMCAST_RC_PORT UINT16 " + std::to_string(freeUdpPort()) +
        "\nMCAST_RAC_ADDR STRING " + group(2) + "\nMCAST_RAC_PORT UINT16 " + std::to_string(freeUdpPort()) +
        "\nMCAST_DC_ADDR STRING " + group(3) + "\nMCAST_DC_PORT UINT16 " + std::to_string(freeUdpPort()) +
        "\nMCAST_DAC_ADDR STRING " + group(4) + "\nMCAST_DAC_PORT UINT16 " + std::to_string(freeUdpPort()) +
        "\nMCAST_DC_ADDR_RG INT32 1\nMCAST_DC_PORT_RG INT32 1\n"
        "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_MCAST_TTL UINT16 1\nMSL_LOOPBACK INT32 1\n"
        "RQS_TIMEOUT INT32 50\nMSL_TM_INTERVAL INT32 10\nMCAST_RECV_BUF INT32 4194304\n"
        // The publisher starts once it hears of its subscriber.
        "SUBSCRIB_STS_EVT UINT32 1\n";
    std::ofstream(dir + "/fw.cfg") << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 5\n" << config;

    Host host;
    Thread<Starter> thread{host, "LHTOPIC", 4096};
    CountingFactory factory;
    std::vector<std::string> events;
    long received = 0;
    long bad = 0;
    Recorder<LineData> data{events, [&](const LineData& d) {
                                if (!intact(d.getData(), d.getDataLen(), received + 1) && bad++ < 5)
                                    ADD_FAILURE() << "message " << received + 1 << " of " << d.getDataLen()
                                                  << " bytes is not the one sent";
                                ++received;
                                return std::string("D");
                            }};
    LineHandlerTopic handler(factory, thread.session, host.log);
    handler.setFeedName("FEED1");
    handler.setName("topicline");
    handler.OrluPublisher<LineData>::setDestination(&data.channel);
    extraRegistration() = [&] {
        // The topic is registered with the thread, before the framework starts.
        try
        {
            handler.setTopicParams("QUOTES", group(5), std::to_string(dataPort), group(6), std::to_string(ackPort),
                                   0);
        }
        catch (const std::exception& e)
        {
            ADD_FAILURE() << e.what();
            return -1;
        }
        thread.runnable->getOrluThreadStatus()->subscribe(&handler);
        return 0;
    };
    // The line subscribes itself once its thread is ready and the topic may open.

    // It waits for one subscriber before it sends.
    Publisher pub(dir, {"--role", "pub", "--app", "PUB1", "--inst", "1", "--config", dir + "/fw.cfg", "--logdir",
                        dir, "--count", std::to_string(cCount), "--subs", "1", "--rate", "2000", "--groups",
                        group(5) + ":" + std::to_string(dataPort) + "," + group(6) + ":" + std::to_string(ackPort)});
    StopWhen stop([&] { return received >= cCount; });
    TarvokTimer timer;
    ASSERT_FALSE(!timer.create(&thread.session, &stop, 5, nullptr));
    const bool inTime = runFramework({{thread.runnable->getName(), 4096}}, config, std::chrono::seconds(30));
    extraRegistration() = nullptr;
    EXPECT_TRUE(inTime && stop.stopped) << received << " of " << cCount << " messages; publisher: " << pub.output();
    EXPECT_EQ(received, cCount);
    EXPECT_EQ(bad, 0);
    if (::testing::Test::HasFailure())
        for (const auto& [level, line] : host.sink.lines())
            std::fprintf(stderr, "line log %d: %s\n", static_cast<int>(level), line.c_str());
    std::error_code ignored;
    if (!::testing::Test::HasFailure())
        std::filesystem::remove_all(dir, ignored);
    else
        std::fprintf(stderr, "publisher's logs kept in %s\n", dir.c_str());
}
