// The relay's three factories on module lists built by hand, with the
// framework's network calls scripted: what each builds from the settings,
// and the start-up errors with their texts.
#include "kelmora/tests/linehandler_modules/ModuleTestSupport.h"
#include "kelmora/tests/host_runnable/RunnableTestSupport.h"

#include "liborvane/InitOrvane.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include <gtest/gtest.h>

using namespace modtest;

namespace
{

class Factories : public ScriptedNet
{
protected:
    struct Parts
    {
        hostrun::Host host;
        hostrun::Thread<> thread{host, "default"};
    };

    // Runs the three factories in their order on a fresh list, the log and
    // the default session registered unless left out; the start-up error
    // ("" for none).
    std::string run(const std::string& xml, std::vector<std::string> args = {}, bool withLog = true,
                    bool withSession = true)
    {
        ModuleList& l = keptModuleList();
        mUsed = &l;
        // Never destroyed, as the program's modules: the client refers to them.
        static auto* kept = new std::vector<std::unique_ptr<Parts>>();
        Parts& p = *kept->emplace_back(std::make_unique<Parts>());
        mSession = &p.thread.session;
        mRunnable = p.thread.runnable.get();
        if (withLog)
            registerModule<Log>(&l, "Log", &mLog, l.defaultGroup());
        if (withSession)
            registerModule<TarvokSession>(&l, "TarvokSessionDefault", mSession, l.defaultGroup());
        ZunqConfigManager& cfg = config(xml, std::move(args));
        try
        {
            InitModule<Orlu<OrvaneConnected>>().createModule(&l, &cfg);
            InitModule<OrvaneClient>().createModule(&l, &cfg);
            InitModule<OrvaneServer>().createModule(&l, &cfg);
        }
        catch (const std::exception& e)
        {
            return e.what();
        }
        return "";
    }

    template <typename T>
    T* module(const std::string& name) const
    {
        return findModule<T>(mUsed, name, ModuleListBase::cDefaultGroup);
    }

    ModuleList* mUsed = nullptr;
    TarvokSession* mSession = nullptr;
    Runnable* mRunnable = nullptr;
};

} // namespace

// No relay settings: the bus, and a client of 127.0.0.1:13888 registered
// with the default session, hearing its thread's switches, connecting at
// once; no hub.
TEST_F(Factories, DefaultsBuildTheBusAndAClientOfTheLocalHub)
{
    ASSERT_EQ(run(""), "");
    EXPECT_NE(module<Orlu<OrvaneConnected>>("OrluOrvaneConnected"), nullptr);
    auto* client = module<OrvaneClient>("OrvaneClient");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(module<OrvaneServer>("OrvaneServer"), nullptr);
    EXPECT_EQ(mSession->getOrvaneClient(), client);
    EXPECT_EQ(client->OrluPublisher<OrvaneConnected>::getDestination(),
              module<Orlu<OrvaneConnected>>("OrluOrvaneConnected"));
    ASSERT_EQ(gTcpRegistered.size(), 1u);
    EXPECT_NE(gTcpRegistered[0].find(" 127.0.0.1:13888"), std::string::npos) << gTcpRegistered[0];
    EXPECT_TRUE(client->reconnectTimerActive());
    EXPECT_EQ(mSink.count("OrvaneTcpConnectDelayMax = 60000"), 1);
    EXPECT_EQ(mSink.count("OrvaneTcpMinMessageBufferSize = 8192"), 1);
    EXPECT_EQ(mSink.count("OrvaneTcpTempFailOk = true"), 1);

    OrluPublisher<Zunq::ThreadStatus> status("test");
    status.setDestination(mRunnable->getOrluThreadStatus());
    Zunq::ThreadStatus active;
    active.mState = Zunq::THD_SW_ACTIVE;
    status.publish(active);
    EXPECT_EQ(mSink.count("OrvaneClient::onData(): received THD_SW_ACTIVE"), 1);
    mRunnable->getOrluThreadStatus()->unsubscribe(client);
}

// IsOrvaneClient false builds no client (the bus still stands); with
// OrvaneTcpConnectOnStartUp false the client is built and registered but
// does not connect; the hub is built on request.
TEST_F(Factories, SettingsChooseWhatIsBuilt)
{
    ASSERT_EQ(run("<IsOrvaneClient>false</IsOrvaneClient>"), "");
    EXPECT_NE(module<Orlu<OrvaneConnected>>("OrluOrvaneConnected"), nullptr);
    EXPECT_EQ(module<OrvaneClient>("OrvaneClient"), nullptr);
    EXPECT_TRUE(gTcpRegistered.empty());

    ASSERT_EQ(run("<OrvaneTcpConnectOnStartUp>false</OrvaneTcpConnectOnStartUp>"
                  "<OrvaneTcpIpAddress>127.0.0.2</OrvaneTcpIpAddress><OrvaneTcpPort>4711</OrvaneTcpPort>"),
              "");
    auto* client = module<OrvaneClient>("OrvaneClient");
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(mSession->getOrvaneClient(), client);
    EXPECT_FALSE(client->reconnectTimerActive());
    ASSERT_EQ(gTcpRegistered.size(), 1u);
    EXPECT_NE(gTcpRegistered[0].find(" 127.0.0.2:4711"), std::string::npos) << gTcpRegistered[0];
    mRunnable->getOrluThreadStatus()->unsubscribe(client);
}

// Start-up errors and their texts ("Could not" with a capital for the hub).
TEST_F(Factories, MissingModulesAndBadSettingsEndStartUpWithTheirTexts)
{
    EXPECT_EQ(run("", {}, false, true), "InitModule<OrluOrvaneConnected>: could not find Log object");
    EXPECT_EQ(run("", {}, true, false),
              "InitModule<OrvaneClient>::createModule(): could not find TarvokSessionDefault object");
    EXPECT_EQ(run("<IsOrvaneClient>false</IsOrvaneClient><IsOrvaneServer>true</IsOrvaneServer>", {}, true, false),
              "InitModule<OrvaneServer>::createModule(): Could not find TarvokSessionDefault object");
    EXPECT_EQ(run("<IsOrvaneClient>false</IsOrvaneClient><IsOrvaneServer>true</IsOrvaneServer>"
                  "<OrvaneMaxConnectionAttemptsPerIpAddress>70000</OrvaneMaxConnectionAttemptsPerIpAddress>"),
              "InitModule<OrvaneServer>::createModule(): OrvaneMaxConnectionAttemptsPerIpAddress must be 0 (no "
              "limit) to 65535, not 70000");

    // The client and the hub without a log, each on its own.
    ModuleList& l = keptModuleList();
    auto cfg = makeConfig({"feedd", "--is-orvane-server"});
    registerModule<TarvokSession>(&l, "TarvokSessionDefault", mSession, l.defaultGroup());
    try
    {
        InitModule<OrvaneClient>().createModule(&l, cfg.get());
        ADD_FAILURE() << "no error";
    }
    catch (const std::exception& e)
    {
        EXPECT_STREQ(e.what(), "InitModule<OrvaneClient>::createModule(): could not find Log object");
    }
    try
    {
        InitModule<OrvaneServer>().createModule(&l, cfg.get());
        ADD_FAILURE() << "no error";
    }
    catch (const std::exception& e)
    {
        EXPECT_STREQ(e.what(), "InitModule<OrvaneServer>::createModule(): Could not find Log object");
    }
}

// A hub told to listen on an address other than loopback says at start that
// the relay has no login; one on loopback does not.
TEST_F(Factories, AHubOffLoopbackIsWarnedAbout)
{
    const std::string warning = "not on loopback: the admin relay has no login";
    run("<IsOrvaneClient>false</IsOrvaneClient><IsOrvaneServer>true</IsOrvaneServer>"
        "<OrvaneTcpListenInterface>127.0.0.1</OrvaneTcpListenInterface>");
    EXPECT_EQ(mSink.count(warning), 0);
    EXPECT_NE(module<OrvaneServer>("OrvaneServer"), nullptr);
    run("<IsOrvaneClient>false</IsOrvaneClient><IsOrvaneServer>true</IsOrvaneServer>"
        "<OrvaneTcpListenInterface>0.0.0.0</OrvaneTcpListenInterface>");
    EXPECT_EQ(mSink.count(warning), 1);
}
