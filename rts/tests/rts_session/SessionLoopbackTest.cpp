// The server and its sessions on a real framework, served over loopback to
// the tests' own protocol client: logon, framing, requests and the server's
// admission, HA mode and session pool. Each test is one framework run (a
// process of its own) with a table of cases on separate connections.
#include "rts/tests/support/RtsServerHarness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using namespace rtstest;
using namespace std::chrono_literals;

namespace
{
const char* const cClients = R"(<rts><ClientList>
<Client><UserName>alice</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>7</Value></Channels><MaximumRequests>10</MaximumRequests></Client>
<Client><UserName>bob</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>
  <Channels><Value>7</Value></Channels><MaximumRequests>100000</MaximumRequests></Client>
<Client><UserName>carol</UserName><IpAddresses><Value>10.9.9.9</Value></IpAddresses>
  <Channels><Value>7</Value></Channels></Client>
</ClientList></rts>
)";

// Channel 7: messages 1 to 10000, then 10005 to 10010 (10001 to 10004 are
// placeholders).
void fillChannel(Feeder& feeder)
{
    for (std::uint32_t s = 1; s <= 10000; ++s)
        feeder.send(s, channelMessage(s));
    for (std::uint32_t s = 10005; s <= 10010; ++s)
        feeder.send(s, channelMessage(s));
}

std::string bytesOf(const std::vector<char>& v)
{
    return std::string(v.begin(), v.end());
}

// Logs `user` on over a new connection; true when answered 0.
bool logOn(Client& c, int port, const std::string& user, std::chrono::milliseconds wait = 10s)
{
    if (!c.connect(port, wait) || !c.send(logon(user)))
        return false;
    const std::optional<Packet> p = c.read();
    return p && p->logonStatus() == 0;
}

// Reads a response and, when accepted, its data: the data messages' numbers
// follow each packet's own number; false on anything out of order.
struct Served
{
    int status = -1;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::uint16_t channel = 0;
    std::uint32_t responseSeq = 0;
    std::vector<std::uint32_t> packetSeqs;
    std::vector<std::string> messages;
};

Served serve(Client& c, std::size_t expectedMessages, std::chrono::milliseconds timeout = 5s)
{
    Served s;
    const std::optional<Packet> r = c.read(timeout);
    if (!r || r->type() != 202)
        return s;
    s.status = r->retransStatus();
    s.begin = r->begin();
    s.end = r->end();
    s.channel = r->channel();
    s.responseSeq = r->seq;
    while (s.messages.size() < expectedMessages)
    {
        const std::optional<Packet> d = c.read(timeout);
        if (!d || d->type() == 202 || d->count == 0)
            break;
        s.packetSeqs.push_back(d->seq);
        for (const Message& m : d->messages)
            s.messages.push_back(m.bytes);
    }
    return s;
}
} // namespace

TEST(RtsSessionLoopback, LogonOutcomes)
{
    Feeder feeder; // outlives the caches subscribed to it
    ServerHarness h(cClients);
    h.addChannel(7, feeder, 100);
    struct Case
    {
        const char* name;
        std::string user;
        int status;  // logon response, -1 none
        bool closes;
    };
    h.run([&] { feeder.send(1, channelMessage(1)); },
          [&] {
              Client first;
              ASSERT_TRUE(logOn(first, h.port(), "alice"));
              const Case cases[] = {
                  {"unknown user", "nobody", 5, true},
                  {"address not listed", "carol", 5, true},
                  {"already connected", "alice", 100, true},
                  {"unknown user with control bytes", "ev\r\nil", 5, true},
              };
              for (const Case& c : cases)
              {
                  Client client;
                  ASSERT_TRUE(client.connect(h.port())) << c.name;
                  client.send(logon(c.user));
                  const std::optional<Packet> p = client.read();
                  ASSERT_TRUE(p) << c.name;
                  EXPECT_EQ(p->logonStatus(), c.status) << c.name;
                  EXPECT_EQ(p->seq, 1u) << c.name;
                  EXPECT_EQ(client.waitClosed(), c.closes) << c.name;
              }
              // A name from the wire reaches the log escaped, never as raw control bytes.
              EXPECT_EQ(h.sink().count("Unknown UserId:ev\\x0D\\x0Ail", LOG_LEVEL_WARNING), 1);
              EXPECT_EQ(h.sink().count("ev\r\nil"), 0);
              // A second logon on a logged-on connection is ignored: no
              // answer, and the connection serves on with the next number.
              first.send(logon("alice"));
              first.send(request(7, 1, 1));
              const Served s = serve(first, 1);
              EXPECT_EQ(s.status, 0);
              EXPECT_EQ(s.responseSeq, 2u);
              EXPECT_FALSE(first.closed());
              EXPECT_EQ(h.sink().count("User already logged on.. not processing logon.", LOG_LEVEL_WARNING), 1);

              // A client that sends nothing is closed after the login time-out, with no bytes.
              h.onServer([&] { h.server().setLoginTimeout(1); });
              Client silent;
              ASSERT_TRUE(silent.connect(h.port()));
              const auto start = std::chrono::steady_clock::now();
              int before = -1;
              EXPECT_TRUE(silent.waitClosed(5s, &before));
              EXPECT_EQ(before, 0);
              EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
              EXPECT_EQ(h.sink().count("Login timeout. Connection closed down to remote client", LOG_LEVEL_WARNING),
                        1);
          });
}

TEST(RtsSessionLoopback, FramingOfClientPackets)
{
    ServerSettings settings;
    settings.maxConnection = 100;
    Feeder feeder; // outlives the caches subscribed to it
    ServerHarness h(cClients, settings);
    h.addChannel(7, feeder, 100);
    std::string count0 = header(32, 0) + std::string(16, 'x');
    std::string size24 = header(24, 1) + std::string(8, '\0');
    std::string msg20 = packet32(20, 101, "bob");
    std::string type999 = packet32(16, 999, "");
    std::string size16count1 = header(16, 1);

    struct Expect
    {
        int logonStatus = -1;    // a logon response first
        int retransStatus = -1;  // then a retransmission response
        int dataPackets = 0;     // then data packets
        bool closes = false;     // then the close, nothing else
    };
    struct Case
    {
        const char* name;
        bool logonFirst;
        std::string bytes;
        std::vector<std::size_t> split; // empty: one write
        Expect expect;
    };
    const std::vector<std::size_t> oneByOne(64, 1);
    const Case cases[] = {
        {"three packets in one write", false, heartbeatEcho(0) + logon("bob") + request(7, 1, 3), {}, {0, 0, 1}},
        {"logon in 10 and 22 bytes", false, logon("bob"), {10, 22}, {0}},
        {"one byte at a time", false, logon("bob") + request(7, 1, 2), oneByOne, {0, 0, 1}},
        {"32 bytes with count 0 then a logon", false, count0 + logon("bob"), {}, {0}},
        {"mPktSize 24", false, size24, {}, {-1, -1, 0, true}},
        {"mMsgSize 20 before logon", false, msg20, {}, {5, -1, 0, true}},
        {"mMsgSize 20 after logon", true, msg20, {}, {-1, 1, 0, true}},
        {"type 999", true, type999, {}, {-1, -1, 0, true}},
        {"request before logon", false, request(7, 1, 1), {}, {-1, -1, 0, true}},
        {"mPktSize 16 with count 1", false, size16count1, {}, {5, -1, 0, true}},
    };
    h.run([&] {
        for (std::uint32_t s = 1; s <= 3; ++s)
            feeder.send(s, channelMessage(s));
    },
          [&] {
              for (const Case& c : cases)
              {
                  Client client;
                  if (c.logonFirst)
                      ASSERT_TRUE(logOn(client, h.port(), "bob")) << c.name;
                  else
                      ASSERT_TRUE(client.connect(h.port())) << c.name;
                  client.sendSplit(c.bytes, c.split);
                  if (c.expect.logonStatus >= 0)
                  {
                      const std::optional<Packet> p = client.read();
                      ASSERT_TRUE(p) << c.name;
                      EXPECT_EQ(p->logonStatus(), c.expect.logonStatus) << c.name;
                  }
                  if (c.expect.retransStatus >= 0)
                  {
                      const std::optional<Packet> p = client.read();
                      ASSERT_TRUE(p) << c.name;
                      EXPECT_EQ(p->retransStatus(), c.expect.retransStatus) << c.name;
                      if (c.expect.retransStatus == 1)
                      {
                          EXPECT_EQ(p->channel() + p->begin() + p->end(), 0u) << c.name;
                      }
                  }
                  for (int i = 0; i < c.expect.dataPackets; ++i)
                  {
                      const std::optional<Packet> p = client.read();
                      ASSERT_TRUE(p) << c.name;
                      EXPECT_EQ(p->seq, 1u) << c.name;
                  }
                  int extra = -1;
                  EXPECT_EQ(client.waitClosed(c.expect.closes ? 5000ms : 200ms, &extra), c.expect.closes) << c.name;
                  EXPECT_EQ(extra, 0) << c.name;
                  EXPECT_FALSE(client.malformed()) << c.name;
              }
          });
}

TEST(RtsSessionLoopback, RequestsAgainstEntitlementsAndCache)
{
    ServerSettings settings;
    settings.heartbeatInterval = 1;
    Feeder feeder; // outlives the caches subscribed to it
    ServerHarness h(cClients, settings);
    h.addChannel(7, feeder, 20000);
    h.run([&] { fillChannel(feeder); },
          [&] {
              Client bob;
              ASSERT_TRUE(logOn(bob, h.port(), "bob"));
              struct Case
              {
                  const char* name;
                  std::uint16_t channel;
                  std::uint32_t begin;
                  std::uint32_t end;
                  int status;
                  std::uint32_t echoedEnd;
                  std::uint32_t firstServed; // data from here to echoedEnd when accepted
              };
              const Case cases[] = {
                  {"1 to 3, checked against the cache", 7, 1, 3, 0, 3, 1},
                  {"channel not permitted", 8, 1, 3, 1, 3, 0},
                  {"past the last", 7, 10005, 10020, 2, 10020, 0},
                  {"over a placeholder", 7, 9999, 10002, 2, 10002, 0},
                  {"range of 10000", 7, 1, 10001, 100, 10001, 0},
                  {"range of 9999", 7, 1, 10000, 0, 10000, 1},
                  {"end 0 means the last", 7, 10008, 0, 0, 10010, 10008},
                  {"begin 0 is served from 1 and echoed", 7, 0, 3, 0, 3, 1},
              };
              // Heartbeats arrive every second and take control numbers too.
              std::uint32_t control = 1;
              for (const Case& c : cases)
              {
                  bob.send(request(c.channel, c.begin, c.end));
                  const std::size_t n = c.status == 0 ? c.echoedEnd - c.firstServed + 1 : 0;
                  Served s;
                  while (true)
                  {
                      const std::optional<Packet> p = bob.read();
                      ASSERT_TRUE(p) << c.name;
                      if (p->isHeartbeat())
                      {
                          EXPECT_EQ(p->seq, ++control) << c.name;
                          bob.send(heartbeatEcho(p->seq));
                          continue;
                      }
                      ASSERT_EQ(p->type(), 202) << c.name;
                      s.status = p->retransStatus();
                      s.begin = p->begin();
                      s.end = p->end();
                      EXPECT_EQ(p->seq, ++control) << c.name;
                      break;
                  }
                  EXPECT_EQ(s.status, c.status) << c.name;
                  EXPECT_EQ(s.begin, c.begin) << c.name;
                  EXPECT_EQ(s.end, c.echoedEnd) << c.name;
                  std::uint32_t expected = c.firstServed;
                  while (n > 0 && expected <= c.echoedEnd)
                  {
                      const std::optional<Packet> p = bob.read();
                      ASSERT_TRUE(p) << c.name;
                      if (p->isHeartbeat())
                      {
                          EXPECT_EQ(p->seq, ++control) << c.name;
                          bob.send(heartbeatEcho(p->seq));
                          continue;
                      }
                      ASSERT_EQ(p->seq, expected) << c.name;
                      EXPECT_LE(p->size, 1472) << c.name;
                      for (const Message& m : p->messages)
                          ASSERT_EQ(m.bytes, bytesOf(channelMessage(expected++))) << c.name;
                  }
                  EXPECT_EQ(expected, n > 0 ? c.echoedEnd + 1 : c.firstServed) << c.name;
              }
              // A heartbeat takes the next control number, and the next response the one after.
              std::optional<Packet> beat = bob.read(3s);
              ASSERT_TRUE(beat && beat->isHeartbeat());
              EXPECT_EQ(beat->seq, ++control);
              bob.send(heartbeatEcho(beat->seq));
              bob.send(request(7, 1, 1));
              const Served after = serve(bob, 1);
              EXPECT_EQ(after.responseSeq, ++control);
              EXPECT_FALSE(bob.malformed());

              // Two requests in one write: the second answered after all data of the first.
              bob.send(request(7, 1, 2) + request(7, 3, 4));
              std::vector<std::string> order;
              while (order.size() < 4)
              {
                  const std::optional<Packet> p = bob.read();
                  ASSERT_TRUE(p);
                  if (p->isHeartbeat())
                  {
                      bob.send(heartbeatEcho(p->seq));
                      continue;
                  }
                  order.push_back(p->type() == 202 ? "response " + std::to_string(p->begin())
                                                   : "data " + std::to_string(p->seq));
              }
              EXPECT_EQ(order, (std::vector<std::string>{"response 1", "data 1", "response 3", "data 3"}));

              // alice may make 10 requests: the 11th is answered 101, then the close.
              Client alice;
              ASSERT_TRUE(logOn(alice, h.port(), "alice"));
              for (int i = 1; i <= 10; ++i)
              {
                  alice.send(request(7, 1, 1));
                  Served s = serve(alice, 1);
                  while (s.status == -1 && !alice.closed())
                      s = serve(alice, 1); // a heartbeat came first
                  ASSERT_EQ(s.status, 0) << "request " << i;
              }
              alice.send(request(7, 1, 1));
              std::optional<Packet> refused = alice.read();
              while (refused && refused->isHeartbeat())
                  refused = alice.read();
              ASSERT_TRUE(refused);
              EXPECT_EQ(refused->retransStatus(), 101);
              EXPECT_TRUE(alice.waitClosed());
          });
}

TEST(RtsSessionLoopback, EndZeroWithoutLastSequenceNumberRequests)
{
    ServerSettings settings;
    settings.allowLastSeqNumRequest = false;
    Feeder feeder; // outlives the caches subscribed to it
    ServerHarness h(cClients, settings);
    h.addChannel(7, feeder, 100);
    h.run([&] {
        for (std::uint32_t s = 1; s <= 5; ++s)
            feeder.send(s, channelMessage(s));
    },
          [&] {
              Client bob;
              ASSERT_TRUE(logOn(bob, h.port(), "bob"));
              bob.send(request(7, 3, 0));
              const Served s = serve(bob, 0);
              // End 0 stays 0: the reversed range is beyond any gap limit.
              EXPECT_EQ(s.status, 100);
              EXPECT_EQ(s.end, 0u);
              EXPECT_FALSE(bob.waitClosed(200ms));
          });
}

TEST(RtsSessionLoopback, AdmissionPerAddressAndHaMode)
{
    ServerSettings settings;
    settings.maxConnectionsPerIp = 5;
    settings.maxConnection = 100;
    Feeder feeder; // outlives the caches subscribed to it
    ServerHarness h(cClients, settings);
    h.addChannel(7, feeder, 100);
    h.run([&] { feeder.send(1, channelMessage(1)); },
          [&] {
              std::vector<std::unique_ptr<Client>> open;
              for (int i = 1; i <= 5; ++i)
              {
                  open.push_back(std::make_unique<Client>());
                  ASSERT_TRUE(logOn(*open.back(), h.port(), "bob")) << "attempt " << i;
              }
              Client sixth;
              ASSERT_TRUE(sixth.connect(h.port()));
              sixth.send(logon("bob"));
              int before = -1;
              EXPECT_TRUE(sixth.waitClosed(5s, &before));
              EXPECT_EQ(before, 0);

              // The count's timer pass reports the refused attempt and
              // starts a new interval.
              h.onServer([&] { h.server().onTimer(&h.server().connectionCountTimer()); });
              EXPECT_EQ(h.sink().count("Detected 6 connection attempts from IP 127.0.0.1 in last 60 seconds! "
                                       "Connections 6 to 6 were automatically closed.",
                                       LOG_LEVEL_WARNING),
                        1);
              Client again;
              EXPECT_TRUE(logOn(again, h.port(), "bob"));
              // An address with no attempt in a whole interval is forgotten.
              std::size_t entries = 99;
              h.onServer([&] {
                  h.server().onTimer(&h.server().connectionCountTimer());
                  h.server().onTimer(&h.server().connectionCountTimer());
                  entries = h.server().getIpConnectionCounts().size();
              });
              EXPECT_EQ(entries, 0u);

              // STANDBY closes the listener and keeps the sessions; ACTIVE listens again.
              h.onServer([&] { h.server().setHAMode(HaMode::STANDBY); });
              // The framework closes the listening socket after the event reaches it.
              bool refused = false;
              for (int i = 0; i < 100 && !refused; ++i)
              {
                  Client probe;
                  refused = !probe.connect(h.port(), 30ms);
                  std::this_thread::sleep_for(20ms);
              }
              EXPECT_TRUE(refused);
              open.front()->send(request(7, 1, 1));
              EXPECT_EQ(serve(*open.front(), 1).status, 0);
              h.onServer([&] {
                  h.server().onTimer(&h.server().connectionCountTimer()); // forget the probes
                  h.server().setHAMode(HaMode::ACTIVE);
              });
              Client back;
              EXPECT_TRUE(logOn(back, h.port(), "bob"));
          });
}

TEST(RtsSessionLoopback, PoolGrowsPastTwoHundredSessions)
{
    Feeder feeder; // outlives the caches subscribed to it
    ServerHarness h(cClients);
    h.addChannel(7, feeder, 100);
    h.run([&] { feeder.send(1, channelMessage(1)); },
          [&] {
              std::vector<std::unique_ptr<Client>> clients;
              for (int i = 0; i < 201; ++i)
              {
                  clients.push_back(std::make_unique<Client>());
                  ASSERT_TRUE(clients.back()->connect(h.port())) << i;
              }
              const auto until = std::chrono::steady_clock::now() + 20s;
              while (h.mTotalSessions < 201 && std::chrono::steady_clock::now() < until)
                  std::this_thread::sleep_for(10ms);
              EXPECT_EQ(h.mTotalSessions, 201u);
              clients.clear();
              while (h.mFreeSessions < 201 && std::chrono::steady_clock::now() < until)
                  std::this_thread::sleep_for(10ms);
              EXPECT_EQ(h.mFreeSessions, 201u);
          });
}

// The server's thread may hold MSG_DISP_FD_NUM + 5 timers, 25 here. Of 40
// connections that send nothing, those it cannot give a logon deadline are
// closed at once with a line naming the limit, instead of being left open
// for good; a client logged on before them holds the timers its answer and
// its heartbeats need since its logon and is served in full.
TEST(RtsSessionLoopback, ConnectionsBeyondTheTimerLimitCloseAndALoggedOnClientIsServed)
{
    Feeder feeder;
    ServerSettings settings;
    settings.heartbeatInterval = 1;
    settings.maxConnection = 2;
    ServerHarness h(cClients, settings);
    h.addChannel(7, feeder, 11000);
    h.run([&] { fillChannel(feeder); },
          [&] {
              Client served;
              ASSERT_TRUE(logOn(served, h.port(), "bob"));
              constexpr int cIdle = 40;
              std::vector<Client> idle(cIdle);
              for (Client& c : idle)
                  ASSERT_TRUE(c.connect(h.port()));
              const char* const refused = "no login timeout timer";
              const auto until = std::chrono::steady_clock::now() + 20s;
              while (h.sink().count(refused) + h.sink().count("accepted connection from") < cIdle + 1 &&
                     std::chrono::steady_clock::now() < until)
                  std::this_thread::sleep_for(10ms);
              const int closedAtOnce = h.sink().count(refused, LOG_LEVEL_ERROR);
              EXPECT_GT(closedAtOnce, 0);
              EXPECT_LT(closedAtOnce, cIdle);
              EXPECT_EQ(h.sink().count("the framework allows (MSG_DISP_FD_NUM + 5); closing the connection"),
                        closedAtOnce);
              int closed = 0;
              for (Client& c : idle)
                  closed += c.waitClosed(50ms) ? 1 : 0;
              EXPECT_EQ(closed, closedAtOnce);

              // The whole answer, echoing heartbeats, then three more heartbeats answered.
              ASSERT_TRUE(served.send(request(7, 1, 3000)));
              std::uint32_t next = 1;
              int status = -1, heartbeats = 0;
              while (next <= 3000 || heartbeats < 3)
              {
                  const std::optional<Packet> p = served.read(5s);
                  ASSERT_TRUE(p) << "at message " << next << ", heartbeat " << heartbeats;
                  if (p->isHeartbeat())
                  {
                      heartbeats += next > 3000 ? 1 : 0;
                      served.send(heartbeatEcho(p->seq));
                  }
                  else if (p->type() == 202)
                      status = p->retransStatus();
                  else
                      for (const Message& m : p->messages)
                          ASSERT_EQ(m.bytes, bytesOf(channelMessage(next++)));
              }
              EXPECT_EQ(status, 0);
              EXPECT_FALSE(served.closed());
          },
          "MSG_DISP_FD_NUM INT32 20\n");
}
