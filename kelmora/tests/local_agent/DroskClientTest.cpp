// The local agent client against a listening Unix-domain socket that the
// test plays the agent on: path rules, message framing across writes, the
// agent closing, what goes on the wire, and the descriptors it leaves.
#include "../host_runnable/RunnableTestSupport.h"

#include "kelmora/linehandler/DroskClient.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

using namespace hostrun;

namespace
{
int openDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

struct Recording : Zunq::DroskClient
{
    using DroskClient::DroskClient;
    void onMsg(Zunq::DroskMsg* m) override { got.push_back(*m); }
    void poll() { onTimer(getEpollTimer()); }
    std::vector<Zunq::DroskMsg> got;
};

// The agent: a listening socket at a path of the asked length.
struct Agent
{
    explicit Agent(std::size_t pathLength)
    {
        std::string dir = (std::filesystem::temp_directory_path() / "laXXXXXX").string();
        ::mkdtemp(dir.data());
        root = dir;
        path = dir + "/";
        path += std::string(pathLength - path.size(), 'a');
        listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, path.data(), std::min(path.size(), sizeof a.sun_path - 1));
        if (path.size() < sizeof a.sun_path)
        {
            ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::listen(listener, 4);
        }
    }
    ~Agent()
    {
        if (peer >= 0)
            ::close(peer);
        ::close(listener);
        std::filesystem::remove_all(root);
    }
    void accept() { peer = ::accept(listener, nullptr, nullptr); }
    void write(const std::vector<Zunq::DroskMsg>& msgs, std::size_t from = 0, std::size_t to = SIZE_MAX)
    {
        std::string bytes(reinterpret_cast<const char*>(msgs.data()), msgs.size() * sizeof(Zunq::DroskMsg));
        bytes = bytes.substr(from, to - from);
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    std::string root;
    std::string path;
    int listener = -1;
    int peer = -1;
};

struct LocalAgent : ::testing::Test
{
    Host host;
    Thread<> thread{host, "AGENTC"};
    std::unique_ptr<Recording> connect(Agent& agent)
    {
        auto c = std::make_unique<Recording>(thread.session, host.log, "unused", 10, true);
        c->startEpollTimer();
        c->setPath(agent.path);
        c->init();
        agent.accept();
        return c;
    }
};

bool same(const Zunq::DroskMsg& a, const Zunq::DroskMsg& b)
{
    return a.mMsgType == b.mMsgType && a.mInstId == b.mInstId && a.mReturnCode == b.mReturnCode;
}
} // namespace

TEST_F(LocalAgent, PathOf107BytesConnectsAnd108Fails)
{
    const int before = openDescriptors();
    {
        Agent agent(107);
        auto client = connect(agent);
        EXPECT_TRUE(client->isConnected());
    }
    Agent tooLong(108);
    Recording client(thread.session, host.log, "unused", 10, true);
    client.startEpollTimer();
    client.setPath(tooLong.path);
    try
    {
        client.init();
        ADD_FAILURE() << "no invalid_argument";
    }
    catch (const std::invalid_argument& e)
    {
        EXPECT_STREQ(e.what(), "socket() failed: socket path too long");
    }
    Recording nobody(thread.session, host.log, "unused", 10, true);
    nobody.setPath(tooLong.root + "/none");
    EXPECT_THROW(nobody.init(), std::invalid_argument);
    EXPECT_FALSE(client.isConnected());
    // The agent's listener and the two epoll instances are what remains.
    EXPECT_EQ(openDescriptors(), before + 2);
}

TEST_F(LocalAgent, EveryCompleteMessageIsDeliveredAndAPartOneWaits)
{
    Agent agent(60);
    auto client = connect(agent);
    const std::vector<Zunq::DroskMsg> two = {{1, 2, 3}, {4, 5, 6}};
    agent.write(two);
    client->poll();
    ASSERT_EQ(client->got.size(), 2u);
    EXPECT_TRUE(same(client->got[0], two[0]));
    EXPECT_TRUE(same(client->got[1], two[1]));

    client->got.clear();
    const std::vector<Zunq::DroskMsg> one = {{7, 8, 9}};
    agent.write(one, 0, 3);
    client->poll();
    EXPECT_TRUE(client->got.empty());
    agent.write(one, 3);
    client->poll();
    ASSERT_EQ(client->got.size(), 1u);
    EXPECT_TRUE(same(client->got[0], one[0]));
}

TEST_F(LocalAgent, TheAgentClosingIsOneInfoLineAndLaterPollsAreSilent)
{
    const int before = openDescriptors();
    {
        Agent agent(60);
        auto client = connect(agent);
        ::close(agent.peer);
        agent.peer = -1;
        for (int i = 0; i < 3; ++i)
            client->poll();
        EXPECT_EQ(host.sink.count("DroskClient::onIo(): drosk closed connection gracefully", LOG_LEVEL_INFO), 1);
        EXPECT_FALSE(client->isConnected());
        EXPECT_TRUE(client->got.empty());
        client->sendMsg(1, 0);
        EXPECT_EQ(host.sink.count("DroskClient::send(): failed to send msg (", LOG_LEVEL_ERROR), 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(LocalAgent, SentMessagesAreSixBytesWithInstanceIdZero)
{
    Agent agent(60);
    auto client = connect(agent);
    client->sendMsg(0x0102, 0x0304);
    unsigned char bytes[16];
    ASSERT_EQ(::recv(agent.peer, bytes, sizeof bytes, 0), 6);
    Zunq::DroskMsg expected{0x0102, 0, 0x0304};
    EXPECT_EQ(std::memcmp(bytes, &expected, 6), 0);
}
