// The server's admin methods against a listening server on a real framework,
// run on the server's thread as the admin interface runs them: results,
// usage errors and the server state they leave, then cache cleaning while a
// client receives, and the HA mode's effect on the listener.
#include "rts/server/RtsAdminMethods.h"
#include "rts/tests/support/RtsServerHarness.h"
#include "zunq/admin/KeshSession.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace rtstest;
using namespace std::chrono_literals;

namespace
{
const char* const cClients = R"(<rts><ClientList>
<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>7</Value></Channels><MaximumRequests>100000</MaximumRequests></Client>
</ClientList></rts>
)";

struct Outcome
{
    std::string result; // "Message" or "Mode"
    bool usage = false;
};

Outcome invoke(KeshSession& kesh, const std::string& name, const std::vector<std::string>& args)
{
    for (KeshMethod* m : kesh.getMethods())
        if (m->getName() == name)
        {
            KeshParamList in, out;
            for (std::size_t i = 0; i < args.size(); ++i)
                in.add(i == 0 && name == "setHAMode" ? "Mode" : "Arg" + std::to_string(i), args[i]);
            Outcome o;
            try
            {
                m->invoke(in, out);
            }
            catch (const KeshUsageError& e)
            {
                EXPECT_STREQ(e.what(), "KESH usage");
                o.usage = true;
            }
            const KeshParam* p = out.getParam(name == "getHAMode" || name == "setHAMode" ? "Mode" : "Message");
            o.result = p != nullptr ? p->getValue() : "";
            return o;
        }
    ADD_FAILURE() << "no method " << name;
    return {};
}

bool logOn(Client& c, int port)
{
    if (!c.connect(port) || !c.send(logon("bob")))
        return false;
    const std::optional<Packet> p = c.read();
    return p && p->logonStatus() == 0;
}

// The response status of the next response, skipping data and heartbeats;
// counts the data messages read before it into `messages`.
int nextStatus(Client& c, std::size_t* messages = nullptr)
{
    while (const std::optional<Packet> p = c.read(10s))
    {
        if (p->type() == 202)
            return p->retransStatus();
        if (messages != nullptr && !p->isHeartbeat())
            *messages += p->messages.size();
    }
    return -1;
}

bool refusesConnections(int port)
{
    for (int i = 0; i < 100; ++i)
    {
        Client probe;
        if (!probe.connect(port, 30ms))
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}
} // namespace

TEST(RtsAdminMethods, ResultsUsageErrorsAndServerState)
{
    ServerSettings settings;
    settings.throttleInterval = 10;
    settings.packetsPerInterval = 1; // a long request keeps its client sending for a while
    settings.maxConnection = 10;
    Feeder feeder;                   // outlives the caches subscribed to it
    ServerHarness h(cClients, settings);
    h.addChannel(7, feeder, 20000);
    KeshSession kesh("RTS");
    addRtsAdminMethods(kesh, h.server(), h.server().getCacheMgr());
    h.run(
        [&] {
            for (std::uint32_t s = 1; s <= 10000; ++s)
                feeder.send(s, channelMessage(s));
        },
        [&] {
            const std::string notEnough = cRtsNotEnoughParameters;
            const std::string longUser(100, 'u');
            struct Case
            {
                const char* method;
                std::vector<std::string> args;
                std::string result;
                bool usage;
                std::function<bool(RtsTcpServer&)> state; // checked on the server thread; null: none
            };
            const Case cases[] = {
                {"RtsNumRequestsReset", {"bob"}, "Successfully Reset Number of Requests for 'bob'.", false, nullptr},
                {"RtsNumRequestsReset", {"nobody"}, "Unable to Reset Number of Requests for 'nobody'.", false, nullptr},
                {"RtsNumRequestsReset", {"bob", "x"}, notEnough, true, nullptr},
                {"RtsNumRequestsReset", {}, notEnough, true, nullptr},
                {"RtsNumRequestsReset", {longUser}, ("Unable to Reset Number of Requests for '" + longUser).substr(0, 79),
                 false, nullptr},
                {"RtsMaxNumRequestsSetClient", {"bob", "25"}, "Successfully set Maximum Number of Requests for 'bob' to '25'",
                 false, nullptr},
                {"RtsMaxNumRequestsSetClient", {"nobody", "25"},
                 "Unable to set Maximum Number of Requests for 'nobody' to '25'", false, nullptr},
                {"RtsMaxNumRequestsSetClient", {"bob", "-1"}, "", true, nullptr},
                {"RtsMaxNumRequestsSetClient", {"bob", "2147483648"}, "", true, nullptr},
                {"RtsMaxNumRequestsSetClient", {"bob"}, notEnough, true, nullptr},
                {"RtsMaxNumMessagesSetClient", {"bob", "4294967295"},
                 "Successfully set Maximum Number of Messages for 'bob' to '4294967295'", false, nullptr},
                {"RtsMaxNumMessagesSetClient", {"bob", "-1"}, "", true, nullptr},
                {"RtsMaxNumMessagesSetClient", {"bob", "4294967296"}, "", true, nullptr},
                {"RtsMaxNumMessagesSetClient", {"bob", "ten"}, "", true, nullptr},
                {"RtsMaxNumMessagesSetClient", {"bob", "0"}, "Successfully set Maximum Number of Messages for 'bob' to '0'",
                 false, nullptr},
                {"RtsNumReqeustsSetAll", {"42"}, "Successfully set Default Maximum Number of Requests to '42'. ", false,
                 [](RtsTcpServer& s) { return s.getMaxNumRequests() == 42; }},
                {"RtsNumReqeustsSetAll", {"-1"}, "", true, [](RtsTcpServer& s) { return s.getMaxNumRequests() == 42; }},
                {"RtsNumReqeustsSetAll", {"1", "2"}, notEnough, true, nullptr},
                {"RtsMaxRejectRequestAll", {"7"}, "Default Maximum Reject Requets is '7'. ", false,
                 [](RtsTcpServer& s) { return s.getMaxRejectedRequests() == 7; }},
                {"RtsMaxRejectRequestAll", {" 8x"}, "", true,
                 [](RtsTcpServer& s) { return s.getMaxRejectedRequests() == 7; }},
                {"RtsTraceCommunications", {"On"}, "Successfully turned all trace communications.", false,
                 [](RtsTcpServer& s) { return s.getTraceCommunications(); }},
                {"RtsTraceCommunications", {"maybe"}, "Unknown mode, no change was made.", false,
                 [](RtsTcpServer& s) { return s.getTraceCommunications(); }},
                {"RtsTraceCommunications", {"OFF"}, "Successfully turned off trace communications.", false,
                 [](RtsTcpServer& s) { return !s.getTraceCommunications(); }},
                {"RtsTraceCommunications", {}, notEnough, true, nullptr},
                {"RtsTraceUser", {"bob"}, "Successfully turned on trace communications for user bob.", false,
                 [](RtsTcpServer& s) { return s.getTraceUser() == "bob"; }},
                {"RtsTraceUser", {""}, "Successfully turned on trace communications for user .", false,
                 [](RtsTcpServer& s) { return s.getTraceUser().empty(); }},
                {"KeshRtsCleanCache", {"now"}, "-1: No parameters have to be provided. Run orvane help for details", true,
                 nullptr},
                {"getHAMode", {}, "Active", false, nullptr},
                {"setHAMode", {"nonsense"}, "", true, [](RtsTcpServer& s) { return s.getHAMode() == HaMode::ACTIVE; }},
                {"setHAMode", {"Active", "Standby"}, "", true,
                 [](RtsTcpServer& s) { return s.getHAMode() == HaMode::ACTIVE; }},
            };
            for (const Case& c : cases)
            {
                Outcome o;
                bool state = true;
                h.onServer([&] {
                    o = invoke(kesh, c.method, c.args);
                    if (c.state)
                        state = c.state(h.server());
                });
                EXPECT_EQ(o.result, c.result) << c.method << " " << c.args.size();
                EXPECT_EQ(o.usage, c.usage) << c.method << " " << c.args.size();
                EXPECT_TRUE(state) << c.method << " " << c.args.size();
            }

            // A limit set through the methods binds the client's next requests
            // (the refused client is let go), and the reset clears its count.
            {
                Client limited;
                ASSERT_TRUE(logOn(limited, h.port()));
                h.onServer([&] { invoke(kesh, "RtsMaxNumRequestsSetClient", {"bob", "1"}); });
                limited.send(request(7, 1, 1));
                EXPECT_EQ(nextStatus(limited), 0);
                limited.send(request(7, 1, 1));
                EXPECT_NE(nextStatus(limited), 0);
            }
            h.onServer([&] { invoke(kesh, "RtsNumRequestsReset", {"bob"}); });
            Client bob;
            ASSERT_TRUE(logOn(bob, h.port()));
            bob.send(request(7, 1, 1));
            EXPECT_EQ(nextStatus(bob), 0);
            h.onServer([&] { invoke(kesh, "RtsMaxNumRequestsSetClient", {"bob", "1000"}); });

            // Cleaning is refused while a client receives, and done once it finished.
            bob.send(request(7, 1, 9999));
            ASSERT_EQ(nextStatus(bob), 0);
            Outcome clean;
            h.onServer([&] { clean = invoke(kesh, "KeshRtsCleanCache", {}); });
            EXPECT_EQ(clean.result, "WARNING: cache not cleared. There are pending clients.");
            std::size_t received = 0;
            while (received < 9999)
            {
                const std::optional<Packet> p = bob.read(10s);
                if (!p)
                    break;
                if (!p->isHeartbeat() && p->type() != 202)
                    received += p->messages.size();
            }
            EXPECT_EQ(received, 9999u); // the cache stayed whole under the running request
            for (int i = 0; i < 200 && h.mActiveClients.load() != 0; ++i)
                std::this_thread::sleep_for(10ms);
            h.onServer([&] { clean = invoke(kesh, "KeshRtsCleanCache", {}); });
            EXPECT_EQ(clean.result, "OK: cache clear");
            bob.send(request(7, 1, 1));
            EXPECT_EQ(nextStatus(bob), 2);

            // Standby closes the listener; ActivateDr listens again in standby.
            Outcome mode;
            h.onServer([&] { mode = invoke(kesh, "setHAMode", {"standby"}); });
            EXPECT_EQ(mode.result, "Standby");
            EXPECT_TRUE(refusesConnections(h.port()));
            h.onServer([&] { mode = invoke(kesh, "ActivateDr", {}); });
            EXPECT_EQ(mode.result, "RTS on DR node activated. Start listening......");
            Client back;
            EXPECT_TRUE(logOn(back, h.port()));
            h.onServer([&] { mode = invoke(kesh, "getHAMode", {}); });
            EXPECT_EQ(mode.result, "Standby");
        });
}
