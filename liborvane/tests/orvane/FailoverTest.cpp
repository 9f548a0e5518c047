// Failover actions run when the client's thread switches to active: touch
// files, admin commands executed in this process, and the database failover
// let through once only. No framework: the switch is delivered by hand.
#include "ClientTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

using namespace relaytest;

namespace
{

struct Failover : ::testing::Test
{
    Failover()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvane-failover-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        factory.setObjPoolSize(2);
        listener.create(&thread.session, &echo, "test.echo", nullptr);
        dbListener.create(&thread.session, &db, OrvaneClient::cDatabaseFailoverSubject, nullptr);
    }
    ~Failover() override { std::filesystem::remove_all(dir); }

    void switchTo(std::uint32_t state)
    {
        Zunq::ThreadStatus status;
        status.mState = state;
        client.onData(bus, "ADMIN", status);
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir + "/" + name); }
    int count(const std::string& text) const { return host.sink.count(text); }

    std::string dir;
    Host host;
    Thread<> thread{host, "ADMIN"};
    LineDataFactoryBasic factory{"LineDataFactoryBasic(OrvaneClient)", host.log};
    OrvaneClient client{factory, thread.session, host.log};
    Orlu<Zunq::ThreadStatus> bus{"ThreadStatus", "ADMIN"};
    EchoMethod echo{thread.session};
    EchoMethod db{thread.session};
    TarvokListener listener;
    TarvokListener dbListener;
};

} // namespace

// Touch files are created (an existing one is left as it is), and a command
// reaches its method in this process with its words joined by tabs; the
// actions run in the order given. A command without words has empty
// arguments.
TEST_F(Failover, TouchFilesAreCreatedAndCommandsRunHereWithTabbedArguments)
{
    {
        std::ofstream(dir + "/kept") << "content";
    }
    client.setFailoverActions("touch:feedd:" + dir + "/flag; touch:feedd:" + dir +
                              "/kept; cmd:feedd:test.echo:a b; cmd:feedd:test.echo; touch:feedd:" + dir +
                              "/no/such/dir/flag");
    switchTo(Zunq::THD_SW_ACTIVE);
    EXPECT_TRUE(exists("flag"));
    EXPECT_EQ(std::filesystem::file_size(dir + "/kept"), 7u);
    EXPECT_EQ(echo.taken(), (std::vector<std::string>{"a\tb", ""}));
    EXPECT_EQ(count("OrvaneClient::onData(): received THD_SW_ACTIVE"), 1);
    EXPECT_EQ(count("ZunqDrosk::runTouchAction()..creating file [" + dir + "/flag] for process [feedd]"), 1);
}

// The "postgres" touch action runs once in the process's life; the database
// failover command runs until it has, once more after it, then never.
TEST_F(Failover, TheDatabaseFailoverRunsOnceOnly)
{
    const std::string touch = "touch:postgres:" + dir + "/db.failover";
    const std::string command = std::string("cmd:feedd:") + OrvaneClient::cDatabaseFailoverSubject;
    const std::string refusedTouch = "not running touch action as database already failed over.";
    const std::string refusedCommand = "not sending database failover, as database has already failed over";

    client.setFailoverActions(touch + ";" + command);
    switchTo(Zunq::THD_SW_ACTIVE);
    EXPECT_TRUE(exists("db.failover"));
    EXPECT_EQ(db.taken().size(), 1u);
    std::filesystem::remove(dir + "/db.failover");
    switchTo(Zunq::THD_SW_ACTIVE);
    EXPECT_FALSE(exists("db.failover"));
    EXPECT_EQ(db.taken().size(), 1u);
    EXPECT_EQ(count(refusedTouch), 1);
    EXPECT_EQ(count(refusedCommand), 1);

    // The command alone, on a fresh client: let through until the touch has
    // run, once after it, then refused.
    OrvaneClient other{factory, thread.session, host.log};
    other.setFailoverActions(command);
    Zunq::ThreadStatus active;
    active.mState = Zunq::THD_SW_ACTIVE;
    other.onData(bus, "ADMIN", active);
    other.onData(bus, "ADMIN", active);
    EXPECT_EQ(db.taken().size(), 3u);
    EXPECT_FALSE(other.getDatabaseOrvanesSent());
    other.setFailoverActions(touch + ";" + command);
    other.onData(bus, "ADMIN", active);
    other.onData(bus, "ADMIN", active);
    EXPECT_EQ(db.taken().size(), 4u);
    EXPECT_TRUE(other.getDatabaseFailedOver());
    EXPECT_TRUE(other.getDatabaseOrvanesSent());
}

// Only the switch to active runs anything; an empty or malformed list logs
// the switch and does nothing more.
TEST_F(Failover, OtherStatesAndEmptyListsRunNothing)
{
    client.setFailoverActions("touch:feedd:" + dir + "/flag;cmd:feedd:test.echo:x");
    for (std::uint32_t state : {0u, 1u, 2u, 3u, 4u, 6u, 7u})
        switchTo(state);
    EXPECT_FALSE(exists("flag"));
    EXPECT_TRUE(echo.taken().empty());
    EXPECT_EQ(count("received THD_SW_ACTIVE"), 0);

    for (const char* text : {"", " ; ", "bogus:feedd:x"})
    {
        client.setFailoverActions(text);
        switchTo(Zunq::THD_SW_ACTIVE);
    }
    EXPECT_FALSE(exists("flag"));
    EXPECT_TRUE(echo.taken().empty());
    EXPECT_EQ(count("received THD_SW_ACTIVE"), 3);
}

// A record built here copies at most its field size less one byte: a subject
// of 150 characters reaches the listener of its first 99, and arguments of
// 1300 characters arrive as their first 1199.
TEST_F(Failover, LocallyBuiltRecordsCutEachFieldAndTerminateIt)
{
    const std::string longSubject = "test.long." + std::string(140, 's');
    EchoMethod cut{thread.session};
    TarvokListener cutListener;
    cutListener.create(&thread.session, &cut, longSubject.substr(0, 99), nullptr);
    const std::string words = std::string(700, 'a') + " " + std::string(600, 'b');
    client.setFailoverActions("cmd:feedd:" + longSubject + "; cmd:feedd:test.echo:" + words);
    switchTo(Zunq::THD_SW_ACTIVE);
    EXPECT_EQ(cut.taken().size(), 1u);
    ASSERT_EQ(echo.taken().size(), 1u);
    EXPECT_EQ(echo.taken()[0], (std::string(700, 'a') + "\t" + std::string(600, 'b')).substr(0, 1199));
}

// Lists replaced again and again are freed (the leak checker sees what is
// not), and random texts into the parser leave the client sound.
TEST_F(Failover, ReplacedListsAreFreedAndRandomTextsAreSafe)
{
    std::mt19937 random(4242);
    const std::string alphabet = "touchmd:;/ \tpostgres.abc\x01\xff";
    for (int i = 0; i < 2000; ++i)
    {
        std::string text;
        const int length = static_cast<int>(random() % 80);
        for (int n = 0; n < length; ++n)
            text.push_back(alphabet[random() % alphabet.size()]);
        client.setFailoverActions(i % 3 == 0 ? "touch:feedd:" + dir + "/f" + std::to_string(i % 5) : text);
        client.setDRFailoverActions(text);
    }
    client.setFailoverActions("cmd:feedd:test.echo:last");
    switchTo(Zunq::THD_SW_ACTIVE);
    EXPECT_EQ(echo.taken(), std::vector<std::string>{"last"});
}
