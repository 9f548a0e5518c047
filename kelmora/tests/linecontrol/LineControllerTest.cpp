// Line controllers on real session threads with real timers: whole-group
// control and its revert, requests inside the 1 ms window, individual
// lines, unsupported actions, and requests whose texts are gone or that come
// from another thread.
#include "LineControlTestSupport.h"

#include "kelmora/linecontrol/LineController.h"
#include "kelmora/linecontrol/IndividualLineMap.h"
#include "zunq/bus/OrluPublisher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace hostrun;
using namespace lctest;
using namespace std::chrono_literals;

namespace
{

LineControl request(LineControl::ContolAction action, unsigned int interval, const char* address = nullptr,
                    const char* port = nullptr)
{
    LineControl control;
    control.setAction(action);
    control.setRevertInterval(interval);
    control.setMcAddr(address);
    control.setAddrPort(port);
    return control;
}

// A controller of group "A" on thread OWNER with three lines, all up.
struct ControllerRig
{
    explicit ControllerRig(Host& host, Thread<>& owner, bool overrides = false)
        : controller("LineControl.A", "A", owner.session, host.log)
    {
        for (const char* name : {"L1", "L2", "L3"})
        {
            lines.push_back(std::make_unique<CountingLine>(name, owner.session, host.log));
            controller.addLineHandler(lines.back().get());
        }
        controller.addIndividual(lines[0].get(), "239.1.1.1", "12345");
        controller.setUseOverridesExisting(overrides);
        channel.subscribe(&controller);
        publisher.setDestination(&channel);
    }
    ~ControllerRig() { channel.unsubscribe(&controller); }

    void publish(const LineControl& control) { publisher.publish(control); }
    // "udu": line 1 up, line 2 down, line 3 up.
    std::string states() const
    {
        std::string s;
        for (const auto& line : lines)
            s += line->connected() ? 'u' : 'd';
        return s;
    }
    int calls() const
    {
        int n = 0;
        for (const auto& line : lines)
            n += line->connects + line->disconnects;
        return n;
    }

    LineController controller;
    std::vector<std::unique_ptr<CountingLine>> lines;
    Orlu<LineControl> channel{"OrluLineControl", "A"};
    OrluPublisher<LineControl> publisher{"test"};
};

// One framework run per test: the controller's thread OWNER and the driver.
struct LineControllerTest : ::testing::Test
{
    LineControllerTest() { script.serve(owner); }

    Host host;
    Thread<> owner{host, "OWNER"};
    SessionScript script{host};
};

TEST_F(LineControllerTest, WholeGroupDisconnectIsRevertedAfterItsIntervalAndTheRevertArmsNothing)
{
    ControllerRig rig(host, owner);

    ASSERT_TRUE(script.run([&] {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(runOnSession(owner.session, [&] { rig.publish(request(LineControl::DISCONNECT, 500)); }));
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "ddd"; }));
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "uuu"; }));
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, 450ms);
        EXPECT_LE(elapsed, 800ms);
        // Long enough for a second revert, had one been armed.
        std::this_thread::sleep_for(700ms);
        ASSERT_TRUE(runOnSession(owner.session, [&] {
            for (const auto& line : rig.lines)
            {
                EXPECT_EQ(line->disconnects, 1) << line->getName();
                EXPECT_EQ(line->connects, 1) << line->getName();
                EXPECT_EQ(line->lastThread, "OWNER");
            }
        }));
    }));
}

// A whole-group control passes over the lines already in the requested
// state, acts on every other line of the group, and its revert undoes only
// what it changed.
TEST_F(LineControllerTest, WholeGroupControlActsOnEveryLineNotYetInStateAndItsRevertOnlyOnThose)
{
    struct Case
    {
        const char* before;
        LineControl::ContolAction action;
        const char* after;
    };
    const Case cases[] = {
        {"udd", LineControl::RECONNECT, "uuu"},
        {"ddu", LineControl::RECONNECT, "uuu"},
        {"dud", LineControl::DISCONNECT, "ddd"},
    };
    std::vector<std::unique_ptr<ControllerRig>> rigs;
    for (const Case& c : cases)
    {
        rigs.push_back(std::make_unique<ControllerRig>(host, owner));
        for (std::size_t i = 0; i < rigs.back()->lines.size(); ++i)
            rigs.back()->lines[i]->up = c.before[i] == 'u';
    }

    ASSERT_TRUE(script.run([&] {
        for (std::size_t i = 0; i < std::size(cases); ++i)
        {
            const Case& c = cases[i];
            ControllerRig& rig = *rigs[i];
            ASSERT_TRUE(runOnSession(owner.session, [&] { rig.publish(request(c.action, 200)); }));
            EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == c.after; })) << c.before;
            EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == c.before; })) << c.before;
            ASSERT_TRUE(runOnSession(owner.session, [&] {
                for (std::size_t n = 0; n < rig.lines.size(); ++n)
                {
                    const int calls = rig.lines[n]->connects + rig.lines[n]->disconnects;
                    EXPECT_EQ(calls, c.before[n] == c.after[n] ? 0 : 2) << c.before << " line " << n;
                }
            }));
        }
    }));
}

TEST_F(LineControllerTest, ASecondRequestInsideTheWindowIsDroppedOrReplacesTheFirstWhenAllowed)
{
    struct Case
    {
        const char* name;
        bool overrides;
        bool individual;
        LineControl::ContolAction first;
        LineControl::ContolAction second;
        unsigned int secondInterval;
        const char* after;      // states once applied
        const char* afterRevert; // states 400 ms later
    };
    const Case cases[] = {
        {"dropped", false, false, LineControl::RECONNECT, LineControl::DISCONNECT, 0, "uuu", "uuu"},
        {"replaces", true, false, LineControl::RECONNECT, LineControl::DISCONNECT, 0, "ddd", "ddd"},
        {"same action kept", true, false, LineControl::DISCONNECT, LineControl::DISCONNECT, 150, "ddd", "ddd"},
        {"line dropped", false, true, LineControl::RECONNECT, LineControl::DISCONNECT, 0, "uuu", "uuu"},
        {"line replaces", true, true, LineControl::RECONNECT, LineControl::DISCONNECT, 0, "duu", "duu"},
        {"line same action kept", true, true, LineControl::DISCONNECT, LineControl::DISCONNECT, 150, "duu", "duu"},
    };
    host.log.setVerbose(true);
    std::vector<std::unique_ptr<ControllerRig>> rigs;
    for (const Case& c : cases)
        rigs.push_back(std::make_unique<ControllerRig>(host, owner, c.overrides));

    ASSERT_TRUE(script.run([&] {
        for (std::size_t i = 0; i < std::size(cases); ++i)
        {
            const Case& c = cases[i];
            ControllerRig& rig = *rigs[i];
            const char* address = c.individual ? "239.1.1.1" : nullptr;
            const char* port = c.individual ? "12345" : nullptr;
            // Both in one step of the owner thread: the 1 ms timer cannot fire between them.
            ASSERT_TRUE(runOnSession(owner.session, [&] {
                rig.publish(request(c.first, 0, address, port));
                rig.publish(request(c.second, c.secondInterval, address, port));
            }));
            EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == c.after; }, 1s)) << c.name;
            std::this_thread::sleep_for(400ms);
            ASSERT_TRUE(runOnSession(owner.session, [&] { EXPECT_EQ(rig.states(), c.afterRevert) << c.name; }));
        }
    }));
    EXPECT_GE(host.sink.count("LineController::onData already processing individual line control"), 4);
}

TEST_F(LineControllerTest, IndividualLinesAreFoundByGroupAndPortOnly)
{
    host.log.setVerbose(true);
    ControllerRig rig(host, owner);
    // A later line under the same key replaces the earlier one; a key of any length.
    rig.controller.addIndividual(rig.lines[1].get(), "239.1.1.1", "12345");
    const std::string longService(60, 's');
    rig.controller.addIndividual(rig.lines[2].get(), "239.100.100.100", longService.c_str());
    rig.controller.addIndividual(nullptr, "239.1.1.9", "1");
    rig.controller.addIndividual(rig.lines[0].get(), "", "1");

    struct Case
    {
        LineControl control;
        const char* states;
        const char* warning;
    };
    const Case cases[] = {
        {request(LineControl::DISCONNECT, 0, "239.1.1.1", "12345"), "udu", nullptr},
        {request(LineControl::DISCONNECT, 0, "239.100.100.100", longService.c_str()), "udd", nullptr},
        {request(LineControl::RECONNECT, 0, "239.1.1.1", "12345"), "uud", nullptr},
        {request(LineControl::DISCONNECT, 0, "239.9.9.9", "12345"),
         "uud",
         "LineController::getIndividualControl - could not find individual line control for provided multicast "
         "params (239.9.9.9,12345)"},
        {request(LineControl::DISCONNECT, 0, "239.1.1.9", "1"), "uud",
         "could not find individual line control for provided multicast params (239.1.1.9,1)"},
        {request(static_cast<LineControl::ContolAction>(0), 100), "uud",
         "LineController::onData(LineControl) unsupported control action 0"},
        {request(static_cast<LineControl::ContolAction>(7), 100, "239.1.1.1", "12345"), "uud",
         "LineController::onData(LineControl) unsupported control action 7"},
    };
    ASSERT_TRUE(script.run([&] {
        for (const Case& c : cases)
        {
            const int callsBefore = rig.calls();
            const int warningsBefore = c.warning != nullptr ? host.sink.count(c.warning, LOG_LEVEL_WARNING) : 0;
            ASSERT_TRUE(runOnSession(owner.session, [&] { rig.publish(c.control); }));
            if (c.warning != nullptr)
            {
                EXPECT_TRUE(waitOnSession(owner.session, [&] {
                    return host.sink.count(c.warning, LOG_LEVEL_WARNING) == warningsBefore + 1;
                })) << c.warning;
                std::this_thread::sleep_for(150ms);
                ASSERT_TRUE(runOnSession(owner.session, [&] { EXPECT_EQ(rig.calls(), callsBefore) << c.warning; }));
            }
            EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == c.states; }, 1s)) << c.states;
        }
    }));
}

// The publisher's texts are freed at once; the control and its revert run
// later from the control's own copies (a sanitizer build reports any read
// of the freed texts).
TEST_F(LineControllerTest, RequestTextsFreedRightAfterPublishingAreNotRead)
{
    ControllerRig rig(host, owner);

    ASSERT_TRUE(script.run([&] {
        ASSERT_TRUE(runOnSession(owner.session, [&] {
            auto address = std::make_unique<std::string>("239.1.1.1");
            auto port = std::make_unique<std::string>("12345");
            LineControl control = request(LineControl::DISCONNECT, 100, address->c_str(), port->c_str());
            rig.publish(control);
            address.reset();
            port.reset();
        }));
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "duu"; }));
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "uuu"; }));
        EXPECT_EQ(rig.lines[0]->connects, 1);
    }));
}

// Published on the driver thread: stored and applied on the controller's
// thread, texts and interval intact.
TEST_F(LineControllerTest, ARequestFromAnotherThreadIsAppliedOnTheControllersThread)
{
    ControllerRig rig(host, owner);

    ASSERT_TRUE(script.run([&] {
        {
            std::string address = "239.1.1.1";
            std::string port = "12345";
            rig.publish(request(LineControl::DISCONNECT, 200, address.c_str(), port.c_str()));
        }
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "duu"; }));
        ASSERT_TRUE(runOnSession(owner.session, [&] { EXPECT_EQ(rig.lines[0]->lastThread, "OWNER"); }));
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "uuu"; }));
        rig.publish(request(LineControl::DISCONNECT, 0));
        EXPECT_TRUE(waitOnSession(owner.session, [&] { return rig.states() == "ddd"; }));
        ASSERT_TRUE(runOnSession(owner.session, [&] {
            for (const auto& line : rig.lines)
                EXPECT_EQ(line->lastThread, "OWNER");
        }));
    }));
}

TEST(IndividualLineMap, FindsTheLatestHandlerOfAKeyAndNoneForAnUnknownOne)
{
    Host host;
    host.log.setVerbose(true);
    TarvokSession session;
    CountingLine first("first", session, host.log);
    CountingLine second("second", session, host.log);
    IndividualLineMap map(host.log);
    map.addIndividualLine("239.1.1.1:12345", &first);
    map.addIndividualLine("239.1.1.1:12345", &second);
    map.addIndividualLine("239.1.1.2:1", nullptr);
    EXPECT_EQ(map.getIndividualLine("239.1.1.1:12345"), &second);
    EXPECT_EQ(map.getIndividualLine("239.1.1.2:1"), nullptr);
    EXPECT_EQ(host.sink.count("IndividualLineMap::getIndividualLine: Not found 239.1.1.2:1"), 1);
    EXPECT_EQ(host.sink.count("IndividualLineMap::addLineHandler: adding lineHandler 239.1.1.1:12345=true"), 2);
}

} // namespace
