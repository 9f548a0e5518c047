#include "libstats/latency/CircularBufferMng.h"
#include "libstats/stats/RtsClientStats.h"
#include "ClientListTestSupport.h"
#include "rts/clients/RtsClientList.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/stats/ZunqStatsWriterModule.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/admin/KeshParam.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <memory>

namespace
{
const char* const cClients = R"(<rts>
<ClientList>
  <Client><MaximumGap>5</MaximumGap></Client>
  <Client><UserName>bare</UserName></Client>
  <Client>
    <UserName>alice</UserName>
    <IpAddresses><Value>10.0.0.1</Value><Value>010.0.0.1</Value><Value/></IpAddresses>
    <Channels><Value>1</Value><Value>70000</Value><Value>abc</Value><Value>0</Value><Value>2</Value></Channels>
    <MaximumGap>100</MaximumGap>
    <MaximumRequests>0</MaximumRequests>
    <MaximumMessages>100</MaximumMessages>
  </Client>
  <Client>
    <UserName>bob</UserName>
    <IpAddresses><Value>10.0.0.2</Value></IpAddresses>
    <Channels><Value>3</Value></Channels>
    <MaximumGap>-5</MaximumGap>
    <MaximumRequests>99999999999</MaximumRequests>
  </Client>
  <Client><UserName>dup</UserName><Channels><Value>1</Value></Channels><MaximumRequests>5</MaximumRequests></Client>
  <Client><UserName>dup</UserName><Channels><Value>2</Value></Channels><MaximumRequests>7</MaximumRequests></Client>
</ClientList>
</rts>
)";

std::string run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    pclose(pipe);
    return output;
}

class RtsClientListTest : public ::testing::Test
{
protected:
    RtsClientListTest()
    {
        mKeyFile = mIpc.keyFile(mDir.path(), "stats", {'x'}, mKey);
        key_t queueKey = -1;
        mQueueFile = mIpc.keyFile(mDir.path(), "queues", {0, 1, 2}, queueKey, 4);
        std::ofstream(mDir.path() + "/libstats.xml")
            << "<libstats>\n<shm_key_filename>" << mKeyFile << "</shm_key_filename>\n"
            << "<latency_queues_managed_shared_memory_name>" << mQueueFile
            << "</latency_queues_managed_shared_memory_name>\n</libstats>\n";
        mLog.mLog.setLevel(LOG_LEVEL_INFO);
        mClientsFile = mDir.path() + "/clients.xml";
        write(cClients);
    }
    ~RtsClientListTest() override { CircularBufferMng::destroyInstance(); }

    void write(const std::string& text) { std::ofstream(mClientsFile) << text; }

    // A list read from the clients file, its records in this test's segment.
    std::unique_ptr<RtsClientList> load()
    {
        auto list = std::make_unique<RtsClientList>(mLog.mLog);
        list->statsWriter().setConfigFile(mDir.path() + "/libstats.xml");
        list->statsWriter().setWaits(300, 100);
        std::unique_ptr<ConfigFile> file(createConfigFile(mClientsFile, mConfig));
        mConfig.addFile(file.get());
        list->initialise(&mConfig);
        return list;
    }

    static Zunq::RetransmissionRequest request(std::uint16_t channel, std::uint32_t begin, std::uint32_t end)
    {
        Zunq::RetransmissionRequest r;
        r.mChannelId = channel;
        r.mBeginSeqNum = begin;
        r.mEndSeqNum = end;
        return r;
    }
    static sockaddr_in address(const char* text)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, text, &a.sin_addr);
        return a;
    }

    TempDir mDir;
    SegmentKeys mIpc;
    TestLog mLog;
    ZunqConfigManager mConfig{0, nullptr};
    std::string mKeyFile;
    key_t mKey = -1;
    std::string mQueueFile;
    std::string mClientsFile;
};

TEST_F(RtsClientListTest, SectionReadingSkipsWhatCannotBeMeant)
{
    auto list = load();
    EXPECT_EQ(list->getAllSettings(),
              "UserId                 IpAddress           MaxRequests\n"
              "alice                   0                   \n"
              "bare                    0                   \n"
              "bob                     0                   \n"
              "dup                     7                   \n");
    RtsClientEntry* alice = list->getClientEntry("alice");
    ASSERT_NE(alice, nullptr);
    EXPECT_EQ(alice->mChannels, (std::set<std::uint16_t>{1, 2}));
    EXPECT_EQ(alice->mIpAddresses, (std::set<std::string>{"10.0.0.1", "010.0.0.1"}));
    EXPECT_EQ(alice->mMaxGap, 100u);
    EXPECT_EQ(alice->mMaxMessages, 100u);
    EXPECT_EQ(list->getClientEntry("dup")->mChannels, (std::set<std::uint16_t>{2}));
    const RtsClientEntry* bob = list->getClientEntry("bob");
    EXPECT_EQ(bob->mMaxGap, 0u);
    EXPECT_EQ(bob->mMaxRequests, 0);
    const char* warnings[] = {
        "Skipping channel id <70000> of user alice: not a whole number from 1 to 65535",
        "Skipping channel id <abc> of user alice",
        "Skipping channel id <0> of user alice",
        "IP Address <010.0.0.1> of user alice is not dotted IPv4 and can never match",
        "Skipping MaximumGap <-5> of user bob",
        "Skipping MaximumRequests <99999999999> of user bob",
    };
    for (const char* w : warnings)
        EXPECT_EQ(mLog.mSink.count(w), 1) << w;
    EXPECT_EQ(mLog.mSink.count("IP Address <10.0.0.1> of user alice is not"), 0);
    EXPECT_EQ(mLog.mSink.count("Create Stats for client = alice returns SUCCESS"), 1);
}

TEST_F(RtsClientListTest, ChecksInTheirOrderWithTheirCodes)
{
    auto list = load();
    RtsClientEntry& alice = *list->getClientEntry("alice");
    RtsClientEntry& bare = *list->getClientEntry("bare");
    RtsClientEntry& bob = *list->getClientEntry("bob");

    struct AddressCase
    {
        RtsClientEntry* entry;
        const char* from;
        int connected;
        int code;
    };
    const AddressCase addresses[] = {
        {&alice, "10.0.0.1", 0, 0},   {&alice, "10.0.0.10", 0, 106}, {&bare, "10.0.0.1", 0, 106},
        {&alice, "10.0.0.1", 1, 100}, {&bob, "10.0.0.2", 0, 0},
    };
    for (const AddressCase& c : addresses)
    {
        c.entry->mConnectionStatus = c.connected;
        EXPECT_EQ(c.entry->validateClientAddress(address(c.from), 1), c.code) << c.entry->mUserId << " " << c.from;
        c.entry->mConnectionStatus = 0;
    }

    struct GapCase
    {
        RtsClientEntry* entry;
        std::uint32_t begin, end;
        int code;
    };
    const GapCase gaps[] = {
        {&alice, 1, 100, 0}, {&alice, 1, 101, 100}, {&bob, 1, 10000, 0}, {&bob, 1, 10001, 100}, {&bob, 5, 4, 100},
        // An end below the begin, though end minus begin wraps to 1 or 6.
        {&bob, 0xFFFFFFFF, 0, 100}, {&bob, 0xFFFFFFFF, 5, 100}, {&bob, 0xFFFFFFFE, 0xFFFFFFFF, 0},
    };
    for (const GapCase& c : gaps)
        {
        const Zunq::RetransmissionRequest gr = request(1, c.begin, c.end);
        EXPECT_EQ(c.entry->validateSeqNum(&gr, 10000), c.code)
            << c.entry->mUserId << " " << c.begin << ".." << c.end;
    }
    EXPECT_EQ(bob.mMaxGap, 0u);

    Zunq::RetransmissionRequest r = request(1, 1, 10);
    EXPECT_EQ(bare.validateRequest(&r, 0, 10, 0), 1);
    EXPECT_EQ(alice.validateRequest(nullptr, 0, 10, 0), 99);
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(alice.validateRequest(&r, 0, 10, 0), 0) << i;
    EXPECT_EQ(alice.mMaxRequests, 10);
    EXPECT_EQ(alice.validateRequest(&r, 0, 10, 0), 101);
    Zunq::RetransmissionRequest other = request(9, 1, 10);
    EXPECT_EQ(alice.validateRequest(&other, 0, 10, 0), 1); // the channel is checked first
    std::string name = "alice";
    EXPECT_EQ(list->resetNumRequestsPerClient(name), 1);
    EXPECT_EQ(alice.validateRequest(&r, 0, 10, 0), 0);
    alice.addAcceptedMessages(100);
    EXPECT_EQ(alice.validateRequest(&r, 0, 10, 0), 101);
    EXPECT_EQ(mLog.mSink.count("Maximum Number of Messages for alice is exceeded: 100"), 1);

    // Every counter change reaches the record as the new total.
    alice.addAcceptedRequests(3);
    alice.addMessageNotAvailable(2);
    alice.addExceedsMaxSeqRange(1);
    alice.addMessagesRetransmitted(40);
    const rts_client_table_t& t = alice.mStats->mRtsClientTable;
    EXPECT_EQ(t.totalNumRequests, static_cast<std::uint32_t>(alice.mNumRequests));
    EXPECT_EQ(t.totalNumRejectRequests, alice.mRejectedRequests);
    EXPECT_EQ(t.totalUnknownChannelId, 1u);
    EXPECT_EQ(t.totalExceedsMaxRequests, 2u);
    EXPECT_EQ(t.totalNumMsgsAccepted, 100u);
    EXPECT_EQ(t.totalNumAcceptRequests, 3u);
    EXPECT_EQ(t.totalMsgsNotAvailable, 2u);
    EXPECT_EQ(t.totalExceedsMaxSeqRange, 1u);
    EXPECT_EQ(t.totalNumMsgsRetransmitted, 40u);
    EXPECT_EQ(alice.mRejectedRequests, 4u); // gap 101, limit twice, channel
}

TEST_F(RtsClientListTest, ReloadAppliesAndRevokes)
{
    RtsClientList empty(mLog.mLog);
    EXPECT_EQ(empty.reloadClientList(), "Internal Error");

    auto list = load();
    RtsClientEntry& alice = *list->getClientEntry("alice");
    alice.addAcceptedMessages(7);
    write("<rts><ClientList><Client><UserName>bob</UserName><Channels><Value>4</Value></Channels>"
          "<IpAddresses><Value>10.0.0.3</Value></IpAddresses></Client></ClientList></rts>");
    EXPECT_EQ(list->reloadClientList(), "Successfully");
    EXPECT_EQ(list->getClientEntry("bob")->mChannels, (std::set<std::uint16_t>{4}));
    EXPECT_TRUE(alice.mChannels.empty());
    EXPECT_TRUE(alice.mIpAddresses.empty());
    EXPECT_EQ(alice.mAcceptedMessages, 7u);
    EXPECT_NE(alice.mStats, nullptr);
    EXPECT_EQ(alice.validateClientAddress(address("10.0.0.1"), 5), 106);
    EXPECT_EQ(mLog.mSink.count("Revoked addresses and channels of user alice, absent from the client list"), 1);

    write("<rts><Other/></rts>");
    EXPECT_EQ(list->reloadClientList(), "Empty file");
    write("<rts><unclosed></rts>");
    EXPECT_EQ(list->reloadClientList(), "Failed to load file");
    std::remove(mClientsFile.c_str());
    EXPECT_EQ(list->reloadClientList(), "Failed to load file");
    EXPECT_EQ(list->getClientEntry("bob")->mChannels, (std::set<std::uint16_t>{4}));
}

TEST_F(RtsClientListTest, ReportsKeepTheirColumns)
{
    write("<rts><ClientList><Client><UserName>a-user-name-longer-than-24</UserName><MaximumRequests>3</MaximumRequests>"
          "</Client><Client><UserName>bob</UserName></Client></ClientList></rts>");
    auto list = load();
    list->getClientEntry("bob")->mConnectionStatus = 2;
    list->getClientEntry("bob")->updateRejectedRequests(5);
    const std::string header = "UserId                 IpAddress           Total Requests   Successful Rejected   "
                               "Current Status\n";
    const std::string longRow = "a-user-name-longer-than-240                0          0          DISCONNECTED  \n";
    const std::string bobRow = "bob                     0                0          5          CONNECTED     \n";
    EXPECT_EQ(list->getAllStats(), header + longRow + bobRow + "Number of Unknown User Requests\n");
    std::string bob = "bob";
    std::string nobody = "nobody";
    EXPECT_EQ(list->getPerClientStats(bob), header + bobRow);
    EXPECT_EQ(list->getDetailedStatsPerClient(bob), header + bobRow +
                                                        "Maximum Number of Requests Reached Request   0\n"
                                                        "Illegal Connection Requests                  0\n"
                                                        "Illegal Request Length                       0\n"
                                                        "Illegal Request Type                         0\n"
                                                        "Service Not Available Requests               0\n");
    EXPECT_EQ(list->getPerClientSettings(bob), "UserId                 IpAddress           MaxRequests\n"
                                               "bob                     0                   \n");
    EXPECT_EQ(list->getPerClientStats(nobody), "");
    EXPECT_EQ(list->getDetailedStatsPerClient(nobody), "");
    EXPECT_EQ(list->getPerClientSettings(nobody), "");

    RtsClientList empty(mLog.mLog);
    EXPECT_EQ(empty.getAllSettings(), "UserId                 IpAddress           MaxRequests\n");
    EXPECT_EQ(empty.getAllStats(), header + "Number of Unknown User Requests\n");
}

TEST_F(RtsClientListTest, ReaderToolSeesTheClientRecord)
{
    auto list = load();
    Zunq::RetransmissionRequest r = request(1, 1, 10);
    RtsClientEntry& alice = *list->getClientEntry("alice");
    ASSERT_EQ(alice.validateRequest(&r, 0, 10, 0), 0);
    alice.addAcceptedRequests(1);
    alice.addAcceptedMessages(10);
    const std::string out = run(std::string(STATS_READER_TOOL) + " --config " + mDir.path() + "/libstats.xml");
    EXPECT_NE(out.find("rts_client alice totalNumRequests=1 totalNumAcceptRequests=1 totalNumRejectRequests=0 "
                       "totalExceedsMaxSeqRange=0 totalUnknownChannelId=0 totalMsgsNotAvailable=0 "
                       "totalExceedsMaxRequests=0 totalNumMsgsAccepted=10 totalNumMsgsRetransmitted=0\n"),
              std::string::npos)
        << out;

    // TerminateAll leaves the segment attached: the server's thread may
    // still be serving a request, and its counters still land.
    Orlu<TerminateAll> terminate("OrluTerminateAll", "default");
    OrluPublisher<TerminateAll> publisher("test");
    publisher.setDestination(&terminate);
    terminate.subscribe(list.get());
    publisher.publish(TerminateAll("test"));
    terminate.unsubscribe(list.get());
    ASSERT_TRUE(list->statsWriter().isAttached());
    alice.addAcceptedRequests(1);
    EXPECT_NE(run(std::string(STATS_READER_TOOL) + " --config " + mDir.path() + "/libstats.xml")
                  .find("rts_client alice totalNumRequests=1 totalNumAcceptRequests=2 "),
              std::string::npos);

    // Detached once the threads have ended, removing it frees it at once.
    list->statsWriter().detachShm();
    const int shm = shmget(mKey, 0, 0);
    ASSERT_GE(shm, 0);
    shmid_ds info{};
    ASSERT_EQ(shmctl(shm, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_nattch, 0u);
    ASSERT_EQ(shmctl(shm, IPC_RMID, nullptr), 0);
    EXPECT_TRUE(SegmentKeys::isFree(mKey));
}

// Module lists and what they hold live until the program ends, as in the host.
ModuleList& keptModuleList()
{
    static auto* lists = new std::vector<ModuleList*>();
    lists->push_back(new ModuleList);
    return *lists->back();
}

TEST_F(RtsClientListTest, FactoryNeedsItsModulesAndOffersTheReload)
{
    struct Case
    {
        bool log, kesh, terminate;
        const char* error;
    };
    const Case cases[] = {
        {false, false, false, "InitModule<RtsClientList>: could not find Log object"},
        {true, false, true, "InitModule<RtsClientList>: could not find KeshSession object"},
        {true, true, false, "InitModule<RtsClientList>: could not find OrluTerminateAll object"},
        {true, true, true, ""},
    };
    std::unique_ptr<ConfigFile> file(createConfigFile(mClientsFile, mConfig));
    mConfig.addFile(file.get());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.error);
        ModuleList& list = keptModuleList();
        auto* kesh = new KeshSession("RTSSRV"); // the admin session of the server's thread
        auto* terminate = new Orlu<TerminateAll>("OrluTerminateAll", list.defaultGroup());
        // Kept where the factory does not look, so that they live on as in the host.
        registerModule<KeshSession>(&list, "KeshSession", kesh, "kept");
        registerModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", terminate, "kept");
        if (c.log)
            registerModule<Log>(&list, "Log", &mLog.mLog, list.defaultGroup());
        if (c.kesh)
            registerModule<KeshSession>(&list, "KeshSession", kesh, list.defaultGroup());
        if (c.terminate)
            registerModule<Orlu<TerminateAll>>(&list, "OrluTerminateAll", terminate, list.defaultGroup());
        if (*c.error != 0)
        {
            EXPECT_THROW(
                {
                    try
                    {
                        InitModule<RtsClientList>().createModule(&list, &mConfig);
                    }
                    catch (const InitModuleError& e)
                    {
                        EXPECT_EQ(std::string(e.what()), c.error);
                        throw;
                    }
                },
                InitModuleError);
            EXPECT_EQ(findModule<RtsClientList>(&list, "RtsClientList", list.defaultGroup()), nullptr);
            continue;
        }
        // The statistics writer reads "libstats.xml" of the working
        // directory: this test's own, with this test's keys.
        const std::filesystem::path before = std::filesystem::current_path();
        std::filesystem::current_path(mDir.path());
        const bool created = InitModule<RtsClientList>().createModule(&list, &mConfig);
        std::filesystem::current_path(before);
        ASSERT_TRUE(created);
        RtsClientList* clients = findModule<RtsClientList>(&list, "RtsClientList", list.defaultGroup());
        ASSERT_NE(clients, nullptr);
        ASSERT_NE(clients->getClientEntry("alice"), nullptr);
        EXPECT_NE(clients->getClientEntry("alice")->mStats, nullptr);
        const std::vector<KeshMethod*> methods = kesh->getMethods();
        ASSERT_EQ(methods.size(), 1u);
        EXPECT_EQ(methods[0]->getName(), "reloadClientList");
        EXPECT_EQ(methods[0]->getType(), KESH_METHOD_ACTION_INFO);
        EXPECT_EQ(methods[0]->getDescription(), "Reload RTS client list.");
        // The admin path runs it on its session's thread, the server's: a
        // reload falls between two requests and needs no lock.
        EXPECT_EQ(methods[0]->getThread(), "RTSSRV");
        write("<rts><ClientList><Client><UserName>carol</UserName></Client></ClientList></rts>");
        KeshParamList in;
        KeshParamList out;
        methods[0]->invoke(in, out);
        ASSERT_NE(out.getParam("Message"), nullptr);
        EXPECT_EQ(out.getParam("Message")->getValue(), "Successfully");
        EXPECT_NE(clients->getClientEntry("carol"), nullptr);
        OrluPublisher<TerminateAll> publisher("test");
        publisher.setDestination(terminate);
        publisher.publish(TerminateAll("test"));
        EXPECT_TRUE(clients->statsWriter().isAttached());
        // The process's own detach, after its threads have ended, takes the list's segment too.
        detachStatsWriter(&list);
        EXPECT_FALSE(clients->statsWriter().isAttached());
        terminate->unsubscribe(clients);
    }
}

} // namespace
